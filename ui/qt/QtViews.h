#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include "platform/Services.h"
#include "ui/Layout.h"
#include "ui/Views.h"
#include "ui/frmMain.h"
#include "ui/frmSplash.h"

namespace quorna::ui::qt {

// A top-level window built from a layout. It paints the layout's background picture, reports
// clicks on its bare surface (not on a control) and every close request.
class QtLayoutWindow : public QWidget {
public:
    QtLayoutWindow(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                   std::function<void()> onCloseRequest);

    QWidget* control(std::string_view name) const;
    const std::map<std::string, QWidget*, std::less<>>& controls() const { return controls_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QPixmap background_;
    std::function<void()> onSurfaceClick_;
    std::function<void()> onCloseRequest_;
    std::map<std::string, QWidget*, std::less<>> controls_;
    bool pressedOnSurface_ = false;
};

// What both views share: the window, the controls by name, and forwarding to the logic. Every
// forwarded event runs under the application's top level, which shows a failure no step handles.
class QtWindowView {
public:
    QtWindowView();
    virtual ~QtWindowView();

    QtLayoutWindow* window() const { return window_; }

protected:
    struct Shared;  // outlives the view while the window exists

    QWidget& widget(std::string_view control) const;
    void setCaptionOf(std::string_view control, const std::string& text);
    void setFontSizeOf(std::string_view control, double points);
    void setVisibleOf(std::string_view control, bool visible);
    void showWindow();
    void hideWindow();
    void unloadWindow();

    void watchDestruction(std::function<void()> onGone);
    void connectButton(std::string_view control, std::function<void()> onClick);

    std::shared_ptr<Shared> shared_;
    QPointer<QtLayoutWindow> window_;
};

template <typename View>
using QtView = ForwardingView<View, QtWindowView>;

class QtSplashView : public QtView<SplashView> {
public:
    QtSplashView(std::weak_ptr<SplashEvents> events, platform::MessageDialog& messageBox);
};

class QtMainView : public QtView<MainView> {
public:
    QtMainView(std::weak_ptr<MainEvents> events, platform::MessageDialog& messageBox);

    void listClear(std::string_view control) override;
    void listAddItem(std::string_view control, const std::string& text) override;
    int checkValue(std::string_view control) override;
};

// The factories the window logic creates its views with. messageBox shows the failures that
// reach the top level; it must outlive the views.
SplashViewFactory splashViewFactory(platform::MessageDialog& messageBox);
MainViewFactory mainViewFactory(platform::MessageDialog& messageBox);

}  // namespace quorna::ui::qt
