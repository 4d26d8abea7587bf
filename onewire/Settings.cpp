#include "onewire/Settings.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

#include "onewire/Platform.h"
#include "onewire/RomCode.h"
#include "onewire/TextFile.h"

namespace onewire {
namespace {

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> result;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        std::size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i > start) {
            result.push_back(text.substr(start, i - start));
        }
    }
    return result;
}

constexpr long kHighestPortNumber = 32767;

// "usb N" or "com N".
std::optional<Port> parsePort(std::string_view text) {
    auto parts = words(text);
    if (parts.size() != 2) {
        return std::nullopt;
    }
    std::string kind = lower(parts[0]);
    auto number = parseDecimal(parts[1], 0, kHighestPortNumber);
    if (!number) {
        return std::nullopt;
    }
    if (kind == "usb") {
        return Port{kPortTypeUsb, static_cast<std::int16_t>(*number)};
    }
    if (kind == "com") {
        return Port{kPortTypeSerial, static_cast<std::int16_t>(*number)};
    }
    return std::nullopt;
}

// A settings line's content: the text before the first '#' that is not inside a double-quoted
// word, trimmed. A quote opens only at a word's start, so a stray one inside an unquoted path
// does not swallow the comment after it.
std::string_view contentOf(std::string_view line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"' && (quoted || i == 0 || line[i - 1] == '=' ||
                               std::isspace(static_cast<unsigned char>(line[i - 1])))) {
            quoted = !quoted;
        } else if (line[i] == '#' && !quoted) {
            return trim(line.substr(0, i));
        }
    }
    return trim(line);
}

// A path as written: either the rest of the line (spaces inside kept, ends trimmed) or one
// double-quoted word, taken exactly as between its quotes (no escapes, so Windows' backslashes
// stay as written). nullopt for an unclosed quote, text after the closing one, or "".
std::optional<std::string> pathOf(std::string_view argument) {
    if (!argument.starts_with('"')) {
        return std::string(argument);
    }
    std::size_t close = argument.find('"', 1);
    if (close == std::string_view::npos || close == 1 || close + 1 != argument.size()) {
        return std::nullopt;
    }
    return std::string(argument.substr(1, close - 1));
}

// "ds2490 [N | BUS:ADDRESS | ID-CHIP] [detach-kernel]"; bare, USB port N's Nth adapter.
std::optional<PortMapping> parseDs2490(std::string_view argument, Port port) {
    PortMapping mapping;
    mapping.kind = BackendKind::Ds2490;
    bool named = false;
    for (std::string_view word : words(argument)) {
        const std::string text = lower(word);
        if (text == "detach-kernel" && !mapping.detachKernel) {
            mapping.detachKernel = true;
            continue;
        }
        if (named) {
            return std::nullopt;
        }
        named = true;
        const std::size_t colon = text.find(':');
        if (colon != std::string::npos) {
            auto bus = parseDecimal(std::string_view(text).substr(0, colon), 1, 255);
            auto address = parseDecimal(std::string_view(text).substr(colon + 1), 1, 127);
            if (!bus || !address) {
                return std::nullopt;
            }
            mapping.usbBus = static_cast<int>(*bus);
            mapping.usbAddress = static_cast<int>(*address);
        } else if (text.size() == 16) {
            auto bytes = parseHexBytes(text);
            if (!bytes) {
                return std::nullopt;
            }
            Rom rom{};
            std::copy(bytes->begin(), bytes->end(), rom.begin());
            if (!isAcceptable(rom)) {
                return std::nullopt;  // a typing error would never match any adapter
            }
            mapping.idChip = hexText(rom);
        } else if (auto ordinal = parseDecimal(text, 1, 127)) {
            mapping.usbOrdinal = static_cast<int>(*ordinal);
        } else {
            return std::nullopt;
        }
    }
    if (!named) {
        if (port.type != kPortTypeUsb || port.number < 1) {
            return std::nullopt;  // only USB port N has an Nth adapter of its own
        }
        mapping.usbOrdinal = port.number;
    }
    mapping.argument = mapping.usbOrdinal > 0 ? std::to_string(mapping.usbOrdinal)
                       : mapping.usbBus > 0   ? std::to_string(mapping.usbBus) + ":" +
                                                  std::to_string(mapping.usbAddress)
                                            : mapping.idChip;
    return mapping;
}

