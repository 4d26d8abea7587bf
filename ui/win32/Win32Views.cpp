#include "ui/win32/Win32Views.h"

#include <stdexcept>

#include "ui/TopLevel.h"

namespace quorna::ui::win32 {

struct Win32WindowView::Link {
    LayoutWindow* window = nullptr;
    bool unloadRequested = false;
};

Win32WindowView::Win32WindowView() : link_(std::make_shared<Link>()) {}

Win32WindowView::~Win32WindowView() {
    // Possibly inside one of the window's own handlers: destroyed once back in the loop.
    if (link_->window != nullptr) {
        link_->unloadRequested = true;
        link_->window->destroyLater();
    }
}

LayoutWindow* Win32WindowView::window() const {
    return link_->window;
}

void Win32WindowView::createWindow(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                                   std::function<void()> onCloseRequest,
                                   std::function<void()> onGone) {
    link_->window =
        LayoutWindow::create(layout, std::move(onSurfaceClick), std::move(onCloseRequest),
                             [link = link_, onGone = std::move(onGone)] {
                                 link->window = nullptr;
                                 if (!link->unloadRequested && onGone) {
                                     onGone();
                                 }
                             });
}

LayoutWindow& Win32WindowView::existing() const {
    if (link_->window == nullptr) {
        throw std::logic_error("The window is gone");
    }
    return *link_->window;
}

void Win32WindowView::setCaptionOf(std::string_view control, const std::string& text) {
    existing().setCaption(control, text);
}

void Win32WindowView::setFontSizeOf(std::string_view control, double points) {
    existing().setFontSize(control, points);
}

void Win32WindowView::setVisibleOf(std::string_view control, bool visible) {
    LayoutWindow& window = existing();
    window.setVisible(control, visible);
    // A control that appears where nothing has the focus gets it (the start-up window's Exit
    // button on the error screen), so that Enter or Space presses it at once.
    HWND handle = window.controlHandle(control);
    HWND focus = GetFocus();
    if (visible && handle != nullptr && (GetWindowLongPtrW(handle, GWL_STYLE) & WS_TABSTOP) &&
        (focus == nullptr || focus == window.handle() || !IsWindowVisible(focus)) &&
        GetForegroundWindow() == window.handle()) {
        SetFocus(handle);
    }
}

void Win32WindowView::showWindow() {
    if (link_->window != nullptr) {
        link_->window->show();
    }
}

void Win32WindowView::hideWindow() {
    if (link_->window != nullptr) {
        link_->window->hide();
    }
}

void Win32WindowView::unloadWindow() {
    link_->unloadRequested = true;
    if (link_->window != nullptr) {
        link_->window->destroyLater();
    }
}

Win32SplashView::Win32SplashView(std::weak_ptr<SplashEvents> events,
                                 platform::MessageDialog& messageBox) {
    using Events = SplashEvents;
    createWindow(frmSplashLayout(),
                 forwarder(events, messageBox, [](Events& e) { e.Form_Click(); }),
                 forwarder(events, messageBox, [](Events& e) { e.Form_Close(); }),
                 forwarder(events, messageBox, [](Events& e) { e.viewGone(); }));
    if (LayoutWindow* made = window()) {
        made->onButtonClick("cmdExit",
                            forwarder(events, messageBox, [](Events& e) { e.cmdExit_Click(); }));
    }
}

Win32MainView::Win32MainView(std::weak_ptr<MainEvents> events,
                             platform::MessageDialog& messageBox) {
    using Events = MainEvents;
    createWindow(frmMainLayout(), nullptr,
                 forwarder(events, messageBox, [](Events& e) { e.Form_Close(); }),
                 forwarder(events, messageBox, [](Events& e) { e.viewGone(); }));
    if (LayoutWindow* made = window()) {
        made->onButtonClick(
            "cmdScanning", forwarder(events, messageBox, [](Events& e) { e.cmdScanning_Click(); }));
        made->onButtonClick(
            "cmdScanOnce", forwarder(events, messageBox, [](Events& e) { e.cmdScanOnce_Click(); }));
        made->onButtonClick("cmdExit",
                            forwarder(events, messageBox, [](Events& e) { e.cmdExit_Click(); }));
    }
}

void Win32MainView::listClear(std::string_view control) {
    existing().listClear(control);
}

void Win32MainView::listAddItem(std::string_view control, const std::string& text) {
    existing().listAddItem(control, text);
}

int Win32MainView::checkValue(std::string_view control) {
    return existing().checkValue(control);
}

SplashViewFactory splashViewFactory(platform::MessageDialog& messageBox) {
    return [&messageBox](std::weak_ptr<SplashEvents> events) -> std::shared_ptr<SplashView> {
        auto view = std::make_shared<Win32SplashView>(std::move(events), messageBox);
        return view->window() != nullptr ? view : nullptr;
    };
}

MainViewFactory mainViewFactory(platform::MessageDialog& messageBox) {
    return [&messageBox](std::weak_ptr<MainEvents> events) -> std::shared_ptr<MainView> {
        auto view = std::make_shared<Win32MainView>(std::move(events), messageBox);
        return view->window() != nullptr ? view : nullptr;
    };
}

}  // namespace quorna::ui::win32
