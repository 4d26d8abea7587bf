#pragma once

#include <cstdint>
#include <map>

#include <QObject>

#include "platform/Services.h"

class QTimer;

namespace quorna::platform::qt {

// System timers on Qt's event loop: each timer is a QTimer keyed by a non-zero identifier, and
// each timeout is delivered as one call of the timer's TimerProc with that identifier, on the GUI
// thread between other events. Identifiers are not reused while their timer runs.
class QtTimerService : public TimerService {
public:
    // What Windows passes as the message of a timer callback (WM_TIMER).
    static constexpr std::uint32_t kTimerMessage = 0x0113;

    QtTimerService() = default;
    ~QtTimerService() override;

    QtTimerService(const QtTimerService&) = delete;
    QtTimerService& operator=(const QtTimerService&) = delete;

    std::int32_t setTimer(std::int32_t periodMilliseconds, TimerProc callback) override;
    void killTimer(std::int32_t timerId) override;

    int liveCount() const { return static_cast<int>(timers_.size()); }

private:
    std::int32_t nextFreeId();

    QObject owner_;  // parent of every QTimer, so that none outlives the service
    std::map<std::int32_t, QTimer*> timers_;
    std::int32_t lastId_ = 0;
};

}  // namespace quorna::platform::qt
