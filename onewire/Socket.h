#pragma once

// The network calls of the owserver client, over BSD sockets (Linux) or Winsock (Windows). Every
// call ends by its deadline: the runtime's callers are GUI threads.
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace onewire::net {

using Clock = std::chrono::steady_clock;
using Address = std::vector<std::uint8_t>;  // a sockaddr's bytes

#if defined(_WIN32)
using NativeSocket = std::uintptr_t;  // SOCKET
#else
using NativeSocket = int;
#endif

// Rounded up, so that a wait never ends short of the deadline and spins.
int millisecondsLeft(Clock::time_point deadline);
bool expired(Clock::time_point deadline);

// The addresses of HOST:PORT. A numeric host gives its address at once; a name is looked up in
// the background, one lookup per name at a time, and its result kept for a minute, so a slow or
// absent name server cannot hold the caller past the deadline (the next call looks again).
std::vector<Address> resolve(const std::string& host, const std::string& service,
                             Clock::time_point deadline);

// An address as text: 127.0.0.1:4304, [::1]:4304.
std::string describeAddress(const Address& address);

// A non-blocking TCP connection, closed with the object. Failures leave the system's reason in
// `why`.
class Stream {
public:
    // The first of the addresses (a name's IPv6 and IPv4 ones) to accept by the deadline. Each
    // is tried: the next one starts as soon as one fails, or after a short wait while one is
    // still pending, so an address that never answers cannot use up the others' time. nullptr
    // when none accepts, with each address tried and why it failed in `why`.
    static std::unique_ptr<Stream> connectAny(const std::vector<Address>& addresses,
                                              Clock::time_point deadline, std::string& why);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    NativeSocket handle() const { return handle_; }
    bool sendAll(std::span<const std::uint8_t> bytes, Clock::time_point deadline, std::string& why);

private:
    explicit Stream(NativeSocket handle) : handle_(handle) {}
    NativeSocket handle_;
};

// What one wait for bytes on a connected socket brought: some bytes, the end of the connection
// (closed by the peer or failed), or neither by the deadline. Bytes already waiting are not read
// once the deadline has passed: a peer that keeps sending cannot hold the caller.
struct Received {
    std::size_t count = 0;
    bool closed = false;
};
Received receive(NativeSocket socket, std::span<std::uint8_t> buffer, Clock::time_point deadline);

}  // namespace onewire::net
