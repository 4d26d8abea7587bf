#pragma once

// The numbers a caller of the runtime's calls (onewire.h) sees, in one place for the runtime, its
// backends and its callers alike.
#include <cstddef>
#include <cstdint>

namespace onewire {

// TMSetup's codes that the backends give.
constexpr std::int16_t kSetupReady = 1;
constexpr std::int16_t kSetupShorted = 2;
constexpr std::int16_t kSetupNotFound = 3;
// TMSetup, TMNext and TMRom on a handle that is not an open session.
constexpr std::int16_t kInvalidSession = -200;

// The port types of TMExtendedStartSession and TMReadDefaultPort.
constexpr std::int16_t kPortTypeSerial = 5;  // "com N"
constexpr std::int16_t kPortTypeUsb = 6;     // "usb N"

// The caller's state buffer that TMNext and TMRom keep an enumeration in.
constexpr std::size_t kStateBufferSize = 15361;

}  // namespace onewire