std::optional<PortMapping> parseMapping(std::string_view text, const std::string& fileName,
                                        Port port) {
    std::size_t split = 0;
    while (split < text.size() && !std::isspace(static_cast<unsigned char>(text[split]))) {
        ++split;
    }
    std::string kind = lower(text.substr(0, split));
    std::string_view argument = trim(text.substr(split));
    PortMapping mapping;
    if (kind == "serial") {
        // A device path as written: relative to a settings file it would mean nothing.
        if (argument.empty() && (port.type != kPortTypeSerial || port.number < 1)) {
            return std::nullopt;  // only COM ports have a device of their own
        }
        auto device = argument.empty() ? platform::serialDevice(port) : pathOf(argument);
        if (!device) {
            return std::nullopt;
        }
        mapping.kind = BackendKind::Serial;
        mapping.argument = *device;
        return mapping;
    }
    if (kind == "ds2490") {
        return parseDs2490(argument, port);
    }
    if (argument.empty()) {
        return std::nullopt;
    }
    if (kind == "virtual" || kind == "w1") {
        auto path = pathOf(argument);
        if (!path) {
            return std::nullopt;
        }
        mapping.kind = kind == "w1" ? BackendKind::W1 : BackendKind::Virtual;
        mapping.argument = absoluteAgainst(*path, fileName);
        return mapping;
    }
    if (kind == "owserver") {
        auto parts = words(argument);
        bool simulated = parts.size() == 2 && lower(parts[1]) == "simulated";
        auto endpoint = parts.size() == 1 || simulated ? splitHostPort(parts[0]) : std::nullopt;
        if (!endpoint) {
            return std::nullopt;
        }
        mapping.kind = BackendKind::Owserver;
        mapping.argument = endpoint->first.find(':') == std::string::npos
                               ? endpoint->first + ":" + endpoint->second
                               : "[" + endpoint->first + "]:" + endpoint->second;
        mapping.host = endpoint->first;
        mapping.service = endpoint->second;
        mapping.simulatedAllowed = simulated;
        return mapping;
    }
    return std::nullopt;
}

std::string describe(const std::string& fileName, int line, std::string_view why,
                     std::string_view text) {
    return printable(fileName) + ":" + std::to_string(line) + ": " + std::string(why) + " " +
           quoted(text) + "; line ignored";
}

constexpr std::string_view kDefaultForm =
    "cannot understand (expected \"default = usb N\" or \"default = com N\")";
// Every form a line may take: a line that is no default may have been meant as one.
constexpr std::string_view kMappingForm =
    "cannot understand (expected \"default = usb N\" or \"default = com N\", or \"usb N = \" "
    "or \"com N = \" and then \"virtual FILE\", \"owserver HOST[:PORT] [simulated]\", "
    "\"w1 DIR\", \"serial [DEVICE]\" or \"ds2490 [N | BUS:ADDRESS | ID-CHIP] "
    "[detach-kernel]\"; a path may be written in double quotes, as in "
    "virtual \"/my readers/reader #1.txt\")";

}  // namespace

std::optional<std::pair<std::string, std::string>> splitHostPort(std::string_view text) {
    std::string_view host;
    std::string_view service;
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos ||
            (close + 1 < text.size() && text[close + 1] != ':')) {
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        service = close + 1 < text.size() ? text.substr(close + 2) : kOwserverDefaultPort;
    } else {
        std::size_t colon = text.rfind(':');
        if (colon != std::string_view::npos && text.find(':') != colon) {
            return std::nullopt;  // a bare IPv6 address: its port would be ambiguous
        }
        host = text.substr(0, colon);
        service = colon == std::string_view::npos ? kOwserverDefaultPort : text.substr(colon + 1);
    }
    if (host.empty() || !parseDecimal(service, 1, 65535)) {
        return std::nullopt;
    }
    for (char c : host) {
        if (std::isspace(static_cast<unsigned char>(c)) || c == '/' || c == '[' || c == ']') {
            return std::nullopt;
        }
    }
    return std::make_pair(std::string(host), std::string(service));
}

