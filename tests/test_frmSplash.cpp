#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ProgramVersionRecord.h"
#include "platform/ComponentError.h"
#include "reader/tmexapi.h"
#include "tests/fakes/FakeDrive.h"
#include "tests/fakes/FakeTimerService.h"
#include "tests/fakes/FakeUiPlatform.h"
#include "tests/fakes/FakeViews.h"
#include "timer/CTimer.h"
#include "ui/Application.h"

using namespace quorna;
using namespace quorna::fakes;
using namespace quorna::ui;

namespace {

const std::string kNotFoundHead =
    "ERROR : Fobit Reader not found on any COMM or USB port.\r\n"
    "Click anywhere on the screen to close the application.\r\n\r\n";
const std::string kUsbFound = "Fobit reader found on USB Port. Loading application...";

std::string loadFailure(const std::string& description, int line) {
    return description + "\r\nin QuornaWeb.frmSplash.Form_Load at line " + std::to_string(line);
}

class SplashTest : public ::testing::Test {
protected:
    void SetUp() override { clearSharedGlobals(); }

    void start() {
        auto prepareSplash = [this](FakeSplashView& view) {
            ++splashViewsMade;
            for (const auto& call : splashViewFailures) {
                view.failOn(call);
            }
            journalCalls(view, "splash ");
        };
        auto prepareMain = [this](FakeMainView& view) {
            ++mainViewsMade;
            journalCalls(view, "main ");
        };
        app = std::make_unique<Application>(
            PlatformServices{events, clipboard, messageBox, instances, process, nullptr,
                             platform::kProgramVersion},
            drives.factory(), viewFactory<FakeSplashView, SplashEvents>(splashView, prepareSplash),
            viewFactory<FakeMainView, MainEvents>(mainView, prepareMain),
            [this] { ++allWindowsGone; });
        app->start();
    }

    void journalCalls(FakeWindowView& view, const std::string& window) {
        view.beforeCall = [this, window](const std::string& call) {
            journal.push_back(window + call);
        };
    }

    std::shared_ptr<FakeDrive> checkDrive() const {
        return drives.made.empty() ? nullptr : drives.made.front();
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const auto& shown : messageBox.shown) {
            EXPECT_EQ(shown.title, "Application Error");
            texts.push_back(shown.text);
        }
        return texts;
    }

    // The error screen's way out: the Exit button shown, no hand-over ever, a click ends.
    void expectWayOutOnly() {
        EXPECT_TRUE(splashView->visible("cmdExit"));
        timers.advance(10000);
        EXPECT_EQ(mainViewsMade, 0);
        EXPECT_EQ(process.endNowCalls, 0);
        splashView->clickWindow();
        EXPECT_EQ(process.endNowCalls, 1);
    }

    const std::string& status() const { return splashView->caption("lblStatus"); }
    const std::string& driverInfo() const { return splashView->caption("lblDriverInfo"); }

    InstalledFakeTimerService timers;
    FakeMessageBox messageBox;
    FakeInstanceCheck instances;
    FakeProcessControl process;
    CallbackEventPump events;
    FakeClipboard clipboard;
    FakeDriveFactory drives;
    std::shared_ptr<FakeSplashView> splashView;
    std::shared_ptr<FakeMainView> mainView;
    int splashViewsMade = 0;
    int mainViewsMade = 0;
    int allWindowsGone = 0;
    std::vector<std::string> journal;
    std::vector<std::string> splashViewFailures;
    std::unique_ptr<Application> app;
};

}  // namespace

TEST_F(SplashTest, SecondInstanceShowsTheRunningOneAndEndsBeforeAnythingIsCreated) {
    instances.another = true;
    start();
    EXPECT_EQ(instances.showCalls, 1);
    EXPECT_EQ(process.endNowCalls, 1);
    EXPECT_EQ(splashViewsMade, 0);
    EXPECT_EQ(drives.constructions, 0);
    EXPECT_TRUE(messageBox.shown.empty());
    EXPECT_EQ(timers.setTimerCalls(), 0);
    EXPECT_EQ(allWindowsGone, 1);
}

