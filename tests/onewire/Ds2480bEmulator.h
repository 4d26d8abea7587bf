#pragma once

// A DS2480B serial 1-Wire line driver with a bus of devices, on a pseudo-terminal, for tests:
// a program opens device() as it would /dev/ttyUSB0. Written from the chip's datasheet: command
// and data modes (a data byte 0xE3 comes doubled), configuration writes and reads, the single
// bit, reset (presence, alarming presence, no presence, shorted) and search-accelerator
// commands, baud changes, and on the bus ROM search, read ROM, match and skip ROM.
//
// Answers are paced as a real line would carry them: each byte in and out takes its time at the
// line's speed, and the bus's own time (reset, slots) is added, so a pass takes real time. As
// the chip does, it holds one byte while it works on another; a byte arriving while both places
// are taken is lost (an overrun).
//
// A pseudo-terminal carries no break and no baud rate, but both ends share its settings: the
// chip reads the host's speed from them, and a byte sent at another speed than the chip's is
// lost, as framing errors would lose it. The chip powers up (9600 baud, command mode, first
// byte only calibrates) whenever the other end closes the terminal, as an adapter powered from
// DTR does.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace onewire::testing {

using RomBytes = std::array<std::uint8_t, 8>;

class Ds2480bEmulator {
public:
    enum class Fault {
        None,
        Silent,       // takes every byte, answers none
        Garbage,      // answers every byte with a byte unrelated to it
        HalfAnswers,  // drops every other answer
        Shorted,      // the bus is shorted: resets answer 0xCC, every slot reads 0
        Alarming,     // resets answer alarming presence
        NoFastBaud,   // echoes a 115200-baud write but stays at 9600
        // Faults of the search accelerator's answers, the chip otherwise sound:
        FlippedBits,    // each bit of an answer flipped at the rate setFlipRate() sets
        RandomSearch,   // every answer a random byte
        StopsInRound2,  // silent, until power-up, in every other round but a search's first
        EndlessSearch,  // flags a discrepancy in the last ROM byte wherever it took 0,
                        // whatever was asked: the same code again and again
        // Takes the first byte after power-up as a command, as a chip does that no break
        // reset (its answer to the timing byte, a reset, then comes late behind a latency).
        AnswersTimingByte,
        SilentAt115200,  // answers at 9600 only
    };

    explicit Ds2480bEmulator(bool paced = true);
    ~Ds2480bEmulator();
    Ds2480bEmulator(const Ds2480bEmulator&) = delete;
    Ds2480bEmulator& operator=(const Ds2480bEmulator&) = delete;

    // The terminal's device (/dev/pts/N); empty once vanished.
    std::string device() const;
    void setDevices(std::vector<RomBytes> devices);
    void setFault(Fault fault);
    // For FlippedBits: the chance, in thousandths, that each answer bit is flipped.
    void setFlipRate(int perMille) { flipPerMille_ = perMille; }
    // Each answer reaches the host this much later, as through a USB-serial bridge that holds
    // what it receives until its latency timer runs out.
    void setAnswerLatency(std::chrono::microseconds latency) { latency_ = latency.count(); }
    // The host's bytes reach the chip late (a bridge's buffer) and at the line's speed by then:
    // bytes written just before a speed change arrive at the new speed.
    void setArrivalDelay(std::chrono::microseconds delay) { lateBy_ = delay.count(); }
    // Unplugged: the terminal closes and its device disappears.
    void vanish();

    int chipSpeed() const { return chipSpeed_; }
    // Counters for the tests.
    std::size_t bytesReceived() const { return bytesIn_; }
    std::size_t resets() const { return resets_; }
    std::size_t powerUps() const { return powerUps_; }
    std::size_t overruns() const { return overruns_; }

private:
    // A device on the bus and where it is in a ROM function.
    struct Device {
        RomBytes rom{};
        enum class State {
            Command,
            Search,
            ReadRom,
            MatchRom,
            Selected,
            Inactive
        } state = State::Inactive;
        int bit = 0;          // the ROM bit (or command bit) it is at
        int searchPhase = 0;  // 0 sends the bit, 1 its complement, 2 reads the direction
        std::uint8_t command = 0;
        bool romBit() const { return ((rom[bit / 8] >> (bit % 8)) & 1) != 0; }
    };
    void run();
    void powerUp();
    // One byte from the host; the answers it produces with the bus time each needs.
    void take(std::uint8_t byte, std::vector<std::pair<std::uint8_t, long>>& answers);
    void command(std::uint8_t byte, std::vector<std::pair<std::uint8_t, long>>& answers);
    void data(std::uint8_t byte, std::vector<std::pair<std::uint8_t, long>>& answers);
    int busReset();       // presence code, low two bits of the answer
    bool slot(bool bit);  // one time slot: the host writes `bit`; what the bus reads

    int master_ = -1;
    std::string device_;
    bool paced_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<RomBytes> roms_;
    std::size_t romsGeneration_ = 0;
    std::vector<Device> bus_;  // the thread's own
    std::size_t busGeneration_ = 0;
    std::atomic<Fault> fault_{Fault::None};
    std::atomic<long> latency_{0};
    std::atomic<long> lateBy_{0};
    std::atomic<int> flipPerMille_{50};
    int byteOfRound_ = 0;          // accelerator bytes since the last Search ROM
    bool laterRound_ = false;      // this round's request has a direction set: not a first one
    std::size_t laterRounds_ = 0;  // such rounds, for StopsInRound2
    std::atomic<bool> silentUntilPowerUp_{false};
    std::uint32_t random();

    // Chip state, used by the thread only.
    bool calibrated_ = false;
    bool dataMode_ = false;
    bool accelerator_ = false;
    bool escapePending_ = false;
    std::array<int, 8> parameters_{};
    std::atomic<int> chipSpeed_{9600};
    int pendingSpeed_ = 0;
    std::uint32_t garbage_ = 0x2545F491;
    std::atomic<std::size_t> bytesIn_{0};
    std::atomic<std::size_t> resets_{0};
    std::atomic<std::size_t> powerUps_{0};
    std::atomic<std::size_t> overruns_{0};
    std::size_t answerCount_ = 0;
};

}  // namespace onewire::testing
