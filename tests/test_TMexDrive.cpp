// The reader driver against a recording 1-Wire library and recording platform services.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ComponentError.h"
#include "reader/TMexDrive.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FakeTMexApi.h"
#include "tests/fakes/FakeTimerService.h"
#include "timer/MTimer.h"

namespace quorna {
namespace {

using fakes::FakeTMexApi;
using Fn = FakeTMexApi::Fn;
using Rom = FakeTMexApi::Rom;
using Lines = std::vector<std::string>;

// The TMEX numbers, said once; the cases use their names.
static_assert(tmexapi::kPortTypeUsb == 6 && tmexapi::kPortTypeSerial == 5);
static_assert(tmexapi::kStateBufferSize == 15361);
constexpr FakeTMexApi::Port kUsb{1, tmexapi::kPortTypeUsb};
constexpr FakeTMexApi::Port kCom3{3, tmexapi::kPortTypeSerial};

const Rom kToken{0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0xB7};
const Rom kOtherToken{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
const Rom kAdapterChip{0x81, 0x00, 0x00, 0x81, 0x7E, 0x02, 0x00, 0x76};
const Rom kAdapterChip09{0x09, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

std::vector<std::string> listed(const std::shared_ptr<const ROMIDList>& list) {
    return {list->begin(), list->end()};
}

class TMexDriveTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Sentinels, so that every test sees what construction publishes.
        tmexapi::intFoundPortNum = -99;
        tmexapi::intFoundPortType = -99;
        tmexapi::strDriverVersion = "untouched";
    }

    std::shared_ptr<TMexDrive> make() {
        return std::make_shared<TMexDrive>(library, events, sleeper);
    }

    // A driver on the USB adapter (no default port set) whose bus test can script.
    std::shared_ptr<TMexDrive> makeOnUsb() {
        library->setupResult(kUsb, 1);
        auto drive = make();
        library->clearLog();
        return drive;
    }

    template <typename Operation>
    static ComponentError failureOf(Operation operation) {
        try {
            operation();
        } catch (const ComponentError& failure) {
            return failure;
        } catch (...) {
            ADD_FAILURE() << "a failure other than the component failure";
            throw;
        }
        ADD_FAILURE() << "no failure";
        return ComponentError(0, "", "");
    }

    static void expectComponentFailure(const ComponentError& failure, const std::string& op) {
        EXPECT_EQ(failure.number(), -2147221404);
        EXPECT_EQ(failure.source(), "QuornaWeb.TMexDrive." + op);
        EXPECT_EQ(failure.description(), "TMexDrive component failure");
    }

    std::shared_ptr<FakeTMexApi> library = std::make_shared<FakeTMexApi>();
    fakes::FakeEventPump events;
    fakes::FakeSleeper sleeper;
};

// --- construction and the probe --------------------------------------------------------------

TEST_F(TMexDriveTest, ProbeKeepsTheUsbAdapterWhenNoDefaultIsSet) {
    library->setupResult(kUsb, 1);
    auto drive = make();
    EXPECT_EQ(library->log(),
              (Lines{"TMReadDefaultPort -> 0 (0,0)", "TMExtendedStartSession 1,6 -> 11",
                     "TMSetup 11 -> 1", "TMEndSession 11", "Get_Version"}));
    EXPECT_EQ(tmexapi::intFoundPortNum, 1);
    EXPECT_EQ(tmexapi::intFoundPortType, 6);
    EXPECT_EQ(library->openSessions(), 0);

    library->clearLog();
    EXPECT_TRUE(drive->Found());
    EXPECT_EQ(library->log().front(), "TMExtendedStartSession 1,6 -> 12");
}

TEST_F(TMexDriveTest, ProbeFindsASerialAdapterOnCom3) {
    library->setupResult(kCom3, 1);
    auto drive = make();
    EXPECT_EQ(library->log(),
              (Lines{"TMReadDefaultPort -> 0 (0,0)", "TMExtendedStartSession 1,6 -> 11",
                     "TMSetup 11 -> 3", "TMEndSession 11", "TMExtendedStartSession 1,5 -> 12",
                     "TMSetup 12 -> 3", "TMEndSession 12", "TMExtendedStartSession 2,5 -> 13",
                     "TMSetup 13 -> 3", "TMEndSession 13", "TMExtendedStartSession 3,5 -> 14",
                     "TMSetup 14 -> 1", "TMEndSession 14", "Get_Version"}));
    EXPECT_EQ(tmexapi::intFoundPortNum, 3);
    EXPECT_EQ(tmexapi::intFoundPortType, 5);

    library->clearLog();
    EXPECT_TRUE(drive->Found());
    EXPECT_EQ(library->log().front(), "TMExtendedStartSession 3,5 -> 15");
}

TEST_F(TMexDriveTest, ProbeWithNoAdapterMakesEightAttemptsAndKeepsCom7) {
    auto drive = make();
    EXPECT_EQ(library->calls(Fn::StartSession), 8);
    EXPECT_EQ(library->calls(Fn::Setup), 8);
    EXPECT_EQ(library->calls(Fn::EndSession), 8);
    EXPECT_EQ(library->log()[1], "TMExtendedStartSession 1,6 -> 11");
    for (int port = 1; port <= 7; ++port) {
        EXPECT_EQ(library->log()[1 + 3 * port], "TMExtendedStartSession " + std::to_string(port) +
                                                    ",5 -> " + std::to_string(11 + port));
    }
    // The globals keep what the settings gave.
    EXPECT_EQ(tmexapi::intFoundPortNum, 0);
    EXPECT_EQ(tmexapi::intFoundPortType, 0);

    library->clearLog();
    EXPECT_FALSE(drive->Found());
    EXPECT_EQ(library->log(),
              (Lines{"TMExtendedStartSession 7,5 -> 19", "TMSetup 19 -> 3", "TMEndSession 19"}));
    EXPECT_EQ(drive->ErrorText().substr(0, 26), "TMSetup returned error 3. ");
}

TEST_F(TMexDriveTest, ADefaultOfPortType0IsTreatedAsNoDefault) {
    library->defaultPort(1, 3, 0);
    library->setupResult(kUsb, 1);
    auto drive = make();
    EXPECT_EQ(library->log()[1], "TMExtendedStartSession 1,6 -> 11");
    EXPECT_EQ(library->calls(Fn::StartSession), 1);
    EXPECT_EQ(tmexapi::intFoundPortNum, 1);
    EXPECT_EQ(tmexapi::intFoundPortType, 6);
}

TEST_F(TMexDriveTest, ADefaultCom3IsUsedWithoutAnySessionDuringConstruction) {
    library->defaultPort(1, 3, 5);
    auto drive = make();
    EXPECT_EQ(library->log(), (Lines{"TMReadDefaultPort -> 1 (3,5)", "Get_Version"}));
    EXPECT_EQ(tmexapi::intFoundPortNum, 3);
    EXPECT_EQ(tmexapi::intFoundPortType, 5);

    library->clearLog();
    drive->Found();
    EXPECT_EQ(library->log().front(), "TMExtendedStartSession 3,5 -> 11");
}

TEST_F(TMexDriveTest, AnUnconfirmedDefaultStartsTheSerialProbeAtItsPort) {
    // The settings name COM5 but the read does not report success: COM5 to COM7 are tried.
    library->defaultPort(0, 5, 5);
    auto drive = make();
    EXPECT_EQ(library->calls(Fn::StartSession), 3);
    EXPECT_EQ(library->log()[1], "TMExtendedStartSession 5,5 -> 11");
    EXPECT_EQ(tmexapi::intFoundPortNum, 5);  // published by the read, not by the probe
    EXPECT_EQ(tmexapi::intFoundPortType, 5);
    library->clearLog();
    drive->Found();
    EXPECT_EQ(library->log().front(), "TMExtendedStartSession 7,5 -> 14");
}

TEST_F(TMexDriveTest, ConstructionPublishesAtTheRightMoments) {
    library->defaultPort(0, 4, 0);  // no default, but the read leaves port 4 type 0 behind
    library->setupResult(kCom3, 1);
    library->version("TMEX 5.10");
    std::vector<std::string> seen;
    auto snapshot = [&](const std::string& what) {
        seen.push_back(what + " " + std::to_string(tmexapi::intFoundPortNum) + "," +
                       std::to_string(tmexapi::intFoundPortType) + " " + tmexapi::strDriverVersion +
                       " after " + std::to_string(library->log().size()) + " calls");
    };
    events.onProcess = [&] { snapshot("events"); };
    sleeper.onSleep = [&](std::int32_t) { snapshot("sleep"); };

    auto drive = make();
    EXPECT_EQ(seen, (Lines{"events 4,0 untouched after 1 calls",     // after the read
                           "events 4,0 untouched after 4 calls",     // after the USB attempt
                           "sleep 3,5 untouched after 13 calls"}));  // after COM1..COM3
    EXPECT_EQ(events.calls, 2);
    EXPECT_EQ(sleeper.sleeps, (std::vector<std::int32_t>{500}));
    EXPECT_EQ(tmexapi::strDriverVersion, "TMEX 5.10");
    EXPECT_EQ(library->log().back(), "Get_Version");
    EXPECT_EQ(drive->ROMIDs()->Count(), 0);
}

TEST_F(TMexDriveTest, ASecondConstructionRewritesTheGlobals) {
    library->setupResult(kUsb, 1);
    auto first = make();
    ASSERT_EQ(tmexapi::intFoundPortType, 6);

    auto other = std::make_shared<FakeTMexApi>();
    other->defaultPort(1, 2, 5);
    other->version("second");
    TMexDrive second(other, events, sleeper);
    EXPECT_EQ(tmexapi::intFoundPortNum, 2);
    EXPECT_EQ(tmexapi::intFoundPortType, 5);
    EXPECT_EQ(tmexapi::strDriverVersion, "second");
}

TEST_F(TMexDriveTest, ConstructionFailuresAreComponentFailures) {
    // The library cannot be reached: nothing is published.
    library->failAt(Fn::ReadDefaultPort, 1);
    expectComponentFailure(failureOf([&] { make(); }), "Class_Initialize");
    EXPECT_EQ(tmexapi::intFoundPortNum, -99);
    EXPECT_EQ(tmexapi::intFoundPortType, -99);
    EXPECT_EQ(tmexapi::strDriverVersion, "untouched");

    // A version text without its 0 byte.
    library = std::make_shared<FakeTMexApi>();
    library->unterminatedVersion();
    expectComponentFailure(failureOf([&] { make(); }), "Class_Initialize");
    EXPECT_EQ(tmexapi::strDriverVersion, "untouched");
}

TEST_F(TMexDriveTest, AProbeAttemptThatFailsStillEndsItsSession) {
    library->failAt(Fn::Setup, 2);  // COM1
    expectComponentFailure(failureOf([&] { make(); }), "Class_Initialize");
    EXPECT_EQ(library->openSessions(), 0);
    EXPECT_EQ(library->log().back(), "TMEndSession 12");
}

// --- Found, ErrorText, RegistrySet, plain properties -----------------------------------------

TEST_F(TMexDriveTest, ErrorTextDescribesEveryCodeFoundSaw) {
    auto drive = makeOnUsb();
    EXPECT_EQ(drive->ErrorText(), "TMSetup returned error 0. Setup Failed.");

    const std::vector<std::pair<std::int16_t, std::string>> cases = {
        {0, "TMSetup returned error 0. Setup Failed."},
        {2, "TMSetup returned error 2. Setup is OK but the drive is shorted."},
        {3,
         "TMSetup returned error 3. MicroLan Drive Adapter not found on this computer.\r\n"
         "Please make sure the drive adapter is installed on this computer.\r\n"
         "You may need to unplug it, and plug it back in, before restarting this program."},
        {4, "TMSetup returned error 4. TMSetup not supported with the installed driver set."},
        {-200, "TMSetup returned error -200. Invalid Session ID."},
        {-201,
         "The Hardware Drivers required for this fobit reader cannot be found or the ports are "
         "set incorrectly."},
        {5, "There has been an unspecified error 5 from the system."},
        {-1, "There has been an unspecified error -1 from the system."},
        {-32768, "There has been an unspecified error -32768 from the system."},
    };
    for (const auto& [code, message] : cases) {
        library->setupResult(kUsb, code);
        EXPECT_FALSE(drive->Found()) << code;
        EXPECT_EQ(drive->ErrorText(), message) << code;
    }
    EXPECT_EQ(library->openSessions(), 0);

    // A success leaves the last failure's message alone.
    library->setupResult(kUsb, 1);
    EXPECT_TRUE(drive->Found());
    EXPECT_EQ(drive->ErrorText(), cases.back().second);
}

TEST_F(TMexDriveTest, FoundPassesAnInvalidHandleOnAndEndsIt) {
    auto drive = makeOnUsb();
    library->sessionHandle(kUsb, 0);
    EXPECT_FALSE(drive->Found());
    EXPECT_EQ(library->log(),
              (Lines{"TMExtendedStartSession 1,6 -> 0", "TMSetup 0 -> -200", "TMEndSession 0"}));
    EXPECT_EQ(drive->ErrorText(), "TMSetup returned error -200. Invalid Session ID.");
}

TEST_F(TMexDriveTest, FoundAbandonedByAFailureStillEndsItsSession) {
    auto drive = makeOnUsb();
    library->failAt(Fn::Setup, library->calls(Fn::Setup) + 1);
    expectComponentFailure(failureOf([&] { drive->Found(); }), "Found");
    EXPECT_EQ(library->log().back(), "TMEndSession 12");
    EXPECT_EQ(library->openSessions(), 0);

    library->clearFailures();
    library->failAt(Fn::StartSession, library->calls(Fn::StartSession) + 1);
    expectComponentFailure(failureOf([&] { drive->Found(); }), "Found");
    EXPECT_EQ(library->calls(Fn::EndSession), 2);  // no handle, nothing to end

    // The set-up code is kept before the session is ended, so a failing end still leaves it.
    library->clearFailures();
    library->setupResult(kUsb, 5);
    library->failAt(Fn::EndSession, library->calls(Fn::EndSession) + 1);
    expectComponentFailure(failureOf([&] { drive->Found(); }), "Found");
    EXPECT_EQ(drive->ErrorText(), "There has been an unspecified error 5 from the system.");
}

TEST_F(TMexDriveTest, RegistrySetOnlyReadsTheSettings) {
    library->setupResult(kCom3, 1);
    auto drive = make();
    library->clearLog();

    EXPECT_FALSE(drive->RegistrySet());
    // The read may write a port back; neither the object nor the globals take it.
    library->defaultPort(1, 2, 6);
    EXPECT_TRUE(drive->RegistrySet());
    EXPECT_EQ(library->log(),
              (Lines{"TMReadDefaultPort -> 0 (3,5)", "TMReadDefaultPort -> 1 (2,6)"}));
    EXPECT_EQ(tmexapi::intFoundPortNum, 3);
    EXPECT_EQ(tmexapi::intFoundPortType, 5);
    drive->Found();
    EXPECT_EQ(library->log()[2], "TMExtendedStartSession 3,5 -> 15");

    library->failAt(Fn::ReadDefaultPort, 0);
    expectComponentFailure(failureOf([&] { drive->RegistrySet(); }), "RegistrySet");
}

TEST_F(TMexDriveTest, PlainPropertiesStoreWithoutChecks) {
    auto drive = makeOnUsb();
    EXPECT_EQ(drive->ScanMilliseconds(), 350);
    EXPECT_EQ(drive->DiscoveryType(), 0);
    drive->ScanMilliseconds(-7);
    drive->DiscoveryType(123456);
    EXPECT_EQ(drive->ScanMilliseconds(), -7);
    EXPECT_EQ(drive->DiscoveryType(), 123456);
    EXPECT_TRUE(library->log().empty());
}

// --- search pass -----------------------------------------------------------------------------

class SearchPassTest : public TMexDriveTest {
protected:
    void SetUp() override {
        TMexDriveTest::SetUp();
        drive = makeOnUsb();
        drive->NewROMIDs.bind([this] { ++raised; });
    }

