// The exported calls: thin wrappers that keep every exception inside the library.
#include "onewire/onewire.h"

#include <algorithm>
#include <cstring>

#include "onewire/Runtime.h"

namespace {

onewire::Runtime& runtime() {
    static onewire::Runtime instance;
    return instance;
}

template <typename Result, typename Call>
Result guarded(Result onFailure, Call call) {
    try {
        return call();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace

extern "C" {

int16_t ONEWIRE_CALL TMReadDefaultPort(int16_t* portNum, int16_t* portType) {
    return guarded<int16_t>(0, [&] { return runtime().readDefaultPort(portNum, portType); });
}

int32_t ONEWIRE_CALL TMExtendedStartSession(int16_t portNum, int16_t portType,
                                            void* /*sessionOptions*/) {
    return guarded<int32_t>(0, [&] { return runtime().startSession(portNum, portType); });
}

int16_t ONEWIRE_CALL TMSetup(int32_t session) {
    return guarded<int16_t>(3, [&] { return runtime().setup(session); });
}

int16_t ONEWIRE_CALL TMEndSession(int32_t session) {
    return guarded<int16_t>(0, [&] { return runtime().endSession(session); });
}

int16_t ONEWIRE_CALL TMNext(int32_t session, void* stateBuffer) {
    return guarded<int16_t>(0, [&] { return runtime().next(session, stateBuffer); });
}

int16_t ONEWIRE_CALL TMRom(int32_t session, void* stateBuffer, int16_t* rom) {
    return guarded<int16_t>(0, [&] { return runtime().rom(session, stateBuffer, rom); });
}

int16_t ONEWIRE_CALL Get_Version(char* buffer) {
    return onewire::Runtime::version(buffer);
}

int32_t ONEWIRE_CALL OneWireDiagnose(int16_t portNum, int16_t portType, char* text, int32_t size) {
    return guarded<int32_t>(-1, [&] {
        std::string report = runtime().diagnose(portNum, portType);
        if (text != nullptr && size > 0) {
            std::size_t copied = std::min(report.size(), static_cast<std::size_t>(size) - 1);
            std::memcpy(text, report.data(), copied);
            text[copied] = '\0';
        }
        return static_cast<int32_t>(std::min<std::size_t>(report.size(), INT32_MAX));
    });
}
}
