// The Qt views forward the user's actions to the window logic under the top level: clicks on the
// bare start-up window surface (not on its labels), buttons, close requests; a failure that no
// step handles is shown and the program goes on; a close always closes.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "QtResources.h"
#include "platform/ComponentError.h"
#include "tests/fakes/FakeUiPlatform.h"
#include "ui/qt/LayoutWidgets.h"
#include "ui/qt/QtViews.h"

namespace {

using namespace quorna::ui;

struct RecordingSplash : SplashEvents {
    std::vector<std::string> calls;
    std::function<void()> onClick;
    void Form_Click() override {
        calls.push_back("Form_Click");
        if (onClick) {
            onClick();
        }
    }
    void cmdExit_Click() override { calls.push_back("cmdExit_Click"); }
    void Form_Close() override { calls.push_back("Form_Close"); }
    void viewGone() override { calls.push_back("viewGone"); }
};

struct RecordingMain : MainEvents {
    std::vector<std::string> calls;
    std::shared_ptr<MainView> view;  // as the window logic holds it
    void cmdScanning_Click() override { calls.push_back("cmdScanning_Click"); }
    void cmdScanOnce_Click() override {
        calls.push_back("cmdScanOnce_Click");
        throw quorna::ComponentError(91, "QuornaWeb.frmMain", "No reader driver");
    }
    void cmdExit_Click() override { calls.push_back("cmdExit_Click"); }
    void Form_Close() override {
        calls.push_back("Form_Close");
        view->unload();  // the logic unloads the view from inside the close request
        view.reset();
    }
    void viewGone() override { calls.push_back("viewGone"); }
};

class QtViewsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        loadProgramResources();
        quorna::ui::qt::installWindowFonts();
    }
    quorna::fakes::FakeMessageBox messageBox;
};

TEST_F(QtViewsTest, StartUpWindowSurfaceClicksButNotLabelClicks) {
    auto events = std::make_shared<RecordingSplash>();
    auto view = std::make_shared<quorna::ui::qt::QtSplashView>(events, messageBox);
    QWidget& window = *view->window();
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QTest::mouseClick(&window, Qt::LeftButton, {}, QPoint(5, 5));  // bare picture corner
    EXPECT_EQ(events->calls, std::vector<std::string>{"Form_Click"});

    events->calls.clear();
    QWidget* status = view->window()->control("lblStatus");
    QTest::mouseClick(status, Qt::LeftButton, {}, QPoint(10, 10));
    QWidget* license = view->window()->control("lblLicense");
    QTest::mouseClick(license, Qt::LeftButton, {}, QPoint(200, 5));
    QTest::mouseClick(&window, Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_TRUE(events->calls.empty());

    view->setVisible("cmdExit", true);
    qobject_cast<QAbstractButton*>(view->window()->control("cmdExit"))->click();
    EXPECT_EQ(events->calls, std::vector<std::string>{"cmdExit_Click"});
}

// A click at the centre of every button, as the window system delivers it (hit-tested from the
// top-level window), presses that button, even where a label's rectangle overlaps it.
TEST_F(QtViewsTest, ClickAtTheCentreOfEveryButtonPressesIt) {
    auto splashEvents = std::make_shared<RecordingSplash>();
    auto splash = std::make_shared<quorna::ui::qt::QtSplashView>(splashEvents, messageBox);
    splash->setVisible("cmdExit", true);
    auto mainEvents = std::make_shared<RecordingMain>();
    auto main = std::make_shared<quorna::ui::qt::QtMainView>(mainEvents, messageBox);
    for (quorna::ui::qt::QtLayoutWindow* window : {splash->window(), main->window()}) {
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        for (auto* button : window->findChildren<QAbstractButton*>()) {
            SCOPED_TRACE(button->objectName().toStdString());
            QSignalSpy clicks(button, &QAbstractButton::clicked);
            const QPoint centre = button->mapTo(window, button->rect().center());
            QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, centre);
            EXPECT_EQ(clicks.count(), 1);
        }
    }
    EXPECT_EQ(splashEvents->calls, std::vector<std::string>{"cmdExit_Click"});
}

// A close request reaches the logic; a failure in a forwarded click is shown with its
// description, and the next click is still forwarded.
TEST_F(QtViewsTest, MainWindowButtonsFailuresAndClose) {
    auto events = std::make_shared<RecordingMain>();
    auto view = std::make_shared<quorna::ui::qt::QtMainView>(events, messageBox);
    events->view = view;
    QPointer<QWidget> window = view->window();
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    auto click = [&](const char* name) {
        qobject_cast<QAbstractButton*>(view->window()->control(name))->click();
    };
    click("cmdScanOnce");
    ASSERT_EQ(messageBox.shown.size(), 1u);
    EXPECT_EQ(messageBox.shown[0].text, "No reader driver");
    EXPECT_EQ(messageBox.shown[0].title, "Application Error");
    click("cmdScanning");
    click("cmdExit");
    EXPECT_EQ(events->calls, (std::vector<std::string>{"cmdScanOnce_Click", "cmdScanning_Click",
                                                       "cmdExit_Click"}));

    view.reset();  // only the logic holds it now
    events->calls.clear();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(events->calls, std::vector<std::string>{"Form_Close"});
    EXPECT_FALSE(window->isVisible());
    // Destroyed once back in the loop, without viewGone.
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isNull(); }, 5000));
    EXPECT_EQ(events->calls, std::vector<std::string>{"Form_Close"});
}

TEST_F(QtViewsTest, WindowDestroyedBehindTheLogicsBackTellsIt) {
    auto events = std::make_shared<RecordingSplash>();
    auto view = std::make_shared<quorna::ui::qt::QtSplashView>(events, messageBox);
    delete view->window();
    EXPECT_EQ(events->calls, std::vector<std::string>{"viewGone"});
    EXPECT_THROW(view->setCaption("lblStatus", "gone"), std::exception);
}

// The events object is held weakly: once the logic has let go, nothing is forwarded.
TEST_F(QtViewsTest, NothingForwardedAfterTheLogicIsGone) {
    auto events = std::make_shared<RecordingSplash>();
    auto view = std::make_shared<quorna::ui::qt::QtSplashView>(events, messageBox);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
    std::weak_ptr<RecordingSplash> watch = events;
    events.reset();
    QTest::mouseClick(view->window(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(messageBox.shown.empty());
}

}  // namespace
