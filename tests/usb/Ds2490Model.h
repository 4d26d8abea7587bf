#pragma once

// The DS2490 USB to 1-Wire bridge (the chip of the DS9490R adapter) as a model for tests, written
// from the chip's datasheet. It takes the USB transfers a host sends and answers them as the chip
// would; a transport (the USB/IP server ds2490_usbip, or a unit test's fake of libusb) carries
// them.
//
// What it models:
// - Endpoint 0: the standard requests (descriptors, configuration, alternate settings 0-3, clear
//   halt) and the vendor requests (bmRequestType 0x40): CONTROL (reset device, start/resume/halt
//   execution, flush the command queue and the FIFOs, get the unexecuted commands), MODE (pulse
//   enables, speed change enable, 1-Wire speed, strong pull-up and programming pulse durations,
//   pull-down slew rate, write-1 low time, data sample offset / write-0 recovery) and COMM (the
//   communication commands: set duration, pulse, 1-Wire reset, bit I/O, byte I/O, block I/O, match
//   access, read straight, search access). A command with IM = 0 waits in the 16-byte command
//   queue until START_EXE; one with IM = 1 runs at once, after those queued before it.
// - EP1 interrupt IN: the 16 state-register bytes, then the result bytes gathered since the last
//   read (each command's result per its ICP and NTF bits, 0xA5 when a device arrived on the bus).
// - EP2 bulk OUT and EP3 bulk IN: the 128-byte FIFOs. A command that needs more EP2 data than is
//   there, or more EP3 room than is free, stops where it is (the chip is not idle) and goes on when
//   the host has written or read; an EP3 read whose buffer is smaller than the next packet fails as
//   an overflow and the FIFO's content is lost, as the kernel's driver describes it.
// - The 1-Wire bus at the level of time slots: every device follows the ROM functions (search,
//   alarm search, read, match, skip; the overdrive ones leave standard-speed tokens idle) and
//   answers nothing else. The bus holds the adapter's own ID chip (family 81) and the tokens, which
//   a test changes while the device runs. Bus time is counted as the chip would spend it.
// - Faults: a stalled endpoint (until CLEAR_FEATURE(ENDPOINT_HALT)), a silent endpoint (every
//   transfer on it stays pending), unplugged (now, or at a chosen later transfer), shorted bus.
//
// Where the datasheet leaves a choice the model says so beside the code (search "choice:").
// Thread-safe: every call takes the model's lock.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace onewire::testing {

using RomBytes = std::array<std::uint8_t, 8>;

// A ROM code with its CRC8 filled in from the first seven bytes.
RomBytes withCrc(RomBytes rom);

class Ds2490Model {
public:
    struct Setup {
        std::uint8_t requestType = 0;
        std::uint8_t request = 0;
        std::uint16_t value = 0;
        std::uint16_t index = 0;
        std::uint16_t length = 0;
    };

    enum class Endpoint : std::uint8_t { Control = 0, Status = 1, DataOut = 2, DataIn = 3 };

    enum class Outcome {
        Done,       // completed; data holds what an IN transfer returns
        Pending,    // the device NAKs: try again later (nothing was consumed)
        Stall,      // the endpoint answered STALL (EPIPE)
        Overflow,   // the device sent more than the buffer holds (EOVERFLOW)
        Unplugged,  // the device is gone
    };

    struct Transfer {
        Outcome outcome = Outcome::Done;
        std::vector<std::uint8_t> data;  // IN data
        std::size_t accepted = 0;        // OUT bytes taken (bulk OUT may take part)
    };

