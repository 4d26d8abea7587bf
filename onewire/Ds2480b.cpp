#include "onewire/Ds2480b.h"

#include <algorithm>
#include <thread>

namespace onewire::ds2480b {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

// The answers the configuration sequence must get: each write echoed with bit 0 cleared, the
// baud rate read as 9600 (value 000), the single bit read back as the 1 it wrote.
const std::vector<std::uint8_t> kConfiguration = {kSlewRate, kWriteOneLowTime, kSampleOffset,
                                                  kReadBaudRate, kBitOne};
const std::vector<std::uint8_t> kConfigurationAnswer = {0x16, 0x44, 0x5A, 0x00, 0x93};

// Time the bus itself needs on top of the line's byte times: a reset (about 1.1 ms) and 64
// search triplets at standard speed, with room for a USB-serial adapter's latency.
constexpr milliseconds kBusAndLatencyAllowance{40};
// How long the line must stay quiet before a late answer no longer counts as on its way: a
// USB-serial bridge's latency timer, with room.
constexpr milliseconds kLateAnswersQuiet{10};

bool isResetAnswer(std::uint8_t answer) {
    return (answer & 0xC0) == 0xC0;
}

// Bytes to send, each marked with whether the chip answers it.
struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::vector<bool> answered;
    void add(std::uint8_t byte, bool answer) {
        bytes.push_back(byte);
        answered.push_back(answer);
    }
    // Data-mode bytes: a 0xE3 would switch back to command mode, so it is sent twice, and
    // answered once.
    void addData(const std::vector<std::uint8_t>& data) {
        for (std::uint8_t byte : data) {
            if (byte == kCommandMode) {
                add(byte, false);
            }
            add(byte, true);
        }
    }
};

}  // namespace

std::string describe(BusState state) {
    switch (state) {
        case BusState::Shorted:
            return "shorted bus";
        case BusState::Presence:
            return "presence";
        case BusState::AlarmingPresence:
            return "alarming presence";
        case BusState::NoPresence:
            return "no presence";
    }
    return {};
}

std::string hexBytes(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += text.empty() ? "" : " ";
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text.empty() ? "nothing" : text;
}

std::vector<std::uint8_t> searchRequest(const Rom& previous, int lastDiscrepancy) {
    std::vector<std::uint8_t> request(16, 0);
    for (int n = 0; n < 64; ++n) {
        bool direction =
            n < lastDiscrepancy ? ((previous[n / 8] >> (n % 8)) & 1) != 0 : n == lastDiscrepancy;
        if (direction) {
            request[n / 4] |= static_cast<std::uint8_t>(1u << ((n % 4) * 2 + 1));
        }
    }
    return request;
}

SearchRound decodeSearchAnswer(const std::uint8_t* answer16) {
    SearchRound round;
    for (int n = 0; n < 64; ++n) {
        const int shift = (n % 4) * 2;
        const bool discrepancy = ((answer16[n / 4] >> shift) & 1) != 0;
        const bool taken = ((answer16[n / 4] >> (shift + 1)) & 1) != 0;
        if (taken) {
            round.rom[n / 8] |= static_cast<std::uint8_t>(1u << (n % 8));
        }
        if (discrepancy && !taken) {
            round.nextDiscrepancy = n;
        }
    }
    return round;
}

direct::RoundAnswer decodeRoundAnswer(const std::uint8_t* answer16) {
    direct::RoundAnswer round;
    for (int n = 0; n < 64; ++n) {
        const int shift = (n % 4) * 2;
        if ((answer16[n / 4] >> shift) & 1) {
            round.discrepancies |= std::uint64_t{1} << n;
        }
        if ((answer16[n / 4] >> (shift + 1)) & 1) {
            round.taken[n / 8] |= static_cast<std::uint8_t>(1u << (n % 8));
        }
    }
    return round;
}

bool Chip::fail(std::string why) {
    failure_ = std::move(why);
    inCommandMode_ = false;
    return false;
}

bool Chip::exchange(const std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& in,
                    Clock::time_point deadline) {
    return exchange(out, std::vector<bool>(out.size(), true), in, deadline);
}