TEST_F(SplashTest, FoundOnUsbWaitsForTheHandOverWithoutExitButton) {
    drives.portType = 6;
    drives.portNum = 1;
    start();
    EXPECT_EQ(instances.showCalls, 0);  // only a second start asks the running one to show
    EXPECT_TRUE(messageBox.shown.empty());
    EXPECT_EQ(status(), kUsbFound);
    EXPECT_DOUBLE_EQ(splashView->fontSize("lblStatus"), 8);
    EXPECT_FALSE(splashView->visible("cmdExit"));
    EXPECT_EQ(splashView->caption("lblVersion"), "Version : 1.3.17");
    EXPECT_EQ(driverInfo(), "Registry Values= T:6  P:1   3.21.0.10");
    EXPECT_EQ(splashView->showCalls(), 2);
    EXPECT_EQ(events.calls, 2);
    EXPECT_EQ(timers.liveCount(), 1);
    EXPECT_EQ(timers.periodOf(timers.lastId()), 3000);
    EXPECT_FALSE(app->splash()->NotFound());

    splashView->clickWindow();
    EXPECT_EQ(process.endNowCalls, 0);
    EXPECT_TRUE(splashView->shown());
}

TEST_F(SplashTest, FoundOnSerialPortShowsTheCommTextForEveryTypeButUsb) {
    const std::vector<std::pair<std::int16_t, std::int16_t>> cases{
        {5, 3}, {0, 0}, {2, 7}, {-1, -2}};
    for (auto [type, port] : cases) {
        SCOPED_TRACE("type " + std::to_string(type));
        drives.portType = type;
        drives.portNum = port;
        splashView.reset();
        start();
        EXPECT_EQ(status(), "Fobit reader found on COMM " + std::to_string(port) +
                                ". Loading application...");
        EXPECT_EQ(driverInfo(), "Registry Values= T:" + std::to_string(type) +
                                    "  P:" + std::to_string(port) + "   3.21.0.10");
        app.reset();
    }
    EXPECT_TRUE(messageBox.shown.empty());
}

TEST_F(SplashTest, NotFoundShowsErrorScreenAndOnlyAClickEnds) {
    drives.prepare = [](FakeDrive& drive) {
        drive.found = false;
        drive.errorText = "Adapter did not answer on USB port 1.";
    };
    start();
    EXPECT_TRUE(messageBox.shown.empty());
    EXPECT_EQ(status(), kNotFoundHead + "Adapter did not answer on USB port 1.");
    EXPECT_DOUBLE_EQ(splashView->fontSize("lblStatus"), 8);
    EXPECT_TRUE(splashView->visible("cmdExit"));
    EXPECT_EQ(timers.setTimerCalls(), 0);
    EXPECT_TRUE(app->splash()->NotFound());

    timers.advance(60000);
    EXPECT_EQ(mainViewsMade, 0);

    splashView->clickWindow();
    EXPECT_EQ(process.endNowCalls, 1);
    // Ending at once: no unload steps ran.
    EXPECT_FALSE(splashView->unloaded());
    EXPECT_NE(app->splash()->CheckDriver(), nullptr);
}

TEST_F(SplashTest, ExitButtonUnloadsThenEnds) {
    drives.prepare = [](FakeDrive& drive) { drive.found = false; };
    start();
    std::weak_ptr<FakeDrive> drive = checkDrive();
    drives.made.clear();
    int endedBeforeUnload = -1;
    splashView->beforeCall = [&](const std::string& call) {
        if (call == "unload") {
            endedBeforeUnload = process.endNowCalls;
            EXPECT_TRUE(drive.expired());  // the unload steps ran before the view went
        }
    };
    splashView->clickExit();
    EXPECT_EQ(endedBeforeUnload, 0);
    EXPECT_EQ(process.endNowCalls, 1);
    EXPECT_TRUE(splashView->unloaded());
    EXPECT_TRUE(messageBox.shown.empty());
}

TEST_F(SplashTest, DriverVersionAndSettingsTexts) {
    struct Case {
        std::string version;
        bool registry;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"3.21.", true, "Registry Values= T:6  P:1   Driver Not found Error: 3.21."},
        {"3.21.0", true, "Registry Values= T:6  P:1   3.21.0"},
        {"", true, "Registry Values= T:6  P:1   Driver Not found Error: "},
        {"3.21.0.10", false, "Registry Values Not Found.  3.21.0.10"},
        {"", false, "Registry Values Not Found.  Driver Not found Error: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("version '" + c.version + "'");
        drives.driverVersion = c.version;
        const bool registry = c.registry;
        drives.prepare = [registry](FakeDrive& drive) { drive.registrySet = registry; };
        start();
        EXPECT_EQ(driverInfo(), c.expected);
        app.reset();
    }
}

