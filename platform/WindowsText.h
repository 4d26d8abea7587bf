#pragma once

// Text between the program, which keeps it in UTF-8, and the Windows API, which takes UTF-16; for
// the program's Windows sources only (the 1-Wire runtime, which includes nothing of the program,
// has its own in onewire/PlatformWin32.cpp). Header-only.
#include <windows.h>

#include <cwctype>
#include <string>
#include <string_view>

namespace quorna::platform {

inline std::wstring widen(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

inline std::string narrow(std::wstring_view text) {
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

// Text in the ANSI code page, as single-byte Windows libraries return it (Get_Version), in UTF-8.
inline std::string narrowFromAnsi(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
    return narrow(wide);
}

// The full path of a loaded module (nullptr: the running program); empty when Windows cannot tell.
inline std::wstring modulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()))) ==
           path.size()) {
        path.resize(path.size() * 2);  // a long path cut short
    }
    path.resize(length);
    return path;
}

// The running program's folder with its final backslash; empty when Windows cannot tell.
inline std::wstring programFolder() {
    std::wstring path = modulePath(nullptr);
    path.erase(path.find_last_of(L"\\/") + 1);
    return path;
}

// The system's text for an error code (GetLastError, WSAGetLastError), without its line break.
inline std::string systemMessage(unsigned long error) {
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

}  // namespace quorna::platform
