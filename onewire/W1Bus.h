#pragma once

#include <string>

#include "onewire/Backend.h"

namespace onewire {

// A bus master of the kernel's w1 subsystem, e.g. /sys/bus/w1/devices/w1_bus_master1.
class W1Bus : public Backend {
public:
    explicit W1Bus(std::string folder);

    std::int16_t setup() override;
    Enumeration enumerate(Clock::time_point deadline) override;
    std::string describeAdapter() override;

private:
    std::string folder_;
};

// The ROM code a kernel device name such as "01-0000000c2f4a" stands for; the kernel prints the
// 48-bit serial as one number, so its bytes come in reverse of bus order.
std::optional<Rom> romFromW1Name(std::string_view name);

}  // namespace onewire
