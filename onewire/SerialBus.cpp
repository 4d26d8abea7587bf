#include "onewire/SerialBus.h"

#include <algorithm>

#include "onewire/TextFile.h"

namespace onewire {

using serial::Clock;
using namespace std::chrono_literals;

namespace {

// Time to bring a chip left at 115200 back to 9600 before the port closes.
constexpr auto kCloseAllowance = 20ms;
// What a second detection needs: a break, the timing byte, the configuration and the speed.
constexpr auto kDetectionRetry = 60ms;

// What one search round costs: 24 bytes out at the line's speed, overlapped with a reset and 64
// search triplets on the bus (about 16 ms at standard speed), plus a little slack.
Clock::duration roundEstimate(int baud) {
    const auto byteTime = serial::byteTime(baud);
    return std::max<Clock::duration>(25 * byteTime, 16ms + 6 * byteTime) + 2ms;
}

}  // namespace

void SerialPorts::Port::close(Clock::time_point deadline) {
    if (chip && line && !line->lost()) {
        chip->restoreSpeed(deadline);
    }
    chip.reset();
    line.reset();
}

void SerialPorts::Port::closeAfterFault(Clock::time_point deadline) {
    close(deadline);
    search.forget();
}

SerialPorts::~SerialPorts() {
    for (auto& [device, port] : ports_) {
        std::lock_guard lock(port->mutex);
        port->close(Clock::now() + kCloseAllowance);
    }
}

std::shared_ptr<SerialPorts::Port> SerialPorts::portFor(const std::string& device) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto& [name, port] : ports_) {
        // A port no session uses and no pass has touched for a while goes back to the system.
        if (name != device && port.use_count() == 1 && port->line &&
            now - port->lastUsed > kIdleClose) {
            std::lock_guard portLock(port->mutex);
            port->close(now + kCloseAllowance);
        }
    }
    auto& port = ports_[device];
    if (!port) {
        port = std::make_shared<Port>();
        port->device = device;
        port->raiseSpeed = raiseSpeed_;
    }
    return port;
}

SerialBus::SerialBus(std::string device, std::shared_ptr<SerialPorts> ports,
                     std::chrono::milliseconds budget, Reporter& reporter)
    : device_(std::move(device)),
      ports_(ports ? std::move(ports) : std::make_shared<SerialPorts>()),
      budget_(budget),
      reporter_(reporter) {}

Clock::time_point SerialBus::passDeadline() {
    const auto now = Clock::now();
    if (now - lastEnd_ >= budget_) {
        burstDeadline_ = now + budget_;
    }
    return burstDeadline_;
}

void SerialBus::fault(SerialPorts::Port& port, const std::string& kind,
                      const std::string& message) {
    const std::string source = "serial port " + printable(device_);
    switch (port.notes.fault(kind)) {
        case FaultNotes::Say::Fault:
            reporter_.reportProblem(source, message);
            break;
        case FaultNotes::Say::ComesAndGoes:
            reporter_.reportProblem(source, message +
                                                " (again: it comes and goes; said once more when "
                                                "it has worked for 10 s)");
            break;
        case FaultNotes::Say::Nothing:
            break;
    }
}

void SerialBus::worked(SerialPorts::Port& port) {
    if (port.notes.worked()) {
        reporter_.reportRecovery(
            "serial port " + printable(device_),
            "a DS2480B answers at " + std::to_string(port.chip->speed()) + " baud");
    }
}

void SerialBus::lostOrFailed(SerialPorts::Port& port, Clock::time_point deadline) {
    const bool lost = port.line && port.line->lost();
    if (port.chip && port.chip->speed() != 9600 && !lost && ++port.fastFailures >= 2) {
        // Answers that stop coming at 115200 twice without a pass listed between: a USB-serial
        // bridge holding each answer back, say. The port is detected again at 9600 from now on.
        // Once is not enough: a single fault (a token pressed on mid-byte) says nothing about
        // the speed.
        port.raiseSpeed = false;
    }
    if (lost) {
        port.refusal = port.line->failure() + "; it is opened again on the next pass";
        fault(port, "lost", printable(port.refusal));
    } else {
        port.refusal =
            device_ + ": the DS2480B stopped answering as it should (" + port.chip->failure() + ")";
        fault(port, "stopped answering", printable(port.refusal));
    }
    // Closed even when only the answers went wrong: the next pass opens the port afresh and
    // detects the chip again, from a master reset. The close ends with the pass.
    port.closeAfterFault(std::min(deadline, Clock::now() + kCloseAllowance));
}

