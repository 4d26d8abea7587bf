// The shared CRC and ghost filter, and the settings file: its grammar, bad lines, location.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "onewire/RomCode.h"
#include "onewire/Settings.h"

using namespace onewire;

namespace {

std::vector<std::string> parsedWith(std::string_view text, Settings* out) {
    std::vector<std::string> reports;
    Reporter reporter([&](const std::string& message) { reports.push_back(message); });
    *out = parseSettings(text, "/etc/onewire/onewire.conf", reporter);
    return reports;
}

}  // namespace

TEST(RomCode, Crc8MatchesKnownVectors) {
    struct Vector {
        std::array<std::uint8_t, 7> bytes;
        std::uint8_t crc;
    };
    const Vector vectors[] = {{{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00}, 0xA2},
                              {{0x81, 0x00, 0x00, 0x81, 0x7E, 0x02, 0x00}, 0x76},
                              {{0x01, 0x00, 0x00, 0x01, 0xFE, 0x00, 0x00}, 0xCB},
                              {{0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00}, 0x02},
                              {{0x48, 0xA8, 0xDC, 0xF2, 0xB7, 0x01, 0x30}, 0x7E}};
    for (const Vector& vector : vectors) {
        EXPECT_EQ(crc8(vector.bytes.data(), 7), vector.crc);
        Rom rom = withCrc(vector.bytes);
        EXPECT_EQ(crc8(rom.data(), 8), 0) << "a good code checks to 0 over all 8 bytes";
    }
}

