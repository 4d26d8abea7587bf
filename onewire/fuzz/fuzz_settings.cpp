// libFuzzer target: any settings text (and any virtual reader file) parses without a crash, and
// whatever it maps is a well-formed port mapping.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "onewire/Settings.h"
#include "onewire/VirtualReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace onewire;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Reporter quiet([](const std::string&) {});
    Settings settings = parseSettings(text, "/fuzz/onewire.conf", quiet);
    if (settings.defaultPort && settings.defaultPort->type != kPortTypeUsb &&
        settings.defaultPort->type != kPortTypeSerial) {
        std::abort();
    }
    for (const auto& [port, mapping] : settings.ports) {
        if ((port.type != kPortTypeUsb && port.type != kPortTypeSerial) || port.number < 0 ||
            mapping.argument.empty()) {
            std::abort();
        }
        if (mapping.kind == BackendKind::Owserver &&
            (mapping.host.empty() || mapping.service.empty())) {
            std::abort();
        }
    }
    VirtualReaderContents reader = parseVirtualReader(text, "/fuzz/reader.txt", quiet);
    (void)reader;
    return 0;
}
