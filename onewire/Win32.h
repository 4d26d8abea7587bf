#pragma once

// What the runtime needs of Windows beyond the standard library: file names and the environment
// in UTF-16, and where its host program lives. Text inside the runtime is UTF-8.
#include <optional>
#include <string>
#include <vector>

#include "onewire/Settings.h"

namespace onewire::win32 {

std::optional<std::string> environmentVariable(const char* name);

// %APPDATA%\onewire\onewire.conf, then %ProgramData%\onewire\onewire.conf, then onewire.conf
// in the host program's folder.
std::vector<std::string> defaultSettingsFiles(const Environment& environment);

}  // namespace onewire::win32
