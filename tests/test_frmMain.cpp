#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ComponentError.h"
#include "reader/tmexapi.h"
#include "tests/fakes/FakeDrive.h"
#include "tests/fakes/FakeUiPlatform.h"
#include "tests/fakes/FakeViews.h"
#include "ui/Captions.h"
#include "ui/Layout.h"
#include "ui/TopLevel.h"
#include "ui/frmMain.h"

using namespace quorna;
using namespace quorna::fakes;
using namespace quorna::ui;

namespace {

const std::string kId1 = "01A2B3C4D5E6F708";
const std::string kId2 = "2D00000012345678";
const std::string kDesignStatus = "Status Messages will appear here.";

class MainTest : public ::testing::Test {
protected:
    void SetUp() override { clearSharedGlobals(); }

    std::shared_ptr<frmMain> make() {
        window = std::make_shared<frmMain>(
            MainServices{clipboard, messageBox, {1, 3, 17}, drives.factory()},
            viewFactory<FakeMainView, MainEvents>(view), [this] { ++unloads; });
        return window;
    }

    // Loaded and shown, as the hand-over leaves it.
    void open() {
        make();
        window->Load();
        window->Show();
    }

    std::shared_ptr<FakeDrive> drive() const { return drives.last(); }
    const std::string& status() const { return view->caption("lblStatus"); }

    FakeClipboard clipboard;
    FakeMessageBox messageBox;
    FakeDriveFactory drives;
    std::shared_ptr<FakeMainView> view;
    std::shared_ptr<frmMain> window;
    int unloads = 0;
};

}  // namespace

TEST_F(MainTest, LoadStepSetsUpTheDriverAndTheTextsBeforeTheWindowShows) {
    make();
    window->Load();
    EXPECT_FALSE(view->shown());
    EXPECT_EQ(drive()->log(),
              (std::vector<std::string>{"DiscoveryType=", "ScanMilliseconds=", "RegistrySet"}));
    EXPECT_EQ(drive()->discoveryTypeSet(), 0);
    EXPECT_EQ(drive()->scanMillisecondsSet(), 350);
    const std::string& license = view->caption("lblLicense");
    EXPECT_EQ(license, kMainLicenseText);
    const auto lineBreak = license.find("\r\n");
    ASSERT_NE(lineBreak, std::string::npos);
    EXPECT_EQ(license.find('\r', lineBreak + 1), std::string::npos);  // two lines
    EXPECT_NE(license.substr(0, lineBreak).find("2026"), std::string::npos);
    EXPECT_EQ(view->caption("lblVersion"), "Version : 1.3.17");
    // Untouched: list, status, check box, scanning.
    EXPECT_EQ(view->count("listClear lstROMIDs"), 0);
    EXPECT_EQ(status(), kDesignStatus);
    EXPECT_EQ(view->checkValue("chkAutoCopy"), 1);
    EXPECT_FALSE(window->Scanning());
    EXPECT_EQ(view->caption("cmdScanning"), "&Start Continuous Scanning");

    window->Show();
    EXPECT_TRUE(view->shown());
    window->Load();  // loading again does nothing
    EXPECT_EQ(drives.constructions, 1);
}

