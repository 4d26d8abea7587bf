#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "onewire/Codes.h"
#include "onewire/Reporter.h"

namespace onewire {

// owfs's own default port, used when a mapping names only the host.
constexpr const char* kOwserverDefaultPort = "4304";

struct Port {
    std::int16_t type = 0;
    std::int16_t number = 0;
    auto operator<=>(const Port&) const = default;
};

enum class BackendKind { Virtual, Owserver, W1, Serial };

// What a port is connected to: "virtual FILE", "owserver HOST[:PORT] [simulated]", "w1 DIR" or
// "serial [DEVICE]".
struct PortMapping {
    BackendKind kind = BackendKind::Virtual;
    std::string argument;  // FILE or DIR made absolute against the settings file's folder; DEVICE
    std::string host;      // owserver only
    std::string service;   // owserver only: the TCP port
    // owserver only: its simulated buses (made-up devices) are listed too, for demos and tests.
    bool simulatedAllowed = false;
    auto operator<=>(const PortMapping&) const = default;
};

struct Settings {
    bool fromFile = false;
    // Some line of the file maps a port (even one refused), or the file could not be read. A
    // file that maps nothing, like the example one a package installs, leaves the USB ports to
    // the kernel's bus masters as no file does.
    bool mapsPorts = false;
    std::optional<Port> defaultPort;
    std::map<Port, PortMapping> ports;
};

// Parses a settings text. Lines that cannot be understood are reported with fileName and their
// line number and ignored; so is a second default or a second mapping of the same port, since
// guessing which one was meant could pick the wrong reader.
Settings parseSettings(std::string_view text, const std::string& fileName, Reporter& reporter);

// Splits "HOST:PORT" or "[IPv6]:PORT", where ":PORT" may be left out for owserver's default
// port; nullopt when the host is missing or the port is not a number from 1 to 65535.
std::optional<std::pair<std::string, std::string>> splitHostPort(std::string_view text);

using Environment = std::function<std::optional<std::string>(const char* name)>;
Environment processEnvironment();

// The settings files looked for, in order: $ONEWIRE_CONF when set (and then only that file),
// else $XDG_CONFIG_HOME/onewire/onewire.conf (~/.config when unset), then
// /etc/onewire/onewire.conf; on Windows %APPDATA%\onewire\onewire.conf, then
// %ProgramData%\onewire\onewire.conf, then onewire.conf beside the program.
std::vector<std::string> settingsCandidates(const Environment& environment);
// The first candidate that exists; nullopt when none does.
std::optional<std::string> findSettingsFile(const Environment& environment);

// Reads the settings file that findSettingsFile names; with none, Settings::fromFile is false.
Settings loadSettings(const Environment& environment, Reporter& reporter);

// Whether a settings line could name the port ("usb N" or "com N").
bool isNameablePort(Port port);

// The mapping that serves a port: the settings' own, or where no settings line maps a port the
// kernel's bus master N for USB port N (none where there are no kernel buses: an empty folder).
std::optional<PortMapping> mappingFor(const Settings& settings, Port port,
                                      const std::string& w1DevicesFolder);

}  // namespace onewire
