#include "onewire/Ds2490Bus.h"

#include <algorithm>

namespace onewire {

using namespace std::chrono_literals;

namespace {

constexpr auto kPassMargin = 3ms;

}  // namespace

std::string ordinalText(int n) {
    const char* suffix = n % 10 == 1 && n % 100 != 11   ? "st"
                         : n % 10 == 2 && n % 100 != 12 ? "nd"
                         : n % 10 == 3 && n % 100 != 13 ? "rd"
                                                        : "th";
    return std::to_string(n) + suffix;
}

bool isAdapterIdChip(const Rom& rom) {
    return rom[0] == 0x81 || rom[0] == 0x09;
}

namespace {

constexpr auto kRoundEstimate = 20ms;

// The chip's SEARCH_ACCESS rounds as the direct search asks for them.
class ChipRounds : public direct::SearchRounds {
public:
    explicit ChipRounds(Ds2490Adapters::Held& held) : held_(held) {}

    std::optional<direct::RoundAnswer> searchRound(const Rom& path, int lastDiscrepancy,
                                                   Clock::time_point deadline) override {
        ds2490::BusState bus = ds2490::BusState::Presence;
        auto round = held_.chip->searchRound(path, lastDiscrepancy, &bus, deadline);
        if (!round) {
            return std::nullopt;
        }
        held_.lastBus = bus;
        direct::RoundAnswer answer;
        answer.bus = bus == ds2490::BusState::Shorted      ? direct::RoundBus::Shorted
                     : bus == ds2490::BusState::NoPresence ? direct::RoundBus::NoPresence
                                                           : direct::RoundBus::Presence;
        answer.taken = round->rom;
        if (lastDiscrepancy < 0) {
            held_.previousFlags = 0;
        }
        if (round->last) {
            // The chip gives no flags with the last code: it found no branch left, so it took 1
            // at every discrepancy. Below the branch point they are the last round's (the same
            // path); at it the search went back to one; above it none (the path asked for 0).
            // A branch point past bit 63 (a path that came back wrong) keeps every flag below
            // and adds none; the shared checks then judge the round.
            const bool inRom = lastDiscrepancy >= 0 && lastDiscrepancy < 64;
            const std::uint64_t below = lastDiscrepancy <= 0 ? 0
                                        : inRom
                                            ? held_.previousFlags & ((1ull << lastDiscrepancy) - 1)
                                            : held_.previousFlags;
            answer.discrepancies = below | (inRom ? 1ull << lastDiscrepancy : 0);
        } else {
            for (int byte = 0; byte < 8; ++byte) {
                answer.discrepancies |= std::uint64_t{round->discrepancies[byte]} << (8 * byte);
            }
        }
        held_.previousFlags = answer.discrepancies;
        return answer;
    }

    // A reset and 64 search triplets at standard speed (about 14 ms), and the transfers around
    // them at a 1 ms status interval.
    Clock::duration roundEstimate() const override { return kRoundEstimate; }

private:
    Ds2490Adapters::Held& held_;
};

}  // namespace

void Ds2490Adapters::Held::letGo() {
    chip.reset();
    transport.reset();  // releases the interface; a detached kernel driver gets it back
    adapter.reset();
    initialized = false;
    search.forget();
}

Ds2490Adapters::Ds2490Adapters(std::shared_ptr<usb::UsbAccess> access,
                               std::chrono::milliseconds idleClose)
    : access_(std::move(access)), idleClose_(idleClose) {
    if (!access_->unavailable().empty()) {
        // No adapters to hold (Windows): no thread either, which a DLL could not join while it
        // is unloaded.
        return;
    }
    reaper_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        const auto interval = std::max<std::chrono::milliseconds>(idleClose_ / 4, 10ms);
        while (!wake_.wait_for(lock, interval, [this] { return stopping_; })) {
            closeIdle();
        }
    });
}

Ds2490Adapters::~Ds2490Adapters() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (reaper_.joinable()) {
        reaper_.join();
    }
    for (auto& [key, held] : held_) {
        std::lock_guard lock(held->mutex);
        held->letGo();
    }
}

// With mutex_ held.
void Ds2490Adapters::closeIdle() {
    const auto now = ds2490::Clock::now();
    for (auto& [key, held] : held_) {
        std::unique_lock heldLock(held->mutex, std::try_to_lock);
        if (heldLock && held->transport && now - held->lastUsed >= idleClose_) {
            held->letGo();
        }
    }
}

