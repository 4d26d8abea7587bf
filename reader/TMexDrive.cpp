#include "reader/TMexDrive.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

#include "platform/ComponentError.h"
#include "timer/CTimer.h"

namespace quorna {

namespace {

constexpr std::int32_t kProbePauseMilliseconds = 500;
constexpr std::int16_t kUsbPort = 1;
constexpr std::int16_t kLastSerialPort = 7;
// TMReadDefaultPort found a default port in the settings.
constexpr std::int16_t kDefaultPortRead = 1;
constexpr std::int16_t kNextFound = 1;
constexpr std::size_t kRomBytes = 8;
constexpr std::int16_t kRomRead = 1;
// Far above any reader's devices: a library whose TMNext never stops cannot hold the pass, and
// with it the GUI thread.
constexpr std::int32_t kMaxDevicesPerPass = 256;

// The component failure of an operation. Raised with std::throw_with_nested: the number and texts
// are the component's own, and the underlying failure rides along only for whoever diagnoses
// (the reader check prints it).
ComponentError componentFailure(const char* operation) {
    return ComponentError(TMexDrive::kFailureNumber,
                          std::string("QuornaWeb.TMexDrive.") + operation,
                          TMexDrive::kFailureDescription);
}

// Two upper-case hex digits per ROM byte. The library hands bytes over in 16-bit elements, so a
// value outside 0..255 is possible and would make a text of the wrong length: refuse it.
void appendRomByte(std::string& text, std::int16_t element) {
    if (element < 0 || element > 255) {
        throw std::out_of_range("ROM element out of range: " + std::to_string(element));
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text += kDigits[(element >> 4) & 0xF];
    text += kDigits[element & 0xF];
}

}  // namespace

template <typename AfterSetup>
std::int16_t TMexDrive::setupInSession(tmexapi::TMexApi& library, std::int16_t portNum,
                                       std::int16_t portType, std::int32_t& handle,
                                       AfterSetup afterSetup) {
    handle = library.TMExtendedStartSession(portNum, portType, nullptr);
    const std::int32_t session = handle;
    std::int16_t result = 0;
    try {
        // The handle is not tested: TMSetup itself reports an invalid session (-200).
        result = library.TMSetup(session);
        afterSetup(result);
    } catch (...) {
        endSessionQuietly(library, session);
        throw;
    }
    library.TMEndSession(session);
    return result;
}

TMexDrive::TMexDrive(std::shared_ptr<tmexapi::TMexApi> library, platform::EventPump& events,
                     platform::Sleeper& sleeper)
    : library_(std::move(library)), events_(events), sleeper_(sleeper) {
    try {
        Class_Initialize();
    } catch (...) {
        // The timer dies with this half-built object; make sure it cannot call back into it.
        if (oTimer) {
            try {
                oTimer->Interval(0);
            } catch (...) {
            }
            oTimer->Timer.unbind(timerBinding_);
        }
        std::throw_with_nested(componentFailure("Class_Initialize"));
    }
}

void TMexDrive::Class_Initialize() {
    oTimer = std::make_shared<CTimer>();
    oTimer->Interval(0);
    timerBinding_ = oTimer->Timer.bind([this] { oTimer_Timer(); });

    scanMilliseconds_ = program::kScanMilliseconds;
    discoveryType_ = 0;

    // A default port from the library's settings; a port type of 0 means none is set.
    std::int16_t probeResult = library_->TMReadDefaultPort(&intPortNum, &intPortType);
    tmexapi::publishFoundPort(intPortNum, intPortType);
    events_.processPendingEvents();

    std::int32_t probeSession = 0;
    if (intPortType == 0) {
        intPortNum = kUsbPort;
        intPortType = tmexapi::kPortTypeUsb;
        probeResult =
            setupInSession(*library_, intPortNum, intPortType, probeSession, [](std::int16_t) {});
    }
    events_.processPendingEvents();

    // Serial ports in rising order from where the steps above left off, up to COM7. The port
    // number moves on before the session ends.
    bool serialTried = false;
    while (intPortNum <= kLastSerialPort && probeResult != onewire::kSetupReady) {
        intPortType = tmexapi::kPortTypeSerial;
        probeResult = setupInSession(*library_, intPortNum, intPortType, probeSession,
                                     [this](std::int16_t) { ++intPortNum; });
        serialTried = true;
    }
    if (serialTried && intPortNum > 1) {
        --intPortNum;  // name the last port tried
    }

    if (probeResult == onewire::kSetupReady) {
        tmexapi::publishFoundPort(intPortNum, intPortType);
    }

    sleeper_.sleep(kProbePauseMilliseconds);

    std::array<char, tmexapi::kVersionBufferSize> version{};
    library_->Get_Version(version.data());
    const auto end = std::find(version.begin(), version.end(), '\0');
    if (end == version.end()) {
        throw std::length_error("version text not terminated");
    }
    tmexapi::publishDriverVersion(std::string(version.begin(), end));

    romIds_ = std::make_shared<ROMIDList>();
}

TMexDrive::~TMexDrive() {
    // Stop before releasing: a running timer is kept alive by the timer registry.
    if (oTimer) {
        try {
            oTimer->Interval(0);
        } catch (...) {
        }
        // Should the timer outlive this object after all, it must not reach it any more.
        oTimer->Timer.unbind(timerBinding_);
    }
    oTimer.reset();
    romIds_.reset();
}

void TMexDrive::endSessionQuietly(tmexapi::TMexApi& library, std::int32_t session) noexcept {
    try {
        library.TMEndSession(session);
    } catch (...) {
    }
}

std::int32_t TMexDrive::ScanMilliseconds() {
    return scanMilliseconds_;
}

void TMexDrive::ScanMilliseconds(std::int32_t lngValue) {
    scanMilliseconds_ = lngValue;
}

void TMexDrive::StartScanning() {
    try {
        oTimer->Interval(scanMilliseconds_);
    } catch (...) {
        std::throw_with_nested(componentFailure("StartScanning"));
    }
}

void TMexDrive::StopScanning() {
    try {
        oTimer->Interval(0);
    } catch (...) {
        std::throw_with_nested(componentFailure("StopScanning"));
    }
}

void TMexDrive::ScanOnce() {
    try {
        checkForIButtons();
    } catch (...) {
        std::throw_with_nested(componentFailure("ScanOnce"));
    }
}

std::shared_ptr<const ROMIDList> TMexDrive::ROMIDs() {
    return romIds_;
}

std::int32_t TMexDrive::DiscoveryType() {
    return discoveryType_;
}

void TMexDrive::DiscoveryType(std::int32_t ROMValue) {
    discoveryType_ = ROMValue;
}

bool TMexDrive::RegistrySet() {
    try {
        // Copies, so that neither this object's port nor the shared globals change.
        std::int16_t portNum = intPortNum;
        std::int16_t portType = intPortType;
        return library_->TMReadDefaultPort(&portNum, &portType) == kDefaultPortRead;
    } catch (...) {
        std::throw_with_nested(componentFailure("RegistrySet"));
    }
}

bool TMexDrive::Found() {
    try {
        // A success leaves the last failure's code, and so ErrorText, as it was.
        return setupInSession(*library_, intPortNum, intPortType, lngSession,
                              [this](std::int16_t result) {
                                  if (result != onewire::kSetupReady) {
                                      lngSetupError = result;
                                  }
                              }) == onewire::kSetupReady;
    } catch (...) {
        std::throw_with_nested(componentFailure("Found"));
    }
}

namespace {

// Each TMSetup code the driver knows: ErrorText's message, and the same in a few words for the
// reader check.
struct SetupCodeTexts {
    std::int32_t code;
    const char* errorText;
    const char* words;
};

constexpr SetupCodeTexts kSetupCodeTexts[] = {
    {0, "TMSetup returned error 0. Setup Failed.", "set-up failed"},
    {1, "TMSetup returned error 1. No Error.", "adapter found"},
    {2, "TMSetup returned error 2. Setup is OK but the drive is shorted.",
     "adapter found, but its bus is shorted: take the tokens off and check the reader's cable"},
    {3,
     "TMSetup returned error 3. MicroLan Drive Adapter not found on this computer.\r\n"
     "Please make sure the drive adapter is installed on this computer.\r\n"
     "You may need to unplug it, and plug it back in, before restarting this program.",
     "adapter not found"},
    {4, "TMSetup returned error 4. TMSetup not supported with the installed driver set.",
     "set-up not supported by the installed 1-Wire drivers"},
    {-200, "TMSetup returned error -200. Invalid Session ID.",
     "the 1-Wire library refused the session"},
    {-201,
     "The Hardware Drivers required for this fobit reader cannot be found or the ports are set "
     "incorrectly.",
     "the 1-Wire library's hardware drivers cannot be found, or its ports are set incorrectly"},
};

const SetupCodeTexts* textsOf(std::int32_t code) {
    for (const SetupCodeTexts& texts : kSetupCodeTexts) {
        if (texts.code == code) {
            return &texts;
        }
    }
    return nullptr;
}

}  // namespace

std::string TMexDrive::SetupCodeText(std::int32_t code) {
    const SetupCodeTexts* texts = textsOf(code);
    return texts != nullptr ? texts->errorText
                            : "There has been an unspecified error " + std::to_string(code) +
                                  " from the system.";
}

std::string TMexDrive::SetupCodeWords(std::int32_t code) {
    const SetupCodeTexts* texts = textsOf(code);
    return texts != nullptr ? texts->words : "a code the 1-Wire library does not explain";
}

std::int16_t TMexDrive::SetupCode(tmexapi::TMexApi& library, std::int16_t portNum,
                                  std::int16_t portType) {
    std::int32_t handle = 0;
    return setupInSession(library, portNum, portType, handle, [](std::int16_t) {});
}

std::string TMexDrive::ErrorText() {
    try {
        return SetupCodeText(lngSetupError);
    } catch (...) {
        std::throw_with_nested(componentFailure("ErrorText"));
    }
}

bool TMexDrive::IsAdapterChip(const std::string& romId) {
    // The USB adapter's own ID chips: family 81 always, family 09 on some models.
    return romId.starts_with("09") || romId.starts_with("81");
}

void TMexDrive::checkForIButtons() {
    // A NewROMIDs handler may let the holder release this object (a window closed from a nested
    // event loop): keep it alive until the session is ended. Empty for an object not held by a
    // shared_ptr, whose holder keeps it alive anyway.
    const std::shared_ptr<TMexDrive> keepAlive = weak_from_this().lock();
    // The handle is kept locally too: a NewROMIDs handler may run a pass of its own meanwhile.
    std::int32_t session = 0;
    bool sessionOpen = false;
    try {
        session = library_->TMExtendedStartSession(intPortNum, intPortType, nullptr);
        lngSession = session;
        sessionOpen = true;
        std::int32_t devicesSeen = 0;
        bool added = false;
        std::shared_ptr<const ROMIDList> previous = romIds_;

        if (session > 0) {
            // The new list is in place from here on: a pass that fails half-way leaves it, partly
            // filled, while a holder's earlier list object stays as it was.
            auto list = std::make_shared<ROMIDList>();
            romIds_ = list;
            if (!blnSetupDone) {
                library_->TMSetup(session);
                blnSetupDone = true;
            }
            std::array<std::int16_t, kRomBytes> rom{};
            while (library_->TMNext(session, bytStateBuf.data()) == kNextFound) {
                if (devicesSeen == kMaxDevicesPerPass) {
                    // The rest counts as not seen. An enumeration left half-way would make the
                    // next pass begin in its middle; an all-zero state buffer is where every
                    // enumeration of this object began.
                    bytStateBuf.fill(0);
                    break;
                }
                ++devicesSeen;
                // All of the buffer, not just element 0: a TMRom that writes nothing must not
                // hand on the previous device's bytes.
                rom.fill(0);
                const bool read =
                    library_->TMRom(session, bytStateBuf.data(), rom.data()) == kRomRead;
                if (!read || std::all_of(rom.begin(), rom.end(),
                                         [](std::int16_t element) { return element == 0; })) {
                    continue;  // no ROM code, or the all-zero ghost of a bad bus
                }
                std::string text;
                text.reserve(2 * kRomBytes);
                for (std::int16_t element : rom) {
                    appendRomByte(text, element);
                }
                if (!IsAdapterChip(text) && !list->Contains(text)) {
                    list->Add(std::move(text));
                    added = true;
                }
            }
        }

        // A pass that lists nothing tells the holder once that the list emptied, however many
        // left-out devices it saw: a serial adapter has no ID chip, a DS9490B has two.
        if (added || (session > 0 && previous->Count() > 0)) {
            NewROMIDs.raise();
        }

        sessionOpen = false;
        library_->TMEndSession(session);
    } catch (...) {
        if (sessionOpen) {
            endSessionQuietly(*library_, session);
        }
        std::throw_with_nested(componentFailure("checkForIButtons"));
    }
}

void TMexDrive::oTimer_Timer() {
    try {
        checkForIButtons();
    } catch (...) {
        // A failed pass is dropped; the next tick scans as usual.
    }
}

}  // namespace quorna
