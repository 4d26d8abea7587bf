#include "platform/win32/Win32TimerService.h"

#include <limits>
#include <stdexcept>

namespace quorna::platform::win32 {

namespace {
// The service the trampoline reports to: Windows' timer callback carries no context of ours.
Win32TimerService* liveService = nullptr;
}  // namespace

Win32TimerService::Win32TimerService() {
    if (liveService != nullptr) {
        throw std::logic_error("A system timer service is already live");
    }
    liveService = this;
}

Win32TimerService::~Win32TimerService() {
    for (const auto& [id, callback] : timers_) {
        KillTimer(nullptr, id);
    }
    liveService = nullptr;
}

std::int32_t Win32TimerService::setTimer(std::int32_t periodMilliseconds, TimerProc callback) {
    if (periodMilliseconds <= 0 || callback == nullptr) {
        return 0;
    }
    const UINT_PTR id = SetTimer(nullptr, 0, static_cast<UINT>(periodMilliseconds), &trampoline);
    if (id == 0) {
        return 0;
    }
    if (id > static_cast<UINT_PTR>(std::numeric_limits<std::int32_t>::max())) {
        KillTimer(nullptr, id);  // the registry keeps 32-bit identifiers
        return 0;
    }
    timers_[id] = callback;
    return static_cast<std::int32_t>(id);
}

void Win32TimerService::killTimer(std::int32_t timerId) {
    const auto found = timers_.find(static_cast<UINT_PTR>(timerId));
    if (found == timers_.end()) {
        return;
    }
    timers_.erase(found);
    KillTimer(nullptr, static_cast<UINT_PTR>(timerId));
}

void CALLBACK Win32TimerService::trampoline(HWND window, UINT message, UINT_PTR timerId,
                                            DWORD time) {
    if (liveService == nullptr) {
        return;
    }
    // A killed timer's expiry may already be under way: only a live one is reported.
    const auto found = liveService->timers_.find(timerId);
    if (found == liveService->timers_.end()) {
        return;
    }
    try {
        found->second(reinterpret_cast<std::intptr_t>(window), message,
                      static_cast<std::int32_t>(timerId), time);
    } catch (...) {
        // A failure must not unwind through DispatchMessage; the tick is simply lost.
    }
}

}  // namespace quorna::platform::win32
