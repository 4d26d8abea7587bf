#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/ProgramConstants.h"
#include "reader/ROMIDList.h"
#include "reader/ReaderDrive.h"
#include "reader/tmexapi.h"

namespace quorna::fakes {

// A reader driver with scripted results. Every member call is counted by name ("Found",
// "StopScanning", "ScanMilliseconds=", "DiscoveryType=", ...) and logged in order; a member named
// in throwOn throws the driver's own failure.
class FakeDrive : public ReaderDrive {
public:
    static constexpr std::int32_t kFailureNumber = -2147221404;
    static constexpr const char* kFailureDescription = "TMexDrive component failure";

    FakeDrive() = default;
    ~FakeDrive() override;

    bool found = true;
    std::string errorText = "No adapter answered";
    bool registrySet = true;
    bool scanOnceRaises = true;  // ScanOnce raises NewROMIDs, as a real pass does
    std::function<void()> onDestroyed;
    // Runs inside every member call (before a scripted failure), as a driver that yields to the
    // message loop would let timer ticks and clicks in.
    std::function<void(const std::string& member)> duringCall;

    void throwOn(std::string member) { throwing_.insert(std::move(member)); }
    void setROMIDs(const std::vector<std::string>& ids);
    void raiseNewROMIDs() { NewROMIDs.raise(); }

    int calls(const std::string& member) const;
    const std::vector<std::string>& log() const { return log_; }
    std::int32_t scanMillisecondsSet() const { return scanMilliseconds_; }
    std::int32_t discoveryTypeSet() const { return discoveryType_; }
    bool scanning() const { return scanning_; }

    std::int32_t ScanMilliseconds() override { return get("ScanMilliseconds", scanMilliseconds_); }
    void ScanMilliseconds(std::int32_t lngValue) override {
        set("ScanMilliseconds=", scanMilliseconds_, lngValue);
    }
    void StartScanning() override { set("StartScanning", scanning_, true); }
    void StopScanning() override { set("StopScanning", scanning_, false); }
    void ScanOnce() override;
    std::shared_ptr<const ROMIDList> ROMIDs() override {
        return get<std::shared_ptr<const ROMIDList>>("ROMIDs", ids_);
    }
    std::int32_t DiscoveryType() override { return get("DiscoveryType", discoveryType_); }
    void DiscoveryType(std::int32_t ROMValue) override {
        set("DiscoveryType=", discoveryType_, ROMValue);
    }
    bool RegistrySet() override { return get("RegistrySet", registrySet); }
    bool Found() override { return get("Found", found); }
    std::string ErrorText() override { return get("ErrorText", errorText); }

private:
    void enter(const std::string& member);
    // A member call: logged, scripted, then the stored value read or written.
    template <typename T>
    T get(const std::string& member, const T& value) {
        enter(member);
        return value;
    }
    template <typename T>
    void set(const std::string& member, T& stored, T value) {
        enter(member);
        stored = std::move(value);
    }

    std::set<std::string> throwing_;
    std::vector<std::string> log_;
    std::shared_ptr<ROMIDList> ids_ = std::make_shared<ROMIDList>();
    std::int32_t scanMilliseconds_ = program::kScanMilliseconds;
    std::int32_t discoveryType_ = 0;
    bool scanning_ = false;
};

// Clears the shared globals that every driver construction writes (port type, number, version).
void clearSharedGlobals();

// A DriveFactory for the windows: each construction publishes the shared globals as a real probe
// would, then hands out a new FakeDrive (prepared by `prepare`), or throws the driver's failure.
struct FakeDriveFactory {
    std::int16_t portType = tmexapi::kPortTypeUsb;
    std::int16_t portNum = 1;
    std::string driverVersion = "3.21.0.10";
    bool failConstruction = false;
    std::function<void(FakeDrive&)> prepare;
    // Runs inside the construction (where a real probe yields to the message loop).
    std::function<void()> duringConstruction;

    std::vector<std::shared_ptr<FakeDrive>> made;
    int constructions = 0;

    DriveFactory factory();
    std::shared_ptr<FakeDrive> last() const { return made.empty() ? nullptr : made.back(); }
};

}  // namespace quorna::fakes
