#include "onewire/W1Bus.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "onewire/TextFile.h"

namespace onewire {
namespace {

std::vector<Rom> sorted(std::vector<Rom> devices) {
    std::sort(devices.begin(), devices.end());
    return devices;
}

// "10", "0.25": the kernel's search interval as its two files give it; nullopt where unreadable.
std::optional<double> searchInterval(const std::string& folder) {
    auto seconds = readSmallFile(folder + "/w1_master_timeout", 64);
    if (!seconds) {
        return std::nullopt;
    }
    auto micro = readSmallFile(folder + "/w1_master_timeout_us", 64);
    try {
        return std::stod(*seconds) + (micro ? std::stod(*micro) / 1e6 : 0.0);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string secondsText(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

}  // namespace

bool isAdapterChip(const Rom& rom) {
    return rom[0] == 0x81 || rom[0] == 0x09;
}

W1Bus::W1Bus(std::string folder, Reporter* reporter, std::string portName,
             std::shared_ptr<w1netlink::Connector> connector)
    : folder_(std::move(folder)),
      reporter_(reporter),
      source_(portName.empty() ? "kernel w1 " + folder_ : "port " + portName + " (kernel w1)"),
      connector_(std::move(connector)) {}

std::int16_t W1Bus::setup() {
    // The kernel says nothing of a shorted bus: its search then simply finds no device.
    std::error_code error;
    return std::filesystem::is_directory(folder_, error) ? kSetupReady : kSetupNotFound;
}

std::string W1Bus::describeAdapter() {
    std::error_code error;
    std::string master = std::filesystem::path(folder_).filename().string();
    if (!std::filesystem::is_directory(folder_, error)) {
        return "kernel w1 bus master " + master +
               " (not present: no adapter, or its kernel driver is not loaded)";
    }
    // The bus master's device is the adapter itself; its driver names the kind (ds2490 for the
    // DS9490R).
    auto driver = std::filesystem::read_symlink(
        std::filesystem::canonical(folder_, error).parent_path() / "driver", error);
    return "kernel w1 bus master " + master +
           (driver.empty() ? "" : " on an adapter driven by " + driver.filename().string());
}

std::string W1Bus::slowRouteText(const std::string& why) const {
    auto interval = searchInterval(folder_);
    const std::string every = interval ? secondsText(*interval) : "10";
    const std::string stays = interval ? secondsText(*interval * 10) : "100";
    return "the kernel's own search, read from w1_master_slaves, because " + why +
           ": it runs every " + every + " s, so a token put on shows up to " + every +
           " s later and a lifted one stays listed for about " + stays +
           " s (ten missed searches by default)";
}

std::vector<std::string> W1Bus::adapterDetails() {
    std::error_code error;
    if (!std::filesystem::is_directory(folder_, error)) {
        return {};
    }
    auto master = w1netlink::masterNumber(std::filesystem::path(folder_).filename().string());
    if (!master) {
        return {"search: " + slowRouteText("the folder's name gives no bus master number")};
    }
    auto listing = connector_->listMasters(Clock::now() + std::chrono::milliseconds(200));
    using Outcome = w1netlink::SearchResult::Outcome;
    if (listing.outcome == Outcome::Unavailable) {
        return {"search: " + slowRouteText(listing.problem)};
    }
    if (listing.outcome != Outcome::Complete) {
        return {"search: over the kernel's w1 netlink connector, which did not answer now (" +
                listing.problem + ")"};
    }
    std::string masters;
    for (std::uint32_t id : listing.masters) {
        masters += (masters.empty() ? "" : ", ") + std::to_string(id);
    }
    const bool listed =
        std::find(listing.masters.begin(), listing.masters.end(), *master) != listing.masters.end();
    return {
        "search: an immediate search on every pass, over the kernel's w1 netlink connector "
        "(bus master " +
        std::to_string(*master) + (listed ? "" : ", which the kernel does not list") +
        "; the kernel lists " + (masters.empty() ? std::string("none") : masters) + ")"};
}

std::vector<RefusedDevice> W1Bus::refusedDevices() {
    std::vector<RefusedDevice> refused;
    for (const Rom& rom : adapterChips_) {
        refused.push_back({rom, rom[0] == 0x81
                                    ? "the adapter's own ID chip (family 81), not a token"
                                    : "the adapter's own ID chip (family 09 on some DS9490 "
                                      "models), not a token"});
    }
    return refused;
}

std::optional<Rom> romFromW1Name(std::string_view name) {
    if (name.size() != 15 || name[2] != '-') {
        return std::nullopt;
    }
    auto family = parseHexBytes(name.substr(0, 2));
    auto serial = parseHexBytes(name.substr(3));
    if (!family || !serial) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 7> bytes{};
    bytes[0] = (*family)[0];
    for (std::size_t i = 0; i < 6; ++i) {
        bytes[1 + i] = (*serial)[5 - i];
    }
    return withCrc(bytes);
}

void W1Bus::problem(const std::string& text) {
    if (reporter_ != nullptr) {
        reporter_->reportProblem(source_, text + "; nothing is listed until a search completes");
    }
}

Enumeration W1Bus::withoutAdapterChips(std::vector<Rom> devices, bool complete) {
    adapterChips_.clear();
    std::erase_if(devices, [this](const Rom& rom) {
        if (isAdapterChip(rom)) {
            adapterChips_.push_back(rom);
            return true;
        }
        return false;
    });
    return {std::move(devices), complete};
}

Enumeration W1Bus::enumerate(Clock::time_point deadline) {
    auto master = w1netlink::masterNumber(std::filesystem::path(folder_).filename().string());
    if (!master) {
        return viaSysfs(deadline, "the folder's name gives no bus master number");
    }
    return viaNetlink(*master, deadline);
}

Enumeration W1Bus::viaNetlink(std::uint32_t master, Clock::time_point deadline) {
    using Outcome = w1netlink::SearchResult::Outcome;
    auto first = connector_->search(master, deadline);
    if (first.outcome == Outcome::Unavailable) {
        return viaSysfs(deadline, first.problem);
    }
    route_ = Route::Netlink;
    auto failed = [this](const w1netlink::SearchResult& result) {
        problem(result.outcome == Outcome::MasterGone
                    ? result.problem + " (the adapter was unplugged, or its driver unloaded)"
                    : result.problem);
        return Enumeration::failed();
    };
    if (first.outcome != Outcome::Complete) {
        return failed(first);
    }
    // The kernel closes a search as done even when the adapter went away during it, with the
    // codes found until then: a changed bus is listed only once a second search agrees.
    std::vector<Rom> found = sorted(first.devices);
    if (connector_->lastComplete(master) != found) {
        auto second = connector_->search(master, deadline);
        if (second.outcome != Outcome::Complete) {
            return failed(second);
        }
        if (sorted(second.devices) != found) {
            problem(
                "two searches in a row found different devices (a token being put on or "
                "lifted, a poor contact, or the adapter going)");
            return Enumeration::failed();
        }
    }
    connector_->rememberComplete(master, found);
    if (reporter_ != nullptr) {
        reporter_->reportRecovery(source_, "the kernel's searches complete again");
    }
    return withoutAdapterChips(std::move(first.devices), true);
}

Enumeration W1Bus::viaSysfs(Clock::time_point deadline, const std::string& why) {
    if (route_ != Route::Sysfs && reporter_ != nullptr) {
        reporter_->reportOnce(source_ + ": the runtime lists " + slowRouteText(why) +
                              " (see docs/readers.md, the kernel's w1 subsystem)");
    }
    route_ = Route::Sysfs;
    auto listing = readSmallFile(folder_ + "/w1_master_slaves");
    if (!listing) {
        return Enumeration::failed();  // the bus master went away
    }
    std::istringstream list(*listing);
    std::vector<Rom> devices;
    std::string name;
    while (devices.size() <= kMaxDevicesPerPass && Clock::now() < deadline &&
           std::getline(list, name)) {
        if (!name.empty() && name.back() == '\r') {
            name.pop_back();
        }
        auto fromName = romFromW1Name(name);
        if (!fromName) {
            continue;  // "not found." and anything else that names no device
        }
        std::error_code error;
        std::filesystem::path device = std::filesystem::path(folder_) / name;
        if (!std::filesystem::is_directory(device, error)) {
            continue;  // left the bus between the listing and now
        }
        auto id = readSmallFile((device / "id").string(), 64);
        if (id && id->size() >= 8) {
            Rom rom{};
            std::memcpy(rom.data(), id->data(), rom.size());
            devices.push_back(rom);
        } else {
            devices.push_back(*fromName);
        }
    }
    // Read to its end, or stopped early by the deadline or the count (which lists nothing).
    const bool whole = list.eof() || devices.size() > kMaxDevicesPerPass;
    return withoutAdapterChips(std::move(devices), whole && Clock::now() < deadline);
}

}  // namespace onewire
