#include "onewire/Runtime.h"

#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "onewire/Ds2490Bus.h"
#include "onewire/SerialBus.h"

namespace onewire {
namespace {

// State buffer: a header, then the snapshot of the bus taken when the enumeration began.
//   0 magic, 4 runtime instance, 8 session, 12 device count, 14 devices handed out,
//   16 checksum of the header, 20..31 zero, 32 the devices, 8 bytes each.
// A buffer that does not check out (all zero, garbage, another session's, another process's)
// simply means "start a new enumeration". Each call checks the header and only the device it
// hands out (by its CRC, as every device was checked when the snapshot was taken), so that
// TMNext and TMRom cost the same however many devices the snapshot holds.
constexpr std::uint32_t kMagic = 0x4F57454E;  // "OWEN"

struct Header {
    std::uint32_t magic = 0;
    std::uint32_t instance = 0;
    std::int32_t session = 0;
    std::uint16_t count = 0;
    std::uint16_t handedOut = 0;
    std::uint32_t checksum = 0;
};

std::uint32_t checksumOf(const Header& header) {
    std::uint32_t hash = 2166136261u;
    auto mix = [&hash](const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            hash = (hash ^ bytes[i]) * 16777619u;
        }
    };
    mix(&header.magic, 4);
    mix(&header.instance, 4);
    mix(&header.session, 4);
    mix(&header.count, 2);
    mix(&header.handedOut, 2);
    return hash;
}

Header readHeader(const std::uint8_t* buffer) {
    Header header;
    std::memcpy(&header.magic, buffer, 4);
    std::memcpy(&header.instance, buffer + 4, 4);
    std::memcpy(&header.session, buffer + 8, 4);
    std::memcpy(&header.count, buffer + 12, 2);
    std::memcpy(&header.handedOut, buffer + 14, 2);
    std::memcpy(&header.checksum, buffer + 16, 4);
    return header;
}

void writeHeader(std::uint8_t* buffer, Header header) {
    header.checksum = checksumOf(header);
    std::memset(buffer, 0, state::kHeaderSize);
    std::memcpy(buffer, &header.magic, 4);
    std::memcpy(buffer + 4, &header.instance, 4);
    std::memcpy(buffer + 8, &header.session, 4);
    std::memcpy(buffer + 12, &header.count, 2);
    std::memcpy(buffer + 14, &header.handedOut, 2);
    std::memcpy(buffer + 16, &header.checksum, 4);
}

// The enumeration the buffer holds for this session, if it holds a sound one.
std::optional<Header> enumerationIn(const std::uint8_t* buffer, std::uint32_t instance,
                                    std::int32_t session) {
    Header header = readHeader(buffer);
    if (header.magic != kMagic || header.instance != instance || header.session != session ||
        header.count == 0 || header.count > state::kCapacity || header.handedOut == 0 ||
        header.handedOut > header.count) {
        return std::nullopt;
    }
    if (checksumOf(header) != header.checksum) {
        return std::nullopt;
    }
    return header;
}

// The device at a position of the snapshot, if it is still the sound code that was stored.
std::optional<Rom> deviceIn(const std::uint8_t* buffer, std::size_t position) {
    Rom rom{};
    std::memcpy(rom.data(), buffer + state::kHeaderSize + position * 8, 8);
    return isAcceptable(rom) ? std::optional(rom) : std::nullopt;
}

void clearEnumeration(std::uint8_t* buffer) {
    std::memset(buffer, 0, state::kHeaderSize);
}

// A device is on the bus once, however often a reader file or a server's listing names it.
std::vector<Rom> distinct(std::vector<Rom> devices) {
    std::set<Rom> seen;
    std::erase_if(devices, [&seen](const Rom& rom) { return !seen.insert(rom).second; });
    return devices;
}

std::string portName(Port port) {
    return (port.type == kPortTypeUsb ? "usb " : "com ") + std::to_string(port.number);
}

}  // namespace

Runtime::Runtime(RuntimeOptions options)
    : options_(std::move(options)),
      reporter_(options_.diagnostics),
      instance_(std::random_device{}() | 1u),
      serialPorts_(std::make_shared<SerialPorts>(options_.serialRaiseSpeed)),
      usbAdapters_(std::make_shared<Ds2490Adapters>(options_.usbAccess ? options_.usbAccess
                                                                       : usb::systemUsbAccess())) {}

std::int16_t Runtime::readDefaultPort(std::int16_t* portNum, std::int16_t* portType) {
    Settings settings = loadSettings(options_.environment, reporter_);
    if (!settings.defaultPort || portNum == nullptr || portType == nullptr) {
        return 0;
    }
    *portNum = settings.defaultPort->number;
    *portType = settings.defaultPort->type;
    return 1;
}