    void onBus(std::vector<Rom> roms) { library->devices(kUsb, std::move(roms)); }

    std::shared_ptr<TMexDrive> drive;
    int raised = 0;
};

TEST_F(SearchPassTest, ListsATokenAsSixteenUpperCaseDigitsInLibraryOrder) {
    onBus({kToken});
    drive->ScanOnce();
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"014A2F0C000000B7"}));
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(library->log(),
              (Lines{"TMExtendedStartSession 1,6 -> 12", "TMSetup 12 -> 1", "TMNext 12 -> 1",
                     "TMRom 12", "TMNext 12 -> 0", "TMEndSession 12"}));
    EXPECT_EQ(library->romElementZeroAtCall(), (std::vector<std::int16_t>{0}));
}

TEST_F(SearchPassTest, SetsTheAdapterUpOnceAndKeepsOneStateBuffer) {
    onBus({kToken, kOtherToken});
    drive->ScanOnce();
    drive->ScanOnce();
    drive->ScanOnce();
    EXPECT_EQ(library->calls(Fn::Setup), 1 + 1);  // the probe's, then the first pass's
    EXPECT_EQ(library->calls(Fn::StartSession), 1 + 3);
    EXPECT_EQ(library->calls(Fn::EndSession), 1 + 3);
    // Every pass sees every device, element 0 cleared before every TMRom.
    EXPECT_EQ(library->calls(Fn::Rom), 6);
    EXPECT_EQ(library->romElementZeroAtCall(), std::vector<std::int16_t>(6, 0));
    for (const void* buffer : library->stateBuffers()) {
        EXPECT_EQ(buffer, library->stateBuffers().front());
    }
    EXPECT_EQ(raised, 3);
}

