// Times search passes of the runtime against one reader, e.g.
//   onewire_pass_time owserver 127.0.0.1:4304
//   onewire_pass_time owserver 10.255.255.1:4304     (a host that does not answer)
//   onewire_pass_time silent-owserver -               (a local server that never answers)
//   onewire_pass_time flooding-owserver -             (a local server that streams keep-alives)
// and prints the fastest, median and slowest of 20 passes in milliseconds.
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: %s virtual|owserver|w1|silent-owserver|flooding-owserver ARGUMENT\n",
                     argv[0]);
        return 2;
    }
    std::string backend = argv[1];
    std::string argument = argv[2];
    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread flooder;
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
    std::string settingsFile =
        (std::filesystem::temp_directory_path() / "onewire-pass-time-XXXXXX").string();
    int settingsFd = ::mkstemp(settingsFile.data());
    if (settingsFd < 0) {
        std::perror("mkstemp");
        return 1;
    }
    std::string line = "usb 1 = " + backend + " " + argument + "\n";
    bool written =
        ::write(settingsFd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(settingsFd);
    if (!written) {
        std::perror(settingsFile.c_str());
        ::unlink(settingsFile.c_str());
        return 1;
    }

    onewire::RuntimeOptions options;
    options.environment = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "ONEWIRE_CONF") {
            return settingsFile;
        }
        return std::nullopt;
    };
    onewire::Runtime runtime(options);
    std::vector<std::uint8_t> stateBuffer(onewire::kStateBufferSize);
    std::vector<double> times;
    int devices = 0;
    for (int pass = 0; pass < 20; ++pass) {
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
    }
    std::sort(times.begin(), times.end());
    std::printf("%s %s: %d devices; pass min %.2f ms, median %.2f ms, max %.2f ms\n", argv[1],
                argument.c_str(), devices, times.front(), times[times.size() / 2], times.back());
    ::unlink(settingsFile.c_str());
    stop = true;
    if (flooder.joinable()) {
        flooder.join();
    }
    if (listener >= 0) {
        ::close(listener);
    }
    return 0;
}
