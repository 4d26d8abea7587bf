#include "reader/tmexapi.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/ExecutableName.h"
#include "reader/LibraryFile.h"

namespace quorna::tmexapi {

std::int16_t intFoundPortNum = 0;
std::int16_t intFoundPortType = 0;
std::string strDriverVersion;

void publishFoundPort(std::int16_t portNum, std::int16_t portType) {
    intFoundPortNum = portNum;
    intFoundPortType = portType;
}

void publishDriverVersion(std::string version) {
    strDriverVersion = std::move(version);
}

void resetSharedGlobals() {
    publishFoundPort(0, 0);
    publishDriverVersion({});
}

namespace {

using TMReadDefaultPortFn = std::int16_t(TMEX_CALL*)(std::int16_t*, std::int16_t*);
using TMExtendedStartSessionFn = std::int32_t(TMEX_CALL*)(std::int16_t, std::int16_t, void*);
using TMSetupFn = std::int16_t(TMEX_CALL*)(std::int32_t);
using TMEndSessionFn = std::int16_t(TMEX_CALL*)(std::int32_t);
using TMNextFn = std::int16_t(TMEX_CALL*)(std::int32_t, void*);
using TMRomFn = std::int16_t(TMEX_CALL*)(std::int32_t, void*, std::int16_t*);
using OneWireDiagnoseFn = std::int32_t(TMEX_CALL*)(std::int16_t, std::int16_t, char*, std::int32_t);

// Loads the library at the first call of any function and looks each function up at its own
// first call, so that a missing library or function is a failure of that call only.
class LibraryBinding final : public TMexApi {
public:
    // The first of the file's candidates that loads serves every call.
    explicit LibraryBinding(const std::string& libraryName) : file_(libraryName) {}

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
        return LibraryFile::readVersion(bound(version_, "Get_Version"), buffer);
    }
    std::string boundLibraryPath() override { return file_.path(); }
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
        if (!file_.loaded()) {
            load();
        }
        void* address = file_.symbol(symbol);
        if (address == nullptr && required) {
            throw std::runtime_error(std::string("no function ") + symbol +
                                     " in the 1-Wire library");
        }
        return address;
    }

    void load() {
        std::string failures;
        if (file_.load(failures)) {
            return;
        }
        // The windows show only that no reader was found; the cause is for whoever supports
        // the operator, once per binding, although each call tries to load it again.
        const std::string message = "cannot load the 1-Wire library: " + failures;
        if (!reported_) {
            reported_ = true;
            LibraryFile::reportLoadFailure(platform::executableName() + ": " + message + "\n");
        }
        throw std::runtime_error(message);
    }

    LibraryFile file_;
    bool reported_ = false;
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

std::shared_ptr<TMexApi> bindLibrary(const std::string& libraryName) {
    return std::make_shared<LibraryBinding>(libraryName);
}

}  // namespace quorna::tmexapi
