#pragma once

// One search pass through the runtime's TMEX calls, as the program's driver makes it: a session,
// TMNext and TMRom until the end, the session ended; the IDs as the program shows them.
#include <cstdint>
#include <set>
#include <string>

#include "onewire/Codes.h"
#include "onewire/RomCode.h"
#include "onewire/Runtime.h"

namespace onewire {

inline std::set<std::string> passIds(Runtime& runtime, std::int16_t port, void* stateBuffer) {
    std::int32_t session = runtime.startSession(port, kPortTypeUsb);
    std::set<std::string> ids;
    std::int16_t rom[8] = {};
    while (runtime.next(session, stateBuffer) == 1) {
        runtime.rom(session, stateBuffer, rom);
        Rom bytes{};
        for (int i = 0; i < 8; ++i) {
            bytes[i] = static_cast<std::uint8_t>(rom[i]);
        }
        ids.insert(hexText(bytes));
    }
    runtime.endSession(session);
    return ids;
}

}  // namespace onewire
