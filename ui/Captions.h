#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Services.h"

// Texts both windows build at run time, and the failures both raise for what is missing.
namespace quorna::ui {

// "Version : " with major, minor and revision joined by points.
std::string versionCaption(const platform::ProgramVersion& version);

// The library version when it is longer than five characters; otherwise (the empty text
// included) "Driver Not found Error: " followed by it.
std::string driverLine(const std::string& driverVersion);

// "Registry Values= T:<type>  P:<number>", numbers in plain signed decimal.
std::string registryValuesLine(std::int16_t portType, std::int16_t portNum);
inline constexpr std::string_view kRegistryValuesNotFound = "Registry Values Not Found.";

// A step that needs an object the window could not make (its driver or timer) fails with this
// number ("object not set"), and a window the toolkit could not create with kNoViewNumber.
inline constexpr std::int32_t kNoDriverNumber = 91;
inline constexpr const char* kNoDriverDescription = "No reader driver";
inline constexpr std::int32_t kNoViewNumber = 7;

}  // namespace quorna::ui
