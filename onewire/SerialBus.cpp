#include "onewire/SerialBus.h"

#include <algorithm>

namespace onewire {

using serial::Clock;
using namespace std::chrono_literals;

namespace {

// Time to bring a chip left at 115200 back to 9600 before the port closes.
constexpr auto kCloseAllowance = 20ms;

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
    searching = false;
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

void SerialBus::lostOrFailed(SerialPorts::Port& port) {
    if (port.chip && port.chip->speed() != 9600 && !port.line->lost()) {
        // Answers that stop coming at 115200 but came at 9600: a USB-serial bridge holding
        // each answer back, say. The port is detected again at 9600.
        port.raiseSpeed = false;
    }
    port.refusal = port.line && port.line->lost()
                       ? port.line->failure() + "; it is opened again on the next pass"
                       : device_ + ": the DS2480B stopped answering as it should (" +
                             port.chip->failure() + ")";
    reporter_.reportProblem("serial port " + device_, port.refusal);
    // Closed even when only the answers went wrong: the next pass opens the port afresh and
    // detects the chip again, from a master reset.
    port.close(Clock::now() + kCloseAllowance);
}

bool SerialBus::ready(SerialPorts::Port& port, Clock::time_point deadline) {
    port.lastUsed = Clock::now();
    if (port.line && port.chip && !port.line->lost()) {
        return true;
    }
    port.close(deadline);
    port.detectionLog.clear();
    auto opened = serial::openSerialLine(device_);
    port.openFailure = opened.failure;
    if (!opened.line) {
        port.refusal = opened.message;
        reporter_.reportProblem("serial port " + device_, port.refusal);
        return false;
    }
    port.line = std::move(opened.line);
    port.chip = std::make_unique<ds2480b::Chip>(*port.line);
    const bool detected = port.chip->detect(deadline, port.raiseSpeed);
    port.detectionLog = port.chip->detectionLog();
    if (!detected) {
        port.refusal = port.line->lost()
                           ? port.line->failure()
                           : "no DS2480B answers on " + device_ + " (" + port.chip->failure() +
                                 "): nothing, or another kind of device, is on this port";
        reporter_.reportProblem("serial port " + device_, port.refusal);
        port.chip.reset();
        port.line.reset();
        return false;
    }
    if (port.raiseSpeed && port.chip->speed() != 115200) {
        port.raiseSpeed = false;  // 115200 failed here: this port stays at 9600 from now on
    }
    port.refusal.clear();
    reporter_.reportRecovery(
        "serial port " + device_,
        "a DS2480B answers at " + std::to_string(port.chip->speed()) + " baud");
    return true;
}

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
            lostOrFailed(*port);
        }
    }
    lastEnd_ = Clock::now();
    return code;
}

std::vector<Rom> SerialBus::enumerate(Clock::time_point runtimeDeadline) {
    const auto deadline = std::min(passDeadline(), runtimeDeadline);
    auto port = ports_->portFor(device_);
    std::lock_guard lock(port->mutex);
    std::vector<Rom> devices;
    if (ready(*port, deadline)) {
        if (!port->searching) {
            port->searching = true;
            port->previous = {};
            port->lastDiscrepancy = -1;
            port->found.clear();
        }
        bool finished = false;
        bool failed = false;
        while (!finished && Clock::now() + roundEstimate(port->chip->speed()) <= deadline) {
            ds2480b::BusState bus{};
            const auto roundStart = Clock::now();
            auto round =
                port->chip->searchRound(port->previous, port->lastDiscrepancy, &bus, deadline);
            if (!round) {
                lostOrFailed(*port);
                failed = true;
                break;
            }
            // At 115200 the bytes wait for the answers; where each answer is slow to come back
            // (a USB bridge's latency timer) a round takes longer than the same round streamed
            // at 9600. Twice so, and the line goes back to 9600 for good.
            if (port->chip->speed() != 9600 && Clock::now() - roundStart > roundEstimate(9600) &&
                ++port->slowRounds >= 2) {
                port->raiseSpeed = false;
                if (!port->chip->lowerTo9600(deadline)) {
                    lostOrFailed(*port);
                    failed = true;
                    break;
                }
                port->detectionLog = port->chip->detectionLog();
            }
            port->lastBus = bus;
            if (bus == ds2480b::BusState::Shorted || bus == ds2480b::BusState::NoPresence) {
                finished = true;  // the bus emptied (or shorted) under the search
                break;
            }
            port->found.push_back(round->rom);
            // A code that fails its CRC (a token lifted mid-search) leaves the rest of the
            // search without a sound path: the runtime's filter drops the code, the next pass
            // starts over.
            finished = !isAcceptable(round->rom) || round->nextDiscrepancy < 0;
            port->previous = round->rom;
            port->lastDiscrepancy = round->nextDiscrepancy;
        }
        devices = port->found;
        if (failed) {
            port->searching = false;  // what it found is handed out; the next pass starts over
        } else if (finished) {
            port->searching = false;
            port->lastComplete = port->found;
        } else {
            // Out of time with devices still to find: the list of the last complete search
            // stands in for them until this one ends.
            for (const Rom& rom : port->lastComplete) {
                if (std::find(devices.begin(), devices.end(), rom) == devices.end()) {
                    devices.push_back(rom);
                }
            }
        }
    }
    lastEnd_ = Clock::now();
    return devices;
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
