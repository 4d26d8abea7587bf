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

// The single-instance test: a mutex that only this user's processes can create or open, held for
// the life of the process; the system releases it when the process ends in any way, a crash
// included. It lies in a private namespace bound to the user's SID (one per session, as "Local\"
// names are), which no other account can create or open. Where the system offers none (wine),
// the name carries the user's SID in the session's namespace, made with a security descriptor
// that lets the user alone in; one found there that another account made (its owner is not the
// user, or it shuts the user out) is not taken for a running copy, and the program runs.
// A running copy counts only with its window: where none shows within a few seconds (a hung
// copy, or a process of this user merely holding the name), the program runs too, and says so.
class SingleInstanceMutex : public InstanceCheck {
public:
    static constexpr const wchar_t* kDefaultName = L"quorna-fobit-reader";
    static constexpr DWORD kWindowWaitMilliseconds = 5000;

    // name: the mutex's name inside the namespace (or, without one, before the SID).
    explicit SingleInstanceMutex(std::wstring name = kDefaultName,
                                 DWORD windowWaitMilliseconds = kWindowWaitMilliseconds);
    ~SingleInstanceMutex() override;

    SingleInstanceMutex(const SingleInstanceMutex&) = delete;
    SingleInstanceMutex& operator=(const SingleInstanceMutex&) = delete;

    // Creates the mutex on the first call; true when another process of this user already has
    // it and that copy's window is there. Where the mutex cannot be had or trusted, the program
    // runs as if alone and says why on standard error.
    bool anotherInstanceRunning() override;
    // Passes the foreground to the running instance's window (its open message box, if any):
    // the visible top-level window of another process started from a program file of this
    // one's name. A program just started by the user may give the foreground away.
    void showRunningInstance() override;

    // The mutex's full name as last asked for (empty before), and whether it lies in the
    // private namespace.
    const std::wstring& objectName() const { return objectName_; }
    bool inPrivateNamespace() const { return namespace_ != nullptr; }
    // The name used without a private namespace: "Local\<name>-<SID>".
    static std::wstring sessionObjectName(const std::wstring& name, const std::wstring& sid);
    // The SID of the account this process runs as, as text ("S-1-5-21-..."); empty if unknown.
    static std::wstring currentUserSid();

private:
    bool runAlone(const std::string& why);
    bool copyOfOursRuns();
    void closeHandles();

    std::wstring name_;
    DWORD windowWaitMilliseconds_;
    std::wstring objectName_;
    HANDLE namespace_ = nullptr;
    HANDLE mutex_ = nullptr;
    HWND runningWindow_ = nullptr;
    bool held_ = false;
};

// ExitProcess: no window or teardown steps run.
class Win32ProcessControl : public ProcessControl {
public:
    void endNow() override;
};

}  // namespace quorna::platform::win32
