#include "onewire/Socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "onewire/Platform.h"

namespace onewire::net {
namespace {

// ---- What differs between BSD sockets and Winsock ------------------------------------------
// Kept here rather than in the Platform sources: the calls below share the socket types and
// headers with the code after them, and with nothing else in the runtime.

#if defined(_WIN32)

constexpr NativeSocket kNoSocket = INVALID_SOCKET;

// Winsock is started once and never cleaned up: the library cannot know its host's last call.
bool networkReady() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

NativeSocket openStream(int family) {
    if (!networkReady()) {
        return kNoSocket;
    }
    SOCKET handle =
        WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    u_long nonBlocking = 1;
    if (handle != INVALID_SOCKET && ioctlsocket(handle, FIONBIO, &nonBlocking) != 0) {
        closesocket(handle);
        return kNoSocket;
    }
    return handle;
}

void closeStream(NativeSocket handle) {
    closesocket(handle);
}

constexpr int kTimedOut = WSAETIMEDOUT;

int lastError() {
    return WSAGetLastError();
}

bool connectionPending(int error) {
    return error == WSAEWOULDBLOCK;
}

bool tryAgain(int error) {
    return error == WSAEWOULDBLOCK;
}

// select rather than WSAPoll, which on Windows before 10 (2004) never reports a refused
// connection; a failed connection shows in the exception set.
bool waitReady(NativeSocket handle, bool writing, Clock::time_point deadline) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(handle, &ready);
    FD_SET(handle, &failed);
    const int left = millisecondsLeft(deadline);
    timeval wait{left / 1000, (left % 1000) * 1000};
    return select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, &failed, &wait) > 0;
}

// Which of the connecting sockets have finished (connected or failed) by the deadline.
std::vector<bool> finishedConnecting(const std::vector<NativeSocket>& handles,
                                     Clock::time_point deadline) {
    fd_set written;
    fd_set failed;
    FD_ZERO(&written);
    FD_ZERO(&failed);
    for (NativeSocket handle : handles) {
        FD_SET(handle, &written);
        FD_SET(handle, &failed);
    }
    const int left = millisecondsLeft(deadline);
    timeval wait{left / 1000, (left % 1000) * 1000};
    std::vector<bool> finished(handles.size(), false);
    if (select(0, nullptr, &written, &failed, &wait) > 0) {
        for (std::size_t i = 0; i < handles.size(); ++i) {
            finished[i] = FD_ISSET(handles[i], &written) || FD_ISSET(handles[i], &failed);
        }
    }
    return finished;
}

long sendSome(NativeSocket handle, std::span<const std::uint8_t> bytes) {
    return ::send(handle, reinterpret_cast<const char*>(bytes.data()),
                  static_cast<int>(bytes.size()), 0);
}

long receiveSome(NativeSocket handle, std::span<std::uint8_t> buffer) {
    return ::recv(handle, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()),
                  0);
}

#else

constexpr NativeSocket kNoSocket = -1;

bool networkReady() {
    return true;
}