TEST_F(SearchPassTest, EachRomIsListedOnceInSearchOrderWithOneEventPerPass) {
    onBus({kOtherToken, kToken});
    drive->ScanOnce();
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"021CB801000000A2", "014A2F0C000000B7"}));
    EXPECT_EQ(raised, 1);

    // The same ROM reported twice: listed once, and a token after it is still listed.
    onBus({kToken, kToken, kOtherToken});
    drive->ScanOnce();
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"014A2F0C000000B7", "021CB801000000A2"}));
    EXPECT_EQ(raised, 2);
}

TEST_F(SearchPassTest, AdapterChipsAreLeftOutButCountAsSeen) {
    onBus({kAdapterChip, kToken, kAdapterChip09});
    drive->ScanOnce();
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"014A2F0C000000B7"}));
    EXPECT_EQ(library->calls(Fn::Rom), 3);

    // Token taken off, one adapter chip left: one event with the empty list, then silence.
    onBus({kAdapterChip});
    raised = 0;
    drive->ScanOnce();
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(drive->ROMIDs()->Count(), 0);
    drive->ScanOnce();
    EXPECT_EQ(raised, 1);
}

TEST_F(SearchPassTest, NotificationRule) {
    // Nothing seen, empty previous list: silent.
    drive->ScanOnce();
    EXPECT_EQ(raised, 0);

    // A listed token: an event on every pass, even with unchanged contents.
    onBus({kToken});
    drive->ScanOnce();
    drive->ScanOnce();
    EXPECT_EQ(raised, 2);

    // A token lifted off a reader whose bus then holds two left-out devices (a DS9490B) or none
    // (a serial adapter): the holder is told once, with the empty list, then silence.
    for (const std::vector<Rom>& left :
         {std::vector<Rom>{kAdapterChip, kAdapterChip09}, std::vector<Rom>{}}) {
        onBus({kToken});
        drive->ScanOnce();
        raised = 0;
        onBus(left);
        drive->ScanOnce();
        EXPECT_EQ(raised, 1);
        EXPECT_EQ(drive->ROMIDs()->Count(), 0);
        drive->ScanOnce();
        drive->ScanOnce();
        EXPECT_EQ(raised, 1);
    }

    // One chip seen after an empty previous list: silent.
    onBus({kAdapterChip});
    drive->ScanOnce();
    EXPECT_EQ(raised, 1);
}

