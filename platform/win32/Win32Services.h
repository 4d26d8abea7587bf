#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Services.h"
#include "platform/WindowsText.h"

namespace quorna::platform::win32 {

using platform::narrow;
using platform::widen;

// The program's top-level windows take part in dialog navigation (Tab, access keys, Esc) through
// IsDialogMessage; a window is marked so when created.
void markDialogWindow(HWND window);
// Takes the mark off again, before the window is gone.
void unmarkDialogWindow(HWND window);

// The version 6 common controls (themed buttons, check box and list) come from the manifest the
// program carries as resource 2 rather than from its process manifest: their library takes a
// while to load, and the start-up window needs none of them before it is shown. The first call
// activates that manifest on this thread for good, so every window made from then on gets them
// as the process manifest would give them, and loads the library; later calls return at once.
// Without that manifest, or where it cannot be activated, the system's default ones are loaded.
void useCommonControls();
// Whether useCommonControls has run.
bool commonControlsInUse();

// Hands one message to its window: dialog navigation first for a marked window, else translated
// and dispatched. Both the main loop and the event pump use it.
void deliverMessage(MSG& message);

// Handles every message that is waiting, timer expiries included, and returns when none is left.
class Win32EventPump : public EventPump {
public:
    void processPendingEvents() override;
};

class Win32Sleeper : public Sleeper {
public:
    void sleep(std::int32_t milliseconds) override;
};

// The Windows clipboard as CF_UNICODETEXT. Another program may hold it open for a moment, so
// opening is retried briefly before the failure is raised.
class Win32Clipboard : public Clipboard {
public:
    static constexpr int kOpenAttempts = 10;
    static constexpr DWORD kOpenRetryMilliseconds = 20;

    Win32Clipboard();
    ~Win32Clipboard() override;

    Win32Clipboard(const Win32Clipboard&) = delete;
    Win32Clipboard& operator=(const Win32Clipboard&) = delete;

    void clear() override;
    void setText(const std::string& text) override;
    std::string text() override;

private:
    class Session;
    // The clipboard's owner: SetClipboardData fails after EmptyClipboard without one.
    HWND owner_ = nullptr;
};

// MessageBoxW with OK and the warning icon, modal to the program's windows.
class Win32MessageBox : public MessageDialog {
public:
    void showWarning(const std::string& text, const std::string& title) override;
};

// A named mutex in the session's namespace, held for the life of the process; the system
// releases it when the process ends in any way, a crash included.
class SingleInstanceMutex : public InstanceCheck {
public:
    static constexpr const wchar_t* kDefaultName = L"Local\\quorna-fobit-reader";

    explicit SingleInstanceMutex(std::wstring name = kDefaultName);
    ~SingleInstanceMutex() override;

    SingleInstanceMutex(const SingleInstanceMutex&) = delete;
    SingleInstanceMutex& operator=(const SingleInstanceMutex&) = delete;

    // Creates the mutex on the first call; true when another process already has it. A mutex
    // that cannot be created for another reason does not stop the program: it runs as if alone.
    bool anotherInstanceRunning() override;
    // Passes the foreground to the running instance's window (its open message box, if any):
    // the visible top-level window of another process started from a program file of this
    // one's name. A program just started by the user may give the foreground away.
    void showRunningInstance() override;

private:
    std::wstring name_;
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};

// ExitProcess: no window or teardown steps run.
class Win32ProcessControl : public ProcessControl {
public:
    void endNow() override;
};

}  // namespace quorna::platform::win32
