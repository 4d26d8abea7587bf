#include "onewire/OwserverClient.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "onewire/TextFile.h"

namespace onewire::owserver {
namespace {

using Address = std::vector<std::uint8_t>;  // a sockaddr's bytes

// Rounded up, so that a wait never ends short of the deadline and spins.
int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool expired(Clock::time_point deadline) {
    return Clock::now() >= deadline;
}

std::vector<Address> addressesOf(const addrinfo* list) {
    std::vector<Address> result;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(entry->ai_addr);
        result.emplace_back(bytes, bytes + entry->ai_addrlen);
    }
    return result;
}

// Host names are looked up in the background (getaddrinfo_a) so that a slow or absent name
// server cannot hold up the GUI thread past the deadline. One lookup per name is in flight at a
// time and its result is kept for a minute; the table lives as long as the process, because a
// lookup still running must keep its request block.
class NameCache {
public:
    std::vector<Address> lookUp(const std::string& host, const std::string& service,
                                Clock::time_point deadline) {
        std::lock_guard lock(mutex_);
        auto& entry = entries_[host + "\n" + service];
        if (!entry) {
            entry = std::make_unique<Entry>();
            entry->host = host;
            entry->service = service;
        }
        Entry& lookup = *entry;
        auto now = Clock::now();
        if (!lookup.running && lookup.finished &&
            now - lookup.finishedAt < std::chrono::minutes(1)) {
            return lookup.addresses;
        }
        if (!lookup.running) {
            std::memset(&lookup.request, 0, sizeof lookup.request);
            std::memset(&lookup.hints, 0, sizeof lookup.hints);
            lookup.hints.ai_socktype = SOCK_STREAM;
            lookup.request.ar_name = lookup.host.c_str();
            lookup.request.ar_service = lookup.service.c_str();
            lookup.request.ar_request = &lookup.hints;
            gaicb* list[] = {&lookup.request};
            if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
                return {};
            }
            lookup.running = true;
        }
        const gaicb* waiting[] = {&lookup.request};
        while (gai_error(&lookup.request) == EAI_INPROGRESS) {
            int left = millisecondsLeft(deadline);
            if (left == 0) {
                return {};  // the next pass looks again
            }
            timespec wait{left / 1000, (left % 1000) * 1000000L};
            gai_suspend(waiting, 1, &wait);
        }
        lookup.running = false;
        lookup.finished = true;
        lookup.finishedAt = Clock::now();
        lookup.addresses.clear();
        if (gai_error(&lookup.request) == 0 && lookup.request.ar_result != nullptr) {
            lookup.addresses = addressesOf(lookup.request.ar_result);
            freeaddrinfo(lookup.request.ar_result);
            lookup.request.ar_result = nullptr;
        }
        return lookup.addresses;
    }

private:
    struct Entry {
        std::string host;
        std::string service;
        addrinfo hints{};
        gaicb request{};
        bool running = false;
        bool finished = false;
        Clock::time_point finishedAt;
        std::vector<Address> addresses;
    };
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<Entry>> entries_;
};

std::vector<Address> resolve(const std::string& host, const std::string& service,
                             Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0) {
        auto result = addressesOf(list);
        freeaddrinfo(list);
        return result;
    }
    static NameCache* names = new NameCache;  // never destroyed: see NameCache
    return names->lookUp(host, service, deadline);
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// poll() reports bytes that are already waiting even with no time left, so the deadline is
// checked first: a peer that keeps sending would otherwise keep the caller here for good.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    while (!expired(deadline)) {
        pollfd entry{fd, events, 0};
        int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
    return false;
}

