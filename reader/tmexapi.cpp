#include "reader/tmexapi.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "platform/ExecutableName.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/WindowsText.h"
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

namespace quorna::tmexapi {

std::int16_t intFoundPortNum = 0;
std::int16_t intFoundPortType = 0;
std::string strDriverVersion;

namespace {

#if defined(_WIN32)
#define TMEX_CALL __stdcall
using LibraryName = std::wstring;
using LibraryHandle = HMODULE;
constexpr const wchar_t* kDefaultLibrary = L"IBFS32.DLL";
// Our own runtime, shipped beside the program for machines without the vendor's library.
constexpr const wchar_t* kFallbackLibrary = L"onewire.dll";
#else
#define TMEX_CALL
using LibraryName = std::string;
using LibraryHandle = void*;
constexpr const char* kDefaultLibrary = "libonewire.so.1";
#endif

using TMReadDefaultPortFn = std::int16_t(TMEX_CALL*)(std::int16_t*, std::int16_t*);
using TMExtendedStartSessionFn = std::int32_t(TMEX_CALL*)(std::int16_t, std::int16_t, void*);
using TMSetupFn = std::int16_t(TMEX_CALL*)(std::int32_t);
using TMEndSessionFn = std::int16_t(TMEX_CALL*)(std::int32_t);
using TMNextFn = std::int16_t(TMEX_CALL*)(std::int32_t, void*);
using TMRomFn = std::int16_t(TMEX_CALL*)(std::int32_t, void*, std::int16_t*);
using Get_VersionFn = std::int16_t(TMEX_CALL*)(char*);
using OneWireDiagnoseFn = std::int32_t(TMEX_CALL*)(std::int16_t, std::int16_t, char*, std::int32_t);

#if defined(_WIN32)
using platform::narrow;
using platform::widen;

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

// The handle; nullptr with the file's name and the reason in `failure`.
LibraryHandle open(const LibraryName& name, std::string& failure) {
    HMODULE handle = loadFromSafeFolders(name);
    if (handle == nullptr) {
        const DWORD error = GetLastError();
        failure = narrow(name) + ": " + platform::systemMessage(error) + " (error " +
                  std::to_string(error) + ")";
    }
    return handle;
}

std::string pathOf(LibraryHandle handle) {
    return narrow(platform::modulePath(handle));
}

void reportLoadFailure(const std::string& message) {
    OutputDebugStringW(widen(message).c_str());
}
#else
LibraryHandle open(const LibraryName& name, std::string& failure) {
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();  // names the file
        failure = why != nullptr ? why : name;
    }
    return handle;
}

void reportLoadFailure(const std::string& message) {
    std::fputs(message.c_str(), stderr);
}

std::string pathOf(LibraryHandle handle) {
    const link_map* map = nullptr;
    return dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr
               ? map->l_name
               : "";
}
#endif

// Loads the library at the first call of any function and looks each function up at its own
// first call, so that a missing library or function is a failure of that call only.
class LibraryBinding final : public TMexApi {
public:
    // The first of candidates that loads serves every call.
    explicit LibraryBinding(std::vector<LibraryName> candidates)
        : candidates_(std::move(candidates)) {}
    ~LibraryBinding() override {
        // The library stays loaded: a session of it may outlive the binding's last user.
    }

    std::int16_t TMReadDefaultPort(std::int16_t* portNum, std::int16_t* portType) override {
        return bound(readDefaultPort_, "TMReadDefaultPort")(portNum, portType);
    }
    std::int32_t TMExtendedStartSession(std::int16_t portNum, std::int16_t portType,
                                        void* sessionOptions) override {
        return bound(startSession_, "TMExtendedStartSession")(portNum, portType, sessionOptions);
    }
    std::int16_t TMSetup(std::int32_t session) override {
        return bound(setup_, "TMSetup")(session);
    }
    std::int16_t TMEndSession(std::int32_t session) override {
        return bound(endSession_, "TMEndSession")(session);
    }
    std::int16_t TMNext(std::int32_t session, void* stateBuffer) override {
        return bound(next_, "TMNext")(session, stateBuffer);
    }
    std::int16_t TMRom(std::int32_t session, void* stateBuffer, std::int16_t* rom) override {
        return bound(rom_, "TMRom")(session, stateBuffer, rom);
    }
    std::int16_t Get_Version(char* buffer) override {
#if defined(_WIN32)
        // A Windows library's text is in the ANSI code page; the program's is UTF-8, cut at a
        // character's end where it no longer fits the caller's buffer.
        std::array<char, kVersionBufferSize> ansi{};
        const std::int16_t result = bound(version_, "Get_Version")(ansi.data());
        const auto end = std::find(ansi.begin(), ansi.end(), '\0');
        if (end == ansi.end()) {
            std::copy(ansi.begin(), ansi.end(), buffer);  // the caller finds no end either
            return result;
        }
        std::string text =
            platform::narrowFromAnsi(std::string_view(ansi.data(), end - ansi.begin()));
        std::size_t length = std::min(text.size(), kVersionBufferSize - 1);
        while (length < text.size() && length > 0 && (text[length] & 0xC0) == 0x80) {
            --length;
        }
        std::copy_n(text.data(), length, buffer);
        buffer[length] = '\0';
        return result;
#else
        return bound(version_, "Get_Version")(buffer);
#endif
    }
    std::string boundLibraryPath() override {
        return handle_ != nullptr ? pathOf(handle_) : std::string();
    }
    std::optional<std::string> OneWireDiagnose(std::int16_t portNum,
                                               std::int16_t portType) override {
        if (!diagnoseLookedUp_) {
            diagnose_ = reinterpret_cast<OneWireDiagnoseFn>(lookUp("OneWireDiagnose", false));
            diagnoseLookedUp_ = true;
        }
        if (diagnose_ == nullptr) {
            return std::nullopt;
        }
        std::string text(4096, '\0');
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::int32_t length =
                diagnose_(portNum, portType, text.data(), static_cast<std::int32_t>(text.size()));
            if (length < 0) {
                return std::nullopt;
            }
            if (static_cast<std::size_t>(length) < text.size()) {
                text.resize(static_cast<std::size_t>(length));
                return text;
            }
            text.assign(static_cast<std::size_t>(length) + 1, '\0');
        }
        return std::nullopt;
    }

private:
    template <typename Function>
    Function bound(Function& slot, const char* symbol) {
        if (slot == nullptr) {
            slot = reinterpret_cast<Function>(lookUp(symbol));
        }
        return slot;
    }

