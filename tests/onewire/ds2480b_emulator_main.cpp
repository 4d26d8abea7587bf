// The DS2480B emulator as a program of its own, for tests that drive another process through it
// (owserver, the Windows build under wine):
//   ds2480b-emulator [--link PATH] [--unpaced] ROM...
// prints its terminal's device (/dev/pts/N) on a line of its own and serves until standard input
// closes or a signal ends it. ROMs are 16 hex digits, family code first. Each line read from
// standard input replaces the bus's devices by the ROMs it holds (an empty line lifts them all).
// With --link, PATH is made a symbolic link to the device (wine's dosdevices/comN, say).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "onewire/RomCode.h"
#include "tests/onewire/Ds2480bEmulator.h"

namespace {
volatile sig_atomic_t stopped = 0;
void stop(int) {
    stopped = 1;
}
}  // namespace

std::optional<onewire::testing::RomBytes> romOf(const std::string& text) {
    auto bytes = text.size() == 16 ? onewire::parseHexBytes(text) : std::nullopt;
    if (!bytes) {
        return std::nullopt;
    }
    onewire::testing::RomBytes rom{};
    std::copy(bytes->begin(), bytes->end(), rom.begin());
    return rom;
}

int main(int argc, char** argv) {
    std::vector<onewire::testing::RomBytes> roms;
    std::string link;
    bool paced = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--link" && i + 1 < argc) {
            link = argv[++i];
            continue;
        }
        if (arg == "--unpaced") {
            paced = false;
            continue;
        }
        auto rom = romOf(arg);
        if (!rom) {
            std::fprintf(stderr, "usage: %s [--link PATH] [--unpaced] ROM...\n", argv[0]);
            return 2;
        }
        roms.push_back(*rom);
    }
    struct sigaction action {};
    action.sa_handler = stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    onewire::testing::Ds2480bEmulator emulator(paced);
    emulator.setDevices(roms);
    if (!link.empty()) {
        std::error_code error;
        std::filesystem::remove(link, error);
        std::filesystem::create_symlink(emulator.device(), link, error);
        if (error) {
            std::fprintf(stderr, "%s: %s\n", link.c_str(), error.message().c_str());
            return 1;
        }
    }
    std::printf("%s\n", emulator.device().c_str());
    std::fflush(stdout);
    std::string pending;
    while (!stopped) {
        // Standard input closing (the test that started us ended) ends the emulator too.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(0, &readable);
        timeval tick{0, 100000};
        if (select(1, &readable, nullptr, nullptr, &tick) <= 0) {
            continue;
        }
        char chunk[512];
        ssize_t got = ::read(0, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::istringstream words(pending.substr(0, end));
            pending.erase(0, end + 1);
            std::vector<onewire::testing::RomBytes> now;
            for (std::string word; words >> word;) {
                if (auto rom = romOf(word)) {
                    now.push_back(*rom);
                }
            }
            emulator.setDevices(now);
        }
    }
    if (!link.empty()) {
        std::error_code error;
        std::filesystem::remove(link, error);
    }
    return 0;
}