bool Chip::exchange(const std::vector<std::uint8_t>& out, const std::vector<bool>& answered,
                    std::vector<std::uint8_t>& in, Clock::time_point deadline) {
    if (!inCommandMode_) {
        resynchronise(deadline);
    }
    // Whatever a misbehaving device sent since would shift every answer that follows.
    line_.discardInput();
    std::vector<std::size_t> answerAt;  // the bytes that get an answer, in order
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (answered[i]) {
            answerAt.push_back(i);
        }
    }
    in.assign(answerAt.size(), 0);
    const auto byteTime = serial::byteTime(line_.speed());
    const bool paced = line_.speed() > 9600;
    const auto lineTime = static_cast<long long>(out.size() + answerAt.size()) * byteTime * 3 / 2;
    // Paced, every answer's way back counts: room for a USB bridge's latency of up to 2 ms each.
    const auto roundTrips =
        std::chrono::milliseconds(paced ? 2 * static_cast<long long>(answerAt.size()) : 0);
    const Clock::time_point readBy = std::min<Clock::time_point>(
        deadline, Clock::now() + std::chrono::duration_cast<Clock::duration>(lineTime) +
                      kBusAndLatencyAllowance + roundTrips);
    std::size_t sent = 0;
    std::size_t got = 0;
    while (sent < out.size() || got < answerAt.size()) {
        // Paced, the chip holds at most two bytes: the one it works on (the first whose answer
        // has not come; bytes without an answer take no bus time) and one waiting.
        std::size_t limit = out.size();
        if (paced) {
            const std::size_t busy =
                got < answerAt.size() && answerAt[got] < sent ? answerAt[got] : sent;
            limit = std::min(limit, busy + 2);
        }
        if (sent < limit) {
            if (!line_.write(out.data() + sent, limit - sent, readBy)) {
                return fail(line_.lost() ? line_.failure()
                                         : "the port did not take the bytes in time");
            }
            sent = limit;
            continue;
        }
        const std::size_t want = paced ? 1 : answerAt.size() - got;
        const std::size_t read = line_.read(in.data() + got, want, readBy);
        got += read;
        if (line_.lost()) {
            in.resize(got);
            return fail(line_.failure());
        }
        if (read < want) {
            in.resize(got);
            return fail(got == 0 ? "no answer in time"
                                 : "answered only " + std::to_string(got) + " of " +
                                       std::to_string(answerAt.size()) + " bytes in time");
        }
    }
    inCommandMode_ = true;
    return true;
}

// From data mode, 0xE3 returns to command mode; 0xA1 then turns the search accelerator off. In
// command mode both are harmless. Their answers, if any, are dropped.
void Chip::resynchronise(Clock::time_point deadline) {
    const std::uint8_t bytes[] = {kCommandMode, kAcceleratorOff};
    line_.write(bytes, sizeof bytes, deadline);
    std::this_thread::sleep_for(std::min<Clock::duration>(
        std::max<Clock::duration>(deadline - Clock::now(), Clock::duration::zero()),
        serial::byteTime(line_.speed()) * 4));
    line_.discardInput();
    inCommandMode_ = true;
}

// Whatever the chip still sends in answer to what came before: read and dropped until the line
// has been quiet for a few byte times (or longer, when asked), for at most a few tens of
// milliseconds.
void Chip::drainUntilQuiet(Clock::time_point deadline, Clock::duration quiet) {
    const auto until = std::min<Clock::time_point>(deadline, Clock::now() + milliseconds(30));
    quiet = std::max<Clock::duration>(quiet, serial::byteTime(line_.speed()) * 3);
    line_.discardInput();
    std::uint8_t byte = 0;
    while (Clock::now() < until &&
           line_.read(&byte, 1, std::min<Clock::time_point>(until, Clock::now() + quiet)) == 1) {
        line_.discardInput();
    }
}

