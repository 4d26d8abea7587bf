#pragma once

#include <cstdint>
#include <string>

// The small interfaces through which the core (reader/, timer/, the window logic in ui/) reaches
// the platform. Each front-end (Qt on Linux, Win32 on Windows) supplies one implementation of
// each; tests supply fakes.
namespace quorna::platform {

// Lets pending window events (painting, clicks, timer expiries) be handled from inside a handler.
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void processPendingEvents() = 0;
};

// Blocks the calling thread.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep(std::int32_t milliseconds) = 0;
};

// Called for each expiry of a system timer, on the GUI thread, with the identifier the timer
// service gave when the timer was created. The shape is that of a Windows TIMERPROC.
using TimerProc = void (*)(std::intptr_t window, std::uint32_t message, std::int32_t timerId,
                           std::uint32_t systemTime);

// Periodic system timers reported to one callback (SetTimer/KillTimer with no window on Windows).
class TimerService {
public:
    virtual ~TimerService() = default;
    // Returns a non-zero identifier distinct from every running timer's, or 0 when refused.
    virtual std::int32_t setTimer(std::int32_t periodMilliseconds, TimerProc callback) = 0;
    // No expiry of that identifier is delivered afterwards.
    virtual void killTimer(std::int32_t timerId) = 0;
};

// The system clipboard, plain text only. Failures (a clipboard that cannot be opened) are thrown
// as a ComponentError with this number and description, and the executable's name as source.
inline constexpr std::int32_t kClipboardCantOpenNumber = 521;
inline constexpr const char* kClipboardCantOpenDescription = "Can't open Clipboard";

class Clipboard {
public:
    virtual ~Clipboard() = default;
    virtual void clear() = 0;
    virtual void setText(const std::string& text) = 0;
    virtual std::string text() = 0;
};

// A modal message box with an OK button; it runs a nested event loop until closed. (Not named
// MessageBox: windows.h defines that name as a macro.)
class MessageDialog {
public:
    virtual ~MessageDialog() = default;
    virtual void showWarning(const std::string& text, const std::string& title) = 0;
};

// Whether another instance of this program is already running.
class InstanceCheck {
public:
    virtual ~InstanceCheck() = default;
    virtual bool anotherInstanceRunning() = 0;
    // After anotherInstanceRunning() said true: asks the running instance to bring its window to
    // the front, so that a second start visibly does something. Where the request cannot reach
    // it, says so on standard error; never fails.
    virtual void showRunningInstance() = 0;
};

// Ends the process at once: no further window or teardown steps run. A fake may return.
class ProcessControl {
public:
    virtual ~ProcessControl() = default;
    virtual void endNow() = 0;
};

// Major, minor and revision of the program's version record.
struct ProgramVersion {
    std::int16_t major = 0;
    std::int16_t minor = 0;
    std::int16_t revision = 0;
};

}  // namespace quorna::platform
