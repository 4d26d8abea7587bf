// The runtime's calls over the virtual reader: sessions, the enumeration kept in the caller's
// state buffer, the reader file's tokens and simulated faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include <sys/stat.h>

#include "onewire/Runtime.h"
#include "onewire/TextFile.h"
#include "onewire/VirtualReader.h"

using namespace onewire;

namespace {

class VirtualRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("onewire-runtime-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(folder_);
        writeSettings("default = usb 1\nusb 1 = virtual reader.txt\ncom 2 = virtual absent.txt\n");
        runtime_ = std::make_unique<Runtime>(options());
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // The fixture's settings file, and its reports collected.
    RuntimeOptions options() {
        RuntimeOptions options;
        options.environment = [this](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "ONEWIRE_CONF") {
                return (folder_ / "onewire.conf").string();
            }
            return std::nullopt;
        };
        options.diagnostics = [this](const std::string& message) { reports_.push_back(message); };
        return options;
    }

    // For cases about what a file of a megabyte holds, not about the pass's time: a slow build
    // (the sanitizers) on a busy machine reads one in more than a pass's 200 ms.
    void usePatientPasses() {
        RuntimeOptions patient = options();
        patient.networkBudget = std::chrono::seconds(10);
        runtime_ = std::make_unique<Runtime>(patient);
    }

    void writeSettings(const std::string& text) { std::ofstream(folder_ / "onewire.conf") << text; }
    void writeReader(const std::string& text) { std::ofstream(folder_ / "reader.txt") << text; }

    // One pass as the driver runs it: TMNext until it says no more, TMRom after each 1.
    std::vector<std::string> pass(std::vector<std::uint8_t>& stateBuffer) {
        std::int32_t session = runtime_->startSession(1, kPortTypeUsb);
        EXPECT_GT(session, 0);
        auto ids = enumerate(session, stateBuffer);
        runtime_->endSession(session);
        return ids;
    }
    std::vector<std::string> enumerate(std::int32_t session, std::vector<std::uint8_t>& buffer) {
        std::vector<std::string> ids;
        while (runtime_->next(session, buffer.data()) == 1 && ids.size() < 5000) {
            ids.push_back(romText(session, buffer));
        }
        return ids;
    }
    std::string romText(std::int32_t session, std::vector<std::uint8_t>& buffer) {
        std::int16_t rom[8] = {};
        EXPECT_EQ(runtime_->rom(session, buffer.data(), rom), 1);
        std::string text;
        for (std::int16_t element : rom) {
            EXPECT_TRUE(element >= 0 && element <= 255);
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02X", element);
            text += digits;
        }
        return text;
    }

    std::filesystem::path folder_;
    std::vector<std::string> reports_;
    std::unique_ptr<Runtime> runtime_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kStateBufferSize, 0);
};

}  // namespace