std::int32_t Runtime::startSession(std::int16_t portNum, std::int16_t portType) {
    const Clock::time_point started = Clock::now();
    Settings settings = loadSettings(options_.environment, reporter_);
    const Port port{portType, portNum};
    std::shared_ptr<Backend> backend = backendFor(settings, port);
    std::lock_guard lock(mutex_);
    if (!backend || sessions_.size() >= options_.maxOpenSessions) {
        return 0;  // a caller that never ends its sessions cannot grow the table without end
    }
    do {
        lastHandle_ = lastHandle_ == INT32_MAX ? 1 : lastHandle_ + 1;
    } while (sessions_.contains(lastHandle_));
    sessions_.emplace(lastHandle_, Session{std::move(backend), portName(port), started});
    return lastHandle_;
}

// A port the settings could name but do not map has no adapter: its session's TMSetup says so
// (3), which tells the operator more than an invalid session would. Only a port no settings
// could name gets no session.
std::shared_ptr<Backend> Runtime::backendFor(const Settings& settings, Port port) {
    auto mapping = mappingFor(settings, port, options_.w1DevicesFolder,
                              defaultRouteFor(options_.w1DevicesFolder));
    if (mapping) {
        return makeBackend(*mapping,
                           BackendContext{&reporter_, portName(port), options_.networkBudget,
                                          serialPorts_, usbAdapters_});
    }
    if (isNameablePort(port)) {
        return std::make_shared<NoAdapter>();
    }
    return nullptr;
}

std::shared_ptr<Backend> Runtime::backendOf(std::int32_t session) {
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(session);
    return found == sessions_.end() ? nullptr : found->second.backend;
}

std::vector<Rom> Runtime::devicesOfPass(std::int32_t session) {
    std::shared_ptr<Backend> backend;
    std::string source;
    Clock::time_point deadline;
    {
        std::lock_guard lock(mutex_);
        auto found = sessions_.find(session);
        if (found == sessions_.end()) {
            return {};
        }
        Session& open = found->second;
        const Clock::time_point now = Clock::now();
        if (now - open.passStart >= options_.networkBudget) {
            open.passStart = now;  // a session held open past its first pass
        }
        backend = open.backend;
        source = "port " + open.portName;
        deadline = open.passStart + options_.networkBudget;
    }
    Enumeration found = backend->enumerate(deadline);
    std::vector<Rom> devices = distinct(acceptableOnly(found.devices));
    // A list cut short would tell the holder that tokens left which are still there, and with
    // one of two tokens left, put it on the clipboard.
    if (Clock::now() > deadline) {
        passFailed(source, "a search ran out of its " +
                               std::to_string(options_.networkBudget.count()) +
                               " ms before it was complete; nothing is listed");
        return {};
    }
    if (!found.complete) {
        return {};  // the backend says why (the adapter, the server, the file), once
    }
    if (devices.size() > kMaxDevicesPerPass) {
        passFailed(source, "the bus shows more than " + std::to_string(kMaxDevicesPerPass) +
                               " devices, more than any reader holds; nothing is listed");
        return {};
    }
    std::lock_guard lock(notesMutex_);
    if (notes_[source].worked()) {
        reporter_.reportRecovery(source, "searches are complete again");
    }
    return devices;
}

void Runtime::passFailed(const std::string& source, const std::string& problem) {
    std::lock_guard lock(notesMutex_);
    switch (notes_[source].fault(problem)) {
        case FaultNotes::Say::Fault:
            reporter_.reportProblem(source, problem);
            break;
        case FaultNotes::Say::ComesAndGoes:
            reporter_.reportProblem(source, problem +
                                                " (again: it comes and goes; said once more when "
                                                "searches stay complete for 10 s)");
            break;
        case FaultNotes::Say::Nothing:
            break;
    }
}

std::int16_t Runtime::setup(std::int32_t session) {
    auto backend = backendOf(session);
    return backend ? backend->setup() : kInvalidSession;
}

std::int16_t Runtime::endSession(std::int32_t session) {
    std::lock_guard lock(mutex_);
    return sessions_.erase(session) > 0 ? 1 : 0;
}

std::int16_t Runtime::next(std::int32_t session, void* stateBuffer) {
    auto backend = backendOf(session);
    if (!backend) {
        return kInvalidSession;
    }
    if (stateBuffer == nullptr) {
        return 0;
    }
    auto* buffer = static_cast<std::uint8_t*>(stateBuffer);
    if (auto header = enumerationIn(buffer, instance_, session)) {
        if (header->handedOut == header->count) {
            clearEnumeration(buffer);  // ran out: the next call starts again from the first device
            return 0;
        }
        if (deviceIn(buffer, header->handedOut)) {
            ++header->handedOut;
            writeHeader(buffer, *header);
            return 1;
        }
        // A damaged snapshot: start again, as with a damaged header.
    }
    std::vector<Rom> devices = devicesOfPass(session);
    if (devices.empty()) {
        clearEnumeration(buffer);
        return 0;
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        std::memcpy(buffer + state::kHeaderSize + i * 8, devices[i].data(), 8);
    }
    Header header;
    header.magic = kMagic;
    header.instance = instance_;
    header.session = session;
    header.count = static_cast<std::uint16_t>(devices.size());
    header.handedOut = 1;
    writeHeader(buffer, header);
    return 1;
}