bool Chip::configure(Clock::time_point deadline) {
    std::vector<std::uint8_t> answer;
    bool answered = exchange(kConfiguration, answer, deadline);
    log_.push_back("configuration " + hexBytes(kConfiguration) + " at " +
                   std::to_string(line_.speed()) + " baud answered " + hexBytes(answer) +
                   (answered && answer == kConfigurationAnswer
                        ? " (as a DS2480B does)"
                        : " (a DS2480B answers " + hexBytes(kConfigurationAnswer) + ")"));
    if (!answered) {
        return false;
    }
    if (answer != kConfigurationAnswer &&
        std::equal(answer.begin() + 1, answer.end(), kConfigurationAnswer.begin())) {
        // One byte ahead of the answers: a late answer to what came before (a chip that took
        // the timing byte for a reset, behind a bridge that holds answers back). Dropped, if the
        // last answer follows.
        std::uint8_t last = 0;
        const auto by =
            std::min<Clock::time_point>(deadline, Clock::now() + kBusAndLatencyAllowance);
        if (line_.read(&last, 1, by) == 1 && last == kConfigurationAnswer.back()) {
            log_.push_back("a stray byte " + hexBytes({answer[0]}) +
                           " came before the answers: dropped");
            return true;
        }
    }
    if (answer != kConfigurationAnswer) {
        return fail("answered " + hexBytes(answer) + " where a DS2480B answers " +
                    hexBytes(kConfigurationAnswer));
    }
    return true;
}

bool Chip::detect(Clock::time_point deadline, bool raiseSpeed) {
    log_.clear();
    failure_.clear();
    line_.setSpeed(9600);
    // A break resets the chip to 9600 baud and command mode; its first byte after that only
    // calibrates its timing. A line that cannot carry a break leaves the chip as it was: the
    // 0xE3 0xA1 after the timing byte bring it back to command mode then, and a chip that
    // answers the timing byte as a reset has its answer dropped with the rest.
    line_.sendBreak();
    const std::uint8_t start[] = {kTimingByte, kCommandMode, kAcceleratorOff};
    if (!line_.write(start, sizeof start, deadline)) {
        return fail(line_.lost() ? line_.failure() : "the port did not take the bytes in time");
    }
    std::this_thread::sleep_for(serial::byteTime(9600) * 5);
    drainUntilQuiet(deadline);
    inCommandMode_ = true;
    log_.push_back("master reset (break) and timing byte C1 at 9600 baud");
    if (!configure(deadline)) {
        if (line_.lost() || Clock::now() >= deadline) {
            return false;
        }
        // A chip left at 115200 baud by an earlier program, on a line that carries no break (a
        // pseudo-terminal, some USB bridges): bring it back to 9600 at its own speed.
        log_.push_back("trying a chip left at 115200 baud: 71 sent at 115200");
        backTo9600(deadline);
        if (!configure(deadline)) {
            return false;
        }
    }
    if (raiseSpeed && !raiseTo115200(deadline)) {
        return false;
    }
    failure_.clear();
    return true;
}

// A 9600-baud write at 115200: it brings a chip at 115200 back, and one at 9600 takes the bytes as
// framing errors. They may still reach a chip at 9600 as something it answers (a bridge that
// changes speed before its buffer is out, noise taken for a byte), and earlier bytes may be
// answered late: such answers are let pass.
void Chip::backTo9600(Clock::time_point deadline) {
    line_.setSpeed(115200);
    const std::uint8_t back[] = {kCommandMode, kAcceleratorOff, kBaud9600};
    line_.write(back, sizeof back, deadline);
    std::this_thread::sleep_for(milliseconds(2));
    line_.setSpeed(9600);
    drainUntilQuiet(deadline, kLateAnswersQuiet);
    inCommandMode_ = true;
}

