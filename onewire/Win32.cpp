#include "onewire/Win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

#include "onewire/TextFile.h"
#include "platform/WindowsText.h"

namespace onewire {
namespace win32 {

using quorna::platform::narrow;
using quorna::platform::systemMessage;
using quorna::platform::widen;

// The process's own environment, not the C library's copy of it taken at start-up.
std::optional<std::string> environmentVariable(const char* name) {
    const std::wstring wideName = widen(name);
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (length == 0) {
        return std::nullopt;
    }
    std::wstring value(length, L'\0');
    length = GetEnvironmentVariableW(wideName.c_str(), value.data(), length);
    value.resize(length);
    return narrow(value);
}

std::vector<std::string> defaultSettingsFiles(const Environment& environment) {
    std::vector<std::string> candidates;
    if (auto appData = environment("APPDATA"); appData && !appData->empty()) {
        candidates.push_back(*appData + "\\onewire\\onewire.conf");
    }
    // Every user's settings where Windows keeps a machine's program data; the installer puts the
    // example there, where an operator can edit it and an uninstall leaves it.
    if (auto programData = environment("ProgramData"); programData && !programData->empty()) {
        candidates.push_back(*programData + "\\onewire\\onewire.conf");
    }
    if (const std::wstring folder = quorna::platform::programFolder(); !folder.empty()) {
        candidates.push_back(narrow(folder) + "onewire.conf");
    }
    return candidates;
}

void writeMessageLine(const std::string& line) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    const DWORD type =
        error != nullptr && error != INVALID_HANDLE_VALUE ? GetFileType(error) : FILE_TYPE_UNKNOWN;
    DWORD mode = 0;
    if (type == FILE_TYPE_CHAR && GetConsoleMode(error, &mode)) {
        // A console shows UTF-16 whatever its code page.
        const std::wstring wide = widen(line + "\n");
        DWORD written = 0;
        WriteConsoleW(error, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else if (type != FILE_TYPE_UNKNOWN) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    } else {
        OutputDebugStringW(widen(line + "\n").c_str());
    }
}

}  // namespace win32

bool pathExists(const std::string& path) {
    return GetFileAttributesW(win32::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Opened for reading with every sharing mode, so an editor holding the file open cannot make it
// unreadable, and read only when it is a file on disk: a pipe would block the caller and a device
// such as CON or NUL would never end or mean nothing (a folder does not open at all).
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit,
                                         std::string* problem) {
    auto fail = [problem](std::string why) -> std::optional<std::string> {
        if (problem != nullptr) {
            *problem = std::move(why);
        }
        return std::nullopt;
    };
    auto reason = [](DWORD error) { return "cannot be read: " + win32::systemMessage(error); };
    HANDLE file = CreateFileW(win32::widen(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return fail(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                        ? "does not exist"
                        : reason(error));
    }
    std::optional<std::string> result;
    LARGE_INTEGER size{};
    const std::string tooLarge = "is too large (over " + std::to_string(limit) + " bytes)";
    if (GetFileType(file) != FILE_TYPE_DISK) {
        result = fail("is not a regular file");
    } else if (!GetFileSizeEx(file, &size)) {
        result = fail(reason(GetLastError()));
    } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
        result = fail(tooLarge);
    } else {
        std::string text;
        char chunk[4096];
        while (true) {
            DWORD count = 0;
            if (!ReadFile(file, chunk, sizeof chunk, &count, nullptr)) {
                result = fail(reason(GetLastError()));
                break;
            }
            if (text.size() + count > limit) {  // grown since its size was taken
                result = fail(tooLarge);
                break;
            }
            if (count == 0) {
                result = std::move(text);
                break;
            }
            text.append(chunk, count);
        }
    }
    CloseHandle(file);
    return result;
}

}  // namespace onewire
