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
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "check/Account.h"
#include "check/ConsoleLoop.h"
#include "check/Report.h"
#include "platform/ComponentError.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"
#include "timer/MTimer.h"

namespace {

using quorna::check::Port;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kExitFound = 0;
constexpr int kExitDriverFailure = 1;
constexpr int kExitNotFound = 2;
constexpr int kExitUsage = 64;
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

    quorna::check::useUtf8Output();
    quorna::check::ConsoleLoop loop;
    quorna::MTimer::useTimerService(&loop);

    try {
        auto library = quorna::tmexapi::bindLibrary();
        auto drive = std::make_shared<quorna::TMexDrive>(library, loop, loop);
        const std::string runtimeName = quorna::tmexapi::strDriverVersion;
        std::cout << "1-Wire library: " << runtimeName << '\n';
        std::cout << "1-Wire library file: " << library->boundLibraryPath() << '\n';
        const auto settingsText = library->OneWireDiagnose(0, 0);
        const auto settings =
            settingsText ? std::optional(quorna::check::parseAccount(*settingsText)) : std::nullopt;
        if (settings) {
            quorna::check::printSettings(std::cout, *settings);
        } else {
            std::cout << "Default port in the 1-Wire settings: "
                      << (drive->RegistrySet() ? "yes" : "no") << '\n';
        }
        // The probe's port is tried once more, and that one attempt is all the report says of
        // it: the probe line, the port's lines and the verdict never disagree.
        const Port probed{quorna::tmexapi::intFoundPortNum, quorna::tmexapi::intFoundPortType};
        // Port type 0: the probe found nothing and the settings name no default, so there is no
        // port to try again.
        const auto probedAttempt = probed.type != 0
                                       ? std::optional(quorna::check::attemptPort(*library, probed))
                                       : std::nullopt;
        const bool found = probedAttempt && probedAttempt->setup == onewire::kSetupReady;
        std::cout << "Probe: "
                  << (found ? "adapter found on " + quorna::check::portText(probed)
                            : "no adapter found")
                  << '\n';

        const Port firstTried{1, quorna::tmexapi::kPortTypeUsb};
        std::vector<Port> ports;
        if (allPorts) {
            if (!settings) {
                std::cerr << runtimeName << " cannot list its ports: --all-ports needs Quorna's "
                          << "own 1-Wire runtime\n";
                return kExitUsage;
            }
            for (const auto& mapped : quorna::check::valuesOf(*settings, "mapped")) {
                if (auto port = quorna::check::portOfName(mapped.substr(0, mapped.find(" = ")))) {
                    ports.push_back(*port);
                }
            }
            if (ports.empty()) {
                // As the plain check: the port the program tries first, described as it is.
                std::cout << "No port is mapped: checking the port the program tries first.\n";
                ports.push_back(firstTried);
            }
        } else if (found || probed.type != 0) {
            ports.push_back(probed);  // the port found, or the settings' default
        } else {
            ports.push_back(firstTried);
        }
        std::string notFound;
        std::string notReached;
        const auto checksEnd = Clock::now() + kAllPortsLimit;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const std::string name = quorna::check::portText(ports[i]);
            if (i > 0 && Clock::now() >= checksEnd) {
                notReached += (notReached.empty() ? "" : ", ") + name;
                continue;
            }
            const auto attempt = probedAttempt && ports[i] == probed
                                     ? *probedAttempt
                                     : quorna::check::attemptPort(*library, ports[i]);
            if (!quorna::check::printPortReport(std::cout, attempt, runtimeName)) {
                notFound += (notFound.empty() ? "" : ", ") + name;
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
            std::cout << "Scanning " << quorna::check::portText(probed) << " every "
                      << drive->ScanMilliseconds() << " ms for " << scanSeconds
                      << " s; a line whenever the list changes" << std::endl;
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
                    const std::string now = quorna::check::listText(*drive->ROMIDs());
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