// The three ways the check can go wrong without a plain "not found" all end on the error screen
// or at least with its way out, never in a hand-over that cannot come or should not.
TEST_F(SplashTest, FailingAdapterTestTakesTheNotFoundPath) {
    drives.prepare = [](FakeDrive& drive) { drive.throwOn("Found"); };
    start();
    EXPECT_EQ(messages(),
              (std::vector<std::string>{loadFailure("TMexDrive component failure", 106)}));
    EXPECT_EQ(status(), kNotFoundHead + "TMexDrive component failure");
    EXPECT_EQ(checkDrive()->calls("ErrorText"), 0);
    EXPECT_EQ(timers.setTimerCalls(), 0);
    expectWayOutOnly();
}

TEST_F(SplashTest, DriverThatCannotBeCreatedNeverLeadsToAHandOver) {
    drives.failConstruction = true;
    drives.portType = 0;
    drives.portNum = 0;
    drives.driverVersion = "";
    start();
    EXPECT_EQ(messages(), (std::vector<std::string>{loadFailure("TMexDrive component failure", 102),
                                                    loadFailure("No reader driver", 106),
                                                    loadFailure("No reader driver", 114)}));
    EXPECT_EQ(splashView->caption("lblVersion"), "Version : 1.3.17");  // went on at line 104
    EXPECT_EQ(status(), kNotFoundHead + "No reader driver");
    EXPECT_EQ(driverInfo(), "Registry Values Not Found.  Driver Not found Error: ");
    expectWayOutOnly();
}

TEST_F(SplashTest, FailingSettingsTestCountsAsNoSettings) {
    drives.prepare = [](FakeDrive& drive) { drive.throwOn("RegistrySet"); };
    start();
    EXPECT_EQ(messages(),
              (std::vector<std::string>{loadFailure("TMexDrive component failure", 114)}));
    EXPECT_EQ(driverInfo(), "Registry Values Not Found.  3.21.0.10");
    EXPECT_EQ(status(), kUsbFound);
}

TEST_F(SplashTest, RefusedHandOverTimerLeavesAWayOut) {
    timers.refuseNext();
    start();
    EXPECT_EQ(messages(),
              (std::vector<std::string>{loadFailure("Can't create system timer", 108)}));
    // The found text no longer promises the application: it says it could not be started.
    EXPECT_EQ(status(),
              "Fobit reader found on USB Port. The application could not be started.\r\n"
              "Click anywhere on the screen to close the application.");
    expectWayOutOnly();

    app.reset();
    messageBox.shown.clear();
    drives = FakeDriveFactory{};
    drives.portType = 5;
    timers.refuseNext();
    start();
    EXPECT_EQ(status(),
              "Fobit reader found on COMM 1. The application could not be started.\r\n"
              "Click anywhere on the screen to close the application.");
}

