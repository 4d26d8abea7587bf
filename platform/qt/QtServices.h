#pragma once

#include <string>

#include "platform/Services.h"

class QWidget;

namespace quorna::platform::qt {

// Handles the pending events of the GUI thread's event loop (painting, input, timers).
class QtEventPump : public EventPump {
public:
    void processPendingEvents() override;
};

// Blocks the GUI thread; events wait until it is back.
class QtSleeper : public Sleeper {
public:
    void sleep(std::int32_t milliseconds) override;
};

// The system clipboard (X11: the CLIPBOARD selection), plain text only.
class QtClipboard : public Clipboard {
public:
    void clear() override;
    void setText(const std::string& text) override;
    std::string text() override;
};

// A modal warning box with an OK button. Its nested event loop keeps timers and other windows
// running while it is open.
class QtMessageBox : public MessageDialog {
public:
    void showWarning(const std::string& text, const std::string& title) override;
};

// Ends the process at once: no destructors, no window or teardown steps.
class QtProcessControl : public ProcessControl {
public:
    void endNow() override;
};

// Texts of the core join lines with CR LF; Qt breaks lines at LF only.
std::string toQtLineBreaks(const std::string& text);

}  // namespace quorna::platform::qt
