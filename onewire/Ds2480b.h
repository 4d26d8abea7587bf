#pragma once

// The DS2480B serial 1-Wire line driver (DS9097U-class and USB-serial adapters), spoken over a
// serial line as its datasheet describes: command mode for configuration, resets, single bits
// and the search accelerator; data mode for bytes on the 1-Wire bus.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "onewire/DirectSearch.h"
#include "onewire/RomCode.h"
#include "onewire/SerialLine.h"

namespace onewire::ds2480b {

using serial::Clock;

// Command-mode bytes.
constexpr std::uint8_t kDataMode = 0xE1;
constexpr std::uint8_t kCommandMode = 0xE3;  // in data mode; doubled it is a data byte 0xE3
constexpr std::uint8_t kTimingByte = 0xC1;   // the first byte after a master reset
constexpr std::uint8_t kReset = 0xC1;        // 1-Wire reset at standard speed
constexpr std::uint8_t kAcceleratorOn = 0xB1;
constexpr std::uint8_t kAcceleratorOff = 0xA1;
constexpr std::uint8_t kBitOne = 0x91;  // write a 1 slot, read it back
// Configuration writes the datasheet and owfs recommend for a long line: pull-down slew rate
// 1.37 V/us, write-one low time 10 us, data sample offset 8 us.
constexpr std::uint8_t kSlewRate = 0x17;
constexpr std::uint8_t kWriteOneLowTime = 0x45;
constexpr std::uint8_t kSampleOffset = 0x5B;
constexpr std::uint8_t kReadBaudRate = 0x0F;
constexpr std::uint8_t kBaud9600 = 0x71;
constexpr std::uint8_t kBaud115200 = 0x77;
constexpr std::uint8_t kSearchRom = 0xF0;

// What a 1-Wire reset found, from the low two bits of the chip's answer.
enum class BusState { Shorted = 0, Presence = 1, AlarmingPresence = 2, NoPresence = 3 };
std::string describe(BusState state);

// The 16 bytes handed to the search accelerator: for ROM bit n the direction to take at a
// discrepancy sits in bit 2n+1.
std::vector<std::uint8_t> searchRequest(const Rom& previous, int lastDiscrepancy);

// One round of a search as the accelerator reports it.
struct SearchRound {
    Rom rom{};
    // The highest bit where devices differed and the round took 0: the next round takes 1
    // there. -1 when this was the last device.
    int nextDiscrepancy = -1;
};
SearchRound decodeSearchAnswer(const std::uint8_t* answer16);
// The same answer as the checks of a direct search read it: the code taken and every flag.
direct::RoundAnswer decodeRoundAnswer(const std::uint8_t* answer16);

// The exchanges with one chip. Every call ends by its deadline; a call that fails leaves the
// chip in an unknown mode, and the next one first brings it back to command mode.
class Chip {
public:
    explicit Chip(serial::SerialLine& line) : line_(line) {}

    // Master reset and timing calibration at 9600 baud, the three timing configurations checked
    // by their echoes, a baud read and a single bit; false when the device does not answer like
    // a DS2480B. With raiseSpeed, then the line goes to 115200 baud, back to 9600 on any
    // mismatch.
    bool detect(Clock::time_point deadline, bool raiseSpeed);
    std::optional<BusState> reset(Clock::time_point deadline);
    // Reset, search ROM and one pass of the accelerator. nullopt when the chip does not answer
    // as it should; `bus` gets the reset's answer.
    std::optional<direct::RoundAnswer> searchRound(const Rom& path, int lastDiscrepancy,
                                                   BusState* bus, Clock::time_point deadline);

    // Leaves the chip at 9600 baud, as a program that opens the port after this one expects
    // where the line carries no break.
    void restoreSpeed(Clock::time_point deadline);
    // Back from 115200 to 9600 baud, checked with a baud read; false when the chip is lost.
    bool lowerTo9600(Clock::time_point deadline);

    int speed() const { return line_.speed(); }
    // How detection went, in words and bytes (for the reader check).
    const std::vector<std::string>& detectionLog() const { return log_; }
    // Why the last call failed.
    const std::string& failure() const { return failure_; }

private:
    // Writes `out`, each byte of which the chip answers, and reads the answers; false (with
    // failure_ set) when they do not come in time.
    bool exchange(const std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& in,
                  Clock::time_point deadline);
    // The same where only the bytes marked in `answered` get an answer. Above 9600 baud a byte
    // takes less time on the line than its work on the bus, and the chip holds only one byte
    // while it works on another: the bytes then go out no faster than the answers come back.
    bool exchange(const std::vector<std::uint8_t>& out, const std::vector<bool>& answered,
                  std::vector<std::uint8_t>& in, Clock::time_point deadline);
    bool configure(Clock::time_point deadline);
    void drainUntilQuiet(Clock::time_point deadline, Clock::duration quiet = {});
    bool raiseTo115200(Clock::time_point deadline);
    void backTo9600(Clock::time_point deadline);
    void resynchronise(Clock::time_point deadline);
    bool fail(std::string why);

    serial::SerialLine& line_;
    bool inCommandMode_ = false;
    std::vector<std::string> log_;
    std::string failure_;
};

// "16 44 5A" for the detection log.
std::string hexBytes(const std::vector<std::uint8_t>& bytes);

}  // namespace onewire::ds2480b
