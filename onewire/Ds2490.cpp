#include "onewire/Ds2490.h"

#include <algorithm>
#include <array>

namespace onewire::ds2490 {

using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kEndpointStatus = 0x81;
constexpr std::uint8_t kEndpointDataOut = 0x02;
constexpr std::uint8_t kEndpointDataIn = 0x83;

// A chip that is never idle (a command it cannot finish, garbage for a status) is given up at
// the deadline; this bounds the polls of a transport that answers at once, as a fake does.
constexpr int kMaxStatusPolls = 5000;

const char* transferText(TransferStatus status) {
    switch (status) {
        case TransferStatus::Ok:
            return "done";
        case TransferStatus::Timeout:
            return "no answer in time";
        case TransferStatus::Stall:
            return "stalled";
        case TransferStatus::Gone:
            return "the device is gone";
        case TransferStatus::Failed:
            return "failed";
    }
    return "failed";
}

bool hasError(const std::vector<std::uint8_t>& results, std::uint8_t flags) {
    return std::any_of(results.begin(), results.end(), [flags](std::uint8_t code) {
        return code != kResultDeviceDetected && (code & flags) != 0;
    });
}

}  // namespace

std::chrono::milliseconds timeoutUntil(Clock::time_point deadline) {
    // Rounded down, so that a transfer that waits its whole timeout still ends by the deadline.
    auto left = std::chrono::floor<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(left, 1ms);
}

std::optional<Status> parseStatus(std::span<const std::uint8_t> packet) {
    if (packet.size() < kStatusSize) {
        return std::nullopt;
    }
    Status status;
    status.flags = packet[8];
    status.commandBufferCount = packet[11];
    status.dataOutCount = packet[12];
    status.dataInCount = packet[13];
    status.results.assign(packet.begin() + kStatusSize, packet.end());
    return status;
}

std::string describeResult(std::uint8_t code) {
    if (code == kResultDeviceDetected) {
        return "a device was put on the bus";
    }
    if (code == 0) {
        return "no error";
    }
    static constexpr std::array<std::pair<std::uint8_t, const char*>, 8> kNames{{
        {kResultNoPresence, "no presence pulse"},
        {kResultShort, "short"},
        {kResultAlarmingPresence, "alarming presence pulse"},
        {kResultNoProgramVoltage, "no 12 V programming voltage"},
        {kResultCompare, "compare error"},
        {kResultCrc, "CRC error"},
        {kResultRedirected, "redirected page"},
        {kResultEndOfSearch, "end of search"},
    }};
    std::string text;
    for (const auto& [flag, name] : kNames) {
        if ((code & flag) != 0) {
            text += text.empty() ? "" : ", ";
            text += name;
        }
    }
    return text;
}

std::string describe(BusState state) {
    switch (state) {
        case BusState::Presence:
            return "presence pulse";
        case BusState::NoPresence:
            return "no presence pulse";
        case BusState::Shorted:
            return "short";
        case BusState::AlarmingPresence:
            return "alarming presence pulse";
    }
    return "unknown";
}