// A library is not trusted to end its enumeration or to fill the ROM buffer.
TEST_F(SearchPassTest, AnEndlessTMNextIsCutAndNextPassStartsAfresh) {
    onBus({kToken, kOtherToken});
    library->endlessNext();
    drive->ScanOnce();
    EXPECT_EQ(library->calls(Fn::Next), 257) << "256 devices seen, the 257th not";
    EXPECT_EQ(library->calls(Fn::Rom), 256);
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"014A2F0C000000B7", "021CB801000000A2"}));
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(library->openSessions(), 0);
    // The enumeration left half-way is not continued: the next pass starts at the first device.
    library->clearLog();
    drive->ScanOnce();
    EXPECT_EQ(library->log()[1], "TMNext 13 -> 1");
    EXPECT_EQ(drive->ROMIDs()->Item(1), "014A2F0C000000B7");
}

TEST_F(SearchPassTest, ATMRomThatWritesNothingListsNothing) {
    onBus({kToken});
    drive->ScanOnce();
    ASSERT_EQ(raised, 1);
    for (std::int16_t result : {1, 0, -200}) {
        library->romWritesNothing(result);
        drive->ScanOnce();
        EXPECT_EQ(drive->ROMIDs()->Count(), 0) << "TMRom result " << result;
    }
    EXPECT_EQ(raised, 2) << "the list emptied once";

    // An empty bus whose endless TMNext hands out devices without ROM codes.
    auto ghosts = std::make_shared<FakeTMexApi>();
    library = ghosts;
    auto third = makeOnUsb();
    library->endlessNext();
    third->ScanOnce();
    EXPECT_EQ(third->ROMIDs()->Count(), 0);
}