std::shared_ptr<Ds2490Adapters::Held> Ds2490Adapters::heldFor(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto& held = held_[key];
    if (!held) {
        held = std::make_shared<Held>();
    }
    return held;
}

bool Ds2490Adapters::heldByAnother(const usb::AdapterInfo& adapter, const Held& self) {
    std::lock_guard lock(mutex_);
    for (auto& [key, held] : held_) {
        if (held.get() == &self) {
            continue;
        }
        // One in a pass right now cannot be asked; if it holds this adapter, claiming it fails
        // as busy and says "this program".
        std::unique_lock heldLock(held->mutex, std::try_to_lock);
        if (heldLock && held->transport && held->adapter && held->adapter->bus == adapter.bus &&
            held->adapter->address == adapter.address) {
            return true;
        }
    }
    return false;
}

Ds2490Bus::Ds2490Bus(PortMapping mapping, std::shared_ptr<Ds2490Adapters> adapters,
                     std::chrono::milliseconds budget, Reporter& reporter, std::string portName)
    : mapping_(std::move(mapping)),
      adapters_(adapters ? std::move(adapters)
                         : std::make_shared<Ds2490Adapters>(usb::systemUsbAccess())),
      budget_(budget),
      reporter_(reporter),
      source_("DS2490 of port " + (portName.empty() ? std::string("?") : portName)) {}

std::string Ds2490Bus::keyOf(const PortMapping& mapping) {
    std::string key = mapping.usbOrdinal > 0 ? "#" + std::to_string(mapping.usbOrdinal)
                      : mapping.usbBus > 0   ? std::to_string(mapping.usbBus) + ":" +
                                                 std::to_string(mapping.usbAddress)
                                           : mapping.idChip;
    return mapping.detachKernel ? key + "+detach" : key;
}

Clock::time_point Ds2490Bus::passDeadline() {
    const auto now = Clock::now();
    if (now - lastEnd_ >= budget_) {
        // The transfers end a little before the pass does: the runtime's own work comes after.
        burstDeadline_ = now + budget_ - kPassMargin;
    }
    return burstDeadline_;
}

void Ds2490Bus::refuse(Ds2490Adapters::Held& held, std::string why) {
    held.refusal = std::move(why);
    reporter_.reportProblem(source_, held.refusal);
}

void Ds2490Bus::failed(Ds2490Adapters::Held& held) {
    const bool gone = held.chip && held.chip->gone();
    const std::string where = held.adapter ? usb::describe(*held.adapter) : "the adapter";
    refuse(held, gone ? where + " is gone (unplugged); it is looked for again on the next pass"
                      : where + " did not answer as it should (" +
                            (held.chip ? held.chip->failure() : std::string("?")) +
                            "); it is set up again on the next pass");
    if (gone || !held.initialized) {
        held.letGo();  // a chip that fails its own set-up is opened afresh
        adapters_->access().rescan();
    } else {
        held.initialized = false;  // a reset of the chip first, on the next pass
    }
}

bool Ds2490Bus::take(Ds2490Adapters::Held& held, const usb::AdapterInfo& adapter,
                     Clock::time_point deadline) {
    held.adapter = adapter;
    held.chip = std::make_unique<ds2490::Chip>(*held.transport);
    held.initialized = held.chip->initialize(deadline);
    if (!held.initialized) {
        failed(held);
        return false;
    }
    return true;
}

