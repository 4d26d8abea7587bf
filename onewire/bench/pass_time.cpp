// Times search passes of the runtime against one reader, e.g.
//   onewire_pass_time owserver 127.0.0.1:4304
//   onewire_pass_time owserver 10.255.255.1:4304     (a host that does not answer)
//   onewire_pass_time silent-owserver -               (a local server that never answers)
//   onewire_pass_time flooding-owserver -             (a local server that streams keep-alives)
// and hostile local servers and files:
//   onewire_pass_time slow-large-owserver -    (answers after 180 ms with a 256 KiB listing)
//   onewire_pass_time many-buses-owserver -    (32 buses, each listing 256 KiB at once)
//   onewire_pass_time large-slow-owserver -    (a 256 KiB listing trickled over 190 ms)
//   onewire_pass_time junk-settings -          (a 1 MiB settings file of distinct bad lines)
//   onewire_pass_time junk-reader -            (a 1 MiB reader file of distinct bad lines)
// and prints the fastest, median and slowest of 20 passes in milliseconds, and the bytes of
// diagnostics the slowest pass wrote.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "onewire/Runtime.h"

namespace {

// A loopback socket listening on a free port.
int listenOnLoopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 64);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

// Answers every connection with keep-alive headers (payload length -1) as fast as it can, until
// the client hangs up: a reply that never comes, with bytes always waiting.
void floodKeepAlives(int listener, const std::atomic<bool>& stop) {
    std::vector<std::uint8_t> pings;
    for (int i = 0; i < 2048; ++i) {
        const std::uint8_t ping[24] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
        pings.insert(pings.end(), ping, ping + sizeof ping);
    }
    while (!stop) {
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) {
            continue;
        }
        int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        while (connection >= 0 && !stop &&
               ::send(connection, pings.data(), pings.size(), MSG_NOSIGNAL) > 0) {
        }
        ::close(connection);
    }
}

// A listing of distinct, well-formed device names filling owserver's largest reply.
std::string largeListing(int bus) {
    std::string listing;
    char entry[64];
    for (unsigned i = 0;; ++i) {
        int length = std::snprintf(entry, sizeof entry, "/uncached/bus.%d/01.%06X%06X,", bus,
                                   static_cast<unsigned>(bus), i);
        if (listing.size() + static_cast<std::size_t>(length) + 1 > 256 * 1024) {
            break;
        }
        listing.append(entry, static_cast<std::size_t>(length));
    }
    listing.pop_back();
    return listing;
}

std::vector<std::uint8_t> reply(const std::string& payload, std::int32_t value) {
    std::vector<std::uint8_t> bytes;
    const auto length = static_cast<std::int32_t>(payload.size() + 1);
    for (std::int32_t word : {0, length, value, 0x100, length, 0}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(word) >> shift));
        }
    }
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.push_back(0);
    return bytes;
}

