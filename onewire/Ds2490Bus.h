#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "onewire/Backend.h"
#include "onewire/DirectSearch.h"
#include "onewire/Ds2490.h"
#include "onewire/UsbAdapters.h"

namespace onewire {

// The adapter's own ID chip (a DS1420, family 81; some holders carry a 09 one) is the adapter's,
// not a token: never listed.
bool isAdapterIdChip(const Rom& rom);

// "1st", "2nd", "23rd".
std::string ordinalText(int n);

// The DS2490 adapters a runtime holds, by mapping. An adapter stays claimed from one pass to the
// next (claiming and setting it up again on every pass would cost time and let another program
// take it between passes); one left without a pass for kIdleClose is let go, as on program end.
class Ds2490Adapters {
public:
    struct Held {
        std::mutex mutex;  // one exchange at a time
        std::optional<usb::AdapterInfo> adapter;
        std::unique_ptr<ds2490::UsbTransport> transport;
        std::unique_ptr<ds2490::Chip> chip;
        bool initialized = false;
        std::string refusal;  // why the adapter cannot be used now; empty while it works
        usb::OpenFailure openFailure = usb::OpenFailure::None;
        std::string choice;  // which adapter was taken and why, for the reader check
        std::optional<Rom> idChip;
        std::optional<ds2490::BusState> lastBus;
        // The search, checked and confirmed (a changed bus is believed once a second search
        // agrees), and what the last round's flags were: the chip gives none with the last code.
        direct::DirectSearch search;
        std::uint64_t previousFlags = 0;
        std::string searchDetail;
        std::vector<std::string> survey;  // each DS2490 seen when one was chosen, and who had it
        ds2490::Clock::time_point lastUsed{};

        void letGo();
    };

    explicit Ds2490Adapters(std::shared_ptr<usb::UsbAccess> access,
                            std::chrono::milliseconds idleClose = kIdleClose);
    ~Ds2490Adapters();
    Ds2490Adapters(const Ds2490Adapters&) = delete;
    Ds2490Adapters& operator=(const Ds2490Adapters&) = delete;

    std::shared_ptr<Held> heldFor(const std::string& key);
    usb::UsbAccess& access() { return *access_; }
    // Whether another mapping of this runtime holds the adapter.
    bool heldByAnother(const usb::AdapterInfo& adapter, const Held& self);

    static constexpr std::chrono::seconds kIdleClose{10};

private:
    void closeIdle();

    std::shared_ptr<usb::UsbAccess> access_;
    std::chrono::milliseconds idleClose_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::map<std::string, std::shared_ptr<Held>> held_;
    std::thread reaper_;
};

// A DS2490 (DS9490R) on USB spoken to directly through libusb: no daemon, no kernel driver.
class Ds2490Bus : public Backend {
public:
    Ds2490Bus(PortMapping mapping, std::shared_ptr<Ds2490Adapters> adapters,
              std::chrono::milliseconds budget, Reporter& reporter, std::string portName);

    std::int16_t setup() override;
    Enumeration enumerate(Clock::time_point deadline) override;
    std::string describeAdapter() override;
    std::vector<std::string> adapterDetails() override;
    std::vector<RefusedDevice> refusedDevices() override;

    // The mapping's key in Ds2490Adapters ("1", "1:4", an ID chip's code; "+detach").
    static std::string keyOf(const PortMapping& mapping);

private:
    Clock::time_point passDeadline();
    bool ready(Ds2490Adapters::Held& held, Clock::time_point deadline);
    bool choose(Ds2490Adapters::Held& held, Clock::time_point deadline);
    bool take(Ds2490Adapters::Held& held, const usb::AdapterInfo& adapter,
              Clock::time_point deadline);
    void failed(Ds2490Adapters::Held& held);
    void refuse(Ds2490Adapters::Held& held, std::string why);

    PortMapping mapping_;
    std::shared_ptr<Ds2490Adapters> adapters_;
    std::chrono::milliseconds budget_;
    Reporter& reporter_;
    std::string source_;
    Clock::time_point burstDeadline_{};
    Clock::time_point lastEnd_{};
};

}  // namespace onewire