TEST_F(VirtualRuntime, DefaultPortAndSessions) {
    std::int16_t number = 0, type = 0;
    EXPECT_EQ(runtime_->readDefaultPort(&number, &type), 1);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(type, kPortTypeUsb);

    writeSettings("usb 1 = virtual reader.txt\n");
    number = 9, type = 9;
    EXPECT_EQ(runtime_->readDefaultPort(&number, &type), 0);
    EXPECT_EQ(number, 9) << "left alone without a default";
    EXPECT_EQ(type, 9);

    // An unmapped port has no adapter; only a port no settings line could name has no session.
    std::int32_t unmapped = runtime_->startSession(3, kPortTypeSerial);
    ASSERT_GT(unmapped, 0);
    EXPECT_EQ(runtime_->setup(unmapped), kSetupNotFound);
    EXPECT_EQ(runtime_->next(unmapped, buffer_.data()), 0);
    EXPECT_EQ(runtime_->endSession(unmapped), 1);
    EXPECT_EQ(runtime_->startSession(1, 7), 0) << "no such port type";
    EXPECT_EQ(runtime_->startSession(-1, kPortTypeUsb), 0);
    EXPECT_EQ(runtime_->setup(0), kInvalidSession);
    EXPECT_EQ(runtime_->setup(12345), kInvalidSession);
    EXPECT_EQ(runtime_->endSession(0), 0);
    EXPECT_EQ(runtime_->endSession(-7), 0);

    std::int32_t first = runtime_->startSession(1, kPortTypeUsb);
    std::int32_t second = runtime_->startSession(1, kPortTypeUsb);
    EXPECT_GT(first, 0);
    EXPECT_GT(second, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(runtime_->endSession(first), 1);
    EXPECT_EQ(runtime_->setup(first), kInvalidSession) << "ended";
    EXPECT_EQ(runtime_->next(first, buffer_.data()), kInvalidSession);
    EXPECT_EQ(runtime_->endSession(second), 1);

    char version[150] = {};
    Runtime::version(version);
    EXPECT_GT(std::strlen(version), 5u);
}

TEST_F(VirtualRuntime, SetupCodesAndFaults) {
    auto setupCode = [this] {
        std::int32_t session = runtime_->startSession(1, kPortTypeUsb);
        std::int16_t code = runtime_->setup(session);
        runtime_->endSession(session);
        return code;
    };
    EXPECT_EQ(setupCode(), 3) << "reader file missing: adapter not found";
    writeReader("");
    EXPECT_EQ(setupCode(), 1);
    for (std::int16_t code : {2, 4, -200, 5, -1}) {
        writeReader("021CB801000000A2\nsetup = " + std::to_string(code) + "\n");
        EXPECT_EQ(setupCode(), code);
        EXPECT_EQ(pass(buffer_).size(), 1u) << "only the set-up fails";
    }
    writeReader("021CB801000000A2\nshorted\n");
    EXPECT_EQ(setupCode(), 2);
    EXPECT_TRUE(pass(buffer_).empty()) << "a shorted bus finds nothing";
    std::int32_t com2 = runtime_->startSession(2, kPortTypeSerial);
    EXPECT_EQ(runtime_->setup(com2), 3);
    EXPECT_EQ(runtime_->next(com2, buffer_.data()), 0);
}

// The probe of a first run, with no settings file and no kernel bus master: every port it tries
// answers "adapter not found", so the operator reads the advice for exactly that.
TEST(FirstRun, EveryProbedPortReportsAdapterNotFound) {
    auto folder = std::filesystem::temp_directory_path() /
                  ("onewire-first-run-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder);
    RuntimeOptions options;
    options.environment = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "ONEWIRE_CONF") {
            return (folder / "missing.conf").string();
        }
        return std::nullopt;
    };
    options.w1DevicesFolder = folder.string();
    options.diagnostics = [](const std::string&) {};
    Runtime runtime(options);
    std::int16_t number = 0, type = 0;
    EXPECT_EQ(runtime.readDefaultPort(&number, &type), 0);
    std::vector<Port> probed = {{kPortTypeUsb, 1}};
    for (std::int16_t com = 1; com <= 7; ++com) {
        probed.push_back({kPortTypeSerial, com});
    }
    for (Port port : probed) {
        std::int32_t session = runtime.startSession(port.number, port.type);
        ASSERT_GT(session, 0) << port.type << " " << port.number;
        EXPECT_EQ(runtime.setup(session), kSetupNotFound) << port.type << " " << port.number;
        runtime.endSession(session);
    }
    std::filesystem::remove_all(folder);
}

TEST_F(VirtualRuntime, TokensCrcAndGhosts) {
    writeReader(
        "# two tokens and what a reader must not list\n"
        "021CB801000000A2\n"
        "01 4A 2F 0C\n"       // not a token line: reported
        "014A2F0C000000B7\n"  // CRC does not check: reported, never listed
        "014a2f0c000000   # 14 digits: CRC added\n"
        "0000000000000000\n"    // all zero
        "0000000000004046\n"    // family-00 ghost
        "810000817E020076\n");  // the adapter's own chip: listed; the driver leaves it out
    EXPECT_EQ(pass(buffer_), (std::vector<std::string>{"021CB801000000A2", "014A2F0C00000002",
                                                       "810000817E020076"}));
    EXPECT_EQ(reports_.size(), 4u);
    EXPECT_NE(reports_[0].find("reader.txt:3:"), std::string::npos) << reports_[0];
    EXPECT_NE(reports_[0].find("expected a token of 16 hex digits"), std::string::npos)
        << "says what form a line takes";
    EXPECT_NE(reports_[1].find("would be 02"), std::string::npos) << reports_[1];
    pass(buffer_);
    EXPECT_EQ(reports_.size(), 4u) << "reported once, not on every pass";
}

