#pragma once

// The DS2490 USB 1-Wire bridge (the DS9490R adapter), spoken to as its datasheet describes:
// vendor control requests carry the control, mode and communication commands; EP2 takes data
// for the bus, EP3 gives data from it and EP1 the status packet with the result codes. The
// transfers go through a small interface, so the protocol is the same over libusb and in tests.
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "onewire/RomCode.h"

namespace onewire::ds2490 {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kVendorId = 0x04FA;
constexpr std::uint16_t kProductId = 0x2490;

// bRequest of the vendor control requests (bmRequestType 0x40).
constexpr std::uint8_t kControlCommand = 0x00;
constexpr std::uint8_t kCommCommand = 0x01;
constexpr std::uint8_t kModeCommand = 0x02;

// Control commands (wValue).
constexpr std::uint16_t kResetDevice = 0x0000;
constexpr std::uint16_t kHaltExecutionIdle = 0x0003;
constexpr std::uint16_t kFlushCommCommands = 0x0007;
constexpr std::uint16_t kFlushReceiveBuffer = 0x0008;
constexpr std::uint16_t kFlushTransmitBuffer = 0x0009;

// Mode commands (wValue) and the values this runtime gives them.
constexpr std::uint16_t kModePulseEnable = 0x0000;
constexpr std::uint16_t kModeSpeedChangeEnable = 0x0001;
constexpr std::uint16_t kModeOneWireSpeed = 0x0002;
constexpr std::uint16_t kModePullDownSlewRate = 0x0004;
constexpr std::uint16_t kModeWriteOneLowTime = 0x0006;
constexpr std::uint16_t kModeSampleOffset = 0x0007;
constexpr std::uint16_t kSpeedFlexible = 0x0001;
// The long-line timing the datasheet recommends for flexible speed, as owfs and the serial
// adapter use it too: slew rate 1.37 V/us, write-one low time 10 us, sample offset 8 us.
constexpr std::uint16_t kSlewRate137 = 0x0003;
constexpr std::uint16_t kWriteOneLow10us = 0x0002;
constexpr std::uint16_t kSampleOffset8us = 0x0005;

// Communication commands (wValue) and their embedded bits.
constexpr std::uint16_t kCommOneWireReset = 0x0042;
constexpr std::uint16_t kCommSearchAccess = 0x00F4;
constexpr std::uint16_t kBitImmediate = 0x0001;     // IM
constexpr std::uint16_t kBitSearchMode = 0x0008;    // SM: the codes found go to EP3
constexpr std::uint16_t kBitReset = 0x0100;         // RST: a 1-Wire reset first
constexpr std::uint16_t kBitNotify = 0x0400;        // NTF: a result code even without error
constexpr std::uint16_t kBitFlushOnError = 0x0800;  // F
constexpr std::uint16_t kBitDiscrepancy = 0x4000;   // RTS: the discrepancy mask too
constexpr std::uint8_t kSearchRom = 0xF0;

// Status flags (byte 8 of the status packet).
constexpr std::uint8_t kStatusStrongPullUp = 0x01;
constexpr std::uint8_t kStatusHalted = 0x10;
constexpr std::uint8_t kStatusIdle = 0x20;
constexpr std::uint8_t kStatusEp0Full = 0x80;

// Result codes, after the 16 status bytes.
constexpr std::uint8_t kResultDeviceDetected = 0xA5;  // not an error: something was plugged on
constexpr std::uint8_t kResultNoPresence = 0x01;      // NRS
constexpr std::uint8_t kResultShort = 0x02;           // SH
constexpr std::uint8_t kResultAlarmingPresence = 0x04;
constexpr std::uint8_t kResultNoProgramVoltage = 0x08;
constexpr std::uint8_t kResultCompare = 0x10;
constexpr std::uint8_t kResultCrc = 0x20;
constexpr std::uint8_t kResultRedirected = 0x40;
constexpr std::uint8_t kResultEndOfSearch = 0x80;

constexpr std::size_t kStatusSize = 16;
constexpr std::size_t kStatusPacketMax = 32;  // 16 status bytes and up to 16 result codes

// One status packet from EP1.
struct Status {
    std::uint8_t flags = 0;
    std::uint8_t commandBufferCount = 0;  // commands not yet done
    std::uint8_t dataOutCount = 0;        // EP2 bytes not yet on the bus
    std::uint8_t dataInCount = 0;         // EP3 bytes waiting to be read
    std::vector<std::uint8_t> results;

