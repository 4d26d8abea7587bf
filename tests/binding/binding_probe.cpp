// Exports the seven library functions the reader driver calls. It reports a default port of
// COM2, sets any session up, holds one token on the bus, and records each call with its
// arguments in a text that the test reads through quorna_binding_log().
//
// Built with QUORNA_PROBE_UNTRUSTWORTHY it is a library the driver must not trust: its TMNext
// finds a further device on every call and its TMRom writes nothing, yet says it did.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "onewire/onewire.h"

namespace {

std::string calls;
std::string version = "binding probe 1.00";

void record(const char* format, ...) __attribute__((format(printf, 1, 2)));
void record(const char* format, ...) {
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    calls += line;
    calls += '\n';
}

constexpr int32_t kSession = 7;
const int16_t kRom[8] = {0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};

}  // namespace

extern "C" {

ONEWIRE_API const char* quorna_binding_log() {
    return calls.c_str();
}

ONEWIRE_API void quorna_binding_reset() {
    calls.clear();
    version = "binding probe 1.00";
}

// The text Get_Version gives from now on (at most 149 bytes).
ONEWIRE_API void quorna_binding_set_version(const char* text) {
    version = text;
}

int16_t ONEWIRE_CALL TMReadDefaultPort(int16_t* portNum, int16_t* portType) {
    record("TMReadDefaultPort %d %d", *portNum, *portType);
    *portNum = 2;
    *portType = 5;
    return 1;
}

int32_t ONEWIRE_CALL TMExtendedStartSession(int16_t portNum, int16_t portType,
                                            void* sessionOptions) {
    record("TMExtendedStartSession %d %d %s", portNum, portType,
           sessionOptions == nullptr ? "null" : "options");
    return kSession;
}

int16_t ONEWIRE_CALL TMSetup(int32_t session) {
    record("TMSetup %d", session);
    return session == kSession ? 1 : -200;
}

int16_t ONEWIRE_CALL TMEndSession(int32_t session) {
    record("TMEndSession %d", session);
    return 1;
}

// One device; the first byte of the caller's state buffer says whether it was handed out.
int16_t ONEWIRE_CALL TMNext(int32_t session, void* stateBuffer) {
    auto* state = static_cast<unsigned char*>(stateBuffer);
#if defined(QUORNA_PROBE_UNTRUSTWORTHY)
    (void)state;
    (void)session;
    return 1;
#endif
    const int16_t result = state[0] == 0 ? 1 : 0;
    state[0] = static_cast<unsigned char>(result);
    record("TMNext %d -> %d", session, result);
    return result;
}

int16_t ONEWIRE_CALL TMRom(int32_t session, void* stateBuffer, int16_t* rom) {
    (void)stateBuffer;
    record("TMRom %d %d", session, rom[0]);
#if !defined(QUORNA_PROBE_UNTRUSTWORTHY)
    std::memcpy(rom, kRom, sizeof kRom);
#endif
    return 1;
}

int16_t ONEWIRE_CALL Get_Version(char* buffer) {
    bool zeroed = true;
    for (int i = 0; i < 150; ++i) {
        zeroed = zeroed && buffer[i] == 0;
    }
    record("Get_Version %s", zeroed ? "zeroed" : "dirty");
    std::snprintf(buffer, 150, "%s", version.c_str());
    return 1;
}

}  // extern "C"
