#include "timer/MTimer.h"

#include <utility>
#include <vector>

#include "platform/ComponentError.h"
#include "timer/CTimer.h"

namespace quorna::MTimer {

namespace {

// Module state: lives from program start to program end; slot n is oTimers[n - 1].
std::array<std::shared_ptr<CTimer>, kCapacity> oTimers;
std::int16_t intTimerMaxValue = 0;
platform::TimerService* timerService = nullptr;

// A service that is missing or fails counts as one that refused the timer.
std::int32_t setSystemTimer(std::int32_t period) {
    if (timerService == nullptr) {
        return 0;
    }
    try {
        return timerService->setTimer(period, &TimerCallback);
    } catch (...) {
        return 0;
    }
}

void killSystemTimer(std::int32_t timerId) {
    if (timerService == nullptr) {
        return;
    }
    try {
        timerService->killTimer(timerId);
    } catch (...) {
        // The identifier is gone from the table either way.
    }
}

}  // namespace

void useTimerService(platform::TimerService* service) {
    timerService = service;
}

bool TimerCreate(const std::shared_ptr<CTimer>& timer) {
    const std::int32_t period = timer->Interval();
    timer->SystemTimerID(setSystemTimer(period));

    if (timer->SystemTimerID() == 0) {
        timer->SystemTimerID(0);
        try {
            timer->Interval(0);  // finds no registered timer and reports it; that is expected
        } catch (...) {
        }
        return false;
    }

    for (int n = 1; n <= kCapacity; ++n) {
        auto& slot = oTimers[static_cast<std::size_t>(n - 1)];
        if (!slot) {
            slot = timer;
            if (n > intTimerMaxValue) {
                intTimerMaxValue = static_cast<std::int16_t>(n);
            }
            return true;
        }
    }

    // Table full: give the fresh system timer back at once, so that it neither runs unregistered
    // nor leaves the object claiming a period it does not have.
    killSystemTimer(timer->SystemTimerID());
    timer->SystemTimerID(0);
    try {
        timer->Interval(0);
    } catch (...) {
    }
    throw ComponentError(kTooManyTimersNumber, "MTimer.TimerCreate", "Too many timers");
}

bool TimerDelete(const CTimer& timer) {
    const int bound = intTimerMaxValue;
    const std::int32_t timerId = timer.SystemTimerID();
    for (int n = 1; n <= bound; ++n) {
        auto& slot = oTimers[static_cast<std::size_t>(n - 1)];
        if (slot && slot->SystemTimerID() == timerId) {
            killSystemTimer(timerId);
            // Empty the slot before the reference goes: releasing it may run a teardown.
            std::shared_ptr<CTimer> released = std::move(slot);
            slot.reset();
            return true;
        }
    }
    return false;
}

void TimerCallback(std::intptr_t /*window*/, std::uint32_t /*message*/, std::int32_t timerId,
                   std::uint32_t /*systemTime*/) {
    const int bound = intTimerMaxValue;
    for (int n = 1; n <= bound; ++n) {
        const auto& slot = oTimers[static_cast<std::size_t>(n - 1)];
        if (slot && slot->SystemTimerID() == timerId) {
            // No reference of our own: PulseTimer holds one while the handler runs, and the
            // handler may empty this very slot.
            CTimer* timer = slot.get();
            try {
                timer->PulseTimer();
            } catch (...) {
                // A failing handler must never reach the platform's message loop.
            }
            return;
        }
    }
}

std::int16_t intTimerMax() {
    return intTimerMaxValue;
}

std::shared_ptr<CTimer> slot(int number) {
    if (number < 1 || number > kCapacity) {
        return nullptr;
    }
    return oTimers[static_cast<std::size_t>(number - 1)];
}

void resetForTests() {
    std::vector<std::shared_ptr<CTimer>> released;
    for (auto& slot : oTimers) {
        if (slot) {
            killSystemTimer(slot->SystemTimerID());
            released.push_back(std::move(slot));
            slot.reset();
        }
    }
    intTimerMaxValue = 0;
    // The objects let go here find the table already empty.
}

}  // namespace quorna::MTimer
