#pragma once

#include <any>
#include <cstdint>
#include <memory>

#include "platform/Event.h"

namespace quorna {

// A timer that needs no window: raises Timer every Interval milliseconds while Interval > 0.
// Always held through std::shared_ptr (make it with std::make_shared): while it runs, the timer
// registry (MTimer) holds a counted reference too, so holders set Interval to 0 before they
// release it.
class CTimer : public std::enable_shared_from_this<CTimer> {
public:
    static constexpr std::int32_t kCantCreateNumber = -2147203103;  // 0x800447E1
    static constexpr std::int32_t kFailureNumber = -2147203102;     // 0x800447E2

    CTimer() = default;
    ~CTimer();  // Class_Terminate: sets Interval to 0, ignoring any failure

    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    std::int32_t Interval() const;
    void Interval(std::int32_t period);  // starts, restarts or stops the system timer

    std::any Tag() const;  // a stored std::shared_ptr comes back as the same object
    void Tag(std::any value);

    void PulseTimer();  // raises Timer at once, keeping this object alive meanwhile

    Event<> Timer;

    // For the registry (MTimer) only.
    std::int32_t SystemTimerID() const { return systemTimerId_; }
    void SystemTimerID(std::int32_t id) { systemTimerId_ = id; }

private:
    std::int32_t interval_ = 0;
    std::int32_t systemTimerId_ = 0;
    std::any tag_;
};

}  // namespace quorna
