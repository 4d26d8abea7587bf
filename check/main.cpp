// quorna-reader-check: the reader check for operators and supporters. It finds the 1-Wire adapter
// as the program does, through the reader driver, and prints what stands between the reader and
// the program's list: the settings file, each port's backend and adapter, the TMSetup code with
// its meaning, and every device on the bus with the reason it is or is not listed.
//
//   quorna-reader-check [--all-ports] [--scan SECONDS] | --help
//
// Without --all-ports it checks the port the probe chose (or, with no adapter found, the port the
// program tries first); --all-ports checks every port the settings map, within an overall time
// limit. --scan SECONDS then scans the probe's port every 350 ms for that long (at least one
// period) and prints the list whenever it changes.
//
// Exit status: 0 adapter found (on every port checked), 1 driver failure, 2 not found,
// 64 bad arguments.

#include <algorithm>
#include <cctype>
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
constexpr std::int16_t kSetupNotFound = 3;
// --all-ports: a port takes up to a few of the runtime's 200 ms budgets on a silent server; the
// ports left when this is spent are named, not checked.
constexpr auto kAllPortsLimit = std::chrono::seconds(5);
constexpr double kLongestScanSeconds = 86400;

constexpr const char* kUsage = "usage: quorna-reader-check [--all-ports] [--scan SECONDS]\n";
constexpr const char* kHelp =
    "Finds the 1-Wire reader adapter as the Quorna Fobit Reader does and prints what stands\n"
    "between the reader and the program's list: the settings file, the port's backend and\n"
    "adapter, the set-up result, and every device on the bus with why it is or is not listed.\n"
    "\n"
    "  --all-ports      check every port the settings map (at most 5 s in all) instead of\n"
    "                   the port the probe chose\n"
    "  --scan SECONDS   then scan the probe's port every 350 ms for that long (at least one\n"
    "                   period; SECONDS in plain decimal, such as 30 or 2.5) and print the list\n"
    "                   whenever it changes\n"
    "  --help           print this and exit\n"
    "\n"
    "Exit status: 0 adapter found (on every port checked), 1 driver failure, 2 adapter not\n"
    "found, 64 bad arguments.\n";

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

    // Runs timers until the deadline, and beyond it until some timer has expired at least once,
    // calling afterTimers after each round of expiries.
    template <typename AfterTimers>
    void runUntil(Clock::time_point deadline, AfterTimers afterTimers) {
        const std::uint64_t before = delivered_;
        while (Clock::now() < deadline || (delivered_ == before && !timers_.empty())) {
            Clock::time_point wake = Clock::now() < deadline ? deadline : Clock::time_point::max();
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
            ++delivered_;
            callback(0, 0x0113, id, systemTime);
        }
    }

    std::map<std::int32_t, Timer> timers_;
    std::uint64_t delivered_ = 0;
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

// A TMSetup code as a person says it.
std::string setupWords(std::int16_t code) {
    switch (code) {
        case 0:
            return "set-up failed";
        case 1:
            return "adapter found";
        case 2:
            return "adapter found, but its bus is shorted: take the tokens off and check the "
                   "reader's cable";
        case 3:
            return "adapter not found";
        case 4:
            return "set-up not supported by the installed 1-Wire drivers";
        case -200:
            return "the 1-Wire library refused the session";
        case -201:
            return "the 1-Wire library's hardware drivers cannot be found, or its ports are set "
                   "incorrectly";
        default:
            return "a code the 1-Wire library does not explain";
    }
}

// What to do about an adapter not found, by what the port is mapped to.
std::string notFoundAdvice(const std::string& backend, const std::string& adapter) {
    if (backend.starts_with("owserver ")) {
        if (adapter.find("does not answer") != std::string::npos) {
            const std::string endpoint = backend.substr(9, backend.find(' ', 9) - 9);
            return "Owserver does not answer at " + endpoint +
                   ": check that it runs and listens there (systemctl status owserver; owdir -s " +
                   endpoint + " /) and that no firewall is in the way.";
        }
        return "Owserver answers but offers no real adapter: name the adapter in /etc/owfs.conf "
               "(\"server: usb = all\" or \"server: device = /dev/ttyUSB0\") and restart it.";
    }
    if (backend.starts_with("virtual ")) {
        return "The reader file is missing: create it (one token of 16 hex digits a line).";
    }
    if (backend.starts_with("none")) {
        return "No adapter is mapped to this port: map it in the settings file (see its "
               "comments).";
    }
    if (backend.starts_with("w1 ")) {
        return "Plug the adapter in and load its kernel driver (modprobe ds2490 for the DS9490R), "
               "or map the port to owserver in the settings file.";
    }
    return "Make sure the adapter is plugged in; you may need to unplug it and plug it back in.";
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
    std::string backend;
    std::string adapter;
    if (text) {
        const Account account = parseAccount(*text);
        backend = valueOf(account, "backend", "unknown");
        adapter = valueOf(account, "adapter", "unknown");
        std::cout << "  Backend: " << backend << '\n' << "  Adapter: " << adapter << '\n';
        // A serial adapter's answers to its detection, a line each.
        for (const std::string& detail : valuesOf(account, "adapter-detail")) {
            std::cout << "    " << detail << '\n';
        }
    }
    std::cout << "  Set-up: " << code << ": " << setupWords(code) << '\n';
    if (code == kSetupNotFound) {
        std::cout << "    " << notFoundAdvice(backend, adapter) << '\n';
    } else if (code != kSetupOk && code != 2) {
        std::cout << "    The program would say: "
                  << indented(quorna::TMexDrive::SetupCodeText(code), "    ") << '\n';
    }
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

int usage(const std::string& problem) {
    std::cerr << "quorna-reader-check: " << problem << '\n' << kUsage;
    return kExitUsage;
}

// Seconds in plain decimal ("30", "2.5"): no sign, exponent, hexadecimal or blanks.
std::optional<double> plainSeconds(const std::string& text) {
    std::size_t digits = 0;
    std::size_t points = 0;
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            ++digits;
        } else if (c == '.') {
            ++points;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || points > 1 || text.front() == '.' || text.back() == '.') {
        return std::nullopt;
    }
    const double seconds = std::strtod(text.c_str(), nullptr);
    if (!(seconds > 0 && seconds <= kLongestScanSeconds)) {
        return std::nullopt;
    }
    return seconds;
}

