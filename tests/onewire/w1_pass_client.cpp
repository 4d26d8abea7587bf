// A small client of the runtime at the driver's level, for the tests that run the kernel route
// against the real kernel: it binds libonewire.so.1 as the program does and makes each pass as
// the reader driver makes it (a session on the default port, TMSetup on the first, TMNext and
// TMRom to the end, the end of the session), printing one line a pass:
//   pass N MS setup=CODE ROM ROM ...
// It runs one pass per "pass" line on standard input (so that a test counts passes, not
// seconds) until "quit" or the end of input, or, given a count, that many passes and then
//   pass-ms fastest median slowest
// Usage: w1_pass_client LIBRARY [PASSES]
#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Library {
    std::int16_t (*readDefaultPort)(std::int16_t*, std::int16_t*);
    std::int32_t (*startSession)(std::int16_t, std::int16_t, void*);
    std::int16_t (*setup)(std::int32_t);
    std::int16_t (*endSession)(std::int32_t);
    std::int16_t (*next)(std::int32_t, void*);
    std::int16_t (*rom)(std::int32_t, void*, std::int16_t*);
};

template <typename Function>
bool bind(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(handle, name));
    if (function == nullptr) {
        std::fprintf(stderr, "w1_pass_client: %s lacks %s\n", "the library", name);
    }
    return function != nullptr;
}

class Driver {
public:
    explicit Driver(const Library& library) : library_(library) {
        std::int16_t number = 1;
        std::int16_t type = 6;  // USB
        library_.readDefaultPort(&number, &type);
        port_ = number;
        type_ = type;
    }

    // One pass; the devices it handed out, and the time it took in milliseconds.
    double pass(std::string& line) {
        const auto started = std::chrono::steady_clock::now();
        std::int32_t session = library_.startSession(port_, type_, nullptr);
        std::vector<std::string> devices;
        if (session > 0) {
            if (!setupDone_) {
                setupCode_ = library_.setup(session);
                setupDone_ = true;
            }
            std::array<std::int16_t, 8> rom{};
            while (library_.next(session, state_.data()) == 1 && devices.size() < 1000) {
                rom.fill(0);
                if (library_.rom(session, state_.data(), rom.data()) != 1) {
                    continue;
                }
                char text[17];
                for (std::size_t i = 0; i < 8; ++i) {
                    std::snprintf(text + 2 * i, 3, "%02X", rom[i] & 0xFF);
                }
                devices.emplace_back(text);
            }
            library_.endSession(session);
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
                .count();
        char head[96];
        std::snprintf(head, sizeof head, "pass %d %.2f setup=%d", ++passes_, ms, setupCode_);
        line = head;
        for (const std::string& device : devices) {
            line += " " + device;
        }
        return ms;
    }

private:
    const Library& library_;
    std::int16_t port_ = 1;
    std::int16_t type_ = 6;
    bool setupDone_ = false;
    int setupCode_ = 0;
    int passes_ = 0;
    std::array<std::uint8_t, 15361> state_{};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: w1_pass_client LIBRARY [PASSES]\n");
        return 2;
    }
    void* handle = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "w1_pass_client: %s\n", ::dlerror());
        return 1;
    }
    Library library{};
    if (!bind(handle, "TMReadDefaultPort", library.readDefaultPort) ||
        !bind(handle, "TMExtendedStartSession", library.startSession) ||
        !bind(handle, "TMSetup", library.setup) ||
        !bind(handle, "TMEndSession", library.endSession) ||
        !bind(handle, "TMNext", library.next) || !bind(handle, "TMRom", library.rom)) {
        return 1;
    }
    Driver driver(library);
    std::string line;
    if (argc == 3) {
        const int count = std::max(1, std::atoi(argv[2]));
        std::vector<double> times;
        for (int i = 0; i < count; ++i) {
            times.push_back(driver.pass(line));
            std::cout << line << std::endl;
        }
        std::sort(times.begin(), times.end());
        std::printf("pass-ms %.2f %.2f %.2f\n", times.front(), times[times.size() / 2],
                    times.back());
        return 0;
    }
    std::string command;
    while (std::getline(std::cin, command) && command != "quit") {
        if (command == "pass") {
            driver.pass(line);
            std::cout << line << std::endl;
        }
    }
    return 0;
}