bool SerialBus::ready(SerialPorts::Port& port, Clock::time_point deadline) {
    port.lastUsed = Clock::now();
    if (port.line && port.chip && !port.line->lost()) {
        return true;
    }
    port.closeAfterFault(deadline);
    port.detectionLog.clear();
#if defined(_WIN32)
    auto opened = serial::openSerialLine(device_);
#else
    auto opened = serial::openSerialLine(device_, deadline);
#endif
    port.openFailure = opened.failure;
    if (!opened.line) {
        port.refusal = opened.message;
        fault(port, "open " + std::to_string(static_cast<int>(opened.failure)),
              printable(port.refusal));
        return false;
    }
    port.line = std::move(opened.line);
    port.chip = std::make_unique<ds2480b::Chip>(*port.line);
    const bool fast = port.raiseSpeed;
    bool detected = port.chip->detect(deadline, fast);
    if (!detected && !port.line->lost() && Clock::now() + kDetectionRetry <= deadline) {
        // Once more, from the start: a chip that was mid-answer when the port opened.
        auto firstLog = port.chip->detectionLog();
        detected = port.chip->detect(deadline, fast);
        auto log = port.chip->detectionLog();
        firstLog.push_back("detection tried again:");
        firstLog.insert(firstLog.end(), log.begin(), log.end());
        port.detectionLog = firstLog;
    } else {
        port.detectionLog = port.chip->detectionLog();
    }
    if (!detected) {
        port.refusal = port.line->lost()
                           ? port.line->failure()
                           : "no DS2480B answers on " + device_ + " (" + port.chip->failure() +
                                 "): nothing, or another kind of device, is on this port";
        fault(port, port.line->lost() ? "lost" : "no DS2480B", printable(port.refusal));
        port.close(std::min(deadline, Clock::now() + kCloseAllowance));
        return false;
    }
    if (fast && port.chip->speed() != 115200 && ++port.fastFailures >= 2) {
        port.raiseSpeed = false;  // 115200 failed here twice: this port stays at 9600 from now on
    }
    port.refusal.clear();
    return true;
}

namespace {

// The chip's search rounds as a direct search asks for them, with the line's speed watched.
class ChipRounds : public direct::SearchRounds {
public:
    explicit ChipRounds(SerialPorts::Port& port) : port_(port) {}

    std::optional<direct::RoundAnswer> searchRound(const Rom& path, int lastDiscrepancy,
                                                   Clock::time_point deadline) override {
        ds2480b::BusState bus{};
        const auto roundStart = Clock::now();
        auto round = port_.chip->searchRound(path, lastDiscrepancy, &bus, deadline);
        if (!round) {
            return std::nullopt;
        }
        // At 115200 the bytes wait for the answers; where each answer is slow to come back
        // (a USB bridge's latency timer) a round takes longer than the same round streamed
        // at 9600. Twice so, and the line goes back to 9600 for good.
        if (port_.chip->speed() != 9600 &&
            Clock::now() - roundStart > onewire::roundEstimate(9600) && ++port_.slowRounds >= 2) {
            port_.raiseSpeed = false;
            if (!port_.chip->lowerTo9600(deadline)) {
                return std::nullopt;
            }
            port_.detectionLog = port_.chip->detectionLog();
        }
        port_.lastBus = bus;
        return round;
    }

    Clock::duration roundEstimate() const override {
        return onewire::roundEstimate(port_.chip->speed());
    }

private:
    SerialPorts::Port& port_;
};

}  // namespace

std::int16_t SerialBus::setup() {
    const auto deadline = passDeadline();
    auto port = ports_->portFor(device_);
    std::lock_guard lock(port->mutex);
    std::int16_t code = kSetupNotFound;
    if (ready(*port, deadline)) {
        if (auto bus = port->chip->reset(deadline)) {
            port->lastBus = bus;
            code = *bus == ds2480b::BusState::Shorted ? kSetupShorted : kSetupReady;
        } else {
            lostOrFailed(*port, deadline);
        }
    }
    lastEnd_ = Clock::now();
    return code;
}

Enumeration SerialBus::enumerate(Clock::time_point runtimeDeadline) {
    const auto deadline = std::min(passDeadline(), runtimeDeadline);
    auto port = ports_->portFor(device_);
    std::lock_guard lock(port->mutex);
    Enumeration result;
    if (ready(*port, deadline)) {
        ChipRounds rounds(*port);
        auto searched = port->search.run(rounds, deadline);
        result = std::move(searched.enumeration);
        if (!searched.detail.empty()) {
            port->searchDetail = searched.detail;
        }
        using direct::SearchEnd;
        switch (searched.end) {
            case SearchEnd::AdapterFailed:
                lostOrFailed(*port, deadline);
                break;
            case SearchEnd::Inconsistent:
            case SearchEnd::Unconfirmed:
            case SearchEnd::TooManyRounds:
                fault(*port, direct::describe(searched.end),
                      printable(device_) + ": " + direct::describe(searched.end) + " (" +
                          printable(searched.detail) + ")");
                break;
            case SearchEnd::Listed:
                if (port->chip->speed() != 9600) {
                    port->fastFailures = 0;
                }
                worked(*port);
                break;
            case SearchEnd::OutOfTime:
                break;  // a bus of many devices: the search goes on in the next pass
        }
    }
    lastEnd_ = Clock::now();
    return result;
}

std::string SerialBus::describeAdapter() {
    auto port = ports_->portFor(device_);
    std::lock_guard lock(port->mutex);
    if (!port->line || !port->chip) {
        return "serial port " + device_ + ": " +
               (port->refusal.empty() ? std::string("not opened") : "refused: " + port->refusal);
    }
    return "DS2480B on serial port " + device_ + " at " + std::to_string(port->chip->speed()) +
           " baud" +
           (port->lastBus ? ", last 1-Wire reset: " + ds2480b::describe(*port->lastBus) : "");
}

std::vector<std::string> SerialBus::adapterDetails() {
    auto port = ports_->portFor(device_);
    std::lock_guard lock(port->mutex);
    return port->detectionLog;
}

}  // namespace onewire
