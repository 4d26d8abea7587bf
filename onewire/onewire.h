#pragma once

// The 1-Wire runtime: the functions of the TMEX library that the reader driver calls, with the
// same argument and result widths and calling convention, exported with C linkage from
// libonewire.so.1 (Linux) or onewire.dll (Windows, undecorated names from onewire.def).
#include <stdint.h>

#if defined(_WIN32)
#define ONEWIRE_API
#define ONEWIRE_CALL __stdcall
#else
#define ONEWIRE_API __attribute__((visibility("default")))
#define ONEWIRE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

ONEWIRE_API int16_t ONEWIRE_CALL TMReadDefaultPort(int16_t* portNum, int16_t* portType);
ONEWIRE_API int32_t ONEWIRE_CALL TMExtendedStartSession(int16_t portNum, int16_t portType,
                                                        void* sessionOptions);
ONEWIRE_API int16_t ONEWIRE_CALL TMSetup(int32_t session);
ONEWIRE_API int16_t ONEWIRE_CALL TMEndSession(int32_t session);
ONEWIRE_API int16_t ONEWIRE_CALL TMNext(int32_t session, void* stateBuffer);
ONEWIRE_API int16_t ONEWIRE_CALL TMRom(int32_t session, void* stateBuffer, int16_t* rom);
ONEWIRE_API int16_t ONEWIRE_CALL Get_Version(char* buffer);

// Not one of the TMEX calls, and optional for callers (other TMEX libraries lack it): how the
// runtime sees its settings and, unless portType is 0, one port, as "key: value" lines for the
// reader check. Writes at most size bytes, NUL included; returns the length of the whole text
// (call again with a larger buffer when it is size or more), or -1 on failure.
ONEWIRE_API int32_t ONEWIRE_CALL OneWireDiagnose(int16_t portNum, int16_t portType, char* text,
                                                 int32_t size);

#ifdef __cplusplus
}
#endif
