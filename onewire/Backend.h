#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onewire/Codes.h"
#include "onewire/Reporter.h"
#include "onewire/RomCode.h"
#include "onewire/Settings.h"

namespace onewire {

using Clock = std::chrono::steady_clock;

// Far more devices than any reader holds. A bus that shows more is no reader's (a hostile server,
// a runaway file): a pass hands out none of them, and a backend may stop counting past this.
constexpr std::size_t kMaxDevicesPerPass = 256;

// One look at the bus. `complete` only when the backend saw the whole bus: a list cut short (out
// of time, a failed exchange, a search that did not check out) would tell the holder that tokens
// left which are still there, or, with one of two tokens left, copy it. The runtime hands out no
// part of an incomplete list.
struct Enumeration {
    std::vector<Rom> devices;
    bool complete = false;

    static Enumeration whole(std::vector<Rom> devices) { return {std::move(devices), true}; }
    static Enumeration failed() { return {}; }
};

// A device a backend saw on the bus but does not hand out, and why.
struct RefusedDevice {
    Rom rom{};
    std::string reason;
};

// What every kind of reader offers the runtime. Both calls are bounded in time: they run on the
// caller's GUI thread.
class Backend {
public:
    virtual ~Backend() = default;

    // TMSetup's code: 1 when the adapter is there and usable, 3 when it cannot be found, other
    // codes for other faults.
    virtual std::int16_t setup() = 0;

    // The ROM codes on the bus now, as the adapter reports them (the runtime filters them), and
    // whether that is all of them. An adapter that cannot be reached, or a look cut short, is
    // not complete. The work, waiting and parsing alike, ends by the pass's deadline: a backend
    // out of time returns at once, incomplete.
    virtual Enumeration enumerate(Clock::time_point deadline) = 0;

    // For the reader check only, after setup() or enumerate(): the adapter as the backend sees
    // it, and the devices the last enumerate() left out (which may ask the reader again).
    virtual std::string describeAdapter() { return {}; }
    // More about the adapter, a line each (a serial adapter's answers to its detection).
    virtual std::vector<std::string> adapterDetails() { return {}; }
    virtual std::vector<RefusedDevice> refusedDevices() { return {}; }
};

// What an unmapped port is connected to: no adapter at all.
class NoAdapter : public Backend {
public:
    std::int16_t setup() override { return kSetupNotFound; }
    // Nothing to look at, and nothing there: complete and empty.
    Enumeration enumerate(Clock::time_point) override { return Enumeration::whole({}); }
    std::string describeAdapter() override { return "none: no adapter is mapped to this port"; }
};

class SerialPorts;
class Ds2490Adapters;

struct BackendContext {
    Reporter* reporter = nullptr;
    std::string portName;  // "usb 1", as the settings name the port
    // Total time an owserver exchange may take, connection included.
    std::chrono::milliseconds networkBudget{200};
    // The serial ports the runtime holds open across sessions; a backend without makes its own.
    std::shared_ptr<SerialPorts> serialPorts;
    // Likewise the DS2490 adapters on USB.
    std::shared_ptr<Ds2490Adapters> usbAdapters;
};

std::unique_ptr<Backend> makeBackend(const PortMapping& mapping, const BackendContext& context);

}  // namespace onewire
