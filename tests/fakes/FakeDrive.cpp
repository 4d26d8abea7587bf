#include "tests/fakes/FakeDrive.h"

#include <algorithm>

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
    return static_cast<int>(std::count(log_.begin(), log_.end(), member));
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

void FakeDrive::ScanOnce() {
    enter("ScanOnce");
    if (scanOnceRaises) {
        NewROMIDs.raise();
    }
}

void clearSharedGlobals() {
    tmexapi::resetSharedGlobals();
}

DriveFactory FakeDriveFactory::factory() {
    return [this]() -> std::shared_ptr<ReaderDrive> {
        ++constructions;
        if (duringConstruction) {
            duringConstruction();
        }
        tmexapi::publishFoundPort(portNum, portType);
        tmexapi::publishDriverVersion(driverVersion);
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
