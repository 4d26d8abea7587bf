#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ProgramConstants.h"
#include "platform/Services.h"
#include "reader/ReaderDrive.h"
#include "reader/tmexapi.h"

namespace quorna {

class CTimer;

// The reader driver: finds the 1-Wire adapter at construction, tests it, describes set-up
// failures, runs search passes once or on its own timer, and keeps the ROM IDs of the last pass.
class TMexDrive : public ReaderDrive, public std::enable_shared_from_this<TMexDrive> {
public:
    static constexpr std::int32_t kFailureNumber = -2147221404;  // 0x80040064
    static constexpr const char* kFailureDescription = "TMexDrive component failure";

    // Class_Initialize: probes the ports and publishes the port found and the library version.
    // events and sleeper must outlive the object.
    TMexDrive(std::shared_ptr<tmexapi::TMexApi> library, platform::EventPump& events,
              platform::Sleeper& sleeper);
    // Class_Terminate: stops and releases the owned timer, then the list. Never throws.
    ~TMexDrive() override;

    TMexDrive(const TMexDrive&) = delete;
    TMexDrive& operator=(const TMexDrive&) = delete;

    std::int32_t ScanMilliseconds() override;
    void ScanMilliseconds(std::int32_t lngValue) override;
    void StartScanning() override;
    void StopScanning() override;
    void ScanOnce() override;
    std::shared_ptr<const ROMIDList> ROMIDs() override;
    std::int32_t DiscoveryType() override;
    void DiscoveryType(std::int32_t ROMValue) override;
    bool RegistrySet() override;
    bool Found() override;
    std::string ErrorText() override;

    // ErrorText's message for a TMSetup code.
    static std::string SetupCodeText(std::int32_t code);
    // The same code in a few words, for the reader check.
    static std::string SetupCodeWords(std::int32_t code);
    // One adapter test as Found() makes it on a port: a session, TMSetup, the end of the session
    // (also when TMSetup fails). TMSetup's code.
    static std::int16_t SetupCode(tmexapi::TMexApi& library, std::int16_t portNum,
                                  std::int16_t portType);
    // Whether a ROM ID is one of the USB adapter's own chips, which a pass never lists.
    static bool IsAdapterChip(const std::string& romId);

private:
    void Class_Initialize();
    void checkForIButtons();
    void oTimer_Timer();

    // One adapter test: starts a session on the port (its handle goes to handle), runs TMSetup,
    // hands the result to afterSetup and ends the session, also when TMSetup or afterSetup fails.
    template <typename AfterSetup>
    static std::int16_t setupInSession(tmexapi::TMexApi& library, std::int16_t portNum,
                                       std::int16_t portType, std::int32_t& handle,
                                       AfterSetup afterSetup);
    static void endSessionQuietly(tmexapi::TMexApi& library, std::int32_t session) noexcept;

    std::shared_ptr<tmexapi::TMexApi> library_;
    platform::EventPump& events_;
    platform::Sleeper& sleeper_;

    std::int16_t intPortNum = 0;
    std::int16_t intPortType = 0;
    std::int32_t lngSession = 0;
    bool blnSetupDone = false;
    std::array<std::uint8_t, tmexapi::kStateBufferSize> bytStateBuf{};
    std::int32_t scanMilliseconds_ = program::kScanMilliseconds;
    std::int32_t discoveryType_ = 0;
    std::shared_ptr<ROMIDList> romIds_;
    std::int32_t lngSetupError = 0;

    std::shared_ptr<CTimer> oTimer;
    std::size_t timerBinding_ = 0;
};

}  // namespace quorna
