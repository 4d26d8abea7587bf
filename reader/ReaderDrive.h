#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Event.h"
#include "reader/ROMIDList.h"

namespace quorna {

// What the windows use of a reader driver. TMexDrive is the real one; window tests use fakes.
// Every member may throw ComponentError.
class ReaderDrive {
public:
    virtual ~ReaderDrive() = default;

    virtual std::int32_t ScanMilliseconds() = 0;
    virtual void ScanMilliseconds(std::int32_t lngValue) = 0;
    virtual void StartScanning() = 0;
    virtual void StopScanning() = 0;
    virtual void ScanOnce() = 0;
    virtual std::shared_ptr<const ROMIDList> ROMIDs() = 0;
    virtual std::int32_t DiscoveryType() = 0;
    virtual void DiscoveryType(std::int32_t ROMValue) = 0;
    virtual bool RegistrySet() = 0;
    virtual bool Found() = 0;
    virtual std::string ErrorText() = 0;

    Event<> NewROMIDs;
};

// Constructs a driver; construction probes the ports and may throw ComponentError.
using DriveFactory = std::function<std::shared_ptr<ReaderDrive>()>;

}  // namespace quorna
