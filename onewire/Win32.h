#pragma once

// What the runtime needs of Windows beyond the standard library: file names and the environment
// in UTF-16, and where its host program lives. Text inside the runtime is UTF-8.
#include <optional>
#include <string>
#include <vector>

#include "onewire/Settings.h"

namespace onewire::win32 {

std::wstring wide(const std::string& text);
std::string utf8(const std::wstring& text);

std::optional<std::string> environmentVariable(const char* name);

// The system's text for an error code (GetLastError, WSAGetLastError).
std::string systemMessage(unsigned long error);

// %APPDATA%\onewire\onewire.conf, then onewire.conf in the host program's folder.
std::vector<std::string> defaultSettingsFiles(const Environment& environment);

}  // namespace onewire::win32