Rom searchPath(const Rom& previous, int lastDiscrepancy) {
    Rom path{};
    for (int bit = 0; bit < lastDiscrepancy && bit < 64; ++bit) {
        if ((previous[bit / 8] >> (bit % 8)) & 1) {
            path[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    if (lastDiscrepancy >= 0 && lastDiscrepancy < 64) {
        path[lastDiscrepancy / 8] |= static_cast<std::uint8_t>(1u << (lastDiscrepancy % 8));
    }
    return path;
}

bool Chip::fail(std::string why) {
    failure_ = std::move(why);
    return false;
}

bool Chip::checked(const Transfer& transfer, const char* what, std::size_t expected) {
    ++transfers_;
    if (transfer.status == TransferStatus::Gone) {
        gone_ = true;
    }
    if (transfer.status != TransferStatus::Ok) {
        return fail(std::string(what) + ": " + transferText(transfer.status) +
                    (transfer.failure.empty() ? "" : " (" + transfer.failure + ")"));
    }
    if (expected != 0 && transfer.length != expected) {
        return fail(std::string(what) + ": " + std::to_string(transfer.length) + " of " +
                    std::to_string(expected) + " bytes");
    }
    return true;
}

bool Chip::command(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                   Clock::time_point deadline) {
    static constexpr std::array<const char*, 3> kKinds{"control command", "communication command",
                                                       "mode command"};
    return checked(transport_.control(request, value, index, timeoutUntil(deadline)),
                   request < kKinds.size() ? kKinds[request] : "request", 0);
}

std::optional<Status> Chip::waitIdle(std::vector<std::uint8_t>& results,
                                     Clock::time_point deadline) {
    std::array<std::uint8_t, kStatusPacketMax> packet{};
    for (int poll = 0; poll < kMaxStatusPolls; ++poll) {
        if (poll > 0 && Clock::now() >= deadline) {
            fail("the adapter was still busy at the end of the pass");
            return std::nullopt;
        }
        auto transfer = transport_.interruptRead(packet, timeoutUntil(deadline));
        if (!checked(transfer, "status read", 0)) {
            return std::nullopt;
        }
        auto status = parseStatus(std::span(packet.data(), transfer.length));
        if (!status) {
            fail("a status packet of " + std::to_string(transfer.length) +
                 " bytes, not at least 16");
            return std::nullopt;
        }
        results.insert(results.end(), status->results.begin(), status->results.end());
        if ((status->flags & kStatusEp0Full) != 0) {
            fail("the adapter dropped a request (its control FIFO was full)");
            return std::nullopt;
        }
        if (status->idle() && status->commandBufferCount == 0) {
            return status;
        }
    }
    fail("the adapter never became idle");
    return std::nullopt;
}

bool Chip::initialize(Clock::time_point deadline) {
    failure_.clear();
    for (std::uint8_t endpoint : {kEndpointStatus, kEndpointDataOut, kEndpointDataIn}) {
        if (!checked(transport_.clearHalt(endpoint, timeoutUntil(deadline)), "clearing a halt",
                     0)) {
            return false;
        }
    }
    // A reset first: a program before this one may have left commands or data in the FIFOs.
    if (!command(kControlCommand, kResetDevice, 0, deadline) ||
        !command(kModeCommand, kModePulseEnable, 0, deadline) ||
        !command(kModeCommand, kModeSpeedChangeEnable, 0, deadline) ||
        !command(kModeCommand, kModeOneWireSpeed, kSpeedFlexible, deadline) ||
        !command(kModeCommand, kModePullDownSlewRate, kSlewRate137, deadline) ||
        !command(kModeCommand, kModeWriteOneLowTime, kWriteOneLow10us, deadline) ||
        !command(kModeCommand, kModeSampleOffset, kSampleOffset8us, deadline)) {
        return false;
    }
    std::vector<std::uint8_t> results;
    return waitIdle(results, deadline).has_value();
}

std::optional<BusState> Chip::reset(Clock::time_point deadline) {
    if (!command(kCommCommand, kCommOneWireReset | kBitImmediate | kBitNotify | kBitFlushOnError, 0,
                 deadline)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> results;
    if (!waitIdle(results, deadline)) {
        return std::nullopt;
    }
    if (hasError(results, kResultShort)) {
        return BusState::Shorted;
    }
    if (hasError(results, kResultNoPresence)) {
        return BusState::NoPresence;
    }
    if (hasError(results, kResultAlarmingPresence)) {
        return BusState::AlarmingPresence;
    }
    return BusState::Presence;
}

std::optional<SearchRound> Chip::searchRound(const Rom& previous, int lastDiscrepancy,
                                             BusState* bus, Clock::time_point deadline) {
    const Rom path = searchPath(previous, lastDiscrepancy);
    if (!checked(transport_.bulkWrite(path, timeoutUntil(deadline)), "search path write", 8)) {
        return std::nullopt;
    }
    constexpr std::uint16_t kOneDevice = 1 << 8;
    if (!command(kCommCommand,
                 kCommSearchAccess | kBitImmediate | kBitSearchMode | kBitReset | kBitFlushOnError |
                     kBitDiscrepancy | kBitNotify,
                 kOneDevice | kSearchRom, deadline)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> results;
    auto status = waitIdle(results, deadline);
    if (!status) {
        return std::nullopt;
    }
    *bus = BusState::Presence;
    if (hasError(results, kResultShort)) {
        *bus = BusState::Shorted;
    } else if (hasError(results, kResultNoPresence) && status->dataInCount == 0) {
        *bus = BusState::NoPresence;
    }
    if (hasError(results,
                 kResultCompare | kResultCrc | kResultNoProgramVoltage | kResultRedirected)) {
        fail("the search ended with " +
             describeResult(*std::find_if(results.begin(), results.end(), [](std::uint8_t c) {
                 return c != kResultDeviceDetected && c != 0;
             })));
        return std::nullopt;
    }
    SearchRound round;
    if (*bus != BusState::Presence) {
        return round;
    }
    if (status->dataInCount != 8 && status->dataInCount != 16) {
        fail("the search left " + std::to_string(status->dataInCount) +
             " bytes to read, not 8 or 16");
        return std::nullopt;
    }
    // A whole packet's room: asking for less than the FIFO holds fails the transfer.
    std::array<std::uint8_t, 64> answer{};
    auto transfer = transport_.bulkRead(answer, timeoutUntil(deadline));
    if (!checked(transfer, "search answer read", status->dataInCount)) {
        return std::nullopt;
    }
    std::copy_n(answer.begin(), 8, round.rom.begin());
    if (transfer.length == 16) {
        std::copy_n(answer.begin() + 8, 8, round.discrepancies.begin());
    } else {
        round.last = true;
    }
    return round;
}

}  // namespace onewire::ds2490
