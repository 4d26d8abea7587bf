#pragma once

// The DS2490 adapters on the USB buses and how one is opened: libusb-1.0 on Linux
// (UsbAdaptersLibusb.cpp); on Windows there is no such route yet (UsbAdaptersNone.cpp).
#include <memory>
#include <string>
#include <vector>

#include "onewire/Ds2490.h"

namespace onewire::usb {

// One DS2490 as the USB bus shows it.
struct AdapterInfo {
    int bus = 0;
    int address = 0;
    std::string node;          // /dev/bus/usb/001/004
    std::string kernelDriver;  // the kernel driver bound to its interface ("ds2490"), or empty
    auto operator<=>(const AdapterInfo&) const = default;
};

// "the DS2490 on USB bus 1 address 4 (/dev/bus/usb/001/004)".
std::string describe(const AdapterInfo& adapter);

// The refusals, in the same words whichever way the adapter is reached (UsbAdapters.cpp).
std::string noAccessMessage(const AdapterInfo& adapter);
std::string kernelDrivenMessage(const AdapterInfo& adapter);
// `holder`: "owserver, pid 812", "this program", or empty where it cannot be seen.
std::string busyMessage(const AdapterInfo& adapter, const std::string& holder);

enum class OpenFailure { None, Gone, NoAccess, KernelDriven, Busy, Unavailable, Other };

struct Opened {
    std::unique_ptr<ds2490::UsbTransport> transport;  // set when the adapter is this runtime's
    OpenFailure failure = OpenFailure::None;
    std::string message;  // why not, in words, with the fix where there is one
    std::string holder;   // Busy: the program that holds it ("owserver, pid 812"), when seen
};

// The system's USB side. open() claims the adapter's interface for this process; the transport
// lets it go when destroyed (and gives a detached kernel driver its device back).
class UsbAccess {
public:
    virtual ~UsbAccess() = default;
    // Why the route cannot work on this system at all; empty where it can.
    virtual std::string unavailable() const = 0;
    virtual std::vector<AdapterInfo> adapters() = 0;
    // With detachKernel, a kernel driver bound to the interface is detached first (and
    // re-attached when the transport is destroyed); without, such an adapter is refused.
    virtual Opened open(const AdapterInfo& adapter, bool detachKernel) = 0;
    // Looks at the buses afresh on the next adapters() (after an unplug, where no hot-plug
    // events reach the process).
    virtual void rescan() {}
};

// The system's: libusb on Linux, nothing on Windows.
std::shared_ptr<UsbAccess> systemUsbAccess();

}  // namespace onewire::usb
