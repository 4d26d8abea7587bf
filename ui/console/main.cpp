// quorna-reader-console: finds the 1-Wire adapter through the reader driver, shows what the
// driver reports, lists the ROM IDs of one search pass, and with --scan SECONDS scans
// continuously and prints each new list.
//
//   quorna-reader-console [--scan SECONDS]
//
// Exit status: 0 adapter found, 1 driver failure, 2 adapter not found, 64 bad arguments.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ComponentError.h"
#include "platform/Services.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"
#include "timer/MTimer.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

    // Runs timers until the deadline.
    void runUntil(Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            Clock::time_point wake = deadline;
            for (const auto& [id, timer] : timers_) {
                wake = std::min(wake, timer.due);
            }
            std::this_thread::sleep_until(wake);
            deliverDue();
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

std::string portText(std::int16_t portNum, std::int16_t portType) {
    if (portType == quorna::tmexapi::kPortTypeUsb) {
        return "USB Port " + std::to_string(portNum) + " (port type 6)";
    }
    if (portType == quorna::tmexapi::kPortTypeSerial) {
        return "COMM" + std::to_string(portNum) + " (port type 5)";
    }
    return "none found (port " + std::to_string(portNum) + ", port type " +
           std::to_string(portType) + ")";
}

void printList(const quorna::ROMIDList& list) {
    for (const std::string& romId : list) {
        std::cout << "  " << romId << '\n';
    }
    std::cout << std::flush;
}

int usage() {
    std::cerr << "usage: quorna-reader-console [--scan SECONDS]\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    double scanSeconds = 0;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--scan") {
        char* end = nullptr;
        scanSeconds = std::strtod(args[1].c_str(), &end);
        if (end == args[1].c_str() || *end != '\0' || !(scanSeconds > 0 && scanSeconds < 86400)) {
            return usage();
        }
    } else if (!args.empty()) {
        return usage();
    }

    ConsoleLoop loop;
    quorna::MTimer::useTimerService(&loop);

    try {
        auto drive =
            std::make_shared<quorna::TMexDrive>(quorna::tmexapi::bindLibrary(), loop, loop);
        using quorna::tmexapi::intFoundPortNum;
        using quorna::tmexapi::intFoundPortType;
        std::cout << "1-Wire library version: " << quorna::tmexapi::strDriverVersion << '\n'
                  << "Adapter port: " << portText(intFoundPortNum, intFoundPortType) << '\n'
                  << "Default port in the 1-Wire settings: "
                  << (drive->RegistrySet() ? "yes" : "no") << '\n';
        const bool found = drive->Found();
        std::cout << "Found: " << (found ? "yes" : "no") << '\n';
        if (!found) {
            std::cout << "ErrorText: " << drive->ErrorText() << std::endl;
            return 2;
        }

        drive->ScanOnce();
        const auto list = drive->ROMIDs();
        std::cout << "ROM IDs listed: " << list->Count() << '\n';
        printList(*list);

        if (scanSeconds > 0) {
            const auto start = Clock::now();
            drive->NewROMIDs.bind([&] {
                const auto ms =
                    std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
                const auto current = drive->ROMIDs();
                std::cout << "NewROMIDs at " << ms << " ms: " << current->Count() << " listed\n";
                printList(*current);
            });
            std::cout << "Scanning every " << drive->ScanMilliseconds() << " ms for " << scanSeconds
                      << " s" << std::endl;
            drive->StartScanning();
            loop.runUntil(start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(scanSeconds)));
            drive->StopScanning();
            std::cout << "Scanning stopped" << std::endl;
        }
    } catch (const quorna::ComponentError& failure) {
        std::cout << std::flush;
        std::cerr << "Failure " << failure.number() << " in " << failure.source() << ": "
                  << failure.description() << std::endl;
        return 1;
    }
    return 0;
}
