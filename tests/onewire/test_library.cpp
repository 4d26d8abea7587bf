// The built libonewire.so.1 as the program binds it: loaded at run time, seven C functions and
// nothing else exported, a whole pass through them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "onewire/onewire.h"

namespace {

std::set<std::string> exportedFunctions() {
    std::set<std::string> names;
    FILE* output = ::popen("nm -D --defined-only " ONEWIRE_LIBRARY, "r");
    char line[512];
    while (output != nullptr && std::fgets(line, sizeof line, output) != nullptr) {
        std::string text(line);
        auto last = text.find_last_of(' ');
        std::string name = text.substr(last + 1);
        name.erase(name.find_last_not_of("\r\n") + 1);
        if (text.find(" T ") != std::string::npos || text.find(" W ") != std::string::npos ||
            text.find(" D ") != std::string::npos || text.find(" B ") != std::string::npos) {
            names.insert(name);
        }
    }
    if (output != nullptr) {
        ::pclose(output);
    }
    return names;
}

template <typename Function>
Function lookUp(void* library, const char* name) {
    return reinterpret_cast<Function>(::dlsym(library, name));
}

}  // namespace

TEST(Library, ExportsTheSevenCallsAndTheDiagnosis) {
    EXPECT_EQ(exportedFunctions(),
              (std::set<std::string>{"TMReadDefaultPort", "TMExtendedStartSession", "TMSetup",
                                     "TMEndSession", "TMNext", "TMRom", "Get_Version",
                                     "OneWireDiagnose"}));
}

TEST(Library, APassThroughTheExportedCalls) {
    auto folder = std::filesystem::temp_directory_path() / "onewire-library-test";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "onewire.conf") << "default = usb 1\nusb 1 = virtual reader.txt\n";
    std::ofstream(folder / "reader.txt") << "021CB801000000A2\n";
    ::setenv("ONEWIRE_CONF", (folder / "onewire.conf").c_str(), 1);

    void* library = ::dlopen(ONEWIRE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto readDefault = lookUp<decltype(&TMReadDefaultPort)>(library, "TMReadDefaultPort");
    auto start = lookUp<decltype(&TMExtendedStartSession)>(library, "TMExtendedStartSession");
    auto setup = lookUp<decltype(&TMSetup)>(library, "TMSetup");
    auto end = lookUp<decltype(&TMEndSession)>(library, "TMEndSession");
    auto next = lookUp<decltype(&TMNext)>(library, "TMNext");
    auto rom = lookUp<decltype(&TMRom)>(library, "TMRom");
    auto version = lookUp<decltype(&Get_Version)>(library, "Get_Version");

    std::int16_t number = 0, type = 0;
    EXPECT_EQ(readDefault(&number, &type), 1);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(type, 6);
    std::int32_t unmapped = start(4, 5, nullptr);
    EXPECT_GT(unmapped, 0);
    EXPECT_EQ(setup(unmapped), 3) << "an unmapped port has no adapter";
    end(unmapped);
    EXPECT_EQ(setup(0), -200);
    end(0);

    std::vector<std::uint8_t> stateBuffer(15361, 0);
    std::int32_t session = start(1, 6, nullptr);
    ASSERT_GT(session, 0);
    EXPECT_EQ(setup(session), 1);
    ASSERT_EQ(next(session, stateBuffer.data()), 1);
    std::int16_t bytes[8] = {};
    rom(session, stateBuffer.data(), bytes);
    EXPECT_EQ(bytes[0], 0x02);
    EXPECT_EQ(bytes[7], 0xA2);
    EXPECT_NE(next(session, stateBuffer.data()), 1);
    end(session);

    char text[150] = {};
    version(text);
    EXPECT_GT(std::string(text).size(), 5u);

    // The diagnosis is cut to the buffer, always ended, and tells the length it needs.
    auto diagnose = lookUp<decltype(&OneWireDiagnose)>(library, "OneWireDiagnose");
    char small[16];
    std::int32_t needed = diagnose(1, 6, small, sizeof small);
    EXPECT_GT(needed, std::int32_t(sizeof small));
    EXPECT_EQ(std::string(small).size(), sizeof small - 1);
    std::string whole(static_cast<std::size_t>(needed) + 1, '\0');
    EXPECT_EQ(diagnose(1, 6, whole.data(), needed + 1), needed);
    EXPECT_NE(whole.find("device: 021CB801000000A2\n"), std::string::npos) << whole;
    ::dlclose(library);
    std::filesystem::remove_all(folder);
}