    bool idle() const { return (flags & kStatusIdle) != 0; }
};
// nullopt for a packet shorter than the 16 status bytes.
std::optional<Status> parseStatus(std::span<const std::uint8_t> packet);
// "no presence pulse, short" for the messages.
std::string describeResult(std::uint8_t code);

// How a transfer ended, as the transport reports it.
enum class TransferStatus { Ok, Timeout, Stall, Gone, Failed };

struct Transfer {
    TransferStatus status = TransferStatus::Failed;
    std::size_t length = 0;  // bytes moved
    std::string failure;     // the transport's words, for a status other than Ok
};

// The four ways to the chip. Each call ends within its timeout (at least 1 ms): the DS2490
// logic derives them from the pass's deadline.
class UsbTransport {
public:
    virtual ~UsbTransport() = default;
    // A vendor request to the device with no data stage.
    virtual Transfer control(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                             std::chrono::milliseconds timeout) = 0;
    virtual Transfer bulkWrite(std::span<const std::uint8_t> data,
                               std::chrono::milliseconds timeout) = 0;  // EP2
    virtual Transfer bulkRead(std::span<std::uint8_t> buffer,
                              std::chrono::milliseconds timeout) = 0;  // EP3
    virtual Transfer interruptRead(std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) = 0;  // EP1
    // Clears a halt (a stall) on EP1, EP2 or EP3.
    virtual Transfer clearHalt(std::uint8_t endpoint, std::chrono::milliseconds timeout) = 0;
};

// What a 1-Wire reset found.
enum class BusState { Presence, NoPresence, Shorted, AlarmingPresence };
std::string describe(BusState state);

// One round of a search: the code taken and, for each bit, whether devices differed there.
struct SearchRound {
    Rom rom{};
    Rom discrepancies{};  // bit n of the code: byte n / 8, bit n % 8
    // The chip said there are no more devices (it gave no discrepancy mask after the code).
    bool last = false;
};

// The search path of the round after `previous` that takes 1 at `lastDiscrepancy`: the bits
// below it as before, 0 above. All zero for the first round (lastDiscrepancy -1).
Rom searchPath(const Rom& previous, int lastDiscrepancy);

// The exchanges with one DS2490. Every call ends by its deadline; a call that fails says why in
// failure() and whether the device is gone, and leaves the chip to be initialized again.
class Chip {
public:
    explicit Chip(UsbTransport& transport) : transport_(transport) {}

    // Resets the chip, clears stalls and sets the mode registers; false when it does not answer.
    bool initialize(Clock::time_point deadline);
    std::optional<BusState> reset(Clock::time_point deadline);
    // Reset, search ROM, one device: SEARCH_ACCESS with a device limit of 1 and the discrepancy
    // mask. nullopt when the chip did not answer as it should; `bus` gets NoPresence or Shorted
    // when the reset before the search found no device or a short (the round then has no code).
    std::optional<SearchRound> searchRound(const Rom& previous, int lastDiscrepancy, BusState* bus,
                                           Clock::time_point deadline);

    const std::string& failure() const { return failure_; }
    bool gone() const { return gone_; }
    // The commands and transfers sent since the chip was opened (for the benchmark's count).
    std::size_t transfers() const { return transfers_; }

private:
    // Waits, reading status packets, until the chip is idle with no command left; the result
    // codes seen meanwhile are added to `results`.
    std::optional<Status> waitIdle(std::vector<std::uint8_t>& results, Clock::time_point deadline);
    bool command(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 Clock::time_point deadline);
    bool checked(const Transfer& transfer, const char* what, std::size_t expected);
    bool fail(std::string why);

    UsbTransport& transport_;
    std::string failure_;
    bool gone_ = false;
    std::size_t transfers_ = 0;
};

// The milliseconds left before a deadline, at least 1 (a libusb timeout of 0 waits forever).
std::chrono::milliseconds timeoutUntil(Clock::time_point deadline);

}  // namespace onewire::ds2490