TEST_F(SearchPassTest, AFailedSessionStartKeepsTheListAndStillEndsTheHandle) {
    onBus({kToken});
    drive->ScanOnce();
    const auto before = drive->ROMIDs();
    library->clearLog();

    for (std::int32_t handle : {0, -1}) {
        library->sessionHandle(kUsb, handle);
        drive->ScanOnce();
        EXPECT_EQ(library->log(), (Lines{"TMExtendedStartSession 1,6 -> " + std::to_string(handle),
                                         "TMEndSession " + std::to_string(handle)}));
        EXPECT_EQ(drive->ROMIDs(), before);
        library->clearLog();
    }
    EXPECT_EQ(raised, 1);
}

TEST_F(SearchPassTest, EachPassWithASessionGivesANewListAndHeldListsStayUnchanged) {
    onBus({kToken});
    drive->ScanOnce();
    const auto held = drive->ROMIDs();
    EXPECT_EQ(drive->ROMIDs(), held);  // the object itself, not a copy

    onBus({kOtherToken, kToken});
    drive->ScanOnce();
    EXPECT_NE(drive->ROMIDs(), held);
    EXPECT_EQ(listed(held), (Lines{"014A2F0C000000B7"}));
    EXPECT_EQ(drive->ROMIDs()->Item(1), "021CB801000000A2");
    EXPECT_EQ(drive->ROMIDs()->Item(2), "014A2F0C000000B7");
    EXPECT_THROW(drive->ROMIDs()->Item(3), std::out_of_range);
    EXPECT_THROW(drive->ROMIDs()->Item(0), std::out_of_range);
}

