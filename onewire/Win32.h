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

// One line of the runtime's messages: on standard error where the process has a usable one (a
// console program, or a windowed one whose standard error was redirected), else to the debugger
// output, where DebugView or a debugger shows it (a windowed program started from Explorer).
void writeMessageLine(const std::string& line);

}  // namespace onewire::win32
