#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/Backend.h"
#include "onewire/Codes.h"
#include "onewire/FaultNotes.h"
#include "onewire/Platform.h"
#include "onewire/Reporter.h"
#include "onewire/Settings.h"
#include "onewire/UsbAdapters.h"

namespace onewire {

struct RuntimeOptions {
    Environment environment = processEnvironment();
    std::string w1DevicesFolder = platform::kernelBusesFolder();  // empty on Windows
    std::chrono::milliseconds networkBudget{200};
    Reporter::Sink diagnostics;  // standard error when empty
    std::size_t maxOpenSessions = 256;
    // Serial adapters: raise the line to 115200 baud after detection (9600 on any mismatch).
    bool serialRaiseSpeed = true;
    // The DS2490 adapters on USB: the system's (libusb) when empty; tests give a fake.
    std::shared_ptr<usb::UsbAccess> usbAccess;
};

// The library's calls. Sessions live here; the state of an enumeration lives in the caller's
// 15,361-byte buffer, so two callers never disturb each other's search.
class Runtime {
public:
    explicit Runtime(RuntimeOptions options = {});

    // 1 with both numbers filled in when the settings name a default port; 0, leaving them
    // alone, when they do not.
    std::int16_t readDefaultPort(std::int16_t* portNum, std::int16_t* portType);
    // A handle > 0 for a serial or USB port (a port the settings do not map has no adapter: its
    // TMSetup gives 3), 0 for a port of another type or a negative number.
    // A session's first enumeration, reading of the settings included, ends within the network
    // budget of the session's start: a pass, which the driver runs in one session, is done by
    // then. A session held open longer runs each later enumeration on a budget of its own.
    std::int32_t startSession(std::int16_t portNum, std::int16_t portType);
    std::int16_t setup(std::int32_t session);
    // 1 when the session was open, 0 for any other handle.
    std::int16_t endSession(std::int32_t session);
    // 1 for each device in turn, then 0 once; the call after that starts a new enumeration.
    std::int16_t next(std::int32_t session, void* stateBuffer);
    // Writes the current device's 8 ROM bytes (0 to 255) into rom[0..7]; 1 on success.
    std::int16_t rom(std::int32_t session, const void* stateBuffer, std::int16_t* rom);

    static std::int16_t version(char* buffer);

    // Not a TMEX call: for the reader check, how the runtime sees its settings and, unless
    // portType is 0, one port, as "key: value" lines (see README.md). Runs one set-up and one
    // enumeration of that port.
    std::string diagnose(std::int16_t portNum, std::int16_t portType);
    static constexpr const char* kVersionText = "onewire runtime 1.0.0";

private:
    struct Session {
        std::shared_ptr<Backend> backend;
        std::string portName;         // "usb 1"
        Clock::time_point passStart;  // when the session, or a later pass of it, began
    };

    std::shared_ptr<Backend> backendFor(const Settings& settings, Port port);
    std::shared_ptr<Backend> backendOf(std::int32_t session);
    // The devices a new enumeration hands out; none when the pass runs out of time or the bus
    // shows more than kMaxDevicesPerPass.
    std::vector<Rom> devicesOfPass(std::int32_t session);
    // A pass that lists nothing, told once per kind while the port fails now and then.
    void passFailed(const std::string& source, const std::string& problem);

    RuntimeOptions options_;
    Reporter reporter_;
    std::uint32_t instance_;
    std::mutex mutex_;
    std::map<std::int32_t, Session> sessions_;
    std::int32_t lastHandle_ = 0;
    std::shared_ptr<SerialPorts> serialPorts_;
    std::shared_ptr<Ds2490Adapters> usbAdapters_;
    std::mutex notesMutex_;
    std::map<std::string, FaultNotes> notes_;  // by port
};

// The layout of an enumeration in the state buffer, exposed for the tests.
namespace state {
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kCapacity = (kStateBufferSize - kHeaderSize) / 8;
static_assert(kCapacity >= kMaxDevicesPerPass);
}  // namespace state

}  // namespace onewire