NativeSocket openStream(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void closeStream(NativeSocket handle) {
    ::close(handle);
}

constexpr int kTimedOut = ETIMEDOUT;

int lastError() {
    return errno;
}

bool connectionPending(int error) {
    return error == EINPROGRESS;
}

bool tryAgain(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

bool waitReady(NativeSocket handle, bool writing, Clock::time_point deadline) {
    while (!expired(deadline)) {
        pollfd entry{handle, static_cast<short>(writing ? POLLOUT : POLLIN), 0};
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

// Which of the connecting sockets have finished (connected or failed) by the deadline.
std::vector<bool> finishedConnecting(const std::vector<NativeSocket>& handles,
                                     Clock::time_point deadline) {
    std::vector<pollfd> entries;
    for (NativeSocket handle : handles) {
        entries.push_back({handle, POLLOUT, 0});
    }
    std::vector<bool> finished(handles.size(), false);
    while (!expired(deadline)) {
        int ready = ::poll(entries.data(), entries.size(), millisecondsLeft(deadline));
        if (ready > 0) {
            for (std::size_t i = 0; i < entries.size(); ++i) {
                finished[i] = entries[i].revents != 0;
            }
            break;
        }
        if (ready == 0 || errno != EINTR) {
            break;
        }
    }
    return finished;
}

// MSG_NOSIGNAL: a server that went away must not end the host program with SIGPIPE.
long sendSome(NativeSocket handle, std::span<const std::uint8_t> bytes) {
    return ::send(handle, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

long receiveSome(NativeSocket handle, std::span<std::uint8_t> buffer) {
    return ::recv(handle, buffer.data(), buffer.size(), 0);
}

#endif

// ---- The same on both ------------------------------------------------------------------------

std::string describe(int error) {
    return platform::systemMessage(static_cast<unsigned long>(error));
}

// poll() and select() report bytes that are already waiting even with no time left, so the
// deadline is checked first.
bool waitFor(NativeSocket handle, bool writing, Clock::time_point deadline) {
    return !expired(deadline) && waitReady(handle, writing, deadline);
}

// The connection's outcome once it finished: 0 when connected, else the system's error.
int connectionError(NativeSocket handle) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        error = lastError();
    }
    return error;
}

// Started connections are kept this long before the next address is tried as well (RFC 8305's
// connection attempt delay, shortened to fit a pass of 200 ms).
constexpr auto kAttemptDelay = std::chrono::milliseconds(30);
// More than a name ever has; select() on Windows takes 64 sockets at most.
constexpr std::size_t kMostAddresses = 16;

std::vector<Address> addressesOf(const addrinfo* list) {
    std::vector<Address> result;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(entry->ai_addr);
        result.emplace_back(bytes, bytes + entry->ai_addrlen);
    }
    return result;
}

std::vector<Address> lookUpNow(const std::string& host, const std::string& service, int flags) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) {
        return {};
    }
    auto result = addressesOf(list);
    freeaddrinfo(list);
    return result;
}

// Each lookup runs on a detached thread of its own, which may outlive the caller's deadline; the
// table lives as long as the process, so a lookup still running always has its entry to fill.
class NameCache {
public:
    std::vector<Address> lookUp(const std::string& host, const std::string& service,
                                Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        Entry& entry = entries_[host + "\n" + service];
        if (!entry.running && entry.finished &&
            Clock::now() - entry.finishedAt < std::chrono::minutes(1)) {
            return entry.addresses;
        }
        if (!entry.running) {
            try {
                std::thread(&NameCache::run, this, &entry, host, service).detach();
            } catch (const std::system_error&) {
                return {};
            }
            entry.running = true;
        }
        if (!finished_.wait_until(lock, deadline, [&entry] { return !entry.running; })) {
            return {};
        }
        return entry.addresses;
    }

private:
    struct Entry {
        bool running = false;
        bool finished = false;
        Clock::time_point finishedAt;
        std::vector<Address> addresses;
    };

    void run(Entry* entry, std::string host, std::string service) {
        auto addresses = lookUpNow(host, service, 0);
        std::lock_guard lock(mutex_);
        entry->addresses = std::move(addresses);
        entry->running = false;
        entry->finished = true;
        entry->finishedAt = Clock::now();
        finished_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    std::map<std::string, Entry> entries_;  // a map: an entry never moves while a lookup runs
};

}  // namespace

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool expired(Clock::time_point deadline) {
    return Clock::now() >= deadline;
}

std::vector<Address> resolve(const std::string& host, const std::string& service,
                             Clock::time_point deadline) {
    if (!networkReady()) {
        return {};
    }
    auto numeric = lookUpNow(host, service, AI_NUMERICHOST | AI_NUMERICSERV);
    if (!numeric.empty()) {
        return numeric;
    }
    static NameCache* names = new NameCache;  // never destroyed: see NameCache
    return names->lookUp(host, service, deadline);
}

std::string describeAddress(const Address& address) {
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (address.size() < sizeof(sockaddr_storage::ss_family) ||
        getnameinfo(reinterpret_cast<const sockaddr*>(address.data()),
                    static_cast<socklen_t>(address.size()), host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "an address that cannot be shown";
    }
    const bool v6 = reinterpret_cast<const sockaddr*>(address.data())->sa_family == AF_INET6;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "[" + std::string.
    std::string text(v6 ? "[" : "");
    text.append(host).append(v6 ? "]:" : ":").append(service);
    return text;
}

std::unique_ptr<Stream> Stream::connectAny(const std::vector<Address>& addresses,
                                           Clock::time_point deadline, std::string& why) {
    const std::size_t count = std::min(addresses.size(), kMostAddresses);
    std::vector<std::string> failures(addresses.size(), "not tried, no time left");
    std::vector<NativeSocket> pending;
    std::vector<std::size_t> pendingIndex;
    std::unique_ptr<Stream> connected;
    std::size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    while (!connected && !expired(deadline)) {
        if (next < count && (pending.empty() || Clock::now() >= nextStart)) {
            const std::size_t index = next++;
            const Address& address = addresses[index];
            const auto now = Clock::now();
            // Every address left gets its turn before the deadline.
            nextStart = now + std::min<Clock::duration>(kAttemptDelay,
                                                        (deadline - now) / (count - next + 1));
            if (address.size() < sizeof(sockaddr_storage::ss_family)) {
                failures[index] = "not an address";
                continue;
            }
            const auto* target = reinterpret_cast<const sockaddr*>(address.data());
            NativeSocket handle = openStream(target->sa_family);
            if (handle == kNoSocket) {
                failures[index] = describe(lastError());
                continue;
            }
            if (::connect(handle, target, static_cast<socklen_t>(address.size())) == 0) {
                connected.reset(new Stream(handle));
                break;
            }
            const int error = lastError();
            if (connectionPending(error)) {
                pending.push_back(handle);
                pendingIndex.push_back(index);
            } else {
                failures[index] = describe(error);
                closeStream(handle);
            }
            continue;
        }
        if (pending.empty()) {
            break;  // every address failed
        }
        const auto until = next < count ? std::min(deadline, nextStart) : deadline;
        const auto finished = finishedConnecting(pending, until);
        for (std::size_t i = pending.size(); i-- > 0;) {
            if (!finished[i]) {
                continue;
            }
            const int error = connectionError(pending[i]);
            if (error == 0 && !connected) {
                connected.reset(new Stream(pending[i]));
            } else {
                failures[pendingIndex[i]] = describe(error == 0 ? kTimedOut : error);
                closeStream(pending[i]);
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            pendingIndex.erase(pendingIndex.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (std::size_t i = 0; i < pending.size(); ++i) {
        failures[pendingIndex[i]] = describe(kTimedOut);
        closeStream(pending[i]);
    }
    if (connected) {
        return connected;
    }
    if (addresses.empty()) {
        why = "no address";
        return nullptr;
    }
    why.clear();
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        why += (i == 0 ? "" : "; ") + describeAddress(addresses[i]) + ": " + failures[i];
    }
    return nullptr;
}

Stream::~Stream() {
    closeStream(handle_);
}

bool Stream::sendAll(std::span<const std::uint8_t> bytes, Clock::time_point deadline,
                     std::string& why) {
    while (!bytes.empty()) {
        long count = sendSome(handle_, bytes);
        if (count > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(count));
            continue;
        }
        const int error = lastError();
        if (count == 0 || !tryAgain(error)) {
            why = describe(error);
            return false;
        }
        if (!waitFor(handle_, true, deadline)) {
            why = describe(kTimedOut);
            return false;
        }
    }
    return true;
}

Received receive(NativeSocket socket, std::span<std::uint8_t> buffer, Clock::time_point deadline) {
    while (waitFor(socket, false, deadline)) {
        long count = receiveSome(socket, buffer);
        if (count > 0) {
            return {static_cast<std::size_t>(count), false};
        }
        if (count == 0 || !tryAgain(lastError())) {
            return {0, true};
        }
    }
    return {0, false};
}

}  // namespace onewire::net