bool Ds2490Bus::choose(Ds2490Adapters::Held& held, Clock::time_point deadline) {
    auto& access = adapters_->access();
    if (std::string why = access.unavailable(); !why.empty()) {
        refuse(held, why);
        return false;
    }
    const auto adapters = access.adapters();
    std::vector<std::string>& survey = held.survey;
    survey.clear();
    int count = 0;
    // Why the first adapter passed over was not taken, for the refusal when none is.
    std::string passedOver;
    for (const usb::AdapterInfo& adapter : adapters) {
        const std::string where = "bus " + std::to_string(adapter.bus) + " address " +
                                  std::to_string(adapter.address) + " (" + adapter.node + ")";
        if (mapping_.usbBus > 0 &&
            (adapter.bus != mapping_.usbBus || adapter.address != mapping_.usbAddress)) {
            continue;
        }
        // "usbfs" is not a kernel driver but another program's claim through libusb: the open
        // below finds it busy and names the holder.
        if (!adapter.kernelDriver.empty() && adapter.kernelDriver != "usbfs" &&
            !mapping_.detachKernel) {
            survey.push_back(where + ": driven by the kernel (" + adapter.kernelDriver + ")");
            if (mapping_.usbBus > 0) {
                held.choice = where;
                refuse(held, usb::kernelDrivenMessage(adapter));
                return false;
            }
            if (passedOver.empty()) {
                passedOver = usb::kernelDrivenMessage(adapter);
            }
            continue;
        }
        if (adapters_->heldByAnother(adapter, held)) {
            survey.push_back(where + ": held by this runtime for another port");
            ++count;
            continue;
        }
        usb::Opened opened = access.open(adapter, mapping_.detachKernel);
        if (!opened.transport) {
            held.openFailure = opened.failure;
            if (opened.failure == usb::OpenFailure::Busy ||
                opened.failure == usb::OpenFailure::KernelDriven) {
                survey.push_back(
                    where + ": held by " +
                    (opened.holder.empty() ? std::string("another program") : opened.holder));
                if (mapping_.usbBus == 0) {
                    if (passedOver.empty()) {
                        passedOver = opened.message;
                    }
                    continue;  // the Nth that no other program holds
                }
            } else {
                survey.push_back(where + ": " + opened.message);
                ++count;
            }
            if (mapping_.usbBus > 0 || count == mapping_.usbOrdinal) {
                held.choice = where;
                refuse(held, opened.message);
                return false;
            }
            continue;
        }
        ++count;
        if (mapping_.usbOrdinal > 0 && count != mapping_.usbOrdinal) {
            survey.push_back(where + ": free");
            continue;  // `opened` lets it go again
        }
        held.transport = std::move(opened.transport);
        if (!take(held, adapter, deadline)) {
            return false;
        }
        if (!mapping_.idChip.empty()) {
            ChipRounds rounds(held);
            auto searched = held.search.run(rounds, deadline);
            const auto& devices = searched.enumeration.devices;
            auto found = std::find_if(devices.begin(), devices.end(), [this](const Rom& rom) {
                return hexText(rom) == mapping_.idChip;
            });
            if (!searched.enumeration.complete || found == devices.end()) {
                survey.push_back(where + ": free, " +
                                 (searched.enumeration.complete ? "another ID chip"
                                                                : "its bus not read in time"));
                held.letGo();
                continue;
            }
            held.idChip = *found;
        }
        survey.push_back(where + ": this runtime");
        held.choice =
            where +
            (mapping_.byDefault
                 ? ": no settings line maps this port and the kernel drives no "
                   "adapter, so USB port " +
                       std::to_string(mapping_.usbOrdinal) + " is the " +
                       ordinalText(mapping_.usbOrdinal) + " DS2490 that no other program holds"
             : mapping_.usbOrdinal > 0 ? ": the " + ordinalText(mapping_.usbOrdinal) +
                                             " DS2490 that no other program holds"
             : mapping_.usbBus > 0 ? ": named by its bus and address"
                                   : ": named by its ID chip");
        held.refusal.clear();
        held.openFailure = usb::OpenFailure::None;
        reporter_.reportRecovery(source_, usb::describe(adapter) + " is this runtime's");
        return true;
    }
    access.rescan();  // an adapter plugged in since is seen on the next pass
    held.choice.clear();
    std::string wanted =
        mapping_.usbBus > 0 ? "no DS2490 on USB bus " + std::to_string(mapping_.usbBus) +
                                  " address " + std::to_string(mapping_.usbAddress)
        : mapping_.usbOrdinal > 0 ? "no " + ordinalText(mapping_.usbOrdinal) +
                                        " DS2490 on USB that no other program holds"
                                  : "no DS2490 on USB whose ID chip is " + mapping_.idChip;
    refuse(held, wanted + " (" + std::to_string(adapters.size()) + " DS2490 seen)" +
                     (passedOver.empty() ? "" : ": " + passedOver));
    return false;
}

