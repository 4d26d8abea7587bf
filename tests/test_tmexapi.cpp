// The 1-Wire library binding: loaded at the first call, every call reaching the library.

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/ComponentError.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"
#include "tests/fakes/FakePlatform.h"

namespace quorna {
namespace {

#if defined(_WIN32)
// Loads but holds none of the 1-Wire functions.
constexpr const char* kOtherLibrary = "kernel32.dll";
constexpr const char* kMissingLibrary = QUORNA_BINARY_DIR "/no-such-onewire.dll";

void* functionOf(const char* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(LoadLibraryA(library), name));
}

// Debugger output, as a debugger would see it: OutputDebugString raises an exception that only
// a debugger (or a vectored handler, which runs first) gets to see.
class DiagnosticCapture {
public:
    DiagnosticCapture() : handler_(AddVectoredExceptionHandler(1, &DiagnosticCapture::seen)) {
        text_.clear();
    }
    ~DiagnosticCapture() { RemoveVectoredExceptionHandler(handler_); }
    std::string text() const { return text_; }

private:
    static LONG CALLBACK seen(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
        if (record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2) {
            text_ += reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    static inline std::string text_;
    void* handler_;
};
#else
constexpr const char* kOtherLibrary = "libc.so.6";
constexpr const char* kMissingLibrary = QUORNA_BINARY_DIR "/no-such-onewire.so";

void* functionOf(const char* library, const char* name) {
    return dlsym(dlopen(library, RTLD_NOW | RTLD_LOCAL), name);
}

class DiagnosticCapture {
public:
    DiagnosticCapture() { ::testing::internal::CaptureStderr(); }
    std::string text() { return ::testing::internal::GetCapturedStderr(); }
};
#endif

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

TEST_F(BindingTest, WithoutTheLibraryConstructionFailsBeforePublishingAnythingAndSaysWhy) {
    DiagnosticCapture diagnostics;
    auto library = tmexapi::bindLibrary(kMissingLibrary);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            TMexDrive drive(library, events, sleeper);
            FAIL() << "construction succeeded without a library";
        } catch (const ComponentError& failure) {
            EXPECT_EQ(failure.number(), -2147221404);
            EXPECT_EQ(failure.source(), "QuornaWeb.TMexDrive.Class_Initialize");
            EXPECT_EQ(failure.description(), "TMexDrive component failure");
        }
    }
    EXPECT_EQ(tmexapi::intFoundPortNum, -99);
    EXPECT_EQ(tmexapi::intFoundPortType, -99);
    EXPECT_EQ(tmexapi::strDriverVersion, "untouched");
    EXPECT_EQ(events.calls, 0);
    EXPECT_TRUE(sleeper.sleeps.empty());

    // The cause, for a supporter: which file and why, once however often it is tried.
    const std::string said = diagnostics.text();
    const std::string expected = std::string("cannot load the 1-Wire library: ") + kMissingLibrary;
    ASSERT_NE(said.find(expected), std::string::npos) << said;
    EXPECT_EQ(said.find(expected, said.find(expected) + 1), std::string::npos) << said;
#if defined(_WIN32)
    EXPECT_NE(said.find("(error 126)"), std::string::npos) << said;  // module not found
#else
    EXPECT_NE(said.find("No such file or directory"), std::string::npos) << said;
#endif
}

TEST_F(BindingTest, AMissingFunctionIsAFailureOfThatCallOnly) {
    auto library = tmexapi::bindLibrary(kOtherLibrary);
    std::int16_t port = 0;
    std::int16_t type = 0;
    EXPECT_THROW(library->TMReadDefaultPort(&port, &type), std::runtime_error);
    EXPECT_THROW(library->TMSetup(1), std::runtime_error);
    EXPECT_FALSE(library->OneWireDiagnose(1, 6)) << "the diagnosis is optional: no failure";
}

TEST_F(BindingTest, CallsReachTheLibraryWithTheirArguments) {
    auto* log = reinterpret_cast<const char* (*)()>(
        functionOf(QUORNA_BINDING_LIBRARY, "quorna_binding_log"));
    auto* reset =
        reinterpret_cast<void (*)()>(functionOf(QUORNA_BINDING_LIBRARY, "quorna_binding_reset"));
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
}

TEST_F(BindingTest, TheBoundLibrarysFullPathIsKnownOnceLoaded) {
    auto library = tmexapi::bindLibrary(QUORNA_BINDING_LIBRARY);
    EXPECT_EQ(library->boundLibraryPath(), "");
    std::int16_t port = 0;
    std::int16_t type = 0;
    library->TMReadDefaultPort(&port, &type);
    const std::string path = library->boundLibraryPath();
    const std::string name = QUORNA_BINDING_LIBRARY;
    EXPECT_TRUE(path.ends_with(name.substr(name.find_last_of('/') + 1))) << path;
#if defined(_WIN32)
    EXPECT_EQ(path.substr(1, 2), ":\\") << path;  // with its drive, as Windows names it
#else
    EXPECT_EQ(path, name);
#endif
}

#if defined(_WIN32)
// A Windows library's text is in the ANSI code page (the tests run with Windows-1252): é and ©
// arrive as their characters, and a text that grows past the buffer in UTF-8 is cut between two.
TEST_F(BindingTest, TheVersionTextIsReadInTheAnsiCodePage) {
    ASSERT_EQ(GetACP(), 1252u) << "the test's expectations are Windows-1252's";
    auto* setVersion = reinterpret_cast<void (*)(const char*)>(
        functionOf(QUORNA_BINDING_LIBRARY, "quorna_binding_set_version"));
    ASSERT_NE(setVersion, nullptr);
    auto library = tmexapi::bindLibrary(QUORNA_BINDING_LIBRARY);

    setVersion("Reader \xE9\xA9 1.0");
    { TMexDrive drive(library, events, sleeper); }
    EXPECT_EQ(tmexapi::strDriverVersion, "Reader \xC3\xA9\xC2\xA9 1.0");

    setVersion(std::string(149, '\xE9').c_str());
    { TMexDrive drive(library, events, sleeper); }
    std::string expected;
    for (int i = 0; i < 74; ++i) {
        expected += "\xC3\xA9";
    }
    EXPECT_EQ(tmexapi::strDriverVersion, expected);
    setVersion("binding probe 1.00");
}
#endif

}  // namespace
}  // namespace quorna
