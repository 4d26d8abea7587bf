#include "ui/qt/QtViews.h"

#include <algorithm>
#include <stdexcept>

#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>
#include <QTimer>
#include <QWindow>

#include "ui/LayoutAccessibility.h"
#include "ui/TopLevel.h"
#include "ui/qt/Accessibility.h"
#include "ui/qt/LayoutWidgets.h"

namespace quorna::ui::qt {

namespace {

// Longest wait for the window system to put a shown window on screen.
constexpr int kExposeWaitMilliseconds = 250;

// Ends a wait once the window system has exposed the window; the window paints on that event.
class ExposeWait : public QObject {
public:
    explicit ExposeWait(QEventLoop& loop) : loop_(loop) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Expose) {
            loop_.quit();
        }
        return false;
    }

private:
    QEventLoop& loop_;
};

// A shown window reaches the screen only when the window system exposes it, in its own time; a
// caller that goes on at once (the start-up window probes and sleeps next) would leave it
// unpainted. Waits for that exposure, handling no input and bounded in time.
void waitUntilOnScreen(QWidget& window) {
    QWindow* handle = window.windowHandle();
    if (handle == nullptr || handle->isExposed()) {
        return;
    }
    QEventLoop loop;
    ExposeWait exposed(loop);
    handle->installEventFilter(&exposed);
    QTimer::singleShot(kExposeWaitMilliseconds, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    handle->removeEventFilter(&exposed);
}

}  // namespace

QtLayoutWindow::QtLayoutWindow(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                               std::function<void()> onCloseRequest)
    : onSurfaceClick_(std::move(onSurfaceClick)), onCloseRequest_(std::move(onCloseRequest)) {
    installAccessibleRoles();  // before anything asks how this window is described
    applyWindowSettings(layout, *this);
    if (!layout.picture.empty()) {
        background_ = loadPicture(layout.picture);
    }
    controls_ = buildControls(layout, *this);
    // Esc on a window without a cancel button (the start-up window, its error screen) asks it to
    // close, as Alt+F4 does.
    const bool hasCancelButton = std::any_of(layout.controls.begin(), layout.controls.end(),
                                             [](const auto& c) { return c.cancelButton; });
    if (!hasCancelButton) {
        auto* escape = new QShortcut(Qt::Key_Escape, this);
        QObject::connect(escape, &QShortcut::activated, this, [this] { close(); });
    }
}

QWidget* QtLayoutWindow::control(std::string_view name) const {
    const auto found = controls_.find(name);
    return found == controls_.end() ? nullptr : found->second;
}

void QtLayoutWindow::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (!background_.isNull()) {
        QPainter painter(this);
        painter.drawPixmap(0, 0, background_);  // unscaled, from the top-left corner
    }
}

// A click is a press and a release of the left button, both on the bare surface: labels pass
// their mouse events up to the window, so the control under the pointer is asked for.
void QtLayoutWindow::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    pressedOnSurface_ = event->button() == Qt::LeftButton && childAt(at) == nullptr;
    QWidget::mousePressEvent(event);
}

void QtLayoutWindow::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    const bool click = pressedOnSurface_ && event->button() == Qt::LeftButton &&
                       rect().contains(at) && childAt(at) == nullptr;
    pressedOnSurface_ = false;
    QWidget::mouseReleaseEvent(event);
    if (click && onSurfaceClick_) {
        onSurfaceClick_();
    }
}

void QtLayoutWindow::closeEvent(QCloseEvent* event) {
    if (onCloseRequest_) {
        onCloseRequest_();
    }
    event->accept();  // a close always closes
}

struct QtWindowView::Shared {
    bool unloadRequested = false;
};

QtWindowView::QtWindowView() : shared_(std::make_shared<Shared>()) {}

QtWindowView::~QtWindowView() {
    // Possibly inside one of the window's own event handlers: delete it once back in the loop.
    if (window_) {
        shared_->unloadRequested = true;
        window_->hide();
        window_->deleteLater();
    }
}

QWidget& QtWindowView::widget(std::string_view control) const {
    QWidget* found = window_ ? window_->control(control) : nullptr;
    if (found == nullptr) {
        throw std::out_of_range("No control named " + std::string(control));
    }
    return *found;
}

