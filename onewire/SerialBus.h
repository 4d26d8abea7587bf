#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/Backend.h"
#include "onewire/DirectSearch.h"
#include "onewire/Ds2480b.h"
#include "onewire/FaultNotes.h"
#include "onewire/SerialLine.h"

namespace onewire {

// The serial ports a runtime holds open, by device. A port stays open, and its DS2480B detected
// and configured, from one session to the next: reopening would cost a detection on every pass,
// let another program take the adapter between passes and, on adapters powered from DTR, reset
// the chip. A port that fails is closed and opened afresh on the next call; one left unused for
// a while is closed for other programs.
class SerialPorts {
public:
    struct Port {
        std::mutex mutex;  // one exchange at a time
        std::string device;
        std::unique_ptr<serial::SerialLine> line;
        std::unique_ptr<ds2480b::Chip> chip;
        // Why the port could not be used the last time, in words; empty while it works.
        std::string refusal;
        serial::OpenFailure openFailure = serial::OpenFailure::None;
        std::vector<std::string> detectionLog;
        std::optional<ds2480b::BusState> lastBus;
        bool raiseSpeed = true;  // off once 115200 baud failed twice or was slower on this port
        int slowRounds = 0;      // search rounds at 115200 that took longer than at 9600
        // Failures at 115200 since a pass last listed at that speed: the second goes to 9600.
        int fastFailures = 0;
        // The search, which may go on across passes, and the list it last handed out.
        direct::DirectSearch search;
        std::string searchDetail;  // why the last search that went wrong did (reader check)
        FaultNotes notes;
        serial::Clock::time_point lastUsed{};

        void close(serial::Clock::time_point deadline);
        // Closed after a fault: what the search had seen is not trusted any more.
        void closeAfterFault(serial::Clock::time_point deadline);
    };

    explicit SerialPorts(bool raiseSpeed = true) : raiseSpeed_(raiseSpeed) {}
    ~SerialPorts();
    SerialPorts(const SerialPorts&) = delete;
    SerialPorts& operator=(const SerialPorts&) = delete;

    std::shared_ptr<Port> portFor(const std::string& device);
    bool raiseSpeed() const { return raiseSpeed_; }

    static constexpr std::chrono::seconds kIdleClose{10};

private:
    std::mutex mutex_;
    bool raiseSpeed_;
    std::map<std::string, std::shared_ptr<Port>> ports_;
};

// A reader on a serial port: a DS2480B line driver (DS9097U-class and USB-serial adapters)
// spoken to directly, with no daemon and no vendor driver.
class SerialBus : public Backend {
public:
    SerialBus(std::string device, std::shared_ptr<SerialPorts> ports,
              std::chrono::milliseconds budget, Reporter& reporter);

    std::int16_t setup() override;
    Enumeration enumerate(serial::Clock::time_point passDeadline) override;
    std::string describeAdapter() override;
    std::vector<std::string> adapterDetails() override;

private:
    // The deadline of the current burst of calls (a pass): calls that follow one another share
    // one budget.
    serial::Clock::time_point passDeadline();
    // Opens and detects the adapter where needed; false, with the reason reported, when it
    // cannot be used.
    bool ready(SerialPorts::Port& port, serial::Clock::time_point deadline);
    // Closes a port whose chip or line failed, by the pass's deadline.
    void lostOrFailed(SerialPorts::Port& port, serial::Clock::time_point deadline);
    // Tells a fault of a kind once while the port fails now and then (FaultNotes).
    void fault(SerialPorts::Port& port, const std::string& kind, const std::string& message);
    void worked(SerialPorts::Port& port);

    std::string device_;
    std::shared_ptr<SerialPorts> ports_;
    std::chrono::milliseconds budget_;
    Reporter& reporter_;
    serial::Clock::time_point burstDeadline_{};
    serial::Clock::time_point lastEnd_{};
};

}  // namespace onewire