TEST_F(VirtualRuntime, EveryPassSeesEveryDeviceAndFileChangesShow) {
    writeReader("021CB801000000A2\n01000001FE0000CB\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pass(buffer_),
                  (std::vector<std::string>{"021CB801000000A2", "01000001FE0000CB"}));
    }
    writeReader("01000001FE0000CB\n");
    EXPECT_EQ(pass(buffer_), std::vector<std::string>{"01000001FE0000CB"});
    writeReader("");
    EXPECT_TRUE(pass(buffer_).empty());

    // Within one session, the enumeration after one that ran out starts from the first again.
    writeReader("021CB801000000A2\n01000001FE0000CB\n");
    std::int32_t session = runtime_->startSession(1, kPortTypeUsb);
    EXPECT_EQ(enumerate(session, buffer_).size(), 2u);
    EXPECT_EQ(enumerate(session, buffer_).size(), 2u);
    // A file changed in the middle of an enumeration shows from the next one on.
    EXPECT_EQ(runtime_->next(session, buffer_.data()), 1);
    writeReader("01000001FE0000CB\n");
    EXPECT_EQ(runtime_->next(session, buffer_.data()), 1);
    EXPECT_EQ(runtime_->next(session, buffer_.data()), 0);
    EXPECT_EQ(enumerate(session, buffer_), std::vector<std::string>{"01000001FE0000CB"});
    runtime_->endSession(session);
}

TEST_F(VirtualRuntime, TwoStateBuffersDoNotDisturbEachOther) {
    writeReader("021CB801000000A2\n01000001FE0000CB\n");
    std::vector<std::uint8_t> other(kStateBufferSize, 0);
    std::int32_t a = runtime_->startSession(1, kPortTypeUsb);
    std::int32_t b = runtime_->startSession(1, kPortTypeUsb);
    ASSERT_EQ(runtime_->next(a, buffer_.data()), 1);
    ASSERT_EQ(runtime_->next(b, other.data()), 1);
    ASSERT_EQ(runtime_->next(b, other.data()), 1);
    EXPECT_EQ(romText(a, buffer_), "021CB801000000A2");
    EXPECT_EQ(romText(b, other), "01000001FE0000CB");
    ASSERT_EQ(runtime_->next(a, buffer_.data()), 1);
    EXPECT_EQ(romText(a, buffer_), "01000001FE0000CB");
    EXPECT_EQ(runtime_->next(b, other.data()), 0);
    runtime_->endSession(a);
    runtime_->endSession(b);
}

TEST_F(VirtualRuntime, AbandonedOrDamagedStateStartsAFreshEnumeration) {
    writeReader("021CB801000000A2\n01000001FE0000CB\n");
    // A pass abandoned after its first device: the next pass (a new session) still sees all.
    std::int32_t session = runtime_->startSession(1, kPortTypeUsb);
    ASSERT_EQ(runtime_->next(session, buffer_.data()), 1);
    runtime_->endSession(session);
    EXPECT_EQ(pass(buffer_).size(), 2u);

    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        session = runtime_->startSession(1, kPortTypeUsb);
        ASSERT_EQ(runtime_->next(session, buffer_.data()), 1);
        // Damage the header or the snapshot: never a crash, never a device that is not there.
        std::size_t at = random() % (state::kHeaderSize + 16);
        buffer_[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
        std::int16_t rom[8] = {};
        std::int16_t result = runtime_->rom(session, buffer_.data(), rom);
        EXPECT_TRUE(result == 0 || result == 1);
        auto ids = enumerate(session, buffer_);
        EXPECT_LE(ids.size(), 2u);
        for (const auto& id : ids) {
            EXPECT_TRUE(id == "021CB801000000A2" || id == "01000001FE0000CB") << id;
        }
        runtime_->endSession(session);
    }
    std::vector<std::uint8_t> garbage(kStateBufferSize);
    for (auto& byte : garbage) {
        byte = static_cast<std::uint8_t>(random());
    }
    EXPECT_EQ(pass(garbage).size(), 2u);
}

