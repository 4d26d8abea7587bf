#include "onewire/Backend.h"

#include "onewire/OwserverClient.h"
#include "onewire/SerialBus.h"
#include "onewire/VirtualReader.h"
#if !defined(_WIN32)
#include "onewire/W1Bus.h"
#endif

namespace onewire {

std::unique_ptr<Backend> makeBackend(const PortMapping& mapping, const BackendContext& context) {
    switch (mapping.kind) {
        case BackendKind::Virtual:
            return std::make_unique<VirtualReader>(mapping.argument, *context.reporter);
        case BackendKind::Owserver:
            return std::make_unique<owserver::OwserverBus>(
                mapping.host, mapping.service, context.networkBudget, mapping.simulatedAllowed,
                *context.reporter, context.portName);
        case BackendKind::W1:
#if defined(_WIN32)
            return std::make_unique<NoAdapter>();  // the kernel's w1 buses are Linux's
#else
            return std::make_unique<W1Bus>(mapping.argument);
#endif
        case BackendKind::Serial:
            return std::make_unique<SerialBus>(mapping.argument, context.serialPorts,
                                               context.networkBudget, *context.reporter);
    }
    return nullptr;
}

}  // namespace onewire
