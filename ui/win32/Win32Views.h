#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Services.h"
#include "ui/Layout.h"
#include "ui/Views.h"
#include "ui/frmMain.h"
#include "ui/frmSplash.h"
#include "ui/win32/LayoutWindow.h"

namespace quorna::ui::win32 {

// What both views share: the window and forwarding to the logic. Every forwarded event runs
// under the application's top level, which shows a failure no step handles.
class Win32WindowView {
public:
    Win32WindowView();
    virtual ~Win32WindowView();

    Win32WindowView(const Win32WindowView&) = delete;
    Win32WindowView& operator=(const Win32WindowView&) = delete;

    // The window while it exists, else nullptr.
    LayoutWindow* window() const;

protected:
    struct Link;  // shared with the window's handlers, which may outlive the view

    LayoutWindow& existing() const;
    void setCaptionOf(std::string_view control, const std::string& text);
    void setFontSizeOf(std::string_view control, double points);
    void setVisibleOf(std::string_view control, bool visible);
    void showWindow();
    void hideWindow();
    void unloadWindow();

    // Creates the window; onGone runs when it is destroyed without the logic asking.
    void createWindow(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                      std::function<void()> onCloseRequest, std::function<void()> onGone);

    std::shared_ptr<Link> link_;
};

template <typename View>
using Win32View = ForwardingView<View, Win32WindowView>;

class Win32SplashView : public Win32View<SplashView> {
public:
    Win32SplashView(std::weak_ptr<SplashEvents> events, platform::MessageDialog& messageBox);
};

class Win32MainView : public Win32View<MainView> {
public:
    Win32MainView(std::weak_ptr<MainEvents> events, platform::MessageDialog& messageBox);

    void listClear(std::string_view control) override;
    void listAddItem(std::string_view control, const std::string& text) override;
    int checkValue(std::string_view control) override;
};

// The factories the window logic creates its views with; a view whose window the system refuses
// is not made (nullptr). messageBox must outlive the views.
SplashViewFactory splashViewFactory(platform::MessageDialog& messageBox);
MainViewFactory mainViewFactory(platform::MessageDialog& messageBox);

}  // namespace quorna::ui::win32
