#include "timer/CTimer.h"

#include <string>
#include <utility>

#include "platform/ComponentError.h"
#include "platform/ExecutableName.h"
#include "timer/MTimer.h"

namespace quorna {

namespace {

constexpr const char* kIntervalSource = "CTimer.Interval";
constexpr const char* kFailureDescription = "CTimer component failure";

// The failure for anything a member's own steps do not name; the cause is not passed on.
ComponentError genericFailure() {
    std::string source;
    try {
        source = platform::executableName() + ".CTimer";
    } catch (...) {
        source = ".CTimer";
    }
    return ComponentError(CTimer::kFailureNumber, std::move(source), kFailureDescription);
}

}  // namespace

CTimer::~CTimer() {
    // Class_Terminate. A registered timer is kept alive by the registry, so this normally finds
    // the timer stopped already. The stop path needs no reference to this object.
    try {
        Interval(0);
    } catch (...) {
    }
}

std::int32_t CTimer::Interval() const {
    return interval_;
}

void CTimer::Interval(std::int32_t period) {
    enum class Outcome { Done, NotRegistered, Refused };
    Outcome outcome = Outcome::Done;
    try {
        // Stopping releases the registry's reference; keep this object alive until we return even
        // if nobody else holds it. Empty during teardown, which needs no reference.
        const std::shared_ptr<CTimer> keepAlive = weak_from_this().lock();
        if (period > 0) {
            if (period == interval_) {
                return;  // already running at this period: keep its phase
            }
            if (!keepAlive) {
                // Not held by a shared_ptr, so the registry could not hold it: fail unchanged.
                throw std::bad_weak_ptr();
            }
            if (interval_ != 0 && !MTimer::TimerDelete(*this)) {
                outcome = Outcome::NotRegistered;  // the old period stays
            } else {
                interval_ = period;
                if (!MTimer::TimerCreate(keepAlive)) {
                    outcome = Outcome::Refused;  // TimerCreate has stopped this timer
                }
            }
        } else if (interval_ > 0) {
            interval_ = 0;
            if (!MTimer::TimerDelete(*this)) {
                outcome = Outcome::NotRegistered;
            }
        }
    } catch (...) {
        throw genericFailure();
    }

    switch (outcome) {
        case Outcome::NotRegistered:
            throw ComponentError(kFailureNumber, kIntervalSource, kFailureDescription);
        case Outcome::Refused:
            throw ComponentError(kCantCreateNumber, kIntervalSource, "Can't create system timer");
        case Outcome::Done:
            break;
    }
}

std::any CTimer::Tag() const {
    try {
        return tag_;
    } catch (...) {
        throw genericFailure();
    }
}

void CTimer::Tag(std::any value) {
    tag_ = std::move(value);
}

void CTimer::PulseTimer() {
    try {
        // A handler may stop this timer (dropping the registry's reference) and have its holder
        // release it; this reference keeps the object alive until the event has run.
        const std::shared_ptr<CTimer> self = weak_from_this().lock();
        Timer.raise();
    } catch (...) {
        throw genericFailure();
    }
}

}  // namespace quorna
