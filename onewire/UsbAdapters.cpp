#include "onewire/UsbAdapters.h"

namespace onewire::usb {

std::string describe(const AdapterInfo& adapter) {
    return "the DS2490 on USB bus " + std::to_string(adapter.bus) + " address " +
           std::to_string(adapter.address) +
           (adapter.node.empty() ? "" : " (" + adapter.node + ")");
}

std::string noAccessMessage(const AdapterInfo& adapter) {
    return "no access to " + adapter.node +
           ": this account may not read and write it; the package's udev rule "
           "(/lib/udev/rules.d/60-quorna-ds9490r.rules) gives it to the user at the seat and to "
           "the Debian-ow group: install the package and plug the adapter in again, or add this "
           "account to the group that owns " +
           adapter.node;
}

std::string kernelDrivenMessage(const AdapterInfo& adapter) {
    return "the kernel's " +
           (adapter.kernelDriver.empty() ? std::string("driver") : adapter.kernelDriver) +
           " drives " + describe(adapter) +
           ": it is not taken from the kernel unasked (map the port to the kernel's bus master "
           "with \"w1 /sys/bus/w1/devices/w1_bus_masterN\", or add \"detach-kernel\" to the "
           "mapping)";
}

std::string busyMessage(const AdapterInfo& adapter, const std::string& holder) {
    if (holder == "this program") {
        return describe(adapter) +
               " is busy: this program holds it already (another window, or another port "
               "mapped to the same adapter): close the other window or map one port only";
    }
    return describe(adapter) +
           " is busy: " + (holder.empty() ? std::string("another program") : holder) +
           " holds it (owserver, say: stop it, or map this port to it with \"owserver "
           "localhost\")";
}

}  // namespace onewire::usb
