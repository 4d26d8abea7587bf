#pragma once

// The USB side of the DS2490 route faked in-process: the project's chip model behind the
// runtime's transport interface, and a set of plugged-in adapters with the system's refusals
// (no access, the kernel's driver bound, another program holding one).
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "onewire/UsbAdapters.h"
#include "tests/usb/Ds2490Model.h"

namespace onewire::testing {

// What a misbehaving device does to its answers, on top of the model's own faults.
enum class Mischief {
    None,
    GarbageStatus,  // random status packets of random length
    GarbageData,    // random bytes for every EP3 read
    ShortStatus,    // status packets cut below 16 bytes
    SlowAnswers,    // every transfer waits its whole timeout, then times out
};

struct FakeAdapter {
    usb::AdapterInfo info;
    std::shared_ptr<Ds2490Model> model;
    bool plugged = true;
    bool noAccess = false;
    std::string heldBy;  // another program's name and pid ("owserver, pid 4242")
    // Changed by the runtime's reaper thread too (a transport let go).
    std::atomic<bool> claimed = false;
    std::atomic<int> detaches = 0;
    std::atomic<int> reattaches = 0;
    // Sleep for the bus time each transfer cost in the model, as the real chip takes it.
    bool paced = false;
    Mischief mischief = Mischief::None;
    std::mt19937 random{7};
};

class FakeUsbAccess : public usb::UsbAccess {
public:
    // A new adapter on bus 1 at the next address, with the model's own ID chip.
    std::shared_ptr<FakeAdapter> plug(std::shared_ptr<Ds2490Model> model = nullptr);
    // Gone from the bus (and every transfer to it fails as a real unplug does).
    void unplug(const std::shared_ptr<FakeAdapter>& adapter);
    // Back, at a new address, as a fresh chip with the same bus.
    void replug(const std::shared_ptr<FakeAdapter>& adapter);

    std::string unavailable() const override { return {}; }
    std::vector<usb::AdapterInfo> adapters() override;
    usb::Opened open(const usb::AdapterInfo& adapter, bool detachKernel) override;
    void rescan() override { ++rescans_; }

    int rescans() const { return rescans_; }
    int opens() const { return opens_; }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeAdapter>> adapters_;
    int nextAddress_ = 2;
    int rescans_ = 0;
    int opens_ = 0;
};

}  // namespace onewire::testing
