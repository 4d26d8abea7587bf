#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The 1-Wire library's file as the platform loads it. One source file per platform
// (LibraryFilePosix.cpp, LibraryFileWin32.cpp), picked by the build; tmexapi.cpp binds the calls.
namespace quorna::tmexapi {

// The library's calling convention: the vendor's DLL and onewire.dll use __stdcall.
#if defined(_WIN32)
#define TMEX_CALL __stdcall
#else
#define TMEX_CALL
#endif

using Get_VersionFn = std::int16_t(TMEX_CALL*)(char*);

class LibraryFile {
public:
    // The files tried in turn: libraryName alone (UTF-8), or with none the platform's own list.
    explicit LibraryFile(const std::string& libraryName);
    ~LibraryFile();  // the library stays loaded: a session of it may outlive its last user

    LibraryFile(const LibraryFile&) = delete;
    LibraryFile& operator=(const LibraryFile&) = delete;

    // Loads the first file that loads; false with each file's name and reason, joined by "; ",
    // in failures.
    bool load(std::string& failures);
    bool loaded() const;
    // The function's address; nullptr when the library has none of that name.
    void* symbol(const char* name) const;
    // The loaded file's full path; empty when the platform cannot tell.
    std::string path() const;

    // Where a library that cannot be loaded is reported: standard error, or on Windows the
    // debugger output (a windowed program has no standard error).
    static void reportLoadFailure(const std::string& message);
    // Get_Version's text as the program keeps it (UTF-8, at most kVersionBufferSize bytes with
    // its end) in buffer; the library's result.
    static std::int16_t readVersion(Get_VersionFn getVersion, char* buffer);

private:
    struct Native;
    std::unique_ptr<Native> native_;
};

}  // namespace quorna::tmexapi