// The innermost cause of a failure, where the driver attached one.
std::string causeOf(const std::exception& failure) {
    try {
        std::rethrow_if_nested(failure);
    } catch (const std::exception& inner) {
        return causeOf(inner);
    } catch (...) {
        return "an unknown failure";
    }
    return failure.what();
}

}  // namespace

int main(int argc, char** argv) {
    double scanSeconds = 0;
    bool allPorts = false;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kUsage << '\n' << kHelp;
            return kExitFound;
        }
        if (args[i] == "--all-ports") {
            allPorts = true;
        } else if (args[i] == "--scan") {
            if (i + 1 == args.size()) {
                return usage("--scan needs SECONDS");
            }
            auto seconds = plainSeconds(args[++i]);
            if (!seconds) {
                return usage("--scan " + args[i] +
                             ": SECONDS must be a plain decimal number above 0 and at most 86400, "
                             "such as 30 or 2.5");
            }
            scanSeconds = *seconds;
        } else {
            return usage("unknown argument " + args[i]);
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
                // As the plain check: the port the program tries first, described as it is.
                std::cout << "No port is mapped: checking the port the program tries first.\n";
                ports.push_back({1, quorna::tmexapi::kPortTypeUsb});
            }
        } else if (found || probed.type != 0) {
            ports.push_back(probed);  // the port found, or the settings' default
        } else {
            ports.push_back({1, quorna::tmexapi::kPortTypeUsb});  // the port tried first
        }
        std::string notFound;
        std::string notReached;
        const auto checksEnd = Clock::now() + kAllPortsLimit;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (i > 0 && Clock::now() >= checksEnd) {
                notReached += (notReached.empty() ? "" : ", ") + portText(ports[i]);
            } else if (!checkPort(*library, ports[i], runtimeName)) {
                notFound += (notFound.empty() ? "" : ", ") + portText(ports[i]);
            }
        }
        if (!notReached.empty()) {
            std::cout << '\n'
                      << "Not checked, the check's limit of "
                      << std::chrono::duration_cast<std::chrono::seconds>(kAllPortsLimit).count()
                      << " s being spent: " << notReached << '\n';
        }
        const bool allFound = notFound.empty() && notReached.empty();
        std::cout << '\n'
                  << (allFound ? "Adapter found" : "Adapter not found")
                  << (ports.size() > 1 && !notFound.empty() ? " on " + notFound : "") << std::endl;

        if (scanSeconds > 0 && found) {
            // At least one period, so that the scan shows what a pass found.
            scanSeconds = std::max(scanSeconds, drive->ScanMilliseconds() / 1000.0);
            std::cout << "Scanning " << portText(probed) << " every " << drive->ScanMilliseconds()
                      << " ms for " << scanSeconds << " s; a line whenever the list changes"
                      << std::endl;
            const auto start = Clock::now();
            std::optional<std::string> shown;
            // The list before the first pass is the empty one of the driver's construction, not
            // the reader's: it is shown once a pass has run.
            const auto before = drive->ROMIDs();
            bool passed = false;
            drive->StartScanning();
            loop.runUntil(
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(scanSeconds)),
                [&] {
                    passed = passed || drive->ROMIDs() != before;
                    if (!passed) {
                        return;
                    }
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
        const std::string cause = causeOf(failure);  // before writing: finding it may log
        std::cerr << "Failure " << failure.number() << " in " << failure.source() << ": "
                  << failure.description() << "\nCause: " << cause << std::endl;
        return kExitDriverFailure;
    } catch (const std::exception& failure) {
        std::cout << std::flush;
        std::cerr << "Failure: " << failure.what() << std::endl;
        return kExitDriverFailure;
    }
}
