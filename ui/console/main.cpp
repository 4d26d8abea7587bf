// quorna-reader-check: the reader check for operators and supporters. It finds the 1-Wire adapter
// as the program does, through the reader driver, and prints what stands between the reader and
// the program's list: the settings file, each port's backend and adapter, the TMSetup code with
// its meaning, and every device on the bus with the reason it is or is not listed.
//
//   quorna-reader-check [--all-ports] [--scan SECONDS]
//
// Without --all-ports it checks the port the probe chose (or, with no adapter found, the port the
// program tries first); --all-ports checks every port the settings map. --scan SECONDS then scans
// the probe's port every 350 ms for that long and prints the list whenever it changes.
//
// Exit status: 0 adapter found (on every port checked), 2 not found, 1 driver failure,
// 64 bad arguments.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include "platform/ComponentError.h"
#include "platform/Services.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"
#include "timer/MTimer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kExitFound = 0;
constexpr int kExitDriverFailure = 1;
constexpr int kExitNotFound = 2;
constexpr int kExitUsage = 64;
constexpr std::int16_t kSetupOk = 1;

// A single-threaded event loop with periodic timers: enough to drive the timer registry, which
// is all the driver needs of an event loop.
class ConsoleLoop : public quorna::platform::TimerService,
                    public quorna::platform::EventPump,
                    public quorna::platform::Sleeper {
public:
    std::int32_t setTimer(std::int32_t periodMilliseconds,
                          quorna::platform::TimerProc callback) override {
        if (periodMilliseconds <= 0 || callback == nullptr) {
            return 0;
        }
        const std::int32_t id = nextId_++;
        timers_[id] = {milliseconds(periodMilliseconds),
                       Clock::now() + milliseconds(periodMilliseconds), callback};
        return id;
    }

    void killTimer(std::int32_t timerId) override { timers_.erase(timerId); }

    void processPendingEvents() override { deliverDue(); }

    void sleep(std::int32_t ms) override { std::this_thread::sleep_for(milliseconds(ms)); }

    // Runs timers until the deadline, calling afterTimers after each round of expiries.
    template <typename AfterTimers>
    void runUntil(Clock::time_point deadline, AfterTimers afterTimers) {
        while (Clock::now() < deadline) {
            Clock::time_point wake = deadline;
            for (const auto& [id, timer] : timers_) {
                wake = std::min(wake, timer.due);
            }
            std::this_thread::sleep_until(wake);
            deliverDue();
            afterTimers();
        }
    }

private:
    struct Timer {
        milliseconds period;
        Clock::time_point due;
        quorna::platform::TimerProc callback;
    };

    void deliverDue() {
        const auto now = Clock::now();
        std::vector<std::int32_t> due;
        for (const auto& [id, timer] : timers_) {
            if (timer.due <= now) {
                due.push_back(id);
            }
        }
        // A callback may kill or create timers: look each one up again before serving it.
        for (std::int32_t id : due) {
            const auto it = timers_.find(id);
            if (it == timers_.end()) {
                continue;
            }
            // A late loop skips the missed expiries rather than delivering them in a burst.
            it->second.due = std::max(it->second.due + it->second.period, now + milliseconds(1));
            const auto callback = it->second.callback;
            const auto systemTime = static_cast<std::uint32_t>(
                std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count());
            callback(0, 0x0113, id, systemTime);
        }
    }

    std::map<std::int32_t, Timer> timers_;
    std::int32_t nextId_ = 1;
};

struct Port {
    std::int16_t number = 0;
    std::int16_t type = 0;
};

std::string portText(Port port) {
    if (port.type == quorna::tmexapi::kPortTypeUsb) {
        return "USB port " + std::to_string(port.number);
    }
    if (port.type == quorna::tmexapi::kPortTypeSerial) {
        return "COM" + std::to_string(port.number);
    }
    return "port " + std::to_string(port.number) + " of type " + std::to_string(port.type);
}

