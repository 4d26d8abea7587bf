#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "platform/Services.h"

namespace quorna {
class CTimer;
}

// The registry that ties running CTimer objects to the platform's system timers, and the one
// callback that receives every expiry. Module state lives for the whole program.
namespace quorna::MTimer {

constexpr int kCapacity = 100;
constexpr std::int32_t kTooManyTimersNumber = 18511;

// The platform timer service the registry uses; set once at start-up, before any timer runs.
void useTimerService(platform::TimerService* service);

bool TimerCreate(const std::shared_ptr<CTimer>& timer);
bool TimerDelete(const CTimer& timer);
void TimerCallback(std::intptr_t window, std::uint32_t message, std::int32_t timerId,
                   std::uint32_t systemTime);

// Read access for tests and diagnostics.
std::int16_t intTimerMax();
std::shared_ptr<CTimer> slot(int number);  // 1..kCapacity; empty when the slot is empty

// Test support only: kills every registered system timer, empties the table and sets intTimerMax
// back to 0, so that one test starts from the state the program starts with.
void resetForTests();

}  // namespace quorna::MTimer