// No reader holds more than a few devices: a bus that shows more than 256 is a runaway file or a
// hostile server, and a list cut short would be wrong. It lists nothing, and says so once.
TEST_F(VirtualRuntime, ABusOfMoreDevicesThanAnyReaderListsNone) {
    auto tokens = [](unsigned count) {
        std::string text;
        for (unsigned i = 0; i < count; ++i) {
            Rom rom = withCrc({0x01, static_cast<std::uint8_t>(i),
                               static_cast<std::uint8_t>(i >> 8), 0, 0, 0, 0});
            text += hexText(rom) + "\n";
        }
        return text;
    };
    writeReader(tokens(256) + tokens(256));  // repeats count once
    auto ids = pass(buffer_);
    ASSERT_EQ(ids.size(), 256u);
    EXPECT_EQ(ids.back().substr(0, 6), "01FF00") << "devices handed out in the reader's order";

    writeReader(tokens(257));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(pass(buffer_).empty());
    }
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0],
              "port usb 1: the bus shows more than 256 devices, more than any reader holds; "
              "nothing is listed");
    writeReader(tokens(1));
    EXPECT_EQ(pass(buffer_).size(), 1u);
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_EQ(reports_[1], "port usb 1: searches are complete again");
}

// A pass that runs out of its time hands out nothing rather than a partial list, and says so
// once. With a budget of 0 ms every pass runs out.
TEST_F(VirtualRuntime, APassOutOfTimeListsNothing) {
    RuntimeOptions outOfTime = options();
    outOfTime.networkBudget = std::chrono::milliseconds(0);
    runtime_ = std::make_unique<Runtime>(outOfTime);
    writeReader("021CB801000000A2\n01000001FE0000CB\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(pass(buffer_).empty());
    }
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0],
              "port usb 1: a search ran out of its 0 ms before it was complete; nothing is "
              "listed");
}

// Standard error stays quiet whatever a file holds: a megabyte of distinct bad lines tells five
// of them and how many more, once while the file stays as it is.
TEST_F(VirtualRuntime, AJunkFileTellsAHandfulOfLinesOnce) {
    std::string junk = "021CB801000000A2\n";
    for (unsigned i = 0; junk.size() < kMaxTextFileSize - 100; ++i) {
        junk += "junk line " + std::to_string(i) + "\n";
    }
    writeReader(junk);
    writeSettings("usb 1 = virtual reader.txt\n" + junk.substr(17, kMaxTextFileSize - 200));
    usePatientPasses();
    auto bytesOfReports = [this] {
        std::size_t bytes = 0;
        for (const auto& report : reports_) {
            bytes += report.size();
        }
        return bytes;
    };
    EXPECT_EQ(pass(buffer_), std::vector<std::string>{"021CB801000000A2"});
    EXPECT_EQ(reports_.size(), 12u) << "five lines and a count, for each file";
    EXPECT_LT(bytesOfReports(), 4096u);
    EXPECT_NE(reports_[5].find("onewire.conf: and "), std::string::npos) << reports_[5];
    const auto junkLines = std::count(junk.begin(), junk.end(), '\n') - 1;
    EXPECT_EQ(reports_[11].substr(reports_[11].find(": and ")),
              ": and " + std::to_string(junkLines - 5) + " more lines not understood");
    reports_.clear();
    pass(buffer_);
    pass(buffer_);
    EXPECT_TRUE(reports_.empty()) << "not again while the files are unchanged: "
                                  << (reports_.empty() ? "" : reports_[0]);
}

TEST_F(VirtualRuntime, SessionTableIsBounded) {
    std::vector<std::int32_t> sessions;
    for (int i = 0; i < 300; ++i) {
        sessions.push_back(runtime_->startSession(1, kPortTypeUsb));
    }
    EXPECT_GT(sessions[255], 0);
    EXPECT_EQ(sessions[256], 0) << "a caller that never ends sessions gets no more";
    runtime_->endSession(sessions[0]);
    EXPECT_GT(runtime_->startSession(1, kPortTypeUsb), 0);
}

