#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "onewire/RomCode.h"

namespace onewire::owserver {

constexpr std::int32_t kMessageNop = 1;
constexpr std::int32_t kMessageRead = 2;
constexpr std::int32_t kMessageDirAll = 7;

constexpr std::uint32_t kFlagUncached = 0x20;
constexpr std::uint32_t kFlagOwnet = 0x100;
// Device names as "01.4A2F0C000000": format 0 in bits 24-31, no aliases, no bus list.
constexpr std::uint32_t kDirectoryFlags = kFlagUncached | kFlagOwnet;

constexpr std::size_t kHeaderSize = 24;
// Larger than any listing of the devices a 1-Wire bus can hold; anything bigger is not a reply
// to our requests.
constexpr std::int32_t kMaxPayload = 256 * 1024;

// The request bytes: six big-endian 32-bit words, then the NUL-terminated path.
std::vector<std::uint8_t> encodeRequest(std::int32_t type, std::string_view path,
                                        std::uint32_t flags, std::int32_t size);

struct Reply {
    std::int32_t returnValue = 0;
    std::string payload;
};

// Collects the bytes of one reply as they arrive, skipping keep-alive pings (a negative payload
// length). Anything that is not a well-formed reply makes it Malformed for good.
class ReplyParser {
public:
    enum class State { NeedMore, Complete, Malformed };

    State feed(std::span<const std::uint8_t> bytes);
    State state() const { return state_; }
    // Valid once Complete.
    const Reply& reply() const { return reply_; }

private:
    State state_ = State::NeedMore;
    std::vector<std::uint8_t> pending_;
    Reply reply_;
};

// The devices of a directory listing ("/uncached/01.4A2F0C000000,/uncached/bus.0,..."): only
// entries whose last part is a device name in family.id form, each with its CRC computed. Stops
// once it holds stopAfter devices, or at the deadline.
std::vector<Rom> devicesOfListing(
    std::string_view payload, std::size_t stopAfter = SIZE_MAX,
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

}  // namespace onewire::owserver