std::unique_ptr<Socket> connectTo(const Address& address, Clock::time_point deadline) {
    const auto* target = reinterpret_cast<const sockaddr*>(address.data());
    auto socket = std::make_unique<Socket>(
        ::socket(target->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket->fd() < 0) {
        return nullptr;
    }
    if (::connect(socket->fd(), target, static_cast<socklen_t>(address.size())) == 0) {
        return socket;
    }
    if (errno != EINPROGRESS) {
        return nullptr;
    }
    if (!waitFor(socket->fd(), POLLOUT, deadline)) {
        errno = ETIMEDOUT;
        return nullptr;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket->fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        errno = error != 0 ? error : errno;
        return nullptr;
    }
    return socket;
}

bool sendAll(int fd, const std::vector<std::uint8_t>& bytes, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline)) {
                errno = ETIMEDOUT;
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

std::nullopt_t failed(std::string* failure, std::string why) {
    if (failure != nullptr) {
        *failure = std::move(why);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Reply> exchange(const std::string& host, const std::string& service,
                              std::int32_t type, const std::string& path, std::uint32_t flags,
                              std::int32_t size, Clock::time_point deadline, std::string* failure) {
    if (expired(deadline)) {
        return failed(failure, "no time left");
    }
    auto addresses = resolve(host, service, deadline);
    if (addresses.empty()) {
        return failed(failure, expired(deadline) ? "name lookup timed out" : "unknown host");
    }
    std::unique_ptr<Socket> socket;
    int connectError = 0;
    for (const Address& address : addresses) {
        if (address.size() < sizeof(sockaddr_storage::ss_family)) {
            continue;
        }
        socket = connectTo(address, deadline);
        connectError = errno;
        if (socket || expired(deadline)) {
            break;
        }
    }
    if (!socket) {
        return failed(failure, std::string("cannot connect: ") + std::strerror(connectError));
    }
    if (!sendAll(socket->fd(), encodeRequest(type, path, flags, size), deadline)) {
        return failed(failure, std::string("cannot send: ") + std::strerror(errno));
    }
    return receiveReply(socket->fd(), deadline, failure);
}

std::optional<Reply> receiveReply(int fd, Clock::time_point deadline, std::string* failure) {
    ReplyParser parser;
    std::uint8_t buffer[16384];
    while (parser.state() == ReplyParser::State::NeedMore) {
        if (!waitFor(fd, POLLIN, deadline)) {
            return failed(failure, "no reply in time");
        }
        ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (count <= 0) {
            return failed(failure, "closed the connection before the reply was complete");
        }
        parser.feed(std::span(buffer, static_cast<std::size_t>(count)));
    }
    if (parser.state() != ReplyParser::State::Complete) {
        return failed(failure, "sent something that is not an owserver reply");
    }
    return parser.reply();
}

namespace {

constexpr std::int32_t kAdapterNameSize = 256;
constexpr int kMaxBuses = 32;

bool isSimulated(const std::string& adapterName) {
    return adapterName.starts_with("Simulated");
}

std::string nameOf(const std::string& bus, const std::string& adapterName) {
    return bus + " \"" + printable(adapterName) + "\"";
}

}  // namespace

OwserverBus::OwserverBus(std::string host, std::string service, std::chrono::milliseconds budget,
                         bool simulatedAllowed, Reporter& reporter, std::string portName)
    : host_(std::move(host)),
      service_(std::move(service)),
      budget_(budget),
      simulatedAllowed_(simulatedAllowed),
      reporter_(reporter),
      portName_(std::move(portName)) {}

std::string OwserverBus::endpoint() const {
    return host_.find(':') == std::string::npos ? host_ + ":" + service_
                                                : "[" + host_ + "]:" + service_;
}

std::optional<Reply> OwserverBus::exchangeWithinBudget(std::int32_t type, const std::string& path,
                                                       std::uint32_t flags, std::int32_t size) {
    auto start = Clock::now();
    if (start - lastEnd_ >= budget_) {
        spent_ = {};
    }
    if (spent_ >= budget_) {
        if (failure_.empty()) {
            failure_ = "no reply in time";
        }
        return std::nullopt;  // an earlier exchange of the pass used up its time
    }
    auto reply =
        exchange(host_, service_, type, path, flags, size, start + (budget_ - spent_), &failure_);
    lastEnd_ = Clock::now();
    spent_ += lastEnd_ - start;
    return reply;
}

void OwserverBus::reportOutcome(bool answered) {
    const std::string source = "owserver " + printable(endpoint());
    if (answered) {
        reporter_.reportRecovery(source, "answers again");
    } else {
        reporter_.reportProblem(source, failure_);
    }
}

// The buses are found by reading their adapter names in turn until one is missing: unlike a
// listing of the root, that never makes owserver search a bus.
bool OwserverBus::survey() {
    if (buses_) {
        return true;
    }
    std::vector<Bus> buses;
    for (int index = 0; index < kMaxBuses; ++index) {
        Bus bus{"bus." + std::to_string(index), {}, false};
        auto reply =
            exchangeWithinBudget(kMessageRead, "/uncached/" + bus.name + "/interface/settings/name",
                                 kFlagOwnet, kAdapterNameSize);
        if (!reply) {
            return false;  // out of time: this pass cannot tell which buses are real
        }
        if (reply->returnValue < 0) {
            break;  // no such bus
        }
        std::string text = reply->payload.substr(
            0, std::min<std::size_t>(reply->payload.size(),
                                     static_cast<std::size_t>(reply->returnValue)));
        bus.adapterName = std::string(trim(text.c_str()));
        bus.listed = simulatedAllowed_ || !isSimulated(bus.adapterName);
        buses.push_back(std::move(bus));
    }
    std::string refused;
    bool anyListed = false;
    for (const Bus& bus : buses) {
        anyListed = anyListed || bus.listed;
        if (!bus.listed) {
            refused += (refused.empty() ? "" : ", ") + nameOf(bus.name, bus.adapterName);
        }
    }
    if (!refused.empty()) {
        reporter_.reportOnce(
            "owserver " + endpoint() + (anyListed ? " also serves " : " serves only ") + refused +
            ": a simulated bus's devices are made up, so they are never listed. For a real "
            "adapter, replace owserver's FAKE or --tester bus by the adapter (in /etc/owfs.conf: "
            "\"server: usb = all\" or \"server: device = /dev/ttyUSB0\") and restart it; for a "
            "demo, end the port's mapping line with the word simulated (\"" +
            portName_ + " = owserver " + endpoint() + " simulated\")");
    }
    buses_ = std::move(buses);
    return true;
}

std::int16_t OwserverBus::setup() {
    bool answered = survey();
    reportOutcome(answered);
    if (!answered) {
        return kSetupNotFound;
    }
    bool anyListed =
        std::any_of(buses_->begin(), buses_->end(), [](const Bus& bus) { return bus.listed; });
    return anyListed ? kSetupReady : kSetupNotFound;
}

std::vector<Rom> OwserverBus::devicesOn(const Bus& bus) {
    auto reply = exchangeWithinBudget(kMessageDirAll, "/uncached/" + bus.name, kDirectoryFlags);
    if (reply && reply->returnValue < 0) {
        failure_ = "answered the listing of " + bus.name + " with error " +
                   std::to_string(reply->returnValue);
    }
    if (!reply || reply->returnValue < 0) {
        return {};
    }
    return devicesOfListing(reply->payload);
}

std::vector<Rom> OwserverBus::enumerate() {
    if (!survey()) {
        reportOutcome(false);
        return {};
    }
    failure_.clear();
    std::vector<Rom> devices;
    for (const Bus& bus : *buses_) {
        if (bus.listed) {
            auto found = devicesOn(bus);
            devices.insert(devices.end(), found.begin(), found.end());
        }
    }
    reportOutcome(failure_.empty());
    return devices;
}

std::string OwserverBus::describeAdapter() {
    if (!survey()) {
        return "owserver " + endpoint() + " does not answer";
    }
    std::string text;
    for (const Bus& bus : *buses_) {
        bool simulated = isSimulated(bus.adapterName);
        text += (text.empty() ? "" : "; ") + nameOf(bus.name, bus.adapterName) +
                (simulated ? ", simulated" : "") + (bus.listed ? "" : ", refused");
    }
    return text.empty() ? "owserver " + endpoint() + " offers no bus" : text;
}

std::vector<RefusedDevice> OwserverBus::refusedDevices() {
    std::vector<RefusedDevice> refused;
    if (!survey()) {
        return refused;
    }
    for (const Bus& bus : *buses_) {
        if (bus.listed) {
            continue;
        }
        std::string why = "on simulated bus " + nameOf(bus.name, bus.adapterName);
        for (const Rom& rom : devicesOn(bus)) {
            refused.push_back({rom, why});
        }
    }
    return refused;
}

}  // namespace onewire::owserver
