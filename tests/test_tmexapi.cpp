// The 1-Wire library binding: loaded at the first call, every call reaching the library.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/ComponentError.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"
#include "tests/fakes/FakePlatform.h"

namespace quorna {
namespace {

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        tmexapi::intFoundPortNum = -99;
        tmexapi::intFoundPortType = -99;
        tmexapi::strDriverVersion = "untouched";
    }

    fakes::FakeEventPump events;
    fakes::FakeSleeper sleeper;
};

TEST_F(BindingTest, WithoutTheLibraryConstructionFailsBeforePublishingAnything) {
    auto library = tmexapi::bindLibrary(std::string(QUORNA_BINARY_DIR) + "/no-such-onewire.so");
    try {
        TMexDrive drive(library, events, sleeper);
        FAIL() << "construction succeeded without a library";
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.number(), -2147221404);
        EXPECT_EQ(failure.source(), "QuornaWeb.TMexDrive.Class_Initialize");
        EXPECT_EQ(failure.description(), "TMexDrive component failure");
    }
    EXPECT_EQ(tmexapi::intFoundPortNum, -99);
    EXPECT_EQ(tmexapi::intFoundPortType, -99);
    EXPECT_EQ(tmexapi::strDriverVersion, "untouched");
    EXPECT_EQ(events.calls, 0);
    EXPECT_TRUE(sleeper.sleeps.empty());
}

TEST_F(BindingTest, AMissingFunctionIsAFailureOfThatCallOnly) {
    // The C library loads but holds none of the 1-Wire functions.
    auto library = tmexapi::bindLibrary("libc.so.6");
    std::int16_t port = 0;
    std::int16_t type = 0;
    EXPECT_THROW(library->TMReadDefaultPort(&port, &type), std::runtime_error);
    EXPECT_THROW(library->TMSetup(1), std::runtime_error);
    EXPECT_FALSE(library->OneWireDiagnose(1, 6)) << "the diagnosis is optional: no failure";
}

TEST_F(BindingTest, CallsReachTheLibraryWithTheirArguments) {
    void* probe = dlopen(QUORNA_BINDING_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << dlerror();
    auto* log = reinterpret_cast<const char* (*)()>(dlsym(probe, "quorna_binding_log"));
    auto* reset = reinterpret_cast<void (*)()>(dlsym(probe, "quorna_binding_reset"));
    ASSERT_NE(log, nullptr);
    ASSERT_NE(reset, nullptr);
    reset();

    auto library = tmexapi::bindLibrary(QUORNA_BINDING_LIBRARY);
    {
        TMexDrive drive(library, events, sleeper);
        EXPECT_EQ(tmexapi::intFoundPortNum, 2);
        EXPECT_EQ(tmexapi::intFoundPortType, 5);
        EXPECT_EQ(tmexapi::strDriverVersion, "binding probe 1.00");
        EXPECT_TRUE(drive.RegistrySet());
        EXPECT_TRUE(drive.Found());
        drive.ScanOnce();
        ASSERT_EQ(drive.ROMIDs()->Count(), 1);
        EXPECT_EQ(drive.ROMIDs()->Item(1), "021CB801000000A2");
        EXPECT_FALSE(library->OneWireDiagnose(2, 5)) << "a TMEX library without the diagnosis";
    }
    EXPECT_EQ(std::string(log()),
              "TMReadDefaultPort 0 0\n"
              "Get_Version zeroed\n"
              "TMReadDefaultPort 2 5\n"
              "TMExtendedStartSession 2 5 null\n"
              "TMSetup 7\n"
              "TMEndSession 7\n"
              "TMExtendedStartSession 2 5 null\n"
              "TMSetup 7\n"
              "TMNext 7 -> 1\n"
              "TMRom 7 0\n"
              "TMNext 7 -> 0\n"
              "TMEndSession 7\n");
    dlclose(probe);
}

}  // namespace
}  // namespace quorna
