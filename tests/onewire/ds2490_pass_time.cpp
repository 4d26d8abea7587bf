// Pass times of the DS2490 backend against the chip model, paced: each transfer takes the bus
// time the model counts for it, as the real chip spends it on a standard-speed bus. Prints, for
// one and two tokens, the median pass with an unchanged bus (one search) and a first listing (two
// searches that agree), the bus time of the same pass, their ratio, and the USB transfers a pass
// takes. A benchmark, not a test: the transport adds no USB latency of its own (a real adapter's
// 1 ms status interval comes on top; see docs/readers.md).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "onewire/Ds2490Bus.h"
#include "tests/onewire/Ds2490FakeUsb.h"

using namespace onewire;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::duration<double, std::micro>;

namespace {

struct Sample {
    double passMs = 0;
    double busMs = 0;
    double transfers = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Sample measure(int tokens, bool firstListing, int passes) {
    std::vector<double> pass, bus, transfers;
    for (int n = 0; n < passes; ++n) {
        auto access = std::make_shared<testing::FakeUsbAccess>();
        auto adapter = access->plug();
        std::vector<Rom> roms;
        for (int t = 0; t < tokens; ++t) {
            roms.push_back(
                withCrc({0x01, static_cast<std::uint8_t>(0x4A + t), 0x2F, 0x0C, 0, 0, 0}));
        }
        adapter->model->setTokens(roms);
        Reporter quiet([](const std::string&) {});
        auto adapters = std::make_shared<Ds2490Adapters>(access);
        PortMapping mapping;
        mapping.kind = BackendKind::Ds2490;
        mapping.usbOrdinal = 1;
        Ds2490Bus backend(mapping, adapters, 200ms, quiet, "usb 1");
        backend.setup();
        if (!firstListing) {
            backend.enumerate(Clock::now() + 200ms);  // the bus known: later passes search once
            std::this_thread::sleep_for(250ms);       // a pass of its own, as at 350 ms scans
        }
        adapter->paced = true;
        const auto busBefore = adapter->model->busTime();
        const auto transfersBefore = adapter->model->transfers();
        const auto started = Clock::now();
        auto listed = backend.enumerate(Clock::now() + 200ms);
        const auto took = Clock::now() - started;
        if (!listed.complete || listed.devices.size() != roms.size()) {
            std::fprintf(stderr, "pass %d: %zu of %d tokens listed\n", n, listed.devices.size(),
                         tokens);
        }
        pass.push_back(Micros(took).count() / 1000);
        bus.push_back(Micros(adapter->model->busTime() - busBefore).count() / 1000);
        transfers.push_back(static_cast<double>(adapter->model->transfers() - transfersBefore));
    }
    return {median(pass), median(bus), median(transfers)};
}

}  // namespace

int main(int argc, char** argv) {
    const int passes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::printf("%-46s %9s %9s %6s %9s\n", "DS2490 pass (paced chip model)", "pass ms", "bus ms",
                "ratio", "transfers");
    for (int tokens : {1, 2}) {
        for (bool first : {false, true}) {
            Sample s = measure(tokens, first, passes);
            char name[64];
            std::snprintf(name, sizeof name, "%d token%s, %s", tokens, tokens == 1 ? "" : "s",
                          first ? "first listing (two searches)" : "bus unchanged (one search)");
            std::printf("%-46s %9.2f %9.2f %6.2f %9.0f\n", name, s.passMs, s.busMs,
                        s.passMs / s.busMs, s.transfers);
        }
    }
    return 0;
}
