// Times search passes of the runtime against one reader, e.g.
//   onewire_pass_time owserver 127.0.0.1:4304
//   onewire_pass_time owserver 10.255.255.1:4304     (a host that does not answer)
//   onewire_pass_time silent-owserver -               (a local server that never answers)
// and prints the fastest, median and slowest of 20 passes in milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "onewire/Runtime.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s virtual|owserver|w1 ARGUMENT\n", argv[0]);
        return 2;
    }
    std::string backend = argv[1];
    std::string argument = argv[2];
    int silent = -1;
    if (backend == "silent-owserver") {
        // Listens but never accepts: the kernel completes the connection, nothing answers.
        silent = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(silent, 64);
        ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
        backend = "owserver";
        argument = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    std::string settingsFile = "/tmp/onewire-pass-time.conf";
    std::ofstream(settingsFile) << "usb 1 = " << backend << " " << argument << "\n";

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
    std::remove(settingsFile.c_str());
    return 0;
}
