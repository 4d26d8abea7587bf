#include "tests/fakes/FakeTMexApi.h"

#include <cstring>
#include <stdexcept>

namespace quorna::fakes {

namespace {

// The search position lives in the caller's state buffer, as with the real library: the index
// of the next device, or -1 once an enumeration has run out (the next TMNext starts afresh).
std::int32_t readCursor(const void* state) {
    std::int32_t cursor = 0;
    std::memcpy(&cursor, state, sizeof cursor);
    return cursor;
}

void writeCursor(void* state, std::int32_t cursor) {
    std::memcpy(state, &cursor, sizeof cursor);
}

}  // namespace

void FakeTMexApi::defaultPort(std::int16_t result, std::int16_t portNum, std::int16_t portType,
                              bool writes) {
    defaultResult_ = result;
    defaultNum_ = portNum;
    defaultType_ = portType;
    defaultWrites_ = writes;
}

int FakeTMexApi::calls(Fn fn) const {
    const auto it = callCounts_.find(fn);
    return it == callCounts_.end() ? 0 : it->second;
}

void FakeTMexApi::enter(Fn fn) {
    const int number = ++callCounts_[fn];
    const auto it = failures_.find(fn);
    if (it != failures_.end() && (it->second == 0 || it->second == number)) {
        log_.push_back("threw");
        throw std::runtime_error("scripted library failure");
    }
}

FakeTMexApi::Port FakeTMexApi::portOf(std::int32_t session) const {
    const auto it = open_.find(session);
    if (it == open_.end()) {
        throw std::logic_error("fake 1-Wire: no open session " + std::to_string(session));
    }
    return it->second;
}

std::int16_t FakeTMexApi::TMReadDefaultPort(std::int16_t* portNum, std::int16_t* portType) {
    enter(Fn::ReadDefaultPort);
    if (defaultWrites_) {
        *portNum = defaultNum_;
        *portType = defaultType_;
    }
    log_.push_back("TMReadDefaultPort -> " + std::to_string(defaultResult_) + " (" +
                   std::to_string(*portNum) + "," + std::to_string(*portType) + ")");
    return defaultResult_;
}

std::int32_t FakeTMexApi::TMExtendedStartSession(std::int16_t portNum, std::int16_t portType,
                                                 void* sessionOptions) {
    enter(Fn::StartSession);
    if (sessionOptions != nullptr) {
        throw std::logic_error("fake 1-Wire: session options must be a null pointer");
    }
    const Port port{portNum, portType};
    const auto scripted = sessionHandles_.find(port);
    const std::int32_t handle =
        scripted != sessionHandles_.end() ? scripted->second : nextHandle_++;
    if (handle > 0) {
        open_[handle] = port;
    }
    log_.push_back("TMExtendedStartSession " + std::to_string(portNum) + "," +
                   std::to_string(portType) + " -> " + std::to_string(handle));
    return handle;
}

std::int16_t FakeTMexApi::TMSetup(std::int32_t session) {
    enter(Fn::Setup);
    std::int16_t result = invalidSessionSetup_;
    if (open_.count(session) != 0) {
        const auto it = setupResults_.find(open_.at(session));
        result = it != setupResults_.end() ? it->second : 3;
    }
    log_.push_back("TMSetup " + std::to_string(session) + " -> " + std::to_string(result));
    return result;
}

std::int16_t FakeTMexApi::TMEndSession(std::int32_t session) {
    enter(Fn::EndSession);
    open_.erase(session);
    log_.push_back("TMEndSession " + std::to_string(session));
    return 1;
}

std::int16_t FakeTMexApi::TMNext(std::int32_t session, void* stateBuffer) {
    enter(Fn::Next);
    stateBuffers_.push_back(stateBuffer);
    const auto it = buses_.find(portOf(session));
    const std::size_t count = it == buses_.end() ? 0 : it->second.size();
    std::int32_t cursor = readCursor(stateBuffer);
    if (cursor < 0) {
        cursor = 0;  // the previous enumeration ran out: begin again from the first device
    }
    std::int16_t result = 0;
    if (static_cast<std::size_t>(cursor) < count || endlessNext_) {
        writeCursor(stateBuffer, cursor + 1);
        result = 1;
    } else {
        writeCursor(stateBuffer, -1);
    }
    log_.push_back("TMNext " + std::to_string(session) + " -> " + std::to_string(result));
    return result;
}

std::int16_t FakeTMexApi::TMRom(std::int32_t session, void* stateBuffer, std::int16_t* rom) {
    enter(Fn::Rom);
    romElementZero_.push_back(rom[0]);
    log_.push_back("TMRom " + std::to_string(session));
    const std::int32_t current = readCursor(stateBuffer) - 1;
    const auto found = buses_.find(portOf(session));
    const std::size_t count = found == buses_.end() ? 0 : found->second.size();
    if (romWritesNothing_ || (endlessNext_ && count == 0)) {
        return romWritesNothing_.value_or(1);
    }
    if (current < 0 || (static_cast<std::size_t>(current) >= count && !endlessNext_)) {
        throw std::logic_error("fake 1-Wire: TMRom without a current device");
    }
    const Rom& device = found->second[static_cast<std::size_t>(current) % count];
    for (std::size_t i = 0; i < 8; ++i) {
        rom[i] = device[i];
    }
    return 1;
}

std::int16_t FakeTMexApi::Get_Version(char* buffer) {
    enter(Fn::GetVersion);
    log_.push_back("Get_Version");
    if (unterminatedVersion_) {
        std::memset(buffer, 'x', tmexapi::kVersionBufferSize);
    } else {
        std::memcpy(buffer, version_.c_str(), version_.size() + 1);
    }
    return 1;
}

}  // namespace quorna::fakes
