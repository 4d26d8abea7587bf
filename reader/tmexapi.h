#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "onewire/Codes.h"

// Declarations module of the 1-Wire library (IBFS32.DLL on Windows, libonewire.so.1 on Linux) and
// the three globals that every TMexDrive construction publishes.
namespace quorna::tmexapi {

extern std::int16_t intFoundPortNum;
extern std::int16_t intFoundPortType;
extern std::string strDriverVersion;

// The one place that writes the three globals: every TMexDrive construction, and the fakes that
// stand in for one.
void publishFoundPort(std::int16_t portNum, std::int16_t portType);
void publishDriverVersion(std::string version);
// All three as before the first construction: 0, 0 and the empty text.
void resetSharedGlobals();

// The runtime's own numbers, which every TMEX library shares.
using onewire::kPortTypeSerial;
using onewire::kPortTypeUsb;
using onewire::kStateBufferSize;
constexpr std::size_t kVersionBufferSize = 150;

// The library functions the driver calls, with the library's own argument and result widths.
// Any failure to reach the library (missing library or function) is thrown as an exception.
class TMexApi {
public:
    virtual ~TMexApi() = default;
    virtual std::int16_t TMReadDefaultPort(std::int16_t* portNum, std::int16_t* portType) = 0;
    virtual std::int32_t TMExtendedStartSession(std::int16_t portNum, std::int16_t portType,
                                                void* sessionOptions) = 0;
    virtual std::int16_t TMSetup(std::int32_t session) = 0;
    virtual std::int16_t TMEndSession(std::int32_t session) = 0;
    virtual std::int16_t TMNext(std::int32_t session, void* stateBuffer) = 0;
    virtual std::int16_t TMRom(std::int32_t session, void* stateBuffer, std::int16_t* rom) = 0;
    virtual std::int16_t Get_Version(char* buffer) = 0;

    // Not a TMEX call: the Linux runtime's own account of its settings and of one port (portType
    // 0: the settings only) as "key: value" lines, for the reader check. nullopt when the library
    // does not offer it, as the vendor's does not.
    virtual std::optional<std::string> OneWireDiagnose(std::int16_t portNum,
                                                       std::int16_t portType) {
        (void)portNum;
        (void)portType;
        return std::nullopt;
    }

    // Not a TMEX call: the full path of the library file that serves the calls, for the reader
    // check; empty until the library is loaded, or where there is no file.
    virtual std::string boundLibraryPath() { return {}; }
};

// The real library, loaded and each function looked up at its first call. libraryName overrides
// the platform's default (IBFS32.DLL, libonewire.so.1), for tests.
std::shared_ptr<TMexApi> bindLibrary(const std::string& libraryName = {});

}  // namespace quorna::tmexapi