    // Result-register bits and the device-arrival byte.
    static constexpr std::uint8_t kResultNoPresence = 0x01;   // NRS
    static constexpr std::uint8_t kResultShort = 0x02;        // SH
    static constexpr std::uint8_t kResultAlarming = 0x04;     // APP
    static constexpr std::uint8_t kResultNoVpp = 0x08;        // VPP
    static constexpr std::uint8_t kResultCompare = 0x10;      // CMP
    static constexpr std::uint8_t kResultCrc = 0x20;          // CRC
    static constexpr std::uint8_t kResultRedirected = 0x40;   // RDP
    static constexpr std::uint8_t kResultEndOfSearch = 0x80;  // EOS
    static constexpr std::uint8_t kDeviceDetected = 0xA5;
    // State-register status flags (byte 8).
    static constexpr std::uint8_t kStatusStrongPullUp = 0x01;
    static constexpr std::uint8_t kStatusHalted = 0x10;
    static constexpr std::uint8_t kStatusIdle = 0x20;
    static constexpr std::uint8_t kStatusEp0Full = 0x80;

    static constexpr std::uint16_t kVendorId = 0x04FA;
    static constexpr std::uint16_t kProductId = 0x2490;
    static constexpr std::size_t kFifoSize = 128;
    static constexpr std::size_t kCommandQueueSize = 16;

    // The adapter's own ID chip: family 81 with this serial (CRC added).
    explicit Ds2490Model(RomBytes adapterRom = withCrc({0x81, 0x4C, 0x2D, 0x71, 0x0E, 0x00, 0x00}));

    // --- USB side ---
    // A control transfer on endpoint 0; `out` is the data stage of a host-to-device request.
    Transfer control(const Setup& setup, std::span<const std::uint8_t> out = {});
    Transfer bulkOut(std::span<const std::uint8_t> data);  // EP2
    Transfer bulkIn(std::size_t length);                   // EP3
    Transfer interruptIn(std::size_t length);              // EP1
    // The descriptors as GET_DESCRIPTOR returns them.
    static std::vector<std::uint8_t> deviceDescriptor();
    static std::vector<std::uint8_t> configurationDescriptor();
    // Endpoint sizes in the current alternate setting (bulk: 16 or 64; interrupt: 32).
    std::size_t maxPacket(Endpoint endpoint) const;
    int alternateSetting() const;
    int configuration() const;

    // --- The bus, changed by a test at any time ---
    void setTokens(std::vector<RomBytes> tokens);  // the adapter's chip stays
    void addToken(const RomBytes& rom);
    void removeToken(const RomBytes& rom);
    std::vector<RomBytes> tokens() const;
    RomBytes adapterRom() const { return adapterRom_; }
    // Every ROM on the bus as a search finds them: the adapter's chip and the tokens.
    std::vector<RomBytes> busRoms() const;

    // --- Faults ---
    void setShorted(bool shorted);
    void stall(Endpoint endpoint);                   // halted until CLEAR_FEATURE(ENDPOINT_HALT)
    void setSilent(Endpoint endpoint, bool silent);  // transfers stay Pending
    void unplug();                                   // from now on every transfer is Unplugged
    // Unplugged at the n-th transfer from now (1 = the next one); 0 cancels.
    void unplugAfter(std::size_t transfers);
    bool unplugged() const;
    void replug();  // powered up again: a fresh chip, the same bus

    // Paced: each command keeps the chip busy (not idle, its data and result not yet there, the
    // next command waiting) for the bus time it takes, in real time, as the chip would. Off by
    // default: every command is done at once. Paced, EP1 also answers once per polling interval
    // of the alternate setting (10 ms or 1 ms) and NAKs in between.
    void setPaced(bool paced);

    // --- What happened, for tests ---
    // Bus time spent since the model was made, and by the last command run.
    std::chrono::microseconds busTime() const;
    std::chrono::microseconds lastCommandBusTime() const;
    std::size_t resets() const;        // 1-Wire resets put on the bus
    std::size_t searchPasses() const;  // ROM searches put on the bus (one per device found)
    std::size_t commandsRun() const;   // communication commands completed
    std::size_t transfers() const;     // USB transfers taken
    std::array<std::uint8_t, 16> stateRegisters() const;