TEST_F(SearchPassTest, ARomElementOutOfRangeFailsThePassAndIsNeverListed) {
    for (std::int16_t bad : {256, -1, 0x7FFF}) {
        // A fresh object each time: an abandoned pass leaves the library's enumeration half-way.
        auto fresh = makeOnUsb();
        int freshRaised = 0;
        fresh->NewROMIDs.bind([&] { ++freshRaised; });
        onBus({kToken});
        fresh->ScanOnce();
        const auto before = fresh->ROMIDs();

        Rom broken = kOtherToken;
        broken[3] = bad;
        onBus({broken});
        expectComponentFailure(failureOf([&] { fresh->ScanOnce(); }), "ScanOnce");
        EXPECT_EQ(fresh->ROMIDs()->Count(), 0) << bad;  // the pass's own list, empty
        EXPECT_EQ(listed(before), (Lines{"014A2F0C000000B7"}));
        EXPECT_EQ(freshRaised, 1) << bad;
        EXPECT_EQ(library->openSessions(), 0);
        EXPECT_EQ(library->log().back().rfind("TMEndSession", 0), 0u);
    }

    // After a good device the pass's list keeps what it had found, and only that.
    auto fresh = makeOnUsb();
    Rom broken = kToken;
    broken[7] = 0x1B7;
    onBus({kOtherToken, broken});
    expectComponentFailure(failureOf([&] { fresh->ScanOnce(); }), "ScanOnce");
    EXPECT_EQ(listed(fresh->ROMIDs()), (Lines{"021CB801000000A2"}));
}

