#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/WindowsText.h"
#include "reader/LibraryFile.h"
#include "reader/tmexapi.h"

namespace quorna::tmexapi {

namespace {

using platform::narrow;
using platform::widen;

constexpr const wchar_t* kDefaultLibrary = L"IBFS32.DLL";
// Our own runtime, shipped beside the program for machines without the vendor's library.
constexpr const wchar_t* kFallbackLibrary = L"onewire.dll";

// Only the program's folder and the system's (on 64-bit Windows a 32-bit program's is SysWOW64,
// where the vendor's driver puts its 32-bit library), for the library and whatever it loads in
// turn: never the working folder or PATH, where anyone may put a file of that name.
constexpr DWORD kLibraryFolders =
    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

bool isBareName(const std::wstring& name) {
    return name.find_first_of(L"\\/:") == std::wstring::npos;
}

HMODULE loadFromSafeFolders(const std::wstring& name) {
    HMODULE handle = LoadLibraryExW(name.c_str(), nullptr, kLibraryFolders);
    if (handle != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) {
        return handle;
    }
    // A Windows without these flags (Windows 7 before KB2533623): the same folders by full path.
    const DWORD error = GetLastError();
    if (!isBareName(name)) {
        return LoadLibraryW(name.c_str());
    }
    std::wstring system(MAX_PATH, L'\0');
    system.resize(GetSystemDirectoryW(system.data(), MAX_PATH));
    for (const std::wstring& folder : {platform::programFolder(), system + L"\\"}) {
        if (folder.size() > 1 && (handle = LoadLibraryW((folder + name).c_str())) != nullptr) {
            return handle;
        }
    }
    SetLastError(error == ERROR_INVALID_PARAMETER ? ERROR_MOD_NOT_FOUND : error);
    return nullptr;
}

// IBFS32.DLL from the program's folder, else the system's; only when neither has it, onewire.dll
// by its full path in the program's folder.
std::vector<std::wstring> defaultLibraries() {
    const std::wstring folder = platform::programFolder();
    if (folder.empty()) {
        return {kDefaultLibrary};  // never a bare onewire.dll from the search path
    }
    return {kDefaultLibrary, folder + kFallbackLibrary};
}

}  // namespace

struct LibraryFile::Native {
    std::vector<std::wstring> candidates;
    HMODULE handle = nullptr;
};

LibraryFile::LibraryFile(const std::string& libraryName) : native_(std::make_unique<Native>()) {
    native_->candidates =
        libraryName.empty() ? defaultLibraries() : std::vector<std::wstring>{widen(libraryName)};
}

LibraryFile::~LibraryFile() = default;

bool LibraryFile::load(std::string& failures) {
    for (const std::wstring& candidate : native_->candidates) {
        native_->handle = loadFromSafeFolders(candidate);
        if (native_->handle != nullptr) {
            return true;
        }
        const DWORD error = GetLastError();
        failures += (failures.empty() ? "" : "; ") + narrow(candidate) + ": " +
                    platform::systemMessage(error) + " (error " + std::to_string(error) + ")";
    }
    return false;
}

bool LibraryFile::loaded() const {
    return native_->handle != nullptr;
}

void* LibraryFile::symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(native_->handle, name));
}

std::string LibraryFile::path() const {
    return native_->handle != nullptr ? narrow(platform::modulePath(native_->handle)) : "";
}

void LibraryFile::reportLoadFailure(const std::string& message) {
    OutputDebugStringW(widen(message).c_str());
}

std::int16_t LibraryFile::readVersion(Get_VersionFn getVersion, char* buffer) {
    // A Windows library's text is in the ANSI code page; the program's is UTF-8, cut at a
    // character's end where it no longer fits the caller's buffer.
    std::array<char, kVersionBufferSize> ansi{};
    const std::int16_t result = getVersion(ansi.data());
    const auto end = std::find(ansi.begin(), ansi.end(), '\0');
    if (end == ansi.end()) {
        std::copy(ansi.begin(), ansi.end(), buffer);  // the caller finds no end either
        return result;
    }
    std::string text = platform::narrowFromAnsi(std::string_view(ansi.data(), end - ansi.begin()));
    std::size_t length = std::min(text.size(), kVersionBufferSize - 1);
    while (length < text.size() && length > 0 && (text[length] & 0xC0) == 0x80) {
        --length;
    }
    std::copy_n(text.data(), length, buffer);
    buffer[length] = '\0';
    return result;
}

}  // namespace quorna::tmexapi
