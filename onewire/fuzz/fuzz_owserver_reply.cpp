// libFuzzer target: whatever bytes a server sends, in whatever pieces, the reply parser and the
// listing reader give either nothing or well-formed devices.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "onewire/OwserverProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace onewire::owserver;
    // The first byte chooses the size of the pieces the bytes arrive in.
    std::size_t piece = size > 0 ? 1 + data[0] % 64 : 1;
    ReplyParser parser;
    for (std::size_t offset = 1; offset < size; offset += piece) {
        std::size_t length = std::min(piece, size - offset);
        parser.feed(std::span(data + offset, length));
    }
    if (parser.state() == ReplyParser::State::Complete) {
        if (parser.reply().payload.size() > static_cast<std::size_t>(kMaxPayload)) {
            std::abort();
        }
        for (const onewire::Rom& rom : devicesOfListing(parser.reply().payload)) {
            if (onewire::crc8(rom.data(), 8) != 0) {
                std::abort();  // every device leaves with its CRC computed
            }
        }
    }
    // The listing reader on the raw bytes too.
    auto raw = std::string_view(reinterpret_cast<const char*>(data), size);
    for (const onewire::Rom& rom : devicesOfListing(raw)) {
        if (onewire::crc8(rom.data(), 8) != 0) {
            std::abort();
        }
    }
    return 0;
}
