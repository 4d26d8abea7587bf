// Cost of one search pass (ScanOnce) over an in-memory library with 1 and 8 tokens on the bus.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Services.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"

namespace {

using namespace quorna;

// A USB adapter set in the library's settings with a fixed set of tokens on its bus. The
// enumeration starts afresh after it has run out, as the real library's does.
class InMemoryLibrary : public tmexapi::TMexApi {
public:
    explicit InMemoryLibrary(int tokens) {
        for (int n = 0; n < tokens; ++n) {
            roms.push_back({0x01, static_cast<std::uint8_t>(0x10 + n), 0x2F, 0x0C, 0x00, 0x00, 0x00,
                            static_cast<std::uint8_t>(0xB0 + n)});
        }
    }

    std::int16_t TMReadDefaultPort(std::int16_t* portNum, std::int16_t* portType) override {
        *portNum = 1;
        *portType = tmexapi::kPortTypeUsb;
        return 1;
    }
    std::int32_t TMExtendedStartSession(std::int16_t, std::int16_t, void*) override { return 1; }
    std::int16_t TMSetup(std::int32_t) override { return 1; }
    std::int16_t TMEndSession(std::int32_t) override { return 1; }
    std::int16_t TMNext(std::int32_t, void*) override {
        if (next < roms.size()) {
            current = next++;
            return 1;
        }
        next = 0;
        return 0;
    }
    std::int16_t TMRom(std::int32_t, void*, std::int16_t* rom) override {
        for (std::size_t i = 0; i < 8; ++i) {
            rom[i] = roms[current][i];
        }
        return 1;
    }
    std::int16_t Get_Version(char* buffer) override {
        std::strcpy(buffer, "bench 1.0");
        return 1;
    }

private:
    std::vector<std::array<std::uint8_t, 8>> roms;
    std::size_t next = 0;
    std::size_t current = 0;
};

class NoEvents : public platform::EventPump {
public:
    void processPendingEvents() override {}
};

class NoSleep : public platform::Sleeper {
public:
    void sleep(std::int32_t) override {}
};

void BM_ScanOnce(benchmark::State& state) {
    NoEvents events;
    NoSleep sleeper;
    TMexDrive drive(std::make_shared<InMemoryLibrary>(static_cast<int>(state.range(0))), events,
                    sleeper);
    std::int64_t notices = 0;
    drive.NewROMIDs.bind([&] { ++notices; });
    for (auto _ : state) {
        drive.ScanOnce();
    }
    if (drive.ROMIDs()->Count() != state.range(0)) {
        state.SkipWithError("the pass did not list every token");
    }
    benchmark::DoNotOptimize(notices);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScanOnce)->Arg(1)->Arg(8);

}  // namespace