Settings parseSettings(std::string_view text, const std::string& fileName, Reporter& reporter) {
    Settings settings;
    settings.fromFile = true;
    LineAccount account;
    auto ignored = [&](int lineNumber, std::string_view why, std::string_view line) {
        account.notUnderstood([&] { return describe(fileName, lineNumber, why, line); });
    };
    forEachContentLine(text, [&](int lineNumber, std::string_view, std::string_view line) {
        // Every line that has content before its first '#' still has it here: the key comes first.
        std::string_view content = contentOf(line);
        // A path cut short at the NUL would name another file than the line shows.
        if (content.find('\0') != std::string_view::npos) {
            settings.mapsPorts = true;
            ignored(lineNumber, "a NUL byte in", line);
            return;
        }
        std::size_t equals = content.find('=');
        if (equals == std::string_view::npos) {
            settings.mapsPorts = true;
            ignored(lineNumber, kMappingForm, line);
            return;
        }
        std::string_view key = trim(content.substr(0, equals));
        std::string_view value = trim(content.substr(equals + 1));
        if (lower(key) == "default") {
            auto port = parsePort(value);
            if (!port) {
                ignored(lineNumber, kDefaultForm, line);
            } else if (settings.defaultPort) {
                ignored(lineNumber, "a second default port", line);
            } else {
                settings.defaultPort = port;
            }
            return;
        }
        settings.mapsPorts = true;
        auto port = parsePort(key);
        auto mapping = port ? parseMapping(value, fileName, *port) : std::nullopt;
        if (!mapping) {
            ignored(lineNumber, kMappingForm, line);
        } else if (settings.ports.contains(*port)) {
            ignored(lineNumber, "a second mapping of the same port", line);
        } else {
            settings.ports.emplace(*port, *mapping);
        }
    });
    reporter.reportAccount("settings file " + printable(fileName), account);
    return settings;
}

Environment processEnvironment() {
    return platform::environmentVariable;
}

std::vector<std::string> settingsCandidates(const Environment& environment) {
    auto explicitFile = environment("ONEWIRE_CONF");
    if (explicitFile && !explicitFile->empty()) {
        return {*explicitFile};
    }
    return platform::defaultSettingsFiles(environment);
}

std::optional<std::string> findSettingsFile(const Environment& environment) {
    for (const std::string& candidate : settingsCandidates(environment)) {
        if (pathExists(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

Settings loadSettings(const Environment& environment, Reporter& reporter) {
    auto fileName = findSettingsFile(environment);
    if (!fileName) {
        auto explicitFile = environment("ONEWIRE_CONF");
        if (explicitFile && !explicitFile->empty()) {
            reporter.reportOnce("settings file " + printable(*explicitFile) +
                                " (ONEWIRE_CONF) not found; using none");
        }
        return Settings{};
    }
    std::string problem;
    auto text = readSmallFile(*fileName, kMaxTextFileSize, &problem);
    const std::string source = "settings file " + printable(*fileName);
    if (!text) {
        // A settings file that exists but cannot be read maps no port at all rather than
        // falling back to the kernel's buses the operator did not choose.
        reporter.reportProblem(source, problem + "; no port is mapped");
        Settings none;
        none.fromFile = true;
        none.mapsPorts = true;
        return none;
    }
    reporter.reportRecovery(source, "read again");
    return parseSettings(*text, *fileName, reporter);
}

bool isNameablePort(Port port) {
    return (port.type == kPortTypeUsb || port.type == kPortTypeSerial) && port.number >= 0 &&
           port.number <= kHighestPortNumber;
}

DefaultRoute defaultRouteFor(const std::string& w1DevicesFolder) {
    if (w1DevicesFolder.empty()) {
        return DefaultRoute::Kernel;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(w1DevicesFolder, error)) {
        if (entry.path().filename().string().starts_with("w1_bus_master")) {
            return DefaultRoute::Kernel;
        }
    }
    return DefaultRoute::Direct;
}

std::optional<PortMapping> mappingFor(const Settings& settings, Port port,
                                      const std::string& w1DevicesFolder, DefaultRoute route) {
    if (auto found = settings.ports.find(port); found != settings.ports.end()) {
        return found->second;
    }
    if (!settings.mapsPorts && port.type == kPortTypeUsb && !w1DevicesFolder.empty() &&
        route == DefaultRoute::Direct && port.number >= 1) {
        PortMapping direct;
        direct.kind = BackendKind::Ds2490;
        direct.usbOrdinal = port.number;
        direct.argument = std::to_string(port.number);
        direct.byDefault = true;
        return direct;
    }
    if (!settings.mapsPorts && port.type == kPortTypeUsb && !w1DevicesFolder.empty()) {
        PortMapping kernel;
        kernel.kind = BackendKind::W1;
        kernel.argument = w1DevicesFolder + "/w1_bus_master" + std::to_string(port.number);
        return kernel;
    }
    return std::nullopt;
}

}  // namespace onewire