// "usb 2" or "com 3", as the runtime's account names ports.
std::optional<Port> portOfName(const std::string& name) {
    std::istringstream words(name);
    std::string kind;
    int number = -1;
    if (!(words >> kind >> number) || number < 0 || number > 32767) {
        return std::nullopt;
    }
    if (kind == "usb") {
        return Port{static_cast<std::int16_t>(number), quorna::tmexapi::kPortTypeUsb};
    }
    if (kind == "com") {
        return Port{static_cast<std::int16_t>(number), quorna::tmexapi::kPortTypeSerial};
    }
    return std::nullopt;
}

// The runtime's account: "key: value" lines, a key may repeat.
using Account = std::vector<std::pair<std::string, std::string>>;

Account parseAccount(const std::string& text) {
    Account account;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) {
            account.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        }
    }
    return account;
}

std::vector<std::string> valuesOf(const Account& account, const std::string& key) {
    std::vector<std::string> values;
    for (const auto& [name, value] : account) {
        if (name == key) {
            values.push_back(value);
        }
    }
    return values;
}

std::string valueOf(const Account& account, const std::string& key, std::string fallback = {}) {
    auto values = valuesOf(account, key);
    return values.empty() ? fallback : values.front();
}

// A multi-line text indented under its label.
std::string indented(std::string text, const std::string& indent) {
    std::string result;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find("\r\n", start);
        result += (start == 0 ? "" : "\n" + indent) + text.substr(start, end - start);
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return result;
}

void printSettings(const Account& account) {
    const std::string file = valueOf(account, "settings", "none");
    if (file == "none") {
        std::cout << "Settings file: none found; looked at:\n";
        for (const auto& path : valuesOf(account, "looked-at")) {
            std::cout << "  " << path << '\n';
        }
    } else {
        std::cout << "Settings file: " << file << '\n';
    }
    std::cout << "Default port: " << valueOf(account, "default", "none") << '\n';
}

// One adapter test as the driver makes it: a session, TMSetup, the end of the session.
std::int16_t setupCode(quorna::tmexapi::TMexApi& library, Port port) {
    const std::int32_t session = library.TMExtendedStartSession(port.number, port.type, nullptr);
    const std::int16_t code = library.TMSetup(session);
    library.TMEndSession(session);
    return code;
}

// Prints one port's check; true when its adapter is found.
bool checkPort(quorna::tmexapi::TMexApi& library, Port port, const std::string& runtimeName) {
    std::cout << '\n' << "Port: " << portText(port) << '\n';
    const std::int16_t code = setupCode(library, port);
    const auto text = library.OneWireDiagnose(port.number, port.type);
    if (text) {
        const Account account = parseAccount(*text);
        std::cout << "  Backend: " << valueOf(account, "backend", "unknown") << '\n'
                  << "  Adapter: " << valueOf(account, "adapter", "unknown") << '\n';
    }
    std::cout << "  TMSetup: " << code << " = "
              << indented(quorna::TMexDrive::SetupCodeText(code), "           ") << '\n';
    if (!text) {
        std::cout << "  (" << runtimeName << " gives no account of its devices)\n";
        return code == kSetupOk;
    }
    const auto devices = valuesOf(parseAccount(*text), "device");
    std::cout << "  Devices on the bus: " << devices.size() << '\n';
    int tokens = 0;
    for (const std::string& device : devices) {
        const std::string romId = device.substr(0, 16);
        std::string verdict;
        if (device.size() > 16) {
            verdict = device.substr(17);  // "refused: ..."
        } else if (quorna::TMexDrive::IsAdapterChip(romId)) {
            verdict = "refused: the adapter's own chip";
        } else {
            verdict = "token, listed";
            ++tokens;
        }
        std::cout << "    " << romId << "  family " << romId.substr(0, 2) << "  " << verdict
                  << '\n';
    }
    std::cout << "  Tokens listed: " << tokens << '\n';
    return code == kSetupOk;
}

std::string listText(const quorna::ROMIDList& list) {
    std::string text;
    for (const std::string& romId : list) {
        text += (text.empty() ? "" : " ") + romId;
    }
    return text.empty() ? "none listed" : std::to_string(list.Count()) + " listed: " + text;
}

