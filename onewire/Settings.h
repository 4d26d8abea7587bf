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

enum class BackendKind { Virtual, Owserver, W1, Serial, Ds2490 };

// What a port is connected to: "virtual FILE", "owserver HOST[:PORT] [simulated]", "w1 DIR",
// "serial [DEVICE]" or "ds2490 [N | BUS:ADDRESS | ID-CHIP] [detach-kernel]".
struct PortMapping {
    BackendKind kind = BackendKind::Virtual;
    std::string argument;  // FILE or DIR made absolute against the settings file's folder; DEVICE
    std::string host;      // owserver only
    std::string service;   // owserver only: the TCP port
    // owserver only: its simulated buses (made-up devices) are listed too, for demos and tests.
    bool simulatedAllowed = false;
    // ds2490 only: which adapter (the Nth one no other program holds, the one at a USB bus and
    // address, or the one whose own ID chip has this code) and whether the kernel's driver may
    // be detached from it for the time this runtime holds it.
    int usbOrdinal = 0;
    int usbBus = 0;
    int usbAddress = 0;
    std::string idChip;  // 16 hex digits, upper case
    bool detachKernel = false;
    // Chosen with no settings line: no kernel bus master, so the Nth DS2490 on USB.
    bool byDefault = false;
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

// Where no settings line maps USB port N: the kernel's bus master N when the kernel drives an
// adapter, else the Nth DS2490 on USB that no other program holds.
enum class DefaultRoute { Kernel, Direct };
// Kernel when the folder holds a bus master, Direct otherwise (and Kernel for no folder).
DefaultRoute defaultRouteFor(const std::string& w1DevicesFolder);

// The mapping that serves a port: the settings' own, or where no settings line maps a USB port
// the default route's (none where there are no kernel buses: an empty folder, as on Windows).
std::optional<PortMapping> mappingFor(const Settings& settings, Port port,
                                      const std::string& w1DevicesFolder,
                                      DefaultRoute route = DefaultRoute::Kernel);

}  // namespace onewire
