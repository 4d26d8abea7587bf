#include "tests/fakes/FakeDrive.h"

#include "platform/ComponentError.h"
#include "reader/tmexapi.h"

namespace quorna::fakes {

FakeDrive::~FakeDrive() {
    if (onDestroyed) {
        onDestroyed();
    }
}

void FakeDrive::setROMIDs(const std::vector<std::string>& ids) {
    auto list = std::make_shared<ROMIDList>();
    for (const auto& id : ids) {
        list->Add(id);
    }
    ids_ = std::move(list);
}

int FakeDrive::calls(const std::string& member) const {
    int n = 0;
    for (const auto& entry : log_) {
        if (entry == member) {
            ++n;
        }
    }
    return n;
}

void FakeDrive::enter(const std::string& member) {
    log_.push_back(member);
    if (duringCall) {
        duringCall(member);
    }
    if (throwing_.count(member) != 0) {
        throw ComponentError(kFailureNumber, "QuornaWeb.TMexDrive." + member, kFailureDescription);
    }
}

std::int32_t FakeDrive::ScanMilliseconds() {
    enter("ScanMilliseconds");
    return scanMilliseconds_;
}

void FakeDrive::ScanMilliseconds(std::int32_t lngValue) {
    enter("ScanMilliseconds=");
    scanMilliseconds_ = lngValue;
}

void FakeDrive::StartScanning() {
    enter("StartScanning");
    scanning_ = true;
}

void FakeDrive::StopScanning() {
    enter("StopScanning");
    scanning_ = false;
}

void FakeDrive::ScanOnce() {
    enter("ScanOnce");
    if (scanOnceRaises) {
        NewROMIDs.raise();
    }
}

std::shared_ptr<const ROMIDList> FakeDrive::ROMIDs() {
    enter("ROMIDs");
    return ids_;
}

std::int32_t FakeDrive::DiscoveryType() {
    enter("DiscoveryType");
    return discoveryType_;
}

void FakeDrive::DiscoveryType(std::int32_t ROMValue) {
    enter("DiscoveryType=");
    discoveryType_ = ROMValue;
}

bool FakeDrive::RegistrySet() {
    enter("RegistrySet");
    return registrySet;
}

bool FakeDrive::Found() {
    enter("Found");
    return found;
}

std::string FakeDrive::ErrorText() {
    enter("ErrorText");
    return errorText;
}

DriveFactory FakeDriveFactory::factory() {
    return [this]() -> std::shared_ptr<ReaderDrive> {
        ++constructions;
        if (duringConstruction) {
            duringConstruction();
        }
        tmexapi::intFoundPortType = portType;
        tmexapi::intFoundPortNum = portNum;
        tmexapi::strDriverVersion = driverVersion;
        if (failConstruction) {
            throw ComponentError(FakeDrive::kFailureNumber, "QuornaWeb.TMexDrive.Class_Initialize",
                                 FakeDrive::kFailureDescription);
        }
        auto drive = std::make_shared<FakeDrive>();
        if (prepare) {
            prepare(*drive);
        }
        made.push_back(drive);
        return drive;
    };
}

}  // namespace quorna::fakes
