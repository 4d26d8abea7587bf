#pragma once

#include <memory>
#include <string>
#include <string_view>

// What the window logic asks of a front-end window, and what the front-end tells the logic.
//
// A view is created by its factory when the logic loads the window: it builds the toolkit window
// and every control from the window's layout table (Layout.h), hidden. From then on the logic
// drives it only through the calls below, naming controls by their layout names. Captions use
// the layout's access-key notation ("&x" access key, "&&" one ampersand) for every kind of
// control; CR LF inside a caption is a line break.
//
// The view forwards the user's actions to the logic's events object, which it holds weakly,
// through ui::forwarder (TopLevel.h): the pointer stays locked for the duration of the call, which
// keeps the window object alive while its handler runs, even when the handler unloads the window,
// and the call runs under ui::runTopLevel.
namespace quorna::ui {

class WindowView {
public:
    virtual ~WindowView() = default;

    virtual void setCaption(std::string_view control, const std::string& text) = 0;
    virtual void setFontSize(std::string_view control, double points) = 0;
    virtual void setVisible(std::string_view control, bool visible) = 0;
    // Shows the window, not modal, without an owner; a repeated show is harmless.
    virtual void show() = 0;
    virtual void hide() = 0;
    // Destroys the toolkit window for good. Called once, by the logic, after its unload steps;
    // possibly from inside a forwarded close request or button click, in which case the front-end
    // lets that close proceed and destroys the window later (deleteLater or the like). After it
    // the logic makes no further call on the view. The view must not call viewGone() for it.
    virtual void unload() = 0;
};

class SplashView : public WindowView {};

class MainView : public WindowView {
public:
    virtual void listClear(std::string_view control) = 0;
    virtual void listAddItem(std::string_view control, const std::string& text) = 0;
    // 0 unticked, 1 ticked (2 greyed, never used here).
    virtual int checkValue(std::string_view control) = 0;
};

// Events the start-up window's view forwards.
class SplashEvents {
public:
    virtual ~SplashEvents() = default;
    virtual void Form_Click() = 0;  // click on the window surface, not on a label or the button
    virtual void cmdExit_Click() = 0;
    // The platform asks the window to close (system close command, Alt+F4, session end). The
    // logic runs its unload steps and calls unload() on the view; the close is never refused.
    virtual void Form_Close() = 0;
    // The toolkit window was destroyed without the logic asking (e.g. the toolkit tearing down at
    // exit): the logic stops using the view and runs no further steps on it.
    virtual void viewGone() = 0;
};

// Events the main window's view forwards.
class MainEvents {
public:
    virtual ~MainEvents() = default;
    virtual void cmdScanning_Click() = 0;
    virtual void cmdScanOnce_Click() = 0;
    virtual void cmdExit_Click() = 0;
    virtual void Form_Close() = 0;  // as SplashEvents::Form_Close; the close is never refused
    virtual void viewGone() = 0;
};

// The calls every front-end's view answers the same way: each goes to the front-end's window
// class (Window), which provides setCaptionOf, setFontSizeOf, setVisibleOf, showWindow,
// hideWindow and unloadWindow.
template <typename View, typename Window>
class ForwardingView : public View, public Window {
public:
    void setCaption(std::string_view control, const std::string& text) override {
        this->setCaptionOf(control, text);
    }
    void setFontSize(std::string_view control, double points) override {
        this->setFontSizeOf(control, points);
    }
    void setVisible(std::string_view control, bool visible) override {
        this->setVisibleOf(control, visible);
    }
    void show() override { this->showWindow(); }
    void hide() override { this->hideWindow(); }
    void unload() override { this->unloadWindow(); }
};

}  // namespace quorna::ui