TEST_F(SearchPassTest, ALibraryFailureInAPassEndsTheSessionAndLeavesThePassesList) {
    const auto initial = drive->ROMIDs();
    auto failNext = [&](Fn fn) { library->failAt(fn, library->calls(fn) + 1); };

    // The first pass's set-up fails: a new, empty list is in place, and set-up is tried again.
    onBus({kToken});
    failNext(Fn::Setup);
    expectComponentFailure(failureOf([&] { drive->ScanOnce(); }), "ScanOnce");
    EXPECT_NE(drive->ROMIDs(), initial);
    EXPECT_EQ(drive->ROMIDs()->Count(), 0);
    EXPECT_EQ(library->openSessions(), 0);
    library->clearFailures();
    drive->ScanOnce();
    EXPECT_EQ(library->calls(Fn::Setup), 1 + 2);
    const auto before = drive->ROMIDs();
    ASSERT_EQ(listed(before), (Lines{"014A2F0C000000B7"}));
    raised = 0;

    for (Fn fn : {Fn::Next, Fn::Rom}) {
        failNext(fn);
        expectComponentFailure(failureOf([&] { drive->ScanOnce(); }), "ScanOnce");
        EXPECT_NE(drive->ROMIDs(), before);
        EXPECT_EQ(drive->ROMIDs()->Count(), 0);
        EXPECT_EQ(listed(before), (Lines{"014A2F0C000000B7"}));
        EXPECT_EQ(library->openSessions(), 0);
        library->clearFailures();
    }
    EXPECT_EQ(raised, 0);

    // The session cannot even be started: nothing to end, and the list stays.
    const auto current = drive->ROMIDs();
    failNext(Fn::StartSession);
    const int ended = library->calls(Fn::EndSession);
    expectComponentFailure(failureOf([&] { drive->ScanOnce(); }), "ScanOnce");
    EXPECT_EQ(library->calls(Fn::EndSession), ended);
    EXPECT_EQ(drive->ROMIDs(), current);
}

TEST_F(SearchPassTest, AFailingHandlerFailsThePassAfterTheListIsInPlace) {
    onBus({kToken});
    drive->NewROMIDs.bind([] { throw std::runtime_error("clipboard busy"); });
    expectComponentFailure(failureOf([&] { drive->ScanOnce(); }), "ScanOnce");
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"014A2F0C000000B7"}));
    EXPECT_EQ(library->openSessions(), 0);
    EXPECT_EQ(library->log().back(), "TMEndSession 12");
}

// --- continuous scanning ---------------------------------------------------------------------

class ScanningTest : public SearchPassTest {
protected:
    fakes::InstalledFakeTimerService timers;  // before the drive: it must outlive it
    void SetUp() override { SearchPassTest::SetUp(); }
    void TearDown() override {
        drive.reset();
        EXPECT_EQ(timers.liveCount(), 0) << "a system timer outlived its driver";
    }
};

TEST_F(ScanningTest, TicksRunPassesEveryScanPeriod) {
    onBus({kToken});
    drive->StartScanning();
    ASSERT_EQ(timers.liveCount(), 1);
    EXPECT_EQ(timers.periodOf(timers.lastId()), 350);
    EXPECT_EQ(library->calls(Fn::StartSession), 1);  // only the probe's so far

    timers.advance(349);
    EXPECT_EQ(raised, 0);
    timers.advance(1);
    EXPECT_EQ(raised, 1);
    timers.advance(700);
    EXPECT_EQ(raised, 3);
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"014A2F0C000000B7"}));

    // An extra pass between ticks.
    drive->ScanOnce();
    EXPECT_EQ(raised, 4);

    drive->StopScanning();
    EXPECT_EQ(timers.liveCount(), 0);
    timers.advance(2000);
    EXPECT_EQ(raised, 4);
    drive->StopScanning();  // already stopped: nothing
}

