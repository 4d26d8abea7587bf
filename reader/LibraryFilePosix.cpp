#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/ExecutableName.h"
#include "reader/LibraryFile.h"

namespace quorna::tmexapi {

namespace {

constexpr const char* kDefaultLibrary = "libonewire.so.1";

// Like Windows, which looks for a DLL in the program's folder first: the runtime built beside the
// program wins, whatever run path the loader would use (a preloaded sanitizer's, for instance).
std::vector<std::string> defaultLibraries() {
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

}  // namespace

struct LibraryFile::Native {
    std::vector<std::string> candidates;
    void* handle = nullptr;
};

LibraryFile::LibraryFile(const std::string& libraryName) : native_(std::make_unique<Native>()) {
    native_->candidates =
        libraryName.empty() ? defaultLibraries() : std::vector<std::string>{libraryName};
}

LibraryFile::~LibraryFile() = default;

bool LibraryFile::load(std::string& failures) {
    for (const std::string& candidate : native_->candidates) {
        native_->handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (native_->handle != nullptr) {
            return true;
        }
        const char* why = dlerror();  // names the file
        failures += (failures.empty() ? "" : "; ") + std::string(why != nullptr ? why : candidate);
    }
    return false;
}

bool LibraryFile::loaded() const {
    return native_->handle != nullptr;
}

void* LibraryFile::symbol(const char* name) const {
    return dlsym(native_->handle, name);
}

std::string LibraryFile::path() const {
    const link_map* map = nullptr;
    return native_->handle != nullptr && dlinfo(native_->handle, RTLD_DI_LINKMAP, &map) == 0 &&
                   map != nullptr && map->l_name != nullptr
               ? map->l_name
               : "";
}

void LibraryFile::reportLoadFailure(const std::string& message) {
    std::fputs(message.c_str(), stderr);
}

std::int16_t LibraryFile::readVersion(Get_VersionFn getVersion, char* buffer) {
    return getVersion(buffer);
}

}  // namespace quorna::tmexapi
