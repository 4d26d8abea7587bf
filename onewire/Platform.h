#pragma once

// What differs between the runtime's systems, behind one header: PlatformPosix.cpp (Linux) or
// PlatformWin32.cpp (Windows), chosen by onewire/CMakeLists.txt. Text in the runtime is UTF-8
// throughout; the Windows side converts at each call into the system, whose wide calls it uses.
// (TextFile.h's readSmallFile and pathExists live there too.)
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "onewire/Backend.h"
#include "onewire/Settings.h"

namespace onewire::platform {

// The system's text for an error number (errno; GetLastError or WSAGetLastError), without its
// line break; "error N" when the system has none.
std::string systemMessage(unsigned long error);

// The process's own environment (on Windows not the C library's copy taken at start-up).
std::optional<std::string> environmentVariable(const char* name);

// Where the settings are looked for when ONEWIRE_CONF names none, first found first.
// Linux: $XDG_CONFIG_HOME/onewire/onewire.conf (~/.config when unset), then
// /etc/onewire/onewire.conf. Windows: %APPDATA%\onewire\onewire.conf, then
// %ProgramData%\onewire\onewire.conf, then onewire.conf in the host program's folder.
std::vector<std::string> defaultSettingsFiles(const Environment& environment);

// The device of "com N = serial" without one: the port's own (COM3, /dev/ttyS2).
std::string serialDevice(Port port);

// One line of the runtime's messages where someone can see it (see PlatformWin32.cpp for a
// windowed program on Windows).
void writeMessageLine(const std::string& line);

// A path between the runtime's UTF-8 text and the standard library (whose narrow paths Windows
// reads in the ANSI code page).
std::filesystem::path toPath(std::string_view text);
std::string fromPath(const std::filesystem::path& path);

// A path named in a settings file that the system joins as text rather than through
// std::filesystem (Windows: UNC, \\?\ and \\.\ names, and names relative to a file of such a
// name); nullopt for every other path.
std::optional<std::string> joinedAsWritten(std::string_view path, const std::string& fileName);

// The kernel's 1-Wire bus masters ("w1 = FOLDER"): their folder by default, and the backend of
// one. Windows has none: an empty folder, and a port mapped to one has no adapter.
std::string kernelBusesFolder();
std::unique_ptr<Backend> makeKernelBus(const std::string& folder, const BackendContext& context);

#if defined(_WIN32)
// UTF-8 <-> UTF-16, for the wide Windows calls.
std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);
#endif

}  // namespace onewire::platform