TEST_F(VirtualRuntime, FilesThatAreNotSmallRegularFilesAreNotRead) {
    // A FIFO would block the open until a writer comes; a huge file would be read to the end.
    ASSERT_EQ(::mkfifo((folder_ / "reader.txt").c_str(), 0600), 0);
    std::int32_t session = runtime_->startSession(1, kPortTypeUsb);
    EXPECT_EQ(runtime_->setup(session), 3) << "a FIFO is no reader";
    EXPECT_EQ(runtime_->next(session, buffer_.data()), 0);
    runtime_->endSession(session);
    std::filesystem::remove(folder_ / "reader.txt");

    usePatientPasses();
    std::string huge = "021CB801000000A2\n";
    huge.resize(kMaxTextFileSize + 1, '\n');
    writeReader(huge);
    EXPECT_TRUE(pass(buffer_).empty()) << "larger than any reader file";
    writeReader(huge.substr(0, kMaxTextFileSize));
    EXPECT_EQ(pass(buffer_).size(), 1u) << "the largest file still read";

    std::filesystem::remove(folder_ / "onewire.conf");
    ASSERT_EQ(::mkfifo((folder_ / "onewire.conf").c_str(), 0600), 0);
    std::int16_t number = 0, type = 0;
    EXPECT_EQ(runtime_->readDefaultPort(&number, &type), 0);
    std::int32_t session2 = runtime_->startSession(1, kPortTypeUsb);
    EXPECT_EQ(runtime_->setup(session2), kSetupNotFound) << "unreadable settings map nothing";
    runtime_->endSession(session2);
    EXPECT_FALSE(reports_.empty());
}

TEST_F(VirtualRuntime, AHugeBadLineIsQuotedShort) {
    writeReader(std::string(100000, 'x') + "\n");
    pass(buffer_);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_LT(reports_[0].size(), 400u) << "the report quotes the start of the line";
    EXPECT_NE(reports_[0].find("reader.txt:1:"), std::string::npos);
}

TEST_F(VirtualRuntime, FileProblemsAreReportedWhenTheyStartAndWhenTheyClear) {
    auto reportsAfterPasses = [this] {
        reports_.clear();
        for (int i = 0; i < 3; ++i) {
            pass(buffer_);
        }
        return reports_;
    };
    auto reports = reportsAfterPasses();
    ASSERT_EQ(reports.size(), 1u) << "once, not on every pass";
    EXPECT_NE(reports[0].find("reader.txt: does not exist"), std::string::npos) << reports[0];
    writeReader("021CB801000000A2\n");
    reports = reportsAfterPasses();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("reader.txt: read again"), std::string::npos) << reports[0];

    writeReader(std::string(kMaxTextFileSize + 1, '\n'));
    reports = reportsAfterPasses();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("reader.txt: is too large"), std::string::npos) << reports[0];

    writeSettings("usb 1 = virtual reader.txt\n" + std::string(kMaxTextFileSize, '#'));
    reports_.clear();
    runtime_->endSession(runtime_->startSession(1, kPortTypeUsb));
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_NE(reports_[0].find("onewire.conf: is too large"), std::string::npos) << reports_[0];
}

TEST_F(VirtualRuntime, EachDeviceIsHandedOutOnce) {
    writeReader("021CB801000000A2\n01000001FE0000CB\n021CB801000000A2\n021cb801000000\n");
    EXPECT_EQ(pass(buffer_), (std::vector<std::string>{"021CB801000000A2", "01000001FE0000CB"}));
}

// A reader file in a folder with spaces and a '#', named in double quotes, is the one read.
TEST_F(VirtualRuntime, QuotedReaderPathWithSpacesAndHash) {
    std::filesystem::create_directories(folder_ / "My Readers #1");
    std::ofstream(folder_ / "My Readers #1" / "reader 1.txt") << "021CB801000000A2\n";
    writeSettings("usb 1 = virtual \"" + (folder_ / "My Readers #1" / "reader 1.txt").string() +
                  "\"  # the demo token\n"
                  "usb 2 = virtual \"My Readers #1/reader 1.txt\"\n");
    EXPECT_EQ(pass(buffer_), std::vector<std::string>{"021CB801000000A2"});
    std::int32_t session = runtime_->startSession(2, kPortTypeUsb);
    EXPECT_EQ(runtime_->setup(session), 1) << "relative to the settings file's folder";
    EXPECT_EQ(enumerate(session, buffer_), std::vector<std::string>{"021CB801000000A2"});
    runtime_->endSession(session);
    EXPECT_TRUE(reports_.empty()) << reports_.front();
}
