#pragma once

#include <cstdint>

// The program's own fixed values that more than one of its layers uses (the 1-Wire runtime's
// numbers are in onewire/Codes.h).
namespace quorna::program {

// How often continuous scanning runs a pass: the driver's default and the main window's setting.
inline constexpr std::int32_t kScanMilliseconds = 350;

// The title of every message box the program shows.
inline constexpr const char* kErrorTitle = "Application Error";

}  // namespace quorna::program
