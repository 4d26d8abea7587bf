#include "onewire/Backend.h"

#include "onewire/Ds2490Bus.h"
#include "onewire/OwserverClient.h"
#include "onewire/Platform.h"
#include "onewire/SerialBus.h"
#include "onewire/VirtualReader.h"

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
            return platform::makeKernelBus(mapping.argument, context);
        case BackendKind::Serial:
            return std::make_unique<SerialBus>(mapping.argument, context.serialPorts,
                                               context.networkBudget, *context.reporter);
        case BackendKind::Ds2490:
            return std::make_unique<Ds2490Bus>(mapping, context.usbAdapters, context.networkBudget,
                                               *context.reporter, context.portName);
    }
    return nullptr;
}

}  // namespace onewire
