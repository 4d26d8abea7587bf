#include "onewire/W1Netlink.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <random>

#include "onewire/Backend.h"

namespace onewire::w1netlink {
namespace {

template <typename Value>
Value load(std::span<const std::uint8_t> bytes, std::size_t offset) {
    Value value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <typename Value>
void store(std::vector<std::uint8_t>& bytes, std::size_t offset, Value value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A code as the kernel hands it over: a 64-bit number in host order whose lowest byte is the
// family code, the first byte on the wire.
Rom romOfKernelNumber(std::uint64_t number) {
    Rom rom{};
    for (std::size_t i = 0; i < rom.size(); ++i) {
        rom[i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    return rom;
}

constexpr std::size_t align4(std::size_t size) {
    return (size + 3) & ~std::size_t{3};
}

// The w1 messages of one connector message's data.
void readW1Messages(std::span<const std::uint8_t> data, bool isData, std::uint32_t master,
                    ReplyPart& part) {
    std::size_t offset = 0;
    while (offset < data.size() && part.malformed.empty()) {
        if (data.size() - offset < kW1HeaderSize) {
            part.malformed = "a w1 message shorter than its header";
            return;
        }
        const auto type = data[offset];
        const auto status = data[offset + 1];
        const auto length = load<std::uint16_t>(data, offset + 2);
        const auto id = load<std::uint32_t>(data, offset + 4);
        if (length > data.size() - offset - kW1HeaderSize) {
            part.malformed = "a w1 message longer than the reply that carries it";
            return;
        }
        auto body = data.subspan(offset + kW1HeaderSize, length);
        offset += kW1HeaderSize + length;
        if (type == kListMasters) {
            if (status != 0) {
                part.malformed = "the kernel answered the listing of its bus masters with error " +
                                 std::to_string(status);
            } else if (body.size() % 4 != 0) {
                part.malformed = "a listing of bus masters that is not a whole number of ids";
            } else {
                auto& masters = part.masters.emplace();
                for (std::size_t i = 0; i < body.size(); i += 4) {
                    masters.push_back(load<std::uint32_t>(body, i));
                }
            }
            continue;
        }
        if (type != kMasterCommand || id != master) {
            continue;
        }
        if (body.empty()) {
            // The kernel's answer to a command it could not start (no such master, ...).
            part.closed = true;
            part.status = status;
            continue;
        }
        std::size_t at = 0;
        while (at < body.size()) {
            if (body.size() - at < kCommandHeaderSize) {
                part.malformed = "a w1 command shorter than its header";
                return;
            }
            const auto command = body[at];
            const auto commandLength = load<std::uint16_t>(body, at + 2);
            if (commandLength > body.size() - at - kCommandHeaderSize) {
                part.malformed = "a w1 command longer than the message that carries it";
                return;
            }
            auto codes = body.subspan(at + kCommandHeaderSize, commandLength);
            at += kCommandHeaderSize + commandLength;
            if (command != kSearch) {
                continue;
            }
            if (!isData) {
                part.closed = true;  // the command's status, which closes it
                part.status = status;
                continue;
            }
            if (codes.size() % 8 != 0) {
                part.malformed = "a search reply that is not a whole number of ROM codes";
                return;
            }
            for (std::size_t i = 0; i < codes.size(); i += 8) {
                part.found.push_back(romOfKernelNumber(load<std::uint64_t>(codes, i)));
            }
        }
    }
}

// The socket: datagrams from the kernel only (port 0), never from another process.
class ConnectorSocket : public Channel {
public:
    explicit ConnectorSocket(int fd) : fd_(fd) {}
    ~ConnectorSocket() override { ::close(fd_); }

    bool send(std::span<const std::uint8_t> datagram, std::string& problem) override {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        while (true) {
            ssize_t sent = ::sendto(fd_, datagram.data(), datagram.size(), 0,
                                    reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
            if (sent >= 0) {
                return true;
            }
            if (errno != EINTR) {
                problem = std::string("sending to the kernel failed: ") + std::strerror(errno);
                return false;
            }
        }
    }

    Received receive(Clock::time_point deadline) override {
        Received received;
        while (true) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd wait{fd_, POLLIN, 0};
            int ready = ::poll(&wait, 1,
                               static_cast<int>(std::max<std::int64_t>(
                                   0, std::min<std::int64_t>(left.count(), 60000))));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready < 0) {
                received.kind = Received::Kind::Failed;
                received.problem =
                    std::string("waiting for the kernel failed: ") + std::strerror(errno);
                return received;
            }
            if (ready == 0) {
                if (Clock::now() >= deadline) {
                    received.kind = Received::Kind::TimedOut;
                    return received;
                }
                continue;
            }
            received.bytes.resize(kBufferSize);
            sockaddr_nl from{};
            socklen_t fromSize = sizeof from;
            ssize_t count =
                ::recvfrom(fd_, received.bytes.data(), received.bytes.size(),
                           MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromSize);
            if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (count < 0) {
                // ENOBUFS: the kernel dropped replies for want of room; the search is lost.
                received.kind = Received::Kind::Failed;
                received.problem =
                    std::string("receiving from the kernel failed: ") + std::strerror(errno);
                return received;
            }
            if (from.nl_pid != 0) {
                continue;  // not the kernel's
            }
            received.kind = Received::Kind::Datagram;
            received.truncated = static_cast<std::size_t>(count) > received.bytes.size();
            received.bytes.resize(std::min(received.bytes.size(), static_cast<std::size_t>(count)));
            return received;
        }
    }

    // Four times the connector's largest message (CONNECTOR_MAX_MSG_SIZE, 16 KiB).
    static constexpr std::size_t kBufferSize = 65536;

private:
    int fd_;
};

}  // namespace

std::unique_ptr<Channel> openConnectorSocket(std::string& problem) {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (fd < 0) {
        problem =
            errno == EPROTONOSUPPORT || errno == EAFNOSUPPORT
                ? std::string("the kernel has no netlink connector (") + std::strerror(errno) + ")"
                : std::string("the kernel refused a netlink connector socket: ") +
                      std::strerror(errno);
        return nullptr;
    }
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;  // port chosen by the kernel, no broadcast group
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        problem = std::string("the kernel refused to bind a netlink connector socket: ") +
                  std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<ConnectorSocket>(fd);
}

std::vector<std::uint8_t> request(std::uint32_t sequence, std::optional<std::uint32_t> master) {
    const std::size_t dataSize = kW1HeaderSize + (master ? kW1HeaderSize + kCommandHeaderSize : 0);
    std::vector<std::uint8_t> bytes(kNetlinkHeaderSize + kConnectorHeaderSize + dataSize, 0);
    store<std::uint32_t>(bytes, 0, static_cast<std::uint32_t>(bytes.size()));
    store<std::uint16_t>(bytes, 4, NLMSG_DONE);
    store<std::uint32_t>(bytes, 8, sequence);
    std::size_t at = kNetlinkHeaderSize;
    store<std::uint32_t>(bytes, at, kConnectorIndex);
    store<std::uint32_t>(bytes, at + 4, kConnectorValue);
    store<std::uint32_t>(bytes, at + 8, sequence);
    store<std::uint32_t>(bytes, at + 12, 0);  // ack: the closing status carries it back
    store<std::uint16_t>(bytes, at + 16, static_cast<std::uint16_t>(dataSize));
    at += kConnectorHeaderSize;
    bytes[at] = kListMasters;
    at += kW1HeaderSize;
    if (master) {
        bytes[at] = kMasterCommand;
        store<std::uint16_t>(bytes, at + 2, static_cast<std::uint16_t>(kCommandHeaderSize));
        store<std::uint32_t>(bytes, at + 4, *master);
        bytes[at + kW1HeaderSize] = kSearch;
    }
    return bytes;
}

ReplyPart readReply(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                    std::uint32_t master) {
    ReplyPart part;
    std::size_t offset = 0;
    while (datagram.size() - offset >= kNetlinkHeaderSize && part.malformed.empty()) {
        const auto length = load<std::uint32_t>(datagram, offset);
        const auto type = load<std::uint16_t>(datagram, offset + 4);
        if (length < kNetlinkHeaderSize || length > datagram.size() - offset) {
            // Only a reply known to be ours can be called damaged; anything else is dropped.
            if (datagram.size() - offset >= kNetlinkHeaderSize + kConnectorHeaderSize &&
                load<std::uint32_t>(datagram, offset + kNetlinkHeaderSize + 8) == sequence) {
                part.ours = true;
                part.malformed = "a netlink message longer than the datagram that carries it";
            }
            return part;
        }
        auto payload = datagram.subspan(offset + kNetlinkHeaderSize, length - kNetlinkHeaderSize);
        offset += std::min(align4(length), datagram.size() - offset);
        if (type == NLMSG_NOOP || type == NLMSG_OVERRUN) {
            continue;
        }
        if (type == NLMSG_ERROR) {
            if (payload.size() >= 4 + kNetlinkHeaderSize &&
                load<std::uint32_t>(payload, 4 + 8) == sequence) {
                part.ours = true;
                part.closed = true;
                // A netlink error carries -errno; one past what the status byte holds
                // must still read as a failure, never as 0.
                const std::uint32_t error = 0u - load<std::uint32_t>(payload, 0);
                part.status = error > 0xFF ? static_cast<std::uint8_t>(EIO)
                                           : static_cast<std::uint8_t>(error);
            }
            continue;
        }
        // One connector message, or several back to back where the kernel bundles them.
        std::size_t at = 0;
        while (payload.size() - at >= kConnectorHeaderSize && part.malformed.empty()) {
            auto cn = payload.subspan(at);
            const auto index = load<std::uint32_t>(cn, 0);
            const auto value = load<std::uint32_t>(cn, 4);
            const auto seq = load<std::uint32_t>(cn, 8);
            const auto ack = load<std::uint32_t>(cn, 12);
            const auto dataLength = load<std::uint16_t>(cn, 16);
            if (index != kConnectorIndex || value != kConnectorValue || seq != sequence) {
                break;  // another connector's, or late: a reply to an earlier request
            }
            part.ours = true;
            if (dataLength > cn.size() - kConnectorHeaderSize) {
                part.malformed =
                    "a connector message longer than the netlink message that "
                    "carries it";
                break;
            }
            // The codes come with ack = sequence + 1; the closing status echoes the request's 0.
            readW1Messages(cn.subspan(kConnectorHeaderSize, dataLength), ack == sequence + 1,
                           master, part);
            at += kConnectorHeaderSize + dataLength;
        }
    }
    return part;
}

Connector::Connector(Opener opener, std::uint32_t firstSequence)
    : opener_(std::move(opener)),
      sequence_(firstSequence != 0 ? firstSequence : std::random_device{}()) {}

std::shared_ptr<Connector> Connector::processWide() {
    static const std::shared_ptr<Connector> connector =
        std::make_shared<Connector>(openConnectorSocket);
    return connector;
}

std::uint32_t Connector::nextSequence() {
    // Never 0xFFFFFFFF: its codes' ack (sequence + 1) would be the closing status's 0.
    do {
        ++sequence_;
    } while (sequence_ == 0 || sequence_ == 0xFFFFFFFFu);
    return sequence_;
}

bool Connector::awaitOutstanding(Clock::time_point deadline) {
    while (outstanding_) {
        const Clock::time_point givenUp = outstanding_->sent + kOutstandingLimit;
        if (Clock::now() >= givenUp) {
            outstanding_.reset();  // never closed: a reply the kernel lost
            break;
        }
        auto received = channel_->receive(std::min(deadline, givenUp));
        if (received.kind == Channel::Received::Kind::TimedOut) {
            if (Clock::now() >= deadline) {
                return false;
            }
            continue;
        }
        if (received.kind == Channel::Received::Kind::Failed) {
            channel_.reset();
            outstanding_.reset();
            return false;
        }
        if (readReply(received.bytes, outstanding_->sequence, outstanding_->master).closed) {
            outstanding_.reset();
        }
    }
    return true;
}

SearchResult Connector::exchange(std::optional<std::uint32_t> master, Clock::time_point deadline) {
    SearchResult result;
    auto fail = [&result](SearchResult::Outcome outcome, std::string problem) {
        result.outcome = outcome;
        result.problem = std::move(problem);
        result.devices.clear();
        return result;
    };
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) {
        return fail(SearchResult::Outcome::TimedOut,
                    "another search of the kernel's buses took the whole pass");
    }
    if (Clock::now() < unansweredUntil_) {
        return fail(SearchResult::Outcome::Unavailable, unanswered_);
    }
    if (!channel_) {
        std::string problem;
        channel_ = opener_(problem);
        outstanding_.reset();
        if (!channel_) {
            return fail(SearchResult::Outcome::Unavailable, problem);
        }
    }
    if (!awaitOutstanding(deadline)) {
        return fail(SearchResult::Outcome::TimedOut,
                    "the kernel was still running the search of an earlier pass");
    }
    const std::uint32_t sequence = nextSequence();
    std::string problem;
    if (!channel_->send(request(sequence, master), problem)) {
        channel_.reset();
        return fail(SearchResult::Outcome::Failed, problem);
    }
    const Clock::time_point sent = Clock::now();
    if (master) {
        outstanding_ = Outstanding{sequence, *master, sent};
    }
    bool listed = false;
    while (true) {
        const Clock::time_point until =
            listed ? deadline : std::min(deadline, sent + kListingGrace);
        auto received = channel_->receive(until);
        if (received.kind == Channel::Received::Kind::Failed) {
            channel_.reset();
            outstanding_.reset();
            return fail(SearchResult::Outcome::Failed, received.problem);
        }
        if (received.kind == Channel::Received::Kind::TimedOut) {
            if (!listed && Clock::now() < deadline) {
                // The kernel answers the listing while it takes the request: nobody listens.
                outstanding_.reset();
                unanswered_ = "the kernel's w1 subsystem does not answer on the netlink connector";
                unansweredUntil_ = Clock::now() + kUnansweredRetry;
                return fail(SearchResult::Outcome::Unavailable, unanswered_);
            }
            return fail(SearchResult::Outcome::TimedOut,
                        listed ? "the kernel did not finish the search in time"
                               : "the kernel did not answer in time");
        }
        if (received.truncated) {
            return fail(SearchResult::Outcome::Failed, "the kernel sent a reply larger than " +
                                                           std::to_string(received.bytes.size()) +
                                                           " bytes");
        }
        ReplyPart part = readReply(received.bytes, sequence, master.value_or(0));
        if (!part.ours) {
            continue;  // a late reply to an earlier request, or another's
        }
        if (!part.malformed.empty()) {
            return fail(SearchResult::Outcome::Failed, part.malformed);
        }
        if (part.masters) {
            listed = true;
            result.masters.insert(result.masters.end(), part.masters->begin(), part.masters->end());
            if (!master) {
                result.outcome = SearchResult::Outcome::Complete;
                return result;
            }
        }
        // Past the most a pass hands out the count no longer matters: the pass lists none.
        for (const Rom& rom : part.found) {
            if (result.devices.size() <= kMaxDevicesPerPass) {
                result.devices.push_back(rom);
            }
        }
        if (part.closed) {
            outstanding_.reset();
            if (part.status == ENODEV) {
                return fail(SearchResult::Outcome::MasterGone,
                            "the kernel has no bus master " + std::to_string(*master));
            }
            if (part.status != 0) {
                return fail(SearchResult::Outcome::Failed,
                            "the kernel answered the search with error " +
                                std::to_string(part.status) + " (" + std::strerror(part.status) +
                                ")");
            }
            result.outcome = SearchResult::Outcome::Complete;
            return result;
        }
    }
}

SearchResult Connector::search(std::uint32_t master, Clock::time_point deadline) {
    return exchange(master, deadline);
}

SearchResult Connector::listMasters(Clock::time_point deadline) {
    return exchange(std::nullopt, deadline);
}

std::optional<std::vector<Rom>> Connector::lastComplete(std::uint32_t master) {
    std::lock_guard lock(memoryMutex_);
    auto found = lastComplete_.find(master);
    return found == lastComplete_.end() ? std::nullopt : std::optional(found->second);
}

void Connector::rememberComplete(std::uint32_t master, std::vector<Rom> devices) {
    std::lock_guard lock(memoryMutex_);
    lastComplete_[master] = std::move(devices);
}

std::optional<std::uint32_t> masterNumber(std::string_view folderName) {
    constexpr std::string_view kPrefix = "w1_bus_master";
    if (!folderName.starts_with(kPrefix)) {
        return std::nullopt;
    }
    std::string_view digits = folderName.substr(kPrefix.size());
    if (digits.empty() || (digits.size() > 1 && digits.front() == '0') ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return number;
}

}  // namespace onewire::w1netlink