TEST(RomCode, FilterRejectsBadCrcAndGhosts) {
    EXPECT_TRUE(isAcceptable({0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_FALSE(isAcceptable({0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0xB7}));
    EXPECT_FALSE(isAcceptable({0, 0, 0, 0, 0, 0, 0, 0})) << "all zero has a valid CRC";
    EXPECT_FALSE(isAcceptable({0, 0, 0, 0, 0, 0, 0x40, 0x46})) << "the family-00 ghost";
    EXPECT_TRUE(isAcceptable(withCrc({0x81, 0x00, 0x00, 0x81, 0x7E, 0x02, 0x00})))
        << "the adapter's own chips are devices; the driver leaves them out";

    std::vector<Rom> mixed = {{0, 0, 0, 0, 0, 0, 0x40, 0x46},
                              withCrc({0x02, 0x1C, 0xB8, 0x01, 0, 0, 0}),
                              {0x01, 0x4A, 0x2F, 0x0C, 0, 0, 0, 0xB7},
                              withCrc({0x01, 0, 0, 0x01, 0xFE, 0, 0})};
    auto accepted = acceptableOnly(mixed);
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_EQ(accepted[0][7], 0xA2);
    EXPECT_EQ(accepted[1][7], 0xCB);
}

TEST(Settings, ReadsDefaultsAndMappings) {
    Settings settings;
    auto reports = parsedWith(
        "# reader settings\n"
        "default = com 3   # the serial adapter\n"
        "\n"
        "  USB 1 =  virtual   reader one.txt  \n"
        "com 3 = owserver 127.0.0.1:4304\n"
        "com 4 = owserver [::1]:4305\n"
        "usb 2 = w1 /sys/bus/w1/devices/w1_bus_master2\r\n"
        "usb 3 = owserver 192.168.1.5   # owfs's default port\n"
        "usb 4 = owserver [::1] Simulated\n",
        &settings);
    EXPECT_TRUE(reports.empty()) << reports.front();
    ASSERT_TRUE(settings.defaultPort);
    EXPECT_EQ(settings.defaultPort->type, kPortTypeSerial);
    EXPECT_EQ(settings.defaultPort->number, 3);
    ASSERT_EQ(settings.ports.size(), 6u);

    const PortMapping& usb1 = settings.ports.at(Port{kPortTypeUsb, 1});
    EXPECT_EQ(usb1.kind, BackendKind::Virtual);
    EXPECT_EQ(usb1.argument, "/etc/onewire/reader one.txt") << "relative to the settings file";
    const PortMapping& com3 = settings.ports.at(Port{kPortTypeSerial, 3});
    EXPECT_EQ(com3.kind, BackendKind::Owserver);
    EXPECT_EQ(com3.host, "127.0.0.1");
    EXPECT_EQ(com3.service, "4304");
    EXPECT_FALSE(com3.simulatedAllowed);
    EXPECT_EQ(settings.ports.at(Port{kPortTypeSerial, 4}).host, "::1");
    const PortMapping& usb3 = settings.ports.at(Port{kPortTypeUsb, 3});
    EXPECT_EQ(usb3.argument, "192.168.1.5:4304");
    EXPECT_EQ(usb3.service, "4304");
    const PortMapping& usb4 = settings.ports.at(Port{kPortTypeUsb, 4});
    EXPECT_EQ(usb4.argument, "[::1]:4304");
    EXPECT_TRUE(usb4.simulatedAllowed);
    const PortMapping& usb2 = settings.ports.at(Port{kPortTypeUsb, 2});
    EXPECT_EQ(usb2.kind, BackendKind::W1);
    EXPECT_EQ(usb2.argument, "/sys/bus/w1/devices/w1_bus_master2");
}

TEST(Settings, BadLinesAreReportedWithFileAndLineAndIgnored) {
    Settings settings;
    auto reports = parsedWith(
        "default = usb\n"                // 1: no port number
        "usb 1 = virtual /tmp/a\n"       // 2: good
        "usb 1 = virtual /tmp/b\n"       // 3: a second mapping of usb 1
        "com 2 = modem /dev/ttyS0\n"     // 4: unknown backend
        "com 3 = owserver ::1\n"         // 5: IPv6 without brackets
        "com 4 = owserver host:70000\n"  // 6: TCP port out of range
        "lpt 1 = virtual /tmp/c\n"       // 7: unknown port kind
        "usb one = virtual /tmp/d\n"     // 8: port number not a number
        "just words\n"                   // 9: no '='
        "default = usb 2\n"              // 10: good
        "default = com 1\n"              // 11: a second default
        "com 5 = virtual\n"              // 12: no file
        "usb 99999 = virtual /tmp/e\n"   // 13: port number out of range
        "com 6 = owserver h:1 fake\n",   // 14: a word other than "simulated"
        &settings);
    // The first five in full, then how many more.
    ASSERT_EQ(reports.size(), 6u);
    const char* expectedLines[] = {":1:", ":3:", ":4:", ":5:", ":6:"};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NE(reports[i].find(std::string("/etc/onewire/onewire.conf") + expectedLines[i]),
                  std::string::npos)
            << reports[i];
    }
    EXPECT_NE(reports[0].find("expected \"default = usb N\""), std::string::npos) << reports[0];
    EXPECT_NE(reports[3].find("owserver HOST[:PORT] [simulated]"), std::string::npos)
        << "the forms a line may take";
    EXPECT_EQ(reports[5],
              "settings file /etc/onewire/onewire.conf: and 7 more lines not understood");
    for (const char* line : {"lpt 1 = virtual /tmp/c", "usb one = virtual /tmp/d", "just words",
                             "com 5 = virtual", "usb 99999 = virtual /tmp/e"}) {
        Settings ignored;
        auto alone = parsedWith(line, &ignored);
        ASSERT_EQ(alone.size(), 1u) << line;
        EXPECT_NE(alone[0].find("expected \"default = usb N\" or \"default = com N\", or \"usb N = "
                                "\" or \"com N = \""),
                  std::string::npos)
            << "every form, the default's too: " << alone[0];
    }
    ASSERT_EQ(settings.ports.size(), 1u);
    EXPECT_EQ(settings.ports.at(Port{kPortTypeUsb, 1}).argument, "/tmp/a") << "first one kept";
    ASSERT_TRUE(settings.defaultPort);
    EXPECT_EQ(settings.defaultPort->number, 2);
}

TEST(Settings, EachBadLineIsReportedOnceAcrossRereads) {
    std::vector<std::string> reports;
    Reporter reporter([&](const std::string& message) { reports.push_back(message); });
    for (int read = 0; read < 5; ++read) {
        parseSettings("nonsense\n", "/x.conf", reporter);
    }
    EXPECT_EQ(reports.size(), 1u);

    // A file whose account changes is told again; one mended and broken again too.
    std::string many;
    for (int line = 0; line < 20; ++line) {
        many += "nonsense " + std::to_string(line) + "\n";
    }
    for (const std::string& text :
         {many, many, "\n" + many, std::string("usb 1 = w1 /x\n"), "\n" + many}) {
        parseSettings(text, "/x.conf", reporter);
    }
    ASSERT_EQ(reports.size(), 1u + 6 + 6 + 6);
    EXPECT_EQ(reports[6], "settings file /x.conf: and 15 more lines not understood");
    EXPECT_NE(reports[7].find("/x.conf:2: "), std::string::npos) << reports[7];
}

TEST(Settings, FileLocationFollowsEnvironment) {
    auto folder =
        std::filesystem::temp_directory_path() /
        ("onewire-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder / "xdg/onewire");
    std::filesystem::create_directories(folder / "home/.config/onewire");
    std::ofstream(folder / "explicit.conf") << "default = com 7\n";
    std::ofstream(folder / "xdg/onewire/onewire.conf") << "default = com 6\n";
    std::ofstream(folder / "home/.config/onewire/onewire.conf") << "default = com 5\n";

    std::map<std::string, std::string> variables;
    Environment environment = [&](const char* name) -> std::optional<std::string> {
        auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    };
    variables["HOME"] = (folder / "home").string();
    EXPECT_EQ(findSettingsFile(environment),
              (folder / "home/.config/onewire/onewire.conf").string());
    variables["XDG_CONFIG_HOME"] = (folder / "xdg").string();
    EXPECT_EQ(findSettingsFile(environment), (folder / "xdg/onewire/onewire.conf").string());
    variables["ONEWIRE_CONF"] = (folder / "explicit.conf").string();
    EXPECT_EQ(findSettingsFile(environment), (folder / "explicit.conf").string());

    Reporter quiet([](const std::string&) {});
    EXPECT_EQ(loadSettings(environment, quiet).defaultPort->number, 7);
    // A named file that is missing means no settings at all, not the next candidate.
    variables["ONEWIRE_CONF"] = (folder / "missing.conf").string();
    EXPECT_FALSE(findSettingsFile(environment));
    EXPECT_FALSE(loadSettings(environment, quiet).fromFile);
    std::filesystem::remove_all(folder);
}

TEST(Settings, WithoutAFileUsbPortsAreKernelBusMasters) {
    Settings none;
    auto usb2 = mappingFor(none, Port{kPortTypeUsb, 2}, "/sys/bus/w1/devices");
    ASSERT_TRUE(usb2);
    EXPECT_EQ(usb2->kind, BackendKind::W1);
    EXPECT_EQ(usb2->argument, "/sys/bus/w1/devices/w1_bus_master2");
    EXPECT_FALSE(mappingFor(none, Port{kPortTypeSerial, 1}, "/sys/bus/w1/devices"));
    EXPECT_FALSE(mappingFor(none, Port{kPortTypeUsb, 2}, "")) << "no kernel buses (Windows)";
    EXPECT_TRUE(isNameablePort(Port{kPortTypeSerial, 1})) << "unmapped, but a port";
    EXPECT_FALSE(isNameablePort(Port{7, 1}));
    EXPECT_FALSE(isNameablePort(Port{kPortTypeUsb, -1}));

    Reporter quietReporter([](const std::string&) {});
    Settings commentsOnly =
        parseSettings("# usb 1 = owserver\ndefault = usb 1\n", "c", quietReporter);
    EXPECT_TRUE(mappingFor(commentsOnly, Port{kPortTypeUsb, 1}, "/sys/bus/w1/devices"))
        << "a file that maps nothing leaves the kernel's buses in place";
    Settings refused = parseSettings("usb 1 = nonsense\n", "r", quietReporter);
    EXPECT_FALSE(mappingFor(refused, Port{kPortTypeUsb, 1}, "/sys/bus/w1/devices"))
        << "a file that tries to map a port maps only what it names";
    Settings other = parseSettings("usb 2 = virtual r.txt\n", "o", quietReporter);
    EXPECT_FALSE(mappingFor(other, Port{kPortTypeUsb, 1}, "/sys/bus/w1/devices"));
}

TEST(Reporter, RepeatsAreHeldBackButNewsIsAlwaysReported) {
    std::vector<std::string> reports;
    Reporter reporter([&](const std::string& message) { reports.push_back(message); });
    for (std::size_t i = 0; i < Reporter::kRemembered + 500; ++i) {
        reporter.reportOnce("bad line " + std::to_string(i));
    }
    reporter.reportOnce("bad line " + std::to_string(Reporter::kRemembered + 499));
    EXPECT_EQ(reports.size(), Reporter::kRemembered + 500) << "a recent repeat is held back";
    reporter.reportOnce("a settings error found later");
    EXPECT_EQ(reports.back(), "a settings error found later");

    reports.clear();
    for (int pass = 0; pass < 3; ++pass) {
        reporter.reportProblem("reader", "does not exist");
    }
    reporter.reportProblem("reader", "is too large");
    reporter.reportRecovery("reader", "read again");
    reporter.reportRecovery("reader", "read again");
    EXPECT_EQ(reports, (std::vector<std::string>{"reader: does not exist", "reader: is too large",
                                                 "reader: read again"}));
}

TEST(Settings, FileBytesAreEscapedNulsRefusedAndAByteOrderMarkAccepted) {
    Settings settings;
    using namespace std::string_literals;
    auto reports = parsedWith(
        "\xEF\xBB\xBF"
        "default = usb 1\n"
        "usb 1 = virtual reader.txt\0garbage\n"
        "usb 2 = \x1B]0;owned\x07\x9B\n"s,
        &settings);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].find(":2: a NUL byte in \"usb 1 = virtual reader.txt\\x00garbage\""),
              std::string::npos)
        << reports[0];
    EXPECT_NE(reports[1].find("\"usb 2 = \\x1B]0;owned\\x07\\x9B\""), std::string::npos)
        << reports[1];
    EXPECT_TRUE(settings.defaultPort) << "the mark is no part of the first line";
    EXPECT_TRUE(settings.ports.empty());
}

// Every backend that takes a path takes it both ways: as the rest of the line, spaces and all,
// or in double quotes, which also keep a '#' (elsewhere a comment) and are not part of the path.
TEST(Settings, PathsWithSpacesPlainOrInDoubleQuotes) {
    Settings settings;
    auto reports = parsedWith(
        "usb 1 = virtual /root/My Readers/reader 1.txt   # plain: up to the comment\n"
        "usb 2 = virtual \"/root/My Readers/reader #2.txt\"   # quoted: the '#' is kept\n"
        "usb 3 = virtual \"My Readers/reader 3.txt\"\n"
        "usb 4 = w1 /sys/bus/w1/devices/w1 bus master4\n"
        "usb 5 = w1 \"/sys/bus/w1/devices/w1 bus #5\"\n"
        "com 1 = serial /dev/serial/by-id/usb-FTDI My Adapter-if00\n"
        "com 2 = serial \"/dev/serial/by-id/usb-FTDI #2-if00\"#no space before the comment\n"
        "com 3 = SERIAL \"\\\\.\\COM12\"\n"
        "com 4 = virtual /tmp/a\"b # a quote inside a plain path is kept, the comment cut\n",
        &settings);
    EXPECT_TRUE(reports.empty()) << reports.front();
    const std::map<Port, std::pair<BackendKind, std::string>> expected = {
        {{kPortTypeUsb, 1}, {BackendKind::Virtual, "/root/My Readers/reader 1.txt"}},
        {{kPortTypeUsb, 2}, {BackendKind::Virtual, "/root/My Readers/reader #2.txt"}},
        {{kPortTypeUsb, 3}, {BackendKind::Virtual, "/etc/onewire/My Readers/reader 3.txt"}},
        {{kPortTypeUsb, 4}, {BackendKind::W1, "/sys/bus/w1/devices/w1 bus master4"}},
        {{kPortTypeUsb, 5}, {BackendKind::W1, "/sys/bus/w1/devices/w1 bus #5"}},
        {{kPortTypeSerial, 1}, {BackendKind::Serial, "/dev/serial/by-id/usb-FTDI My Adapter-if00"}},
        {{kPortTypeSerial, 2}, {BackendKind::Serial, "/dev/serial/by-id/usb-FTDI #2-if00"}},
        {{kPortTypeSerial, 3}, {BackendKind::Serial, "\\\\.\\COM12"}},
        {{kPortTypeSerial, 4}, {BackendKind::Virtual, "/tmp/a\"b"}},
    };
    ASSERT_EQ(settings.ports.size(), expected.size());
    for (const auto& [port, mapping] : expected) {
        ASSERT_TRUE(settings.ports.contains(port)) << port.type << " " << port.number;
        EXPECT_EQ(settings.ports.at(port).kind, mapping.first) << mapping.second;
        EXPECT_EQ(settings.ports.at(port).argument, mapping.second);
    }
}

// A quoted path that is not one whole "..." is refused, never taken with its quotes: an unclosed
// quote, text after the closing one, or an empty pair.
TEST(Settings, BadlyQuotedPathsAreRefused) {
    for (const char* line :
         {"usb 1 = virtual \"/root/My Readers/reader.txt",
          "usb 1 = virtual \"/root/reader.txt\" extra", "usb 1 = virtual \"/root/a\" \"/root/b\"",
          "usb 1 = virtual \"\"", "usb 1 = w1 \"/sys/bus/w1/devices/w1_bus_master1",
          "com 1 = serial \"/dev/ttyUSB0\"x", "com 1 = serial \"\""}) {
        Settings settings;
        auto reports = parsedWith(line, &settings);
        EXPECT_TRUE(settings.ports.empty()) << line;
        ASSERT_EQ(reports.size(), 1u) << line;
        EXPECT_NE(reports[0].find("a path may be written in double quotes"), std::string::npos)
            << reports[0];
    }
}
