#include "tests/fakes/FakeTimerService.h"

#include <algorithm>

#include "timer/MTimer.h"

namespace quorna::fakes {

std::int32_t FakeTimerService::setTimer(std::int32_t periodMilliseconds,
                                        platform::TimerProc callback) {
    if (refusals_ > 0 || callback == nullptr) {
        if (refusals_ > 0) {
            --refusals_;
        }
        calls_.push_back({Call::Kind::Set, 0, periodMilliseconds, now_});
        return 0;
    }
    // The platform raises tiny periods to its minimum; 1 ms keeps advance() finite.
    const std::int32_t period = std::max<std::int32_t>(periodMilliseconds, 1);
    const std::int32_t id = nextId_++;
    live_[id] = Timer{period, now_ + period, created_++, callback};
    calls_.push_back({Call::Kind::Set, id, periodMilliseconds, now_});
    return id;
}

void FakeTimerService::killTimer(std::int32_t timerId) {
    calls_.push_back({Call::Kind::Kill, timerId, 0, now_});
    live_.erase(timerId);
}

void FakeTimerService::advance(std::int64_t milliseconds) {
    const std::int64_t target = now_ + std::max<std::int64_t>(milliseconds, 0);
    for (;;) {
        // Look the next expiry up afresh each time: a handler may have changed the timers.
        auto next = live_.end();
        for (auto it = live_.begin(); it != live_.end(); ++it) {
            if (it->second.due > target) {
                continue;
            }
            if (next == live_.end() || it->second.due < next->second.due ||
                (it->second.due == next->second.due && it->second.order < next->second.order)) {
                next = it;
            }
        }
        if (next == live_.end()) {
            break;
        }
        now_ = std::max(now_, next->second.due);
        next->second.due += next->second.period;
        const std::int32_t id = next->first;
        const platform::TimerProc callback = next->second.callback;
        ++delivered_;
        callback(0, kTimerMessage, id, static_cast<std::uint32_t>(now_));
    }
    // A nested advance may already have moved the clock past this call's target.
    now_ = std::max(now_, target);
}

bool FakeTimerService::fire(std::int32_t timerId) {
    const auto it = live_.find(timerId);
    if (it == live_.end()) {
        return false;
    }
    const platform::TimerProc callback = it->second.callback;
    ++delivered_;
    callback(0, kTimerMessage, timerId, static_cast<std::uint32_t>(now_));
    return true;
}

std::int32_t FakeTimerService::periodOf(std::int32_t timerId) const {
    const auto it = live_.find(timerId);
    return it == live_.end() ? 0 : it->second.period;
}

std::int64_t FakeTimerService::nextDue(std::int32_t timerId) const {
    const auto it = live_.find(timerId);
    return it == live_.end() ? -1 : it->second.due;
}

std::vector<std::int32_t> FakeTimerService::liveIds() const {
    std::vector<std::int32_t> ids;
    for (const auto& [id, timer] : live_) {
        ids.push_back(id);
    }
    return ids;
}

int FakeTimerService::setTimerCalls() const {
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [](const Call& call) {
        return call.kind == Call::Kind::Set;
    }));
}

int FakeTimerService::killTimerCalls() const {
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [](const Call& call) {
        return call.kind == Call::Kind::Kill;
    }));
}

InstalledFakeTimerService::InstalledFakeTimerService() {
    MTimer::useTimerService(this);
}

InstalledFakeTimerService::~InstalledFakeTimerService() {
    MTimer::resetForTests();
    MTimer::useTimerService(nullptr);
}

}  // namespace quorna::fakes