// The chip echoes the baud write at the old speed and then switches; the host follows and
// checks the new speed with a baud read (value 011 at 115200).
bool Chip::raiseTo115200(Clock::time_point deadline) {
    std::vector<std::uint8_t> answer;
    if (exchange({kBaud115200}, answer, deadline) && answer[0] == (kBaud115200 & 0xFE) &&
        line_.setSpeed(115200) && exchange({kReadBaudRate}, answer, deadline) &&
        answer[0] == 0x06) {
        log_.push_back("baud write 77 answered 76; at 115200 the baud read 0F answered 06");
        return true;
    }
    log_.push_back("115200 baud did not work (" + (failure_.empty() ? hexBytes(answer) : failure_) +
                   "): back to 9600");
    if (line_.lost()) {
        return false;
    }
    // Wherever the chip is, a 9600-baud write at 115200 and a check at 9600; a first answer that
    // is not the baud read's (one that came late) gets one more try.
    backTo9600(deadline);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) {
            drainUntilQuiet(deadline, kLateAnswersQuiet);
        }
        if (exchange({kReadBaudRate}, answer, deadline) && answer[0] == 0x00) {
            log_.push_back("at 9600 the baud read 0F answered 00");
            return true;
        }
        log_.push_back("at 9600 the baud read 0F answered " + hexBytes(answer));
        if (line_.lost() || Clock::now() >= deadline) {
            break;
        }
    }
    return fail("lost the chip while changing the line speed");  // detected again next pass
}

void Chip::restoreSpeed(Clock::time_point deadline) {
    if (line_.lost() || line_.speed() == 9600) {
        return;
    }
    const std::uint8_t back[] = {kCommandMode, kAcceleratorOff, kBaud9600};
    line_.write(back, sizeof back, deadline);
    std::vector<std::uint8_t> echo(1);
    line_.read(echo.data(), 1, deadline);
    line_.setSpeed(9600);
}

bool Chip::lowerTo9600(Clock::time_point deadline) {
    std::vector<std::uint8_t> answer;
    if (line_.speed() == 9600) {
        return true;
    }
    if (!exchange({kBaud9600}, answer, deadline) || answer[0] != (kBaud9600 & 0xFE) ||
        !line_.setSpeed(9600) || !exchange({kReadBaudRate}, answer, deadline) ||
        answer[0] != 0x00) {
        return fail("lost the chip while going back to 9600 baud");
    }
    log_.push_back(
        "115200 baud was slower than 9600 on this line: back to 9600 (71 answered 70, "
        "0F answered 00)");
    return true;
}

std::optional<BusState> Chip::reset(Clock::time_point deadline) {
    std::vector<std::uint8_t> answer;
    if (!exchange({kReset}, answer, deadline)) {
        return std::nullopt;
    }
    if (!isResetAnswer(answer[0])) {
        fail("answered a reset with " + hexBytes(answer));
        return std::nullopt;
    }
    return static_cast<BusState>(answer[0] & 3);
}

std::optional<direct::RoundAnswer> Chip::searchRound(const Rom& path, int lastDiscrepancy,
                                                     BusState* bus, Clock::time_point deadline) {
    // Reset, search ROM in data mode, the accelerator on for the 16 bytes, then off again: 24
    // bytes (one write at 9600 baud), 18 answers (the reset, the echo of F0, the 16 search
    // bytes).
    Outgoing out;
    out.add(kReset, true);
    out.add(kDataMode, false);
    out.add(kSearchRom, true);
    out.add(kCommandMode, false);
    out.add(kAcceleratorOn, false);
    out.add(kDataMode, false);
    out.addData(searchRequest(path, lastDiscrepancy));
    out.add(kCommandMode, false);
    out.add(kAcceleratorOff, false);
    std::vector<std::uint8_t> answer;
    if (!exchange(out.bytes, out.answered, answer, deadline)) {
        return std::nullopt;
    }
    if (!isResetAnswer(answer[0])) {
        fail("answered a reset with " + hexBytes({answer[0]}));
        return std::nullopt;
    }
    *bus = static_cast<BusState>(answer[0] & 3);
    if (*bus == BusState::Shorted || *bus == BusState::NoPresence) {
        direct::RoundAnswer none;
        none.bus =
            *bus == BusState::Shorted ? direct::RoundBus::Shorted : direct::RoundBus::NoPresence;
        return none;
    }
    if (answer[1] != kSearchRom) {
        fail("echoed the search command F0 as " + hexBytes({answer[1]}));
        return std::nullopt;
    }
    return decodeRoundAnswer(answer.data() + 2);
}

}  // namespace onewire::ds2480b