// Each statement's failure is reported with its procedure and line, and the sequence goes on at
// the statement the failure rules name.
TEST_F(SplashTest, FailureAtEachLineIsReportedAndTheSequenceGoesOn) {
    const std::string failure = "TMexDrive component failure";
    auto viewFailure = [](const std::string& call) { return "View failure at " + call; };
    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::vector<std::string> expected;
        std::function<void()> check;
    };
    const std::vector<Case> cases{
        {"window show, lines 100 and 104",
         [&] { splashViewFailures = {"show"}; },
         {loadFailure(viewFailure("show"), 100), loadFailure(viewFailure("show"), 104)},
         [&] {
             EXPECT_EQ(events.calls, 2);  // steps 5 and 9 still ran
             EXPECT_EQ(status(), kUsbFound);
         }},
        {"first event processing, line 100",
         [&] { events.failNext = 1; },
         {loadFailure("Invalid procedure call or argument", 100)},
         [&] {
             EXPECT_EQ(drives.constructions, 1);
             EXPECT_EQ(status(), kUsbFound);
         }},
        {"second event processing, line 104",
         [&] {
             events.pending = [&] {
                 if (events.calls == 2) {
                     throw ComponentError(5, "EventPump", "Invalid procedure call or argument");
                 }
             };
         },
         {loadFailure("Invalid procedure call or argument", 104)},
         [&] { EXPECT_EQ(checkDrive()->calls("Found"), 1); }},
        {"version label, line 104",
         [&] { splashViewFailures = {"setCaption lblVersion"}; },
         {loadFailure(viewFailure("setCaption lblVersion"), 104)},
         [&] {
             EXPECT_EQ(splashView->caption("lblVersion"), "Version Label");
             EXPECT_EQ(splashView->showCalls(), 2);
             EXPECT_EQ(status(), kUsbFound);
         }},
        {"USB found text, line 110",
         [&] { splashViewFailures = {"setCaption lblStatus"}; },
         {loadFailure(viewFailure("setCaption lblStatus"), 110)},
         [&] {
             EXPECT_DOUBLE_EQ(splashView->fontSize("lblStatus"), 8);  // goes on at step 17
             EXPECT_EQ(driverInfo(), "Registry Values= T:6  P:1   3.21.0.10");
         }},
        {"COMM found text, line 111",
         [&] {
             drives.portType = 5;
             splashViewFailures = {"setCaption lblStatus"};
         },
         {loadFailure(viewFailure("setCaption lblStatus"), 111)},
         [&] {
             EXPECT_DOUBLE_EQ(splashView->fontSize("lblStatus"), 8);
             EXPECT_FALSE(splashView->visible("cmdExit"));
         }},
        {"error text, line 114",
         [&] {
             drives.prepare = [](FakeDrive& drive) {
                 drive.found = false;
                 drive.throwOn("ErrorText");
             };
         },
         {loadFailure(failure, 114)},
         [&] {
             EXPECT_DOUBLE_EQ(splashView->fontSize("lblStatus"), 8);
             EXPECT_TRUE(splashView->visible("cmdExit"));
             EXPECT_EQ(driverInfo(), "Registry Values= T:6  P:1   3.21.0.10");
         }},
        {"status font size, line 114",
         [&] { splashViewFailures = {"setFontSize lblStatus"}; },
         {loadFailure(viewFailure("setFontSize lblStatus"), 114)},
         [&] {
             EXPECT_EQ(splashView->count("setVisible cmdExit"), 1);
             EXPECT_EQ(driverInfo(), "Registry Values= T:6  P:1   3.21.0.10");
         }},
        {"Exit button visibility, line 114",
         [&] { splashViewFailures = {"setVisible cmdExit"}; },
         {loadFailure(viewFailure("setVisible cmdExit"), 114)},
         [&] { EXPECT_EQ(driverInfo(), "Registry Values= T:6  P:1   3.21.0.10"); }},
        {"driver text, line 114 twice",
         [&] { splashViewFailures = {"setCaption lblDriverInfo"}; },
         {loadFailure(viewFailure("setCaption lblDriverInfo"), 114),
          loadFailure(viewFailure("setCaption lblDriverInfo"), 114)},
         [&] {
             EXPECT_EQ(driverInfo(), "driver info");
             EXPECT_EQ(checkDrive()->calls("RegistrySet"), 1);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        app.reset();
        messageBox.shown.clear();
        splashViewFailures.clear();
        events = CallbackEventPump{};
        drives = FakeDriveFactory{};
        c.arrange();
        start();
        EXPECT_EQ(messages(), c.expected);
        c.check();
    }
}

TEST_F(SplashTest, FailureTextNamesTheProcedure) {
    EXPECT_EQ(splashFailureText("CTimer component failure", "Form_Unload", 100),
              "CTimer component failure\r\nin QuornaWeb.frmSplash.Form_Unload at line 100");
    EXPECT_EQ(splashFailureText("x", "Form_Click", 100),
              "x\r\nin QuornaWeb.frmSplash.Form_Click at line 100");
}

TEST_F(SplashTest, ClickWhileCheckingDoesNothingEvenWhenTheAdapterIsMissing) {
    drives.prepare = [](FakeDrive& drive) { drive.found = false; };
    events.pending = [&] { splashView->clickWindow(); };
    start();
    EXPECT_EQ(events.calls, 2);
    EXPECT_EQ(process.endNowCalls, 0);
    EXPECT_TRUE(app->splash()->NotFound());
}

TEST_F(SplashTest, SystemCloseWhileWaitingUnloadsAndEndsWithoutMainWindow) {
    start();
    std::weak_ptr<FakeDrive> drive = checkDrive();
    drives.made.clear();
    splashView->requestClose();
    EXPECT_TRUE(splashView->unloaded());
    EXPECT_TRUE(drive.expired());
    EXPECT_EQ(timers.liveCount(), 0);
    EXPECT_EQ(allWindowsGone, 1);
    timers.advance(10000);
    EXPECT_EQ(mainViewsMade, 0);
    EXPECT_TRUE(messageBox.shown.empty());
}

TEST_F(SplashTest, HandOverAfterThreeSecondsReplacesTheWindowOnce) {
    bool mainShownDuringProbe = true;
    std::string splashStatusDuringProbe;
    drives.duringConstruction = [&] {
        if (drives.constructions == 2) {
            mainShownDuringProbe = mainView && mainView->shown();
            splashStatusDuringProbe = splashView->shown() ? status() : "";
        }
    };
    start();
    std::weak_ptr<FakeDrive> check = checkDrive();
    std::weak_ptr<CTimer> timer = app->splash()->Timer();
    std::weak_ptr<frmSplash> splash = app->splash();
    timers.advance(2999);
    EXPECT_EQ(mainViewsMade, 0);
    journal.clear();

    timers.advance(1);
    EXPECT_EQ(mainViewsMade, 1);
    EXPECT_EQ(drives.constructions, 2);
    EXPECT_FALSE(mainShownDuringProbe);
    EXPECT_EQ(splashStatusDuringProbe, kUsbFound);
    EXPECT_TRUE(mainView->shown());
    EXPECT_EQ(mainView->caption("lblVersion"), "Version : 1.3.17");
    EXPECT_TRUE(splashView->unloaded());
    // Main shown first, then the start-up window hidden, then unloaded.
    auto at = [&](const std::string& entry) {
        return std::find(journal.begin(), journal.end(), entry) - journal.begin();
    };
    EXPECT_LT(at("main show"), at("splash hide"));
    EXPECT_LT(at("splash hide"), at("splash unload"));
    EXPECT_LT(at("splash unload"), static_cast<long>(journal.size()));
    EXPECT_EQ(timers.liveCount(), 0);
    EXPECT_TRUE(timer.expired());
    EXPECT_TRUE(splash.expired());
    drives.made.erase(drives.made.begin());
    EXPECT_TRUE(check.expired());
    EXPECT_EQ(app->splash(), nullptr);
    ASSERT_NE(app->mainWindow(), nullptr);
    EXPECT_EQ(allWindowsGone, 0);
    EXPECT_TRUE(messageBox.shown.empty());

    timers.advance(30000);
    EXPECT_EQ(mainViewsMade, 1);
    EXPECT_EQ(drives.constructions, 2);
}

TEST_F(SplashTest, FailingMainLoadIsNotReportedAndTheMainWindowIsStillShown) {
    drives.duringConstruction = [&] {
        if (drives.constructions == 2) {
            drives.failConstruction = true;
        }
    };
    start();
    timers.advance(3000);
    EXPECT_TRUE(messageBox.shown.empty());
    ASSERT_NE(mainView, nullptr);
    EXPECT_TRUE(mainView->shown());
    EXPECT_EQ(mainView->caption("lblDriverInfo"), "driver info");
    EXPECT_EQ(mainView->caption("lblVersion"), "Version Label");
    EXPECT_TRUE(splashView->unloaded());
    EXPECT_EQ(allWindowsGone, 0);
}

// A failure message box runs a nested event loop, and a driver call may yield to the message loop:
// the hand-over may run inside either. The rest of the load sequence then leaves the unloaded
// window alone, and the driver being called stays alive until its call returns.
TEST_F(SplashTest, EarlyHandOverLeavesTheGoneWindowAlone) {
    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::size_t messages;
    };
    auto handOverInsideMessages = [&] {
        messageBox.whileOpen = [&](const FakeMessageBox::Shown&) { timers.advance(3000); };
    };
    const std::vector<Case> cases{
        {"inside the line-110 message",
         [&] {
             splashViewFailures = {"setCaption lblStatus"};
             handOverInsideMessages();
         },
         1},
        {"inside the line-114 message",
         [&] {
             drives.prepare = [](FakeDrive& drive) { drive.throwOn("RegistrySet"); };
             handOverInsideMessages();
         },
         1},
        {"inside the settings test",
         [&] {
             drives.prepare = [this](FakeDrive& drive) {
                 drive.duringCall = [this](const std::string& member) {
                     if (member == "RegistrySet") {
                         drives.made.clear();  // the window's reference is the last one
                         timers.advance(3000);
                     }
                 };
             };
         },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        app.reset();
        messageBox = FakeMessageBox{};
        splashViewFailures.clear();
        drives = FakeDriveFactory{};
        mainView.reset();
        c.arrange();
        start();
        EXPECT_EQ(messageBox.shown.size(), c.messages);
        EXPECT_TRUE(splashView->unloaded());
        EXPECT_EQ(splashView->callsAfterUnload(), 0);
        ASSERT_NE(mainView, nullptr);
        EXPECT_TRUE(mainView->shown());
        EXPECT_EQ(app->splash(), nullptr);
    }
}
