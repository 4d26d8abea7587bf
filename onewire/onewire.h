#pragma once

// The Linux 1-Wire runtime: the functions of the TMEX library that the reader driver calls, with
// the same argument and result widths, exported with C linkage from libonewire.so.1.
#include <stdint.h>

#if defined(_WIN32)
#define ONEWIRE_API __declspec(dllexport)
#else
#define ONEWIRE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

ONEWIRE_API int16_t TMReadDefaultPort(int16_t* portNum, int16_t* portType);
ONEWIRE_API int32_t TMExtendedStartSession(int16_t portNum, int16_t portType, void* sessionOptions);
ONEWIRE_API int16_t TMSetup(int32_t session);
ONEWIRE_API int16_t TMEndSession(int32_t session);
ONEWIRE_API int16_t TMNext(int32_t session, void* stateBuffer);
ONEWIRE_API int16_t TMRom(int32_t session, void* stateBuffer, int16_t* rom);
ONEWIRE_API int16_t Get_Version(char* buffer);

#ifdef __cplusplus
}
#endif