bool sendAll(int connection, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t sent = ::send(connection, bytes, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// A hostile owserver: `buses` buses of a real adapter, each listing 256 KiB of devices after
// `delay`, sent in `chunks` pieces spread over `spread`.
struct HostileServer {
    int buses = 1;
    std::chrono::milliseconds delay{0};
    int chunks = 1;
    std::chrono::milliseconds spread{0};
};

// The listings are made before the server starts, so that making them does not slow the passes.
void serveHostile(int listener, HostileServer server, std::vector<std::string> listings,
                  const std::atomic<bool>& stop) {
    while (!stop) {
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) {
            continue;
        }
        int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        std::uint8_t request[512];
        pollfd readable{connection, POLLIN, 0};
        ssize_t count = ::poll(&readable, 1, 1000) > 0 ? ::recv(connection, request, 512, 0) : 0;
        std::string path;
        for (ssize_t i = 24; i < count && request[i] != 0; ++i) {
            path += static_cast<char>(request[i]);
        }
        int bus = -1;
        std::sscanf(path.c_str(), "/uncached/bus.%d", &bus);
        std::vector<std::uint8_t> answer;
        if (bus < 0 || bus >= server.buses) {
            answer = reply("", -1);
        } else if (path.ends_with("/interface/settings/name")) {
            answer = reply("DS9490", 6);
        } else {
            std::this_thread::sleep_for(server.delay);
            answer = reply(listings[static_cast<std::size_t>(bus)], 0);
        }
        const std::size_t piece = (answer.size() + server.chunks - 1) / server.chunks;
        for (std::size_t at = 0; at < answer.size() && !stop; at += piece) {
            if (at > 0) {
                std::this_thread::sleep_for(server.spread / server.chunks);
            }
            if (!sendAll(connection, answer.data() + at, std::min(piece, answer.size() - at))) {
                break;
            }
        }
        ::shutdown(connection, SHUT_WR);
        pollfd drained{connection, POLLIN, 0};
        ::poll(&drained, 1, 100);  // let the client read before the close
        ::close(connection);
    }
}

// Nearly 1 MiB (the largest file read, less room for a line of settings) of distinct lines that
// are neither settings nor tokens.
std::string junkLines() {
    std::string text;
    char line[64];
    for (unsigned i = 0;; ++i) {
        int length = std::snprintf(line, sizeof line, "junk line %u that means nothing\n", i);
        if (text.size() + static_cast<std::size_t>(length) > 1024 * 1024 - 4096) {
            break;
        }
        text.append(line, static_cast<std::size_t>(length));
    }
    return text;
}

bool writePrivateFile(std::string& name, const std::string& text) {
    name = (std::filesystem::temp_directory_path() / "onewire-pass-time-XXXXXX").string();
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        std::perror("mkstemp");
        return false;
    }
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!written) {
        std::perror(name.c_str());
        ::unlink(name.c_str());
    }
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(
            stderr,
            "usage: %s virtual|owserver|w1|silent-owserver|flooding-owserver|slow-large-owserver|"
            "many-buses-owserver|large-slow-owserver|junk-settings|junk-reader ARGUMENT\n",
            argv[0]);
        return 2;
    }
    std::string backend = argv[1];
    std::string argument = argv[2];
    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread flooder;
    std::optional<HostileServer> hostile;
    if (backend == "slow-large-owserver") {
        hostile = HostileServer{1, std::chrono::milliseconds(180), 1, {}};
    } else if (backend == "many-buses-owserver") {
        hostile = HostileServer{32, {}, 1, {}};
    } else if (backend == "large-slow-owserver") {
        hostile = HostileServer{1, {}, 64, std::chrono::milliseconds(190)};
    }
    if (hostile) {
        int port = 0;
        listener = listenOnLoopback(&port);
        std::vector<std::string> listings;
        for (int bus = 0; bus < hostile->buses; ++bus) {
            listings.push_back(largeListing(bus));
        }
        flooder =
            std::thread(serveHostile, listener, *hostile, std::move(listings), std::cref(stop));
        backend = "owserver";
        argument = "127.0.0.1:" + std::to_string(port);
    }
    std::string junk;
    std::string readerFile;
    if (backend == "junk-settings" || backend == "junk-reader") {
        junk = junkLines();
        if (!writePrivateFile(readerFile,
                              "021CB801000000A2\n" + (backend == "junk-reader" ? junk : ""))) {
            return 1;
        }
        if (backend == "junk-reader") {
            junk.clear();
        }
        backend = "virtual";
        argument = readerFile;
    }
    if (backend == "silent-owserver" || backend == "flooding-owserver") {
        // The silent one listens but never accepts: the kernel completes the connection,
        // nothing answers.
        int port = 0;
        listener = listenOnLoopback(&port);
        if (backend == "flooding-owserver") {
            flooder = std::thread(floodKeepAlives, listener, std::cref(stop));
        }
        backend = "owserver";
        argument = "127.0.0.1:" + std::to_string(port);
    }
    // A private file: a fixed name in a shared folder could be planted in advance.
    std::string settingsFile;
    if (!writePrivateFile(settingsFile, "usb 1 = " + backend + " " + argument + "\n" + junk)) {
        return 1;
    }

    onewire::RuntimeOptions options;
    options.environment = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "ONEWIRE_CONF") {
            return settingsFile;
        }
        return std::nullopt;
    };
    // Diagnostics are counted, not shown: a flood would swamp the figures.
    std::size_t diagnosticBytes = 0;
    options.diagnostics = [&](const std::string& message) {
        diagnosticBytes += message.size() + 10;  // "onewire: " and the newline
    };
    onewire::Runtime runtime(options);
    std::vector<std::uint8_t> stateBuffer(onewire::kStateBufferSize);
    std::vector<double> times;
    std::size_t mostDiagnostics = 0;
    int devices = 0;
    for (int pass = 0; pass < 20; ++pass) {
        diagnosticBytes = 0;
        auto start = std::chrono::steady_clock::now();
        std::int32_t session = runtime.startSession(1, onewire::kPortTypeUsb);
        devices = 0;
        std::int16_t rom[8] = {};
        while (runtime.next(session, stateBuffer.data()) == 1) {
            runtime.rom(session, stateBuffer.data(), rom);
            ++devices;
        }
        runtime.endSession(session);
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        mostDiagnostics = std::max(mostDiagnostics, diagnosticBytes);
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "%s %s: %d devices; pass min %.2f ms, median %.2f ms, max %.2f ms; diagnostics at most "
        "%zu bytes per pass\n",
        argv[1], argument.c_str(), devices, times.front(), times[times.size() / 2], times.back(),
        mostDiagnostics);
    ::unlink(settingsFile.c_str());
    if (!readerFile.empty()) {
        ::unlink(readerFile.c_str());
    }
    stop = true;
    if (flooder.joinable()) {
        flooder.join();
    }
    if (listener >= 0) {
        ::close(listener);
    }
    return 0;
}
