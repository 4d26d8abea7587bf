#include "onewire/W1Bus.h"

#include <cstring>
#include <filesystem>
#include <sstream>

#include "onewire/TextFile.h"

namespace onewire {

W1Bus::W1Bus(std::string folder) : folder_(std::move(folder)) {}

std::int16_t W1Bus::setup() {
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

Enumeration W1Bus::enumerate(Clock::time_point deadline) {
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
    return {std::move(devices), whole && Clock::now() < deadline};
}

}  // namespace onewire
