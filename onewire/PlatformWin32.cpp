#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cwctype>

#include "onewire/Platform.h"
#include "onewire/TextFile.h"

namespace onewire {
namespace platform {
namespace {

// The full path of the running program; empty when Windows cannot tell.
std::wstring programPath() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) ==
           path.size()) {
        path.resize(path.size() * 2);  // a long path cut short
    }
    path.resize(length);
    return path;
}

// The running program's folder with its final backslash; empty when Windows cannot tell.
std::wstring programFolder() {
    std::wstring path = programPath();
    path.erase(path.find_last_of(L"\\/") + 1);
    return path;
}

}  // namespace

std::wstring widen(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string narrow(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), length, nullptr, nullptr);
    return result;
}

std::string systemMessage(unsigned long error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && std::iswspace(text.back())) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(error) : narrow(text);
}

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
    if (const std::wstring folder = programFolder(); !folder.empty()) {
        candidates.push_back(narrow(folder) + "onewire.conf");
    }
    return candidates;
}

// On standard error where the process has a usable one (a console program, or a windowed one whose
// standard error was redirected), else to the debugger output, where DebugView or a debugger
// shows it (a windowed program started from Explorer).
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

std::string serialDevice(Port port) {
    return "COM" + std::to_string(port.number);
}

std::filesystem::path toPath(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string fromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// GCC's library takes UNC, \\?\ and \\.\ names for relative ones, and normalising would change
// what \\?\ means: they are used as written, and joined as text.
std::optional<std::string> joinedAsWritten(std::string_view path, const std::string& fileName) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    const auto asWritten = [&](std::string_view name) {
        return name.size() >= 2 && separator(name[0]) && separator(name[1]);
    };
    if (asWritten(path)) {
        return std::string(path);
    }
    if (toPath(path).is_relative() && asWritten(fileName)) {
        const std::size_t folderEnd = fileName.find_last_of("\\/");
        return fileName.substr(0, folderEnd + 1) + std::string(path);
    }
    return std::nullopt;
}

std::string kernelBusesFolder() {
    return {};
}

std::unique_ptr<Backend> makeKernelBus(const std::string&, const BackendContext&) {
    return std::make_unique<NoAdapter>();  // the kernel's w1 buses are Linux's
}

}  // namespace platform

bool pathExists(const std::string& path) {
    return GetFileAttributesW(platform::widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
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
    auto reason = [](DWORD error) { return "cannot be read: " + platform::systemMessage(error); };
    HANDLE file = CreateFileW(platform::widen(path).c_str(), GENERIC_READ,
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
