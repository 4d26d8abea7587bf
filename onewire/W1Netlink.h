#pragma once

// The kernel's w1 netlink connector (Linux only): an immediate search of one bus master, which
// an ordinary user may ask for, where w1_master_slaves only tells what the kernel's own periodic
// search found (every 10 s by default). The layout of the messages is the kernel's
// Documentation/w1/w1-netlink.rst; everything is in host byte order.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "onewire/RomCode.h"

namespace onewire::w1netlink {

using Clock = std::chrono::steady_clock;

// The datagrams to and from the kernel, behind an interface so that a test can play the kernel.
class Channel {
public:
    struct Received {
        enum class Kind { Datagram, TimedOut, Failed } kind = Kind::TimedOut;
        std::vector<std::uint8_t> bytes;
        bool truncated = false;  // the datagram was larger than the receive buffer
        std::string problem;     // Failed: the system's words
    };

    virtual ~Channel() = default;
    // One datagram to the kernel; false with the system's words in `problem` when it fails.
    virtual bool send(std::span<const std::uint8_t> datagram, std::string& problem) = 0;
    // The next datagram from the kernel, waiting no later than `deadline`.
    virtual Received receive(Clock::time_point deadline) = 0;
};

// A NETLINK_CONNECTOR socket that joins no broadcast group (which would need privilege): replies
// to its own requests reach it all the same. nullptr, with why, where the kernel refuses one.
std::unique_ptr<Channel> openConnectorSocket(std::string& problem);

// The message numbers the runtime uses (the kernel's w1_netlink.h).
constexpr std::uint32_t kConnectorIndex = 3;  // CN_W1_IDX
constexpr std::uint32_t kConnectorValue = 1;  // CN_W1_VAL
constexpr std::uint8_t kMasterCommand = 4;    // W1_MASTER_CMD
constexpr std::uint8_t kListMasters = 6;      // W1_LIST_MASTERS
constexpr std::uint8_t kSearch = 2;           // W1_CMD_SEARCH
constexpr std::size_t kNetlinkHeaderSize = 16;
constexpr std::size_t kConnectorHeaderSize = 20;
constexpr std::size_t kW1HeaderSize = 12;
constexpr std::size_t kCommandHeaderSize = 4;

// One request: a listing of the bus masters, followed by a search of `master` unless it is
// nullopt. The kernel answers the listing before it returns from the send, which tells at once
// whether w1 listens on the connector at all.
std::vector<std::uint8_t> request(std::uint32_t sequence, std::optional<std::uint32_t> master);

// What one datagram from the kernel says about the request numbered `sequence`.
struct ReplyPart {
    bool ours = false;  // anything in it answered this request (the rest is late or foreign)
    std::optional<std::vector<std::uint32_t>> masters;  // a listing of the bus masters
    std::vector<Rom> found;                             // codes a search of the master found
    bool closed = false;                                // the search's closing status came
    std::uint8_t status = 0;  // the kernel's error number for the search, 0 for none
    std::string malformed;    // why the datagram could not be read; empty when sound
};
ReplyPart readReply(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                    std::uint32_t master);

struct SearchResult {
    enum class Outcome {
        Complete,     // the kernel searched and closed the command: `devices` is the bus
        Unavailable,  // no netlink to be had: `problem` says why (use w1_master_slaves)
        MasterGone,   // the kernel has no such bus master
        Failed,       // an error status, a reply that cannot be read, a failed socket
        TimedOut,     // no closing reply by the deadline
    } outcome = Outcome::Failed;
    std::vector<Rom> devices;
    std::vector<std::uint32_t> masters;  // the bus masters the kernel listed
    std::string problem;
};

// One connection to the connector for a whole process, shared by every backend of a bus master:
// a search the kernel is still running when a pass ends is waited for by the next pass instead of
// being queued behind by a new one, so a slow bus never builds a backlog of searches.
class Connector {
public:
    using Opener = std::function<std::unique_ptr<Channel>(std::string& problem)>;

    explicit Connector(Opener opener, std::uint32_t firstSequence = 0);
    static std::shared_ptr<Connector> processWide();

    // An immediate search of bus master `master`, replies matched by sequence number, all by
    // `deadline`.
    SearchResult search(std::uint32_t master, Clock::time_point deadline);
    // Only the listing of the bus masters (for the reader check).
    SearchResult listMasters(Clock::time_point deadline);

    // The last complete search of a master in this process (empty when there was none).
    std::optional<std::vector<Rom>> lastComplete(std::uint32_t master);
    void rememberComplete(std::uint32_t master, std::vector<Rom> devices);

    // How long to wait for the listing after the send before deciding that w1 does not listen
    // on the connector (the kernel answers it during the send).
    static constexpr std::chrono::milliseconds kListingGrace{20};
    // A search whose closing reply never came is given up after this.
    static constexpr std::chrono::seconds kOutstandingLimit{5};
    // A kernel whose w1 did not answer is asked again only after this: the passes between read
    // w1_master_slaves without waiting out the grace each time.
    static constexpr std::chrono::seconds kUnansweredRetry{10};

private:
    SearchResult exchange(std::optional<std::uint32_t> master, Clock::time_point deadline);
    bool awaitOutstanding(Clock::time_point deadline);
    std::uint32_t nextSequence();

    Opener opener_;
    std::timed_mutex mutex_;
    std::unique_ptr<Channel> channel_;
    std::uint32_t sequence_;
    struct Outstanding {
        std::uint32_t sequence;
        std::uint32_t master;
        Clock::time_point sent;
    };
    std::optional<Outstanding> outstanding_;
    Clock::time_point unansweredUntil_{};
    std::string unanswered_;
    std::mutex memoryMutex_;
    std::map<std::uint32_t, std::vector<Rom>> lastComplete_;
};

// "w1_bus_master12" -> 12; nullopt for any other name.
std::optional<std::uint32_t> masterNumber(std::string_view folderName);

}  // namespace onewire::w1netlink