    // Bus timing at regular speed (flexible runs at the same pace; overdrive is about 8x faster).
    static constexpr std::chrono::microseconds kResetTime{960};  // 480 low + 480 high
    static constexpr std::chrono::microseconds kSlotTime{70};    // one time slot with recovery

private:
    struct Command {
        std::uint16_t value = 0;
        std::uint16_t index = 0;
        // Progress of a command that stopped for want of EP2 data or EP3 room.
        std::size_t done = 0;
        bool started = false;
        int devicesFound = 0;
        RomBytes searchStart{};
        RomBytes lastDiscrepancies{};
        bool searchOver = false;
    };
    struct Device {
        RomBytes rom{};
        enum class State {
            Idle,
            RomCommand,
            Search,
            ReadRom,
            MatchRom,
            Selected
        } state = State::Idle;
        int bit = 0;
        int phase = 0;  // search: 0 sends the bit, 1 its complement, 2 takes the direction
        std::uint8_t command = 0;
        bool romBit(int n) const { return ((rom[n / 8] >> (n % 8)) & 1) != 0; }
    };

    Transfer guard(Endpoint endpoint, bool& proceed);
    Transfer standardRequest(const Setup& setup);
    Transfer vendorRequest(const Setup& setup, std::span<const std::uint8_t> out);
    void controlCommand(std::uint16_t value, Transfer& transfer, const Setup& setup);
    bool modeCommand(std::uint16_t value, std::uint16_t index);
    void powerUp();
    std::array<std::uint8_t, 16> state() const;
    // Runs queued and current commands as far as the FIFOs allow.
    void pump();
    // Runs `command` on; true when it finished.
    bool step(Command& command);
    void finish(const Command& command, std::uint8_t result);
    bool searchStep(Command& command);
    // The bus.
    std::uint8_t busReset();  // 0, kResultNoPresence or kResultShort
    bool slot(bool bit);      // one time slot: write `bit` (1 = read slot); what the bus reads
    std::uint8_t byteSlots(std::uint8_t byte);
    void spend(std::chrono::microseconds time);
    std::size_t fifoOutFree() const { return kFifoSize - dataOut_.size(); }
    std::size_t fifoInFree() const { return kFifoSize - dataIn_.size(); }
    void pushIn(std::uint8_t byte) { dataIn_.push_back(byte); }
    std::uint8_t popOut();

    mutable std::mutex mutex_;
    const RomBytes adapterRom_;
    std::vector<RomBytes> tokens_;
    std::vector<Device> bus_;

    // USB state.
    int configuration_ = 0;
    int alternate_ = 0;
    std::array<bool, 4> halted_{};
    std::array<bool, 4> silent_{};
    bool unplugged_ = false;
    std::size_t unplugCountdown_ = 0;
    std::size_t transfers_ = 0;

    // Chip state.
    std::array<std::uint8_t, 8> modes_{};  // state registers 0-7
    bool executionHalted_ = false;
    bool haltWhenDone_ = false;
    bool ep0Full_ = false;               // a command arrived with the command queue full
    std::vector<std::uint8_t> dataOut_;  // EP2 FIFO
    std::vector<std::uint8_t> dataIn_;   // EP3 FIFO
    std::vector<Command> queue_;         // commands waiting (IM = 0, or behind a running one)
    std::optional<Command> running_;     // the command in progress
    std::size_t startable_ = 0;          // queued commands released to run
    std::vector<std::uint8_t> results_;  // result bytes not yet read on EP1
    bool shorted_ = false;
    bool strongPullUp_ = false;

    std::chrono::microseconds busTime_{0};
    std::chrono::microseconds commandTime_{0};
    std::chrono::microseconds lastCommandTime_{0};
    bool paced_ = false;
    std::chrono::steady_clock::time_point busyUntil_{};
    std::chrono::steady_clock::time_point lastStatus_{};
    bool busy() const;
    std::size_t resets_ = 0;
    std::size_t searchPasses_ = 0;
    std::size_t commandsRun_ = 0;
};

}  // namespace onewire::testing
