#pragma once

#include <memory>
#include <string>

#include "onewire/Backend.h"
#include "onewire/W1Netlink.h"

namespace onewire {

// A bus master of the kernel's w1 subsystem, e.g. /sys/bus/w1/devices/w1_bus_master1. Each pass
// asks the kernel for a search of it now, over the w1 netlink connector; where that is not to be
// had, it reads w1_master_slaves, what the kernel's own periodic search last found.
class W1Bus : public Backend {
public:
    explicit W1Bus(
        std::string folder, Reporter* reporter = nullptr, std::string portName = {},
        std::shared_ptr<w1netlink::Connector> connector = w1netlink::Connector::processWide());

    std::int16_t setup() override;
    Enumeration enumerate(Clock::time_point deadline) override;
    std::string describeAdapter() override;
    std::vector<std::string> adapterDetails() override;
    std::vector<RefusedDevice> refusedDevices() override;

    // How the last look searched, for the reader check.
    enum class Route { None, Netlink, Sysfs };
    Route route() const { return route_; }

private:
    Enumeration viaNetlink(std::uint32_t master, Clock::time_point deadline);
    Enumeration viaSysfs(Clock::time_point deadline, const std::string& why);
    Enumeration withoutAdapterChips(std::vector<Rom> devices, bool complete);
    void problem(const std::string& text);
    std::string slowRouteText(const std::string& why) const;

    std::string folder_;
    Reporter* reporter_;
    std::string source_;
    std::shared_ptr<w1netlink::Connector> connector_;
    Route route_ = Route::None;
    std::vector<Rom> adapterChips_;
};

// The USB adapter's own ID chips (family 81 on every DS9490R, 09 on some), which are never
// listed as tokens.
bool isAdapterChip(const Rom& rom);

// The ROM code a kernel device name such as "01-0000000c2f4a" stands for; the kernel prints the
// 48-bit serial as one number, so its bytes come in reverse of bus order.
std::optional<Rom> romFromW1Name(std::string_view name);

}  // namespace onewire
