#include "onewire/Backend.h"

#include "onewire/OwserverClient.h"
#include "onewire/VirtualReader.h"
#include "onewire/W1Bus.h"

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
            return std::make_unique<W1Bus>(mapping.argument);
    }
    return nullptr;
}

}  // namespace onewire
