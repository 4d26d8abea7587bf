#include "platform/qt/QtTimerService.h"

#include <chrono>
#include <limits>

#include <QTimer>

namespace quorna::platform::qt {

namespace {

// Milliseconds of a monotonic clock, wrapping like the Windows tick count.
std::uint32_t tickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

QtTimerService::~QtTimerService() {
    for (auto& [id, timer] : timers_) {
        timer->stop();
    }
    timers_.clear();  // owner_ deletes the QTimer objects
}

std::int32_t QtTimerService::nextFreeId() {
    do {
        lastId_ = lastId_ == std::numeric_limits<std::int32_t>::max() ? 1 : lastId_ + 1;
    } while (timers_.count(lastId_) != 0);
    return lastId_;
}

std::int32_t QtTimerService::setTimer(std::int32_t periodMilliseconds, TimerProc callback) {
    if (periodMilliseconds <= 0 || callback == nullptr) {
        return 0;
    }
    const std::int32_t id = nextFreeId();
    auto* timer = new QTimer(&owner_);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(periodMilliseconds);
    // The callback may kill this or any other timer; the lookup keeps a killed one silent even if
    // its timeout was already under way.
    QObject::connect(timer, &QTimer::timeout, &owner_, [this, id, callback] {
        if (timers_.count(id) != 0) {
            try {
                callback(0, kTimerMessage, id, tickCount());
            } catch (...) {
                // A failure must not unwind through Qt's event loop; the tick is simply lost.
            }
        }
    });
    timers_.emplace(id, timer);
    timer->start();
    return id;
}

void QtTimerService::killTimer(std::int32_t timerId) {
    const auto found = timers_.find(timerId);
    if (found == timers_.end()) {
        return;
    }
    QTimer* timer = found->second;
    timers_.erase(found);
    timer->stop();
    // Possibly inside this timer's own timeout: delete it once control is back in the loop.
    timer->deleteLater();
}

}  // namespace quorna::platform::qt