TEST_F(ScanningTest, StartingTwiceKeepsThePhaseAndAChangedPeriodTakesEffectOnRestart) {
    drive->StartScanning();
    const auto id = timers.lastId();
    timers.advance(200);
    drive->StartScanning();
    EXPECT_EQ(timers.setTimerCalls(), 1);
    EXPECT_EQ(timers.nextDue(id), 350);

    drive->ScanMilliseconds(100);
    EXPECT_EQ(timers.periodOf(id), 350);
    drive->StartScanning();
    EXPECT_FALSE(timers.isLive(id));
    EXPECT_EQ(timers.periodOf(timers.lastId()), 100);
}

TEST_F(ScanningTest, AFailingPassDoesNotStopScanning) {
    onBus({kToken});
    drive->StartScanning();
    library->failAt(Fn::Next, library->calls(Fn::Next) + 1);
    timers.advance(350);  // this pass fails, silently
    EXPECT_EQ(raised, 0);
    EXPECT_EQ(library->openSessions(), 0);
    EXPECT_EQ(timers.liveCount(), 1);

    // The holder's own handler failing is dropped the same way.
    bool handlerFails = true;
    drive->NewROMIDs.bind([&] {
        if (handlerFails) {
            throw std::runtime_error("handler");
        }
    });
    timers.advance(350);
    EXPECT_EQ(raised, 1);
    handlerFails = false;
    timers.advance(350);
    EXPECT_EQ(raised, 2);
    EXPECT_EQ(listed(drive->ROMIDs()), (Lines{"014A2F0C000000B7"}));
}

TEST_F(ScanningTest, StartScanningWithAPeriodOf0OrLessStops) {
    EXPECT_NO_THROW(drive->StopScanning());  // never scanned: nothing to do
    drive->ScanMilliseconds(0);
    drive->StartScanning();
    EXPECT_EQ(timers.setTimerCalls(), 0);
    EXPECT_EQ(timers.killTimerCalls(), 0);

    drive->ScanMilliseconds(350);
    drive->StartScanning();
    EXPECT_EQ(timers.liveCount(), 1);
    drive->ScanMilliseconds(-1);
    drive->StartScanning();
    EXPECT_EQ(timers.liveCount(), 0);
    const int before = library->calls(Fn::StartSession);
    timers.advance(5000);
    EXPECT_EQ(library->calls(Fn::StartSession), before);
}

TEST_F(ScanningTest, ReleasingAScanningDriverStopsItsTimer) {
    onBus({kToken});
    drive->StartScanning();
    timers.advance(350);
    ASSERT_EQ(raised, 1);
    const auto id = timers.lastId();

    drive.reset();
    EXPECT_FALSE(timers.isLive(id));
    EXPECT_EQ(timers.liveCount(), 0);
    const int passes = library->calls(Fn::StartSession);
    timers.advance(5000);
    EXPECT_EQ(library->calls(Fn::StartSession), passes);
    EXPECT_EQ(raised, 1);
}

TEST_F(ScanningTest, AHolderMayReleaseTheDriverFromItsNewROMIDsHandler) {
    onBus({kToken});
    std::weak_ptr<TMexDrive> watch = drive;
    drive->NewROMIDs.bind([&] { drive.reset(); });  // the last reference goes mid-pass
    drive->StartScanning();
    timers.advance(350);
    EXPECT_EQ(raised, 1);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(library->openSessions(), 0);  // the pass still ended its session
    EXPECT_EQ(timers.liveCount(), 0);
    timers.advance(1000);
    EXPECT_EQ(raised, 1);
}

TEST_F(ScanningTest, TimerFailuresReachTheCallerAsComponentFailures) {
    timers.refuseNext();
    expectComponentFailure(failureOf([&] { drive->StartScanning(); }), "StartScanning");
    EXPECT_EQ(timers.liveCount(), 0);
    drive->StartScanning();  // the next attempt is granted
    EXPECT_EQ(timers.liveCount(), 1);

    // The registry has lost the running timer: stopping it cannot find it.
    MTimer::resetForTests();
    expectComponentFailure(failureOf([&] { drive->StopScanning(); }), "StopScanning");
    drive->StopScanning();  // now stopped: nothing more to report
}

}  // namespace
}  // namespace quorna