bool Ds2490Bus::ready(Ds2490Adapters::Held& held, Clock::time_point deadline) {
    held.lastUsed = Clock::now();
    if (held.transport && held.chip) {
        if (held.initialized) {
            return true;
        }
        held.initialized = held.chip->initialize(deadline);
        if (held.initialized) {
            return true;
        }
        failed(held);
        return false;
    }
    held.letGo();
    return choose(held, deadline);
}

std::int16_t Ds2490Bus::setup() {
    const auto deadline = passDeadline();
    auto held = adapters_->heldFor(keyOf(mapping_));
    std::lock_guard lock(held->mutex);
    std::int16_t code = kSetupNotFound;
    if (ready(*held, deadline)) {
        if (auto bus = held->chip->reset(deadline)) {
            held->lastBus = bus;
            code = *bus == ds2490::BusState::Shorted ? kSetupShorted : kSetupReady;
        } else {
            failed(*held);
        }
    }
    held->lastUsed = Clock::now();
    lastEnd_ = Clock::now();
    return code;
}

Enumeration Ds2490Bus::enumerate(Clock::time_point runtimeDeadline) {
    const auto deadline = std::min(passDeadline(), runtimeDeadline - kPassMargin);
    auto held = adapters_->heldFor(keyOf(mapping_));
    std::lock_guard lock(held->mutex);
    Enumeration result;
    if (ready(*held, deadline)) {
        ChipRounds rounds(*held);
        auto searched = held->search.run(rounds, deadline);
        result = std::move(searched.enumeration);
        if (!searched.detail.empty()) {
            held->searchDetail = searched.detail;
        }
        using direct::SearchEnd;
        switch (searched.end) {
            case SearchEnd::AdapterFailed:
                failed(*held);
                break;
            case SearchEnd::Inconsistent:
            case SearchEnd::Unconfirmed:
            case SearchEnd::TooManyRounds:
                // Fixed words, so that garbage that changes on every pass is said once.
                reporter_.reportProblem(source_, direct::describe(searched.end));
                break;
            case SearchEnd::Listed:
                if (held->lastBus == ds2490::BusState::Shorted) {
                    reporter_.reportProblem(source_,
                                            "the 1-Wire bus is shorted (a damaged token or "
                                            "the reader's contacts): nothing can be read");
                } else {
                    reporter_.reportRecovery(source_, "searches are complete again");
                }
                break;
            case SearchEnd::OutOfTime:
                break;  // a bus of many devices: the search goes on in the next pass
        }
        std::erase_if(result.devices, [&held](const Rom& rom) {
            if (isAdapterIdChip(rom)) {
                held->idChip = rom;
                return true;
            }
            return false;
        });
    }
    held->lastUsed = Clock::now();
    lastEnd_ = Clock::now();
    return result;
}

std::string Ds2490Bus::describeAdapter() {
    auto held = adapters_->heldFor(keyOf(mapping_));
    std::lock_guard lock(held->mutex);
    if (!held->transport || !held->adapter) {
        return "DS2490 on USB: " +
               (held->refusal.empty() ? std::string("not opened") : "refused: " + held->refusal);
    }
    return "DS2490 on USB bus " + std::to_string(held->adapter->bus) + " address " +
           std::to_string(held->adapter->address) + " (" + held->adapter->node + ")" +
           (held->idChip ? ", ID chip " + hexText(*held->idChip) : std::string()) +
           ", driven by this runtime" +
           (mapping_.detachKernel && !held->adapter->kernelDriver.empty()
                ? " (the kernel's " + held->adapter->kernelDriver +
                      " driver detached, given back when the runtime lets go)"
                : std::string()) +
           (held->lastBus ? ", last 1-Wire reset: " + ds2490::describe(*held->lastBus)
                          : std::string());
}

std::vector<std::string> Ds2490Bus::adapterDetails() {
    auto held = adapters_->heldFor(keyOf(mapping_));
    std::lock_guard lock(held->mutex);
    std::vector<std::string> details;
    for (const std::string& line : held->survey) {
        details.push_back("usb " + line);
    }
    if (!held->choice.empty()) {
        details.push_back("chosen: " + held->choice);
    }
    return details;
}

std::vector<RefusedDevice> Ds2490Bus::refusedDevices() {
    auto held = adapters_->heldFor(keyOf(mapping_));
    std::lock_guard lock(held->mutex);
    if (!held->idChip) {
        return {};
    }
    return {RefusedDevice{*held->idChip, "the adapter's own ID chip"}};
}

}  // namespace onewire