std::int16_t Runtime::rom(std::int32_t session, const void* stateBuffer, std::int16_t* rom) {
    if (!backendOf(session)) {
        return kInvalidSession;
    }
    if (stateBuffer == nullptr || rom == nullptr) {
        return 0;
    }
    const auto* buffer = static_cast<const std::uint8_t*>(stateBuffer);
    auto header = enumerationIn(buffer, instance_, session);
    auto current = header ? deviceIn(buffer, header->handedOut - 1u) : std::nullopt;
    if (!current) {
        return 0;  // no current device
    }
    for (std::size_t i = 0; i < 8; ++i) {
        rom[i] = (*current)[i];
    }
    return 1;
}

namespace {

std::string backendText(const PortMapping& mapping, const Settings& settings) {
    switch (mapping.kind) {
        case BackendKind::Virtual:
            return "virtual " + mapping.argument;
        case BackendKind::Owserver:
            return "owserver " + mapping.argument +
                   (mapping.simulatedAllowed ? " simulated (simulated buses allowed)" : "");
        case BackendKind::W1:
            return "w1 " + mapping.argument +
                   (settings.mapsPorts ? ""
                    : settings.fromFile
                        ? " (the settings file maps no port: USB port N is the kernel's bus master "
                          "N)"
                        : " (no settings file: USB port N is the kernel's bus master N)");
        case BackendKind::Serial:
            return "serial " + mapping.argument;
        case BackendKind::Ds2490:
            return "ds2490 " +
                   (mapping.usbOrdinal > 0 ? "the " + ordinalText(mapping.usbOrdinal) +
                                                 " adapter on USB that no other program holds"
                    : mapping.usbBus > 0 ? "on USB bus " + std::to_string(mapping.usbBus) +
                                               " address " + std::to_string(mapping.usbAddress)
                                         : "with ID chip " + mapping.idChip) +
                   (mapping.detachKernel ? ", the kernel's driver detached while held" : "") +
                   (!mapping.byDefault ? ""
                    : settings.fromFile
                        ? " (the settings file maps no port and the kernel drives no adapter: USB "
                          "port N is the Nth DS2490 on USB)"
                        : " (no settings file and the kernel drives no adapter: USB port N is the "
                          "Nth DS2490 on USB)");
    }
    return {};
}

}  // namespace

std::string Runtime::diagnose(std::int16_t portNum, std::int16_t portType) {
    std::string text;
    auto line = [&text](const char* key, const std::string& value) {
        text += key;
        text += ": ";
        text += value;
        text += '\n';
    };
    if (auto file = findSettingsFile(options_.environment)) {
        line("settings", *file);
    } else {
        line("settings", "none");
        for (const std::string& candidate : settingsCandidates(options_.environment)) {
            line("looked-at", candidate);
        }
    }
    Settings settings = loadSettings(options_.environment, reporter_);
    if (settings.defaultPort) {
        line("default", portName(*settings.defaultPort));
    }
    for (const auto& [port, mapping] : settings.ports) {
        line("mapped", portName(port) + " = " + backendText(mapping, settings));
    }
    Port port{portType, portNum};
    if (portType == 0) {
        return text;
    }
    if (!isNameablePort(port)) {
        line("backend", "none: not a serial or USB port");
        return text;
    }
    line("port", portName(port));
    auto mapping = mappingFor(settings, port, options_.w1DevicesFolder,
                              defaultRouteFor(options_.w1DevicesFolder));
    line("backend", mapping ? backendText(*mapping, settings) : "none: not mapped");
    std::shared_ptr<Backend> backend = backendFor(settings, port);
    line("setup", std::to_string(backend->setup()));
    line("adapter", backend->describeAdapter());
    for (const std::string& detail : backend->adapterDetails()) {
        line("adapter-detail", detail);
    }
    Enumeration found = backend->enumerate(Clock::now() + options_.networkBudget);
    if (!found.complete) {
        line("search", "not complete: the program lists none of it");
    }
    for (const Rom& rom : distinct(found.devices)) {
        std::string refusal = refusalOf(rom);
        line("device", hexText(rom) + (refusal.empty() ? "" : " refused: " + refusal));
    }
    for (const RefusedDevice& device : backend->refusedDevices()) {
        line("device", hexText(device.rom) + " refused: " + device.reason);
    }
    return text;
}

std::int16_t Runtime::version(char* buffer) {
    if (buffer == nullptr) {
        return 0;
    }
    std::strcpy(buffer, kVersionText);
    return 1;
}

}  // namespace onewire
