#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "onewire/Reporter.h"
#include "onewire/RomCode.h"
#include "onewire/Settings.h"

namespace onewire {

// What every kind of reader offers the runtime. Both calls are bounded in time: they run on the
// caller's GUI thread.
class Backend {
public:
    virtual ~Backend() = default;

    // TMSetup's code: 1 when the adapter is there and usable, 3 when it cannot be found, other
    // codes for other faults.
    virtual std::int16_t setup() = 0;

    // The ROM codes on the bus now, as the adapter reports them (the runtime filters them).
    // An adapter that cannot be reached has no devices.
    virtual std::vector<Rom> enumerate() = 0;
};

struct BackendContext {
    Reporter* reporter = nullptr;
    // Total time an owserver exchange may take, connection included.
    std::chrono::milliseconds networkBudget{200};
};

std::unique_ptr<Backend> makeBackend(const PortMapping& mapping, const BackendContext& context);

}  // namespace onewire
