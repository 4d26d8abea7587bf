// Times search passes of the runtime over a serial adapter: the emulated DS2480B on a
// pseudo-terminal, which paces its answers at the line's byte time and adds the bus's own time,
// at 9600 baud and at 115200 after detection. For each: the bytes one pass sends and receives,
// the time the bytes sent take on the wire at that rate (the limit is 1.2 times that), and the
// fastest, median and slowest of 50 passes after the first, which detects the chip. Then, with
// one token: the median of 20 passes that list it for the first time (put on the reader before
// the pass; a second search must agree before it is listed) beside the steady pass, and what
// the confirmation adds.
//   onewire_serial_pass_time [TOKENS]      (one token when not given)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "onewire/Runtime.h"
#include "onewire/SerialLine.h"
#include "tests/onewire/Ds2480bEmulator.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

int passAndCount(onewire::Runtime& runtime, std::vector<std::uint8_t>& stateBuffer) {
    std::int32_t session = runtime.startSession(1, onewire::kPortTypeUsb);
    int devices = 0;
    std::int16_t rom[8] = {};
    while (runtime.next(session, stateBuffer.data()) == 1) {
        runtime.rom(session, stateBuffer.data(), rom);
        ++devices;
    }
    runtime.endSession(session);
    return devices;
}

void measure(bool raiseSpeed, int tokens) {
    onewire::testing::Ds2480bEmulator emulator;
    std::vector<onewire::testing::RomBytes> bus;
    for (int i = 0; i < tokens; ++i) {
        bus.push_back(
            onewire::withCrc({0x01, static_cast<std::uint8_t>(0x40 + i), 0x2F, 0x0C, 0, 0, 0}));
    }
    emulator.setDevices(bus);
    char folder[] = "/tmp/onewire-serial-bench-XXXXXX";
    const std::filesystem::path settings =
        std::filesystem::path(::mkdtemp(folder)) / "onewire.conf";
    std::ofstream(settings) << "usb 1 = serial " << emulator.device() << "\n";
    onewire::RuntimeOptions options;
    options.environment = [&](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "ONEWIRE_CONF") {
            return settings.string();
        }
        return std::nullopt;
    };
    options.serialRaiseSpeed = raiseSpeed;
    options.diagnostics = [](const std::string& text) {
        std::fprintf(stderr, "%s\n", text.c_str());
    };
    std::vector<std::uint8_t> stateBuffer(onewire::kStateBufferSize);
    {
        onewire::Runtime runtime(options);
        auto start = Clock::now();
        int found = passAndCount(runtime, stateBuffer);
        const double first = milliseconds(Clock::now() - start);
        std::vector<double> times;
        std::size_t bytesBefore = emulator.bytesReceived();
        for (int pass = 0; pass < 50; ++pass) {
            start = Clock::now();
            found = passAndCount(runtime, stateBuffer);
            times.push_back(milliseconds(Clock::now() - start));
        }
        const double bytesPerPass =
            static_cast<double>(emulator.bytesReceived() - bytesBefore) / times.size();
        const int baud = emulator.chipSpeed();
        const double wire = bytesPerPass * milliseconds(onewire::serial::byteTime(baud));
        std::sort(times.begin(), times.end());
        std::printf(
            "%6d baud, %d token(s) found: %.0f bytes sent a pass, %.1f ms on the wire (limit "
            "1.2x: %.1f ms); pass min %.2f ms, median %.2f ms, max %.2f ms; first pass "
            "(detection) %.1f ms\n",
            baud, found, bytesPerPass, wire, 1.2 * wire, times.front(), times[times.size() / 2],
            times.back(), first);
        if (tokens == 1) {
            std::vector<double> firstListings;
            int listedFirstTime = 0;
            for (int round = 0; round < 20; ++round) {
                emulator.setDevices({});
                for (int pass = 0; pass < 3; ++pass) {
                    passAndCount(runtime, stateBuffer);
                }
                emulator.setDevices(bus);
                start = Clock::now();
                listedFirstTime += passAndCount(runtime, stateBuffer);
                firstListings.push_back(milliseconds(Clock::now() - start));
            }
            std::sort(firstListings.begin(), firstListings.end());
            const double steady = times[times.size() / 2];
            const double confirmed = firstListings[firstListings.size() / 2];
            std::printf(
                "%6d baud, a token put on: listed by its first pass %d of 20 times; that pass "
                "median %.2f ms, max %.2f ms, beside %.2f ms steady: the confirmation adds %.2f "
                "ms\n",
                baud, listedFirstTime, confirmed, firstListings.back(), steady, confirmed - steady);
        }
    }
    std::filesystem::remove_all(settings.parent_path());
}

}  // namespace

int main(int argc, char** argv) {
    const int tokens = argc > 1 ? std::atoi(argv[1]) : 1;
    if (tokens < 0 || tokens > 64) {
        std::fprintf(stderr, "usage: %s [TOKENS]\n", argv[0]);
        return 2;
    }
    measure(false, tokens);
    measure(true, tokens);
    return 0;
}
