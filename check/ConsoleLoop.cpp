#include "check/ConsoleLoop.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace quorna::check {

using std::chrono::milliseconds;

std::int32_t ConsoleLoop::setTimer(std::int32_t periodMilliseconds, platform::TimerProc callback) {
    if (periodMilliseconds <= 0 || callback == nullptr) {
        return 0;
    }
    const std::int32_t id = nextId_++;
    timers_[id] = {milliseconds(periodMilliseconds),
                   Clock::now() + milliseconds(periodMilliseconds), callback};
    return id;
}

void ConsoleLoop::killTimer(std::int32_t timerId) {
    timers_.erase(timerId);
}

void ConsoleLoop::processPendingEvents() {
    deliverDue();
}

void ConsoleLoop::sleep(std::int32_t ms) {
    std::this_thread::sleep_for(milliseconds(ms));
}

void ConsoleLoop::runUntil(Clock::time_point deadline, const std::function<void()>& afterTimers) {
    const std::uint64_t before = delivered_;
    while (Clock::now() < deadline || (delivered_ == before && !timers_.empty())) {
        Clock::time_point wake = Clock::now() < deadline ? deadline : Clock::time_point::max();
        for (const auto& [id, timer] : timers_) {
            wake = std::min(wake, timer.due);
        }
        std::this_thread::sleep_until(wake);
        deliverDue();
        afterTimers();
    }
}

void ConsoleLoop::deliverDue() {
    const auto now = Clock::now();
    std::vector<std::int32_t> due;
    for (const auto& [id, timer] : timers_) {
        if (timer.due <= now) {
            due.push_back(id);
        }
    }
    // A callback may kill or create timers: look each one up again before serving it.
    for (std::int32_t id : due) {
        const auto it = timers_.find(id);
        if (it == timers_.end()) {
            continue;
        }
        // A late loop skips the missed expiries rather than delivering them in a burst.
        it->second.due = std::max(it->second.due + it->second.period, now + milliseconds(1));
        const auto callback = it->second.callback;
        const auto systemTime = static_cast<std::uint32_t>(
            std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count());
        ++delivered_;
        callback(0, 0x0113, id, systemTime);
    }
}

}  // namespace quorna::check
