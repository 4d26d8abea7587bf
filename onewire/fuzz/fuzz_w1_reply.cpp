// libFuzzer target: whatever datagram arrives on the w1 netlink connector's socket, the reply
// reader reads nothing past its end and gives only what the bytes can hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "onewire/W1Netlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace onewire::w1netlink;
    // The first four bytes choose the request the datagram is read against.
    std::uint32_t sequence = 0;
    if (size >= 4) {
        std::memcpy(&sequence, data, 4);
        data += 4;
        size -= 4;
    }
    ReplyPart part = readReply(std::span(data, size), sequence, 1);
    if (part.found.size() > size / 8) {
        std::abort();  // more codes than the bytes hold
    }
    if ((part.closed || part.masters || !part.found.empty()) && !part.ours) {
        std::abort();  // only a reply to this request says anything
    }
    return 0;
}
