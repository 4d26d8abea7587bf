#pragma once

#include <windows.h>

#include <cstdint>
#include <map>

#include "platform/Services.h"

namespace quorna::platform::win32 {

// System timers without a window: SetTimer(NULL, 0, ...) / KillTimer. Windows calls a __stdcall
// TIMERPROC that carries no context, so every timer goes through one trampoline that looks the
// identifier up in the live service's map and calls the registry's callback, on the GUI thread
// from the message loop. One service is live at a time.
class Win32TimerService : public TimerService {
public:
    Win32TimerService();
    ~Win32TimerService() override;

    Win32TimerService(const Win32TimerService&) = delete;
    Win32TimerService& operator=(const Win32TimerService&) = delete;

    std::int32_t setTimer(std::int32_t periodMilliseconds, TimerProc callback) override;
    void killTimer(std::int32_t timerId) override;

    int liveCount() const { return static_cast<int>(timers_.size()); }

private:
    static void CALLBACK trampoline(HWND window, UINT message, UINT_PTR timerId, DWORD time);

    std::map<UINT_PTR, TimerProc> timers_;
};

}  // namespace quorna::platform::win32