    // A missing function is a failure, unless it is optional.
    void* lookUp(const char* symbol, bool required = true) {
        if (handle_ == nullptr) {
            load();
        }
#if defined(_WIN32)
        auto* address = reinterpret_cast<void*>(GetProcAddress(handle_, symbol));
#else
        void* address = dlsym(handle_, symbol);
#endif
        if (address == nullptr && required) {
            throw std::runtime_error(std::string("no function ") + symbol +
                                     " in the 1-Wire library");
        }
        return address;
    }

    void load() {
        std::string failures;
        for (const LibraryName& candidate : candidates_) {
            std::string failure;
            handle_ = open(candidate, failure);
            if (handle_ != nullptr) {
                return;
            }
            failures += (failures.empty() ? "" : "; ") + failure;
        }
        // The windows show only that no reader was found; the cause is for whoever supports
        // the operator, once per binding, although each call tries to load it again.
        const std::string message = "cannot load the 1-Wire library: " + failures;
        if (!reported_) {
            reported_ = true;
            reportLoadFailure(platform::executableName() + ": " + message + "\n");
        }
        throw std::runtime_error(message);
    }

    std::vector<LibraryName> candidates_;
    bool reported_ = false;
    LibraryHandle handle_ = nullptr;
    TMReadDefaultPortFn readDefaultPort_ = nullptr;
    TMExtendedStartSessionFn startSession_ = nullptr;
    TMSetupFn setup_ = nullptr;
    TMEndSessionFn endSession_ = nullptr;
    TMNextFn next_ = nullptr;
    TMRomFn rom_ = nullptr;
    Get_VersionFn version_ = nullptr;
    OneWireDiagnoseFn diagnose_ = nullptr;
    bool diagnoseLookedUp_ = false;
};

}  // namespace

namespace {

#if defined(_WIN32)
// IBFS32.DLL from the program's folder, else the system's; only when neither has it, onewire.dll
// by its full path in the program's folder.
std::vector<LibraryName> defaultLibraries() {
    const std::wstring folder = platform::programFolder();
    if (folder.empty()) {
        return {kDefaultLibrary};  // never a bare onewire.dll from the search path
    }
    return {kDefaultLibrary, folder + kFallbackLibrary};
}

LibraryName nameOf(const std::string& libraryName) {
    return widen(libraryName);
}
#else
// Like Windows, which looks for a DLL in the program's folder first: the runtime built beside the
// program wins, whatever run path the loader would use (a preloaded sanitizer's, for instance).
std::vector<LibraryName> defaultLibraries() {
    std::string besideProgram = platform::executablePath();
    if (!besideProgram.empty()) {
        besideProgram.erase(besideProgram.find_last_of('/') + 1);
        besideProgram += kDefaultLibrary;
        if (access(besideProgram.c_str(), R_OK) == 0) {
            return {besideProgram};
        }
    }
    return {kDefaultLibrary};
}

LibraryName nameOf(const std::string& libraryName) {
    return libraryName;
}
#endif

}  // namespace

std::shared_ptr<TMexApi> bindLibrary(const std::string& libraryName) {
    return std::make_shared<LibraryBinding>(
        libraryName.empty() ? defaultLibraries() : std::vector<LibraryName>{nameOf(libraryName)});
}

}  // namespace quorna::tmexapi
