#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>

#include "platform/Services.h"

namespace quorna::check {

// A single-threaded event loop with periodic timers: enough to drive the timer registry, which
// is all the reader driver needs of an event loop.
class ConsoleLoop : public platform::TimerService,
                    public platform::EventPump,
                    public platform::Sleeper {
public:
    using Clock = std::chrono::steady_clock;

    std::int32_t setTimer(std::int32_t periodMilliseconds, platform::TimerProc callback) override;
    void killTimer(std::int32_t timerId) override;
    void processPendingEvents() override;
    void sleep(std::int32_t milliseconds) override;

    // Runs timers until the deadline, and beyond it until some timer has expired at least once,
    // calling afterTimers after each round of expiries.
    void runUntil(Clock::time_point deadline, const std::function<void()>& afterTimers);

private:
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
        platform::TimerProc callback;
    };

    void deliverDue();

    std::map<std::int32_t, Timer> timers_;
    std::uint64_t delivered_ = 0;
    std::int32_t nextId_ = 1;
};

// Makes standard output show UTF-8 texts (paths, the runtime's account) as they are; one source
// file per platform.
void useUtf8Output();

}  // namespace quorna::check