int usage() {
    std::cerr << "usage: quorna-reader-check [--all-ports] [--scan SECONDS]\n";
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    double scanSeconds = 0;
    bool allPorts = false;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--all-ports") {
            allPorts = true;
        } else if (args[i] == "--scan" && i + 1 < args.size()) {
            char* end = nullptr;
            scanSeconds = std::strtod(args[++i].c_str(), &end);
            if (end == args[i].c_str() || *end != '\0' ||
                !(scanSeconds > 0 && scanSeconds < 86400)) {
                return usage();
            }
        } else {
            return usage();
        }
    }

#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);  // paths and texts are UTF-8; a console shows them so
#endif
    ConsoleLoop loop;
    quorna::MTimer::useTimerService(&loop);

    try {
        auto library = quorna::tmexapi::bindLibrary();
        auto drive = std::make_shared<quorna::TMexDrive>(library, loop, loop);
        const std::string runtimeName = quorna::tmexapi::strDriverVersion;
        std::cout << "1-Wire library: " << runtimeName << '\n';
        std::cout << "1-Wire library file: " << library->boundLibraryPath() << '\n';
        const auto settings = library->OneWireDiagnose(0, 0);
        if (settings) {
            printSettings(parseAccount(*settings));
        } else {
            std::cout << "Default port in the 1-Wire settings: "
                      << (drive->RegistrySet() ? "yes" : "no") << '\n';
        }
        const bool found = drive->Found();
        const Port probed{quorna::tmexapi::intFoundPortNum, quorna::tmexapi::intFoundPortType};
        std::cout << "Probe: "
                  << (found ? "adapter found on " + portText(probed) : "no adapter found") << '\n';

        std::vector<Port> ports;
        if (allPorts) {
            if (!settings) {
                std::cerr << runtimeName << " cannot list its ports: --all-ports needs Quorna's "
                          << "own 1-Wire runtime\n";
                return kExitUsage;
            }
            for (const auto& mapped : valuesOf(parseAccount(*settings), "mapped")) {
                if (auto port = portOfName(mapped.substr(0, mapped.find(" = ")))) {
                    ports.push_back(*port);
                }
            }
            if (ports.empty()) {
                std::cout << "No port is mapped.\n";
            }
        } else if (found || probed.type != 0) {
            ports.push_back(probed);  // the port found, or the settings' default
        } else {
            ports.push_back({1, quorna::tmexapi::kPortTypeUsb});  // the port tried first
        }
        std::string notFound;
        for (Port port : ports) {
            if (!checkPort(*library, port, runtimeName)) {
                notFound += (notFound.empty() ? "" : ", ") + portText(port);
            }
        }
        const bool allFound = !ports.empty() && notFound.empty();
        std::cout << '\n'
                  << (allFound ? "Adapter found" : "Adapter not found")
                  << (ports.size() > 1 && !notFound.empty() ? " on " + notFound : "") << std::endl;

        if (scanSeconds > 0 && found) {
            std::cout << "Scanning " << portText(probed) << " every " << drive->ScanMilliseconds()
                      << " ms for " << scanSeconds << " s; a line whenever the list changes"
                      << std::endl;
            const auto start = Clock::now();
            std::optional<std::string> shown;
            drive->StartScanning();
            loop.runUntil(
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(scanSeconds)),
                [&] {
                    const std::string now = listText(*drive->ROMIDs());
                    if (now != shown) {
                        const auto ms =
                            std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
                        std::cout << ms << " ms: " << now << std::endl;
                        shown = now;
                    }
                });
            drive->StopScanning();
            std::cout << "Scanning stopped" << std::endl;
        }
        return allFound ? kExitFound : kExitNotFound;
    } catch (const quorna::ComponentError& failure) {
        std::cout << std::flush;
        std::cerr << "Failure " << failure.number() << " in " << failure.source() << ": "
                  << failure.description() << std::endl;
        return kExitDriverFailure;
    } catch (const std::exception& failure) {
        std::cout << std::flush;
        std::cerr << "Failure: " << failure.what() << std::endl;
        return kExitDriverFailure;
    }
}