void QtWindowView::setCaptionOf(std::string_view control, const std::string& text) {
    QWidget& target = widget(control);
    if (auto* label = dynamic_cast<CaptionLabel*>(&target)) {
        label->setCaption(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(&target)) {
        button->setText(buttonText(text));
    } else {
        throw std::invalid_argument("Control " + std::string(control) + " has no caption");
    }
}

void QtWindowView::setFontSizeOf(std::string_view control, double points) {
    QWidget& target = widget(control);
    QFont font = target.font();
    font.setPointSizeF(points);
    if (auto* label = dynamic_cast<CaptionLabel*>(&target)) {
        label->setCaptionFont(font);
    } else {
        target.setFont(font);
    }
}

void QtWindowView::setVisibleOf(std::string_view control, bool visible) {
    QWidget& target = widget(control);
    target.setVisible(visible);
    // A control that appears where nothing can take the focus gets it (the start-up window's
    // Exit button on the error screen), so that Enter or Space presses it at once.
    if (visible && target.focusPolicy() != Qt::NoFocus) {
        const QWidget* focused = window_->focusWidget();
        if (focused == nullptr || focused == &target || !focused->isVisible()) {
            target.setFocus(Qt::OtherFocusReason);
        }
    }
}

void QtWindowView::showWindow() {
    if (window_) {
        window_->show();
        window_->raise();
        window_->activateWindow();
        waitUntilOnScreen(*window_);
    }
}

void QtWindowView::hideWindow() {
    if (window_) {
        window_->hide();
    }
}

void QtWindowView::unloadWindow() {
    shared_->unloadRequested = true;
    if (window_) {
        window_->hide();
        window_->deleteLater();
    }
}

void QtWindowView::watchDestruction(std::function<void()> onGone) {
    QObject::connect(window_, &QObject::destroyed, [shared = shared_, onGone = std::move(onGone)] {
        if (!shared->unloadRequested) {
            onGone();
        }
    });
}

void QtWindowView::connectButton(std::string_view control, std::function<void()> onClick) {
    auto* button = qobject_cast<QAbstractButton*>(&widget(control));
    if (button != nullptr) {
        QObject::connect(button, &QAbstractButton::clicked, button,
                         [onClick = std::move(onClick)] { onClick(); });
    }
}

QtSplashView::QtSplashView(std::weak_ptr<SplashEvents> events,
                           platform::MessageDialog& messageBox) {
    using Events = SplashEvents;
    window_ = new QtLayoutWindow(frmSplashLayout(),
                                 forwarder(events, messageBox, [](Events& e) { e.Form_Click(); }),
                                 forwarder(events, messageBox, [](Events& e) { e.Form_Close(); }));
    connectButton("cmdExit", forwarder(events, messageBox, [](Events& e) { e.cmdExit_Click(); }));
    watchDestruction(forwarder(events, messageBox, [](Events& e) { e.viewGone(); }));
}

QtMainView::QtMainView(std::weak_ptr<MainEvents> events, platform::MessageDialog& messageBox) {
    using Events = MainEvents;
    window_ = new QtLayoutWindow(frmMainLayout(), nullptr,
                                 forwarder(events, messageBox, [](Events& e) { e.Form_Close(); }));
    connectButton("cmdScanning",
                  forwarder(events, messageBox, [](Events& e) { e.cmdScanning_Click(); }));
    connectButton("cmdScanOnce",
                  forwarder(events, messageBox, [](Events& e) { e.cmdScanOnce_Click(); }));
    connectButton("cmdExit", forwarder(events, messageBox, [](Events& e) { e.cmdExit_Click(); }));
    watchDestruction(forwarder(events, messageBox, [](Events& e) { e.viewGone(); }));
}

void QtMainView::listClear(std::string_view control) {
    auto* list = qobject_cast<QListWidget*>(&widget(control));
    if (list == nullptr) {
        throw std::invalid_argument("Control " + std::string(control) + " is not a list");
    }
    list->clear();
}

void QtMainView::listAddItem(std::string_view control, const std::string& text) {
    auto* list = qobject_cast<QListWidget*>(&widget(control));
    if (list == nullptr) {
        throw std::invalid_argument("Control " + std::string(control) + " is not a list");
    }
    list->addItem(QString::fromStdString(text));
}

int QtMainView::checkValue(std::string_view control) {
    auto* box = qobject_cast<QCheckBox*>(&widget(control));
    if (box == nullptr) {
        throw std::invalid_argument("Control " + std::string(control) + " is not a check box");
    }
    switch (box->checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        case Qt::Unchecked:
            break;
    }
    return 0;
}

SplashViewFactory splashViewFactory(platform::MessageDialog& messageBox) {
    return [&messageBox](std::weak_ptr<SplashEvents> events) -> std::shared_ptr<SplashView> {
        return std::make_shared<QtSplashView>(std::move(events), messageBox);
    };
}

MainViewFactory mainViewFactory(platform::MessageDialog& messageBox) {
    return [&messageBox](std::weak_ptr<MainEvents> events) -> std::shared_ptr<MainView> {
        return std::make_shared<QtMainView>(std::move(events), messageBox);
    };
}

}  // namespace quorna::ui::qt