TEST_F(MainTest, DriverInfoTexts) {
    struct Case {
        std::int16_t type;
        std::int16_t port;
        std::string version;
        bool registry;
        std::string expected;
    };
    const std::vector<Case> cases{
        {6, 1, "3.21.", true, "Registry Values= T:6  P:1\r\nDriver Not found Error: 3.21."},
        {6, 1, "3.21.0", true, "Registry Values= T:6  P:1\r\n3.21.0"},
        {6, 1, "", true, "Registry Values= T:6  P:1\r\nDriver Not found Error: "},
        {5, -3, "3.21.0.10", true, "Registry Values= T:5  P:-3\r\n3.21.0.10"},
        {-6, 12, "3.21.0.10", true, "Registry Values= T:-6  P:12\r\n3.21.0.10"},
        {5, 2, "3.21.0.10", false, "Registry Values Not Found.\r\n3.21.0.10"},
        {5, 2, "3.2", false, "Registry Values Not Found.\r\nDriver Not found Error: 3.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        drives.portType = c.type;
        drives.portNum = c.port;
        drives.driverVersion = c.version;
        const bool registry = c.registry;
        drives.prepare = [registry](FakeDrive& d) { d.registrySet = registry; };
        make();
        window->Load();
        EXPECT_EQ(view->caption("lblDriverInfo"), c.expected);
    }
}

TEST_F(MainTest, LoadFailureAbandonsTheRestOfTheStep) {
    drives.driverVersion = "3.21.0.10";
    drives.prepare = [](FakeDrive& d) { d.throwOn("RegistrySet"); };
    make();
    EXPECT_THROW(window->Load(), ComponentError);
    EXPECT_EQ(view->caption("lblDriverInfo"), "3.21.0.10");  // the text of the step before
    EXPECT_EQ(view->caption("lblVersion"), "Version Label");
    EXPECT_TRUE(window->Loaded());
    window->Show();
    EXPECT_TRUE(view->shown());
}

TEST_F(MainTest, ScanningToggleCaptionsOverTwoClicks) {
    open();
    view->clickScanning();
    EXPECT_EQ(view->caption("cmdScanning"), "Stop &Scanning");
    EXPECT_FALSE(view->visible("cmdScanOnce"));
    EXPECT_TRUE(drive()->scanning());
    EXPECT_TRUE(window->Scanning());
    view->clickScanning();
    EXPECT_EQ(view->caption("cmdScanning"), "Start &Scanning");
    EXPECT_TRUE(view->visible("cmdScanOnce"));
    EXPECT_FALSE(drive()->scanning());
    EXPECT_EQ(drive()->calls("StartScanning"), 1);
    EXPECT_EQ(drive()->calls("StopScanning"), 1);
}

TEST_F(MainTest, FailingStartLeavesWhatWasDoneAndPassesTheFailureUp) {
    drives.prepare = [](FakeDrive& d) { d.throwOn("StartScanning"); };
    open();
    EXPECT_THROW(view->clickScanning(), ComponentError);
    EXPECT_EQ(view->caption("cmdScanning"), "Stop &Scanning");
    EXPECT_TRUE(view->visible("cmdScanOnce"));
}

TEST_F(MainTest, ReadOnceWithOneTokenCopiesAndConfirms) {
    drives.prepare = [](FakeDrive& d) { d.setROMIDs({kId1}); };
    open();
    view->clickScanOnce();
    EXPECT_EQ(drive()->calls("ScanOnce"), 1);
    EXPECT_EQ(view->listItems("lstROMIDs"), std::vector<std::string>{kId1});
    EXPECT_EQ(clipboard.log,
              (std::vector<std::string>{"clear", "setText " + kId1, "text", "text"}));
    EXPECT_EQ(clipboard.content, kId1);
    EXPECT_EQ(status(), "Copied to clipboard : " + kId1);
}

TEST_F(MainTest, EmptyListClearsTheListButKeepsTheStatus) {
    drives.prepare = [](FakeDrive& d) { d.setROMIDs({kId1}); };
    open();
    drive()->raiseNewROMIDs();
    drive()->setROMIDs({});
    drive()->raiseNewROMIDs();
    EXPECT_TRUE(view->listItems("lstROMIDs").empty());
    EXPECT_EQ(status(), "Copied to clipboard : " + kId1);
    EXPECT_EQ(clipboard.log.size(), 4u);  // only the first notification copied
}

// Only one ID, with auto-copy ticked and read back unchanged, is confirmed; otherwise the list
// is refilled in the driver's order and the status and message boxes stay as they were.
TEST_F(MainTest, NothingIsConfirmedUnlessOneTickedIdReadsBackTheSame) {
    struct Case {
        std::string name;
        std::vector<std::string> ids;
        int autoCopy;
        std::optional<std::string> readBack;
        std::vector<std::string> clipboardCalls;
    };
    const std::vector<Case> cases{
        {"two IDs, ticked", {kId2, kId1}, 1, std::nullopt, {}},
        {"one ID, unticked", {kId1}, 0, std::nullopt, {}},
        {"read-back differs",
         {kId1},
         1,
         "another program's text",
         {"clear", "setText " + kId1, "text"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto ids = c.ids;
        drives.prepare = [ids](FakeDrive& d) { d.setROMIDs(ids); };
        clipboard = FakeClipboard{};
        clipboard.readOverride = c.readBack;
        open();
        view->setCheckValue("chkAutoCopy", c.autoCopy);
        view->listAddItem("lstROMIDs", "stale");
        view->clickScanOnce();
        EXPECT_EQ(view->listItems("lstROMIDs"), c.ids);
        EXPECT_EQ(clipboard.log, c.clipboardCalls);
        EXPECT_EQ(status(), kDesignStatus);
        EXPECT_TRUE(messageBox.shown.empty());
    }
}

TEST_F(MainTest, EveryPassWithOneTokenRewritesTheClipboard) {
    drives.prepare = [](FakeDrive& d) { d.setROMIDs({kId1}); };
    open();
    view->clickScanning();
    for (int pass = 0; pass < 3; ++pass) {
        drive()->raiseNewROMIDs();
    }
    EXPECT_EQ(view->listItems("lstROMIDs"), std::vector<std::string>{kId1});
    EXPECT_EQ(clipboard.log.size(), 12u);
    EXPECT_EQ(view->count("setCaption lblStatus"), 3);
    EXPECT_EQ(status(), "Copied to clipboard : " + kId1);
}

TEST_F(MainTest, ClipboardFailureGoesToThePassAndTheListStaysFilled) {
    drives.prepare = [](FakeDrive& d) { d.setROMIDs({kId1}); };
    open();
    clipboard.failOn("setText");
    EXPECT_THROW(drive()->raiseNewROMIDs(), ComponentError);
    EXPECT_EQ(view->listItems("lstROMIDs"), std::vector<std::string>{kId1});
    EXPECT_EQ(status(), kDesignStatus);
}

// Every route out while idle calls StopScanning once before the driver goes, and ends the window
// once; the toolkit's own teardown shows nothing.
TEST_F(MainTest, EveryCloseRouteStopsTheIdleDriverOnceBeforeReleasingIt) {
    const std::vector<std::pair<std::string, void (FakeMainView::*)()>> routes{
        {"close request", &FakeMainView::requestClose},
        {"Exit", &FakeMainView::clickExit},
        {"toolkit teardown", &FakeMainView::toolkitDestroys}};
    for (const auto& [name, route] : routes) {
        SCOPED_TRACE(name);
        open();
        int stopsWhenReleased = -1;
        drive()->onDestroyed = [&, d = drive().get()] {
            stopsWhenReleased = d->calls("StopScanning");
        };
        std::weak_ptr<FakeDrive> weak = drive();
        drives.made.clear();
        unloads = 0;
        ((*view).*route)();
        EXPECT_EQ(stopsWhenReleased, 1);
        EXPECT_TRUE(weak.expired());
        EXPECT_EQ(unloads, 1);
        EXPECT_TRUE(messageBox.shown.empty());
        ((*view).*route)();  // a second request finds nothing to do
        view->requestClose();
        EXPECT_EQ(unloads, 1);
    }
}

TEST_F(MainTest, ExitHidesThenClosesAndAScanningDriverIsStopped) {
    open();
    view->clickScanning();
    std::weak_ptr<FakeDrive> weak = drive();
    auto d = drive();
    drives.made.clear();
    view->clickExit();
    EXPECT_EQ(d->calls("StopScanning"), 1);
    EXPECT_FALSE(d->scanning());
    const auto& log = view->log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "hide");
    EXPECT_EQ(log.back(), "unload");
    EXPECT_EQ(unloads, 1);
    d->raiseNewROMIDs();  // a late notification no longer reaches the window
    EXPECT_EQ(view->callsAfterUnload(), 0);
    d.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(MainTest, FailingStopAtCloseIsReportedAndTheWindowStillCloses) {
    drives.prepare = [](FakeDrive& d) { d.throwOn("StopScanning"); };
    open();
    std::weak_ptr<FakeDrive> weak = drive();
    drives.made.clear();
    EXPECT_NO_THROW(view->requestClose());
    EXPECT_TRUE(view->unloaded());
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(unloads, 1);
    ASSERT_EQ(messageBox.shown.size(), 1u);
    EXPECT_EQ(messageBox.shown[0].text, "TMexDrive component failure");
    EXPECT_EQ(messageBox.shown[0].title, kTopLevelTitle);
}

TEST_F(MainTest, WithoutADriverEveryStepFailsOnItsOwnAndClosingStillCloses) {
    drives.failConstruction = true;
    make();
    EXPECT_THROW(window->Load(), ComponentError);
    window->Show();
    EXPECT_TRUE(view->shown());
    EXPECT_EQ(view->caption("lblLicense"), kMainLicenseDesignText);
    EXPECT_EQ(view->caption("lblDriverInfo"), "driver info");
    EXPECT_EQ(view->caption("lblVersion"), "Version Label");

    auto expectNoDriver = [](auto&& step, const std::string& source) {
        try {
            step();
            ADD_FAILURE() << "no failure from " << source;
        } catch (const ComponentError& error) {
            EXPECT_EQ(error.number(), kNoDriverNumber);
            EXPECT_EQ(error.source(), source);
            EXPECT_EQ(error.description(), "No reader driver");
        }
    };
    expectNoDriver([&] { view->clickScanning(); }, "QuornaWeb.frmMain.cmdScanning_Click");
    expectNoDriver([&] { view->clickScanOnce(); }, "QuornaWeb.frmMain.cmdScanOnce_Click");
    // The failing toggle changed nothing.
    EXPECT_EQ(view->caption("cmdScanning"), "&Start Continuous Scanning");
    EXPECT_FALSE(window->Scanning());

    // Through the top level: reported, and the program goes on.
    runTopLevel(messageBox, [&] { view->clickScanOnce(); });
    ASSERT_EQ(messageBox.shown.size(), 1u);
    EXPECT_EQ(messageBox.shown[0].text, "No reader driver");

    EXPECT_NO_THROW(view->clickExit());
    EXPECT_TRUE(view->unloaded());
    EXPECT_EQ(unloads, 1);
    ASSERT_EQ(messageBox.shown.size(), 2u);
    EXPECT_EQ(messageBox.shown[1].text, "No reader driver");
}

TEST(TopLevel, ReportsAnyFailureWithItsDescriptionAndReturns) {
    FakeMessageBox box;
    runTopLevel(box, [] { throw ComponentError(1, "src", "component words"); });
    runTopLevel(box, [] { throw std::runtime_error("plain words"); });
    runTopLevel(box, [] { throw 42; });
    runTopLevel(box, [] {});
    ASSERT_EQ(box.shown.size(), 3u);
    EXPECT_EQ(box.shown[0].text, "component words");
    EXPECT_EQ(box.shown[1].text, "plain words");
    EXPECT_EQ(box.shown[2].text, "Unknown failure");
    // A message box that itself fails does not take the program down.
    box.whileOpen = [](const FakeMessageBox::Shown&) { throw std::runtime_error("no box"); };
    EXPECT_NO_THROW(runTopLevel(box, [] { throw std::runtime_error("x"); }));
}
