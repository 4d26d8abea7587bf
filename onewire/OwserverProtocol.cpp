#include "onewire/OwserverProtocol.h"

namespace onewire::owserver {
namespace {

void putWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

std::int32_t wordAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t value =
        (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
        (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::vector<std::uint8_t> encodeRequest(std::int32_t type, std::string_view path,
                                        std::uint32_t flags, std::int32_t size) {
    std::vector<std::uint8_t> out;
    putWord(out, 0);  // protocol version
    putWord(out, static_cast<std::uint32_t>(path.size() + 1));
    putWord(out, static_cast<std::uint32_t>(type));
    putWord(out, flags);
    putWord(out, static_cast<std::uint32_t>(size));
    putWord(out, 0);  // offset
    out.insert(out.end(), path.begin(), path.end());
    out.push_back(0);
    return out;
}

ReplyParser::State ReplyParser::feed(std::span<const std::uint8_t> bytes) {
    if (state_ != State::NeedMore) {
        return state_;
    }
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::size_t offset = 0;
    while (true) {
        if (pending_.size() - offset < kHeaderSize) {
            break;
        }
        std::int32_t payloadLength = wordAt(pending_, offset + 4);
        if (payloadLength < 0) {
            offset += kHeaderSize;  // keep-alive ping: the answer follows
            continue;
        }
        if (payloadLength > kMaxPayload) {
            state_ = State::Malformed;
            break;
        }
        std::size_t total = kHeaderSize + static_cast<std::size_t>(payloadLength);
        if (pending_.size() - offset < total) {
            break;
        }
        reply_.returnValue = wordAt(pending_, offset + 8);
        reply_.payload.assign(pending_.begin() + static_cast<std::ptrdiff_t>(offset + kHeaderSize),
                              pending_.begin() + static_cast<std::ptrdiff_t>(offset + total));
        state_ = State::Complete;
        break;
    }
    if (state_ == State::NeedMore) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
    } else {
        pending_.clear();
        pending_.shrink_to_fit();
    }
    return state_;
}

std::vector<Rom> devicesOfListing(std::string_view payload, std::size_t stopAfter,
                                  std::chrono::steady_clock::time_point deadline) {
    // Reading the clock costs more than an entry: it is read every so many entries.
    constexpr unsigned kEntriesPerClockRead = 256;
    unsigned sinceClockRead = 0;
    while (!payload.empty() && payload.back() == '\0') {
        payload.remove_suffix(1);
    }
    std::vector<Rom> devices;
    std::size_t position = 0;
    while (position <= payload.size() && devices.size() < stopAfter) {
        if (++sinceClockRead % kEntriesPerClockRead == 0 &&
            std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::size_t end = payload.find(',', position);
        if (end == std::string_view::npos) {
            end = payload.size();
        }
        std::string_view entry = payload.substr(position, end - position);
        position = end + 1;
        if (!entry.empty() && entry.back() == '/') {
            entry.remove_suffix(1);
        }
        if (std::size_t slash = entry.rfind('/'); slash != std::string_view::npos) {
            entry = entry.substr(slash + 1);
        }
        // "01.4A2F0C000000": family, a point, the serial in bus order.
        if (entry.size() != 15 || entry[2] != '.') {
            continue;
        }
        auto family = parseHexBytes(entry.substr(0, 2));
        auto serial = parseHexBytes(entry.substr(3));
        if (!family || !serial) {
            continue;
        }
        std::array<std::uint8_t, 7> bytes{};
        bytes[0] = (*family)[0];
        std::copy(serial->begin(), serial->end(), bytes.begin() + 1);
        devices.push_back(withCrc(bytes));
    }
    return devices;
}

}  // namespace onewire::owserver
