// The reader check's pieces: one attempt per port report, the driver's set-up texts, its event
// loop.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "check/Account.h"
#include "check/ConsoleLoop.h"
#include "check/Report.h"
#include "reader/TMexDrive.h"
#include "tests/fakes/FakeTMexApi.h"

namespace quorna {
namespace {

using fakes::FakeTMexApi;

// A library that gives the runtime's account, scripted; its TMSetup disagrees on purpose.
class AccountingLibrary : public FakeTMexApi {
public:
    std::optional<std::string> OneWireDiagnose(std::int16_t, std::int16_t) override {
        ++diagnoses;
        return account;
    }
    std::optional<std::string> account;
    int diagnoses = 0;
};

constexpr check::Port kCom2{2, tmexapi::kPortTypeSerial};

std::string reportOf(const check::PortAttempt& attempt, bool* found = nullptr) {
    std::ostringstream out;
    const bool result = check::printPortReport(out, attempt, "fake 1-Wire");
    if (found != nullptr) {
        *found = result;
    }
    return out.str();
}

TEST(ReaderCheckReport, EveryLineOfAPortComesFromTheRuntimesOneAttempt) {
    AccountingLibrary library;
    library.setupResult({2, tmexapi::kPortTypeSerial}, 3);  // a second attempt would fail
    library.account =
        "port: com 2\nbackend: serial /dev/ttyUSB0\nsetup: 1\n"
        "adapter: DS2480B on serial port /dev/ttyUSB0\nadapter-detail: baud write 77 answered 76\n"
        "device: 021CB801000000A2\ndevice: 810000817E020076\n";
    const auto attempt = check::attemptPort(library, kCom2);
    EXPECT_EQ(library.diagnoses, 1);
    EXPECT_EQ(library.calls(FakeTMexApi::Fn::Setup), 0);
    bool found = false;
    const std::string out = reportOf(attempt, &found);
    EXPECT_TRUE(found);
    EXPECT_NE(out.find("  Adapter: DS2480B on serial port /dev/ttyUSB0\n"
                       "    baud write 77 answered 76\n  Set-up: 1: adapter found\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("021CB801000000A2  family 02  token, listed"), std::string::npos) << out;
    EXPECT_NE(out.find("810000817E020076  family 81  refused: the adapter's own chip"),
              std::string::npos);
    EXPECT_NE(out.find("Tokens listed: 1\n"), std::string::npos);
}

TEST(ReaderCheckReport, AFailedDetectionIsReportedAsThatAttemptSawIt) {
    AccountingLibrary library;
    library.setupResult({2, tmexapi::kPortTypeSerial}, 1);
    library.account =
        "port: com 2\nbackend: serial /dev/ttyUSB0\nsetup: 3\n"
        "adapter: serial port /dev/ttyUSB0: no DS2480B answered\n";
    bool found = true;
    const std::string out = reportOf(check::attemptPort(library, kCom2), &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(library.calls(FakeTMexApi::Fn::Setup), 0);
    EXPECT_NE(out.find("Adapter: serial port /dev/ttyUSB0: no DS2480B answered\n"
                       "  Set-up: 3: adapter not found\n    Make sure the adapter is plugged in"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Devices on the bus: 0\n  Tokens listed: 0\n"), std::string::npos) << out;
}

TEST(ReaderCheckReport, WithoutAnAccountTheDriversAdapterTestIsTheAttempt) {
    AccountingLibrary library;  // no account, as from the vendor's library
    library.setupResult({2, tmexapi::kPortTypeSerial}, 4);
    bool found = true;
    const std::string out = reportOf(check::attemptPort(library, kCom2), &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(library.calls(FakeTMexApi::Fn::Setup), 1);
    EXPECT_EQ(library.openSessions(), 0);
    EXPECT_NE(out.find("Set-up: 4: set-up not supported by the installed 1-Wire drivers\n"
                       "    The program would say: " +
                       TMexDrive::SetupCodeText(4) + "\n  (fake 1-Wire gives no account"),
              std::string::npos)
        << out;

    // An account that lacks the set-up code (a runtime of another version) is topped up by the
    // driver's test; a code that is no number counts as lacking.
    library.account = "port: com 2\nsetup: 1x\n";
    EXPECT_EQ(check::attemptPort(library, kCom2).setup, 4);
}

TEST(ReaderCheckReport, MultiLineProgramTextsStayUnderTheirLabel) {
    AccountingLibrary library;
    library.account = "setup: 0\n";
    const std::string out = reportOf(check::attemptPort(library, kCom2));
    EXPECT_NE(out.find("Set-up: 0: set-up failed\n    The program would say: "
                       "TMSetup returned error 0. Setup Failed.\n"),
              std::string::npos)
        << out;
    library.account = "setup: 3\nbackend: none: not mapped\n";
    EXPECT_NE(reportOf(check::attemptPort(library, kCom2)).find("No adapter is mapped"),
              std::string::npos);
}

TEST(SetupCodeTexts, EveryCodeHasBothTextsFromOneTable) {
    for (std::int32_t code : {0, 1, 2, 3, 4, -200, -201}) {
        const std::string words = TMexDrive::SetupCodeWords(code);
        EXPECT_FALSE(words.empty()) << code;
        EXPECT_EQ(TMexDrive::SetupCodeText(code).find("unspecified error"), std::string::npos)
            << code;
        EXPECT_NE(words, TMexDrive::SetupCodeWords(99)) << code;
    }
    EXPECT_EQ(TMexDrive::SetupCodeWords(99), "a code the 1-Wire library does not explain");
    EXPECT_EQ(TMexDrive::SetupCodeText(99),
              "There has been an unspecified error 99 from the system.");
}

TEST(ReaderCheckAccount, KeysRepeatInOrderAndNumbersArePlain) {
    const auto account = check::parseAccount("a: 1\nno colon\nb: x: y\na: 2\nsetup: -200\n");
    EXPECT_EQ(check::valuesOf(account, "a"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(check::valueOf(account, "b"), "x: y");
    EXPECT_EQ(check::valueOf(account, "c", "none"), "none");
    EXPECT_EQ(check::numberOf(account, "setup"), -200);
    EXPECT_EQ(check::numberOf(check::parseAccount("setup: \n"), "setup"), std::nullopt);
    EXPECT_EQ(check::numberOf(check::parseAccount("setup: 99999\n"), "setup"), std::nullopt);
    EXPECT_EQ(check::portOfName("com 3"), (check::Port{3, tmexapi::kPortTypeSerial}));
    EXPECT_EQ(check::portOfName("lpt 1"), std::nullopt);
}

TEST(ReaderCheckLoop, TimersMayEndThemselvesAndTheLoopWaitsForAnExpiry) {
    check::ConsoleLoop loop;
    static int ticks;
    static check::ConsoleLoop* running;
    ticks = 0;
    running = &loop;
    const std::int32_t id =
        loop.setTimer(5, [](std::intptr_t, std::uint32_t, std::int32_t timer, std::uint32_t) {
            if (++ticks == 2) {
                running->killTimer(timer);
            }
        });
    ASSERT_GT(id, 0);
    EXPECT_EQ(loop.setTimer(0, nullptr), 0);
    int rounds = 0;
    // A deadline already past: the loop still runs until the timer has fired once.
    loop.runUntil(check::ConsoleLoop::Clock::now(), [&] { ++rounds; });
    EXPECT_EQ(ticks, 1);
    loop.runUntil(check::ConsoleLoop::Clock::now() + std::chrono::milliseconds(40),
                  [&] { ++rounds; });
    EXPECT_EQ(ticks, 2);  // killed from its own callback
    EXPECT_GE(rounds, 2);
}

}  // namespace
}  // namespace quorna
