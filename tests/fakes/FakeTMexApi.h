#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/tmexapi.h"

namespace quorna::fakes {

// A scripted, recording stand-in for the 1-Wire library. Every call is appended to log() as a
// short line, so tests can assert the exact order of library calls:
//   "TMReadDefaultPort -> 1 (3,5)"   result, then the port number and type written back
//   "TMExtendedStartSession 1,6 -> 11"
//   "TMSetup 11 -> 3"
//   "TMEndSession 11"
//   "TMNext 11 -> 1"
//   "TMRom 11"                        (the test can read romElementZeroAtCall for the argument)
//   "Get_Version"
// Tests may add their own marker lines with note() (for instance from a fake event pump).
class FakeTMexApi : public tmexapi::TMexApi {
public:
    enum class Fn { ReadDefaultPort, StartSession, Setup, EndSession, Next, Rom, GetVersion };
    using Rom = std::array<std::int16_t, 8>;
    using Port = std::pair<std::int16_t, std::int16_t>;  // number, type

    // --- script ---
    // What TMReadDefaultPort returns and writes back. Nothing is written when writes is false.
    void defaultPort(std::int16_t result, std::int16_t portNum, std::int16_t portType,
                     bool writes = true);
    // TMSetup's result for a session on that port (3, "adapter not found", for unscripted ports).
    void setupResult(Port port, std::int16_t result) { setupResults_[port] = result; }
    // The handle TMExtendedStartSession gives for that port; unscripted ports get fresh positive
    // handles 11, 12, ...
    void sessionHandle(Port port, std::int32_t handle) { sessionHandles_[port] = handle; }
    // TMSetup's result for a handle that is not an open session.
    void invalidSessionSetupResult(std::int16_t result) { invalidSessionSetup_ = result; }
    // The devices on the bus behind a port, in search order; changeable between passes.
    void devices(Port port, std::vector<Rom> roms) { buses_[port] = std::move(roms); }
    // A TMNext that never runs out: it finds the bus's devices over and over (or, on an empty
    // bus, devices whose TMRom writes nothing).
    void endlessNext() { endlessNext_ = true; }
    // A TMRom that writes nothing into the buffer and returns result.
    void romWritesNothing(std::int16_t result) { romWritesNothing_ = result; }
    // Version text written by Get_Version; unterminated fills all 150 bytes with no 0 byte.
    void version(std::string text) { version_ = std::move(text); }
    void unterminatedVersion() { unterminatedVersion_ = true; }
    // Call number callNumber (1-based, counted over the fake's life) of fn throws; 0 = every call.
    void failAt(Fn fn, int callNumber) { failures_[fn] = callNumber; }
    void clearFailures() { failures_.clear(); }

    // --- record ---
    const std::vector<std::string>& log() const { return log_; }
    void note(std::string line) { log_.push_back(std::move(line)); }
    void clearLog() { log_.clear(); }
    int calls(Fn fn) const;
    // Sessions started and not yet ended.
    int openSessions() const { return static_cast<int>(open_.size()); }
    // Element 0 of the ROM buffer at each TMRom call; and the state buffers lent to TMNext.
    const std::vector<std::int16_t>& romElementZeroAtCall() const { return romElementZero_; }
    const std::vector<const void*>& stateBuffers() const { return stateBuffers_; }

    // --- the library ---
    std::int16_t TMReadDefaultPort(std::int16_t* portNum, std::int16_t* portType) override;
    std::int32_t TMExtendedStartSession(std::int16_t portNum, std::int16_t portType,
                                        void* sessionOptions) override;
    std::int16_t TMSetup(std::int32_t session) override;
    std::int16_t TMEndSession(std::int32_t session) override;
    std::int16_t TMNext(std::int32_t session, void* stateBuffer) override;
    std::int16_t TMRom(std::int32_t session, void* stateBuffer, std::int16_t* rom) override;
    std::int16_t Get_Version(char* buffer) override;

private:
    void enter(Fn fn);
    Port portOf(std::int32_t session) const;

    std::int16_t defaultResult_ = 0;
    std::int16_t defaultNum_ = 0;
    std::int16_t defaultType_ = 0;
    bool defaultWrites_ = false;
    std::map<Port, std::int16_t> setupResults_;
    std::map<Port, std::int32_t> sessionHandles_;
    std::int16_t invalidSessionSetup_ = -200;
    std::map<Port, std::vector<Rom>> buses_;
    std::string version_ = "fake 1-Wire 1.00";
    bool unterminatedVersion_ = false;
    bool endlessNext_ = false;
    std::optional<std::int16_t> romWritesNothing_;
    std::map<Fn, int> failures_;

    std::map<Fn, int> callCounts_;
    std::map<std::int32_t, Port> open_;
    std::int32_t nextHandle_ = 11;
    std::vector<std::string> log_;
    std::vector<std::int16_t> romElementZero_;
    std::vector<const void*> stateBuffers_;
};

}  // namespace quorna::fakes
