#include "tests/onewire/Ds2480bEmulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <thread>

namespace onewire::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// Bus times at standard speed, from the datasheet's timing tables (rounded).
constexpr long kResetMicros = 1100;  // 512 us low, 584 us high
constexpr long kSlotMicros = 70;

std::chrono::nanoseconds byteTime(int baud) {
    return std::chrono::nanoseconds(10'000'000'000LL / baud);
}

int speedOf(speed_t code) {
    switch (code) {
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
    }
}

constexpr int kSpeeds[] = {9600, 19200, 57600, 115200};

}  // namespace

Ds2480bEmulator::Ds2480bEmulator(bool paced) : paced_(paced) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("cannot make a pseudo-terminal");
    }
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("cannot name the pseudo-terminal");
    }
    device_ = name;
    // Raw from the start: the line discipline's echo would send the chip's answers back to it.
    termios settings{};
    ::tcgetattr(master_, &settings);
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    ::tcsetattr(master_, TCSANOW, &settings);
    powerUp();
    thread_ = std::thread([this] { run(); });
}

Ds2480bEmulator::~Ds2480bEmulator() {
    vanish();
}

std::string Ds2480bEmulator::device() const {
    std::lock_guard lock(mutex_);
    return device_;
}

void Ds2480bEmulator::setDevices(std::vector<RomBytes> devices) {
    std::lock_guard lock(mutex_);
    roms_ = std::move(devices);
    ++romsGeneration_;
}

void Ds2480bEmulator::setFault(Fault fault) {
    fault_ = fault;
    if (fault == Fault::None) {
        silentUntilPowerUp_ = false;  // mended
    }
}

void Ds2480bEmulator::vanish() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    device_.clear();
}

std::uint32_t Ds2480bEmulator::random() {
    garbage_ ^= garbage_ << 13;
    garbage_ ^= garbage_ >> 17;
    garbage_ ^= garbage_ << 5;
    return garbage_;
}

void Ds2480bEmulator::powerUp() {
    calibrated_ = false;
    silentUntilPowerUp_ = false;
    dataMode_ = false;
    accelerator_ = false;
    escapePending_ = false;
    parameters_.fill(0);
    chipSpeed_ = 9600;
    pendingSpeed_ = 0;
    bus_.clear();
    ++powerUps_;
}

void Ds2480bEmulator::run() {
    struct Pending {
        Clock::time_point due;
        std::uint8_t byte;
    };
    std::deque<Pending> out;
    std::deque<Clock::time_point> inChip;  // when each byte the chip holds is done
    Clock::time_point lineIn{}, chip{}, lineOut{};
    bool hungUp = true;
    std::vector<std::pair<std::uint8_t, long>> answers;
    while (!stop_) {
        auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(5));
        if (!out.empty()) {
            wait = std::clamp<std::chrono::nanoseconds>(out.front().due - Clock::now(),
                                                        std::chrono::nanoseconds(0), wait);
        }
        pollfd waiting{master_, POLLIN, 0};
        timespec timeout{0, static_cast<long>(wait.count())};
        ::ppoll(&waiting, 1, &timeout, nullptr);
        if ((waiting.revents & POLLIN) && lateBy_ > 0) {
            std::this_thread::sleep_for(microseconds(lateBy_.load()));
        }
        std::uint8_t buffer[256];
        ssize_t got = (waiting.revents & POLLIN) ? ::read(master_, buffer, sizeof buffer) : 0;
        if ((waiting.revents & POLLHUP) && got <= 0) {
            // The other end closed the terminal: the adapter loses its power.
            if (!hungUp) {
                powerUp();
                out.clear();
                inChip.clear();
                hungUp = true;
            }
            ::usleep(2000);
            continue;
        }
        hungUp = false;
        for (ssize_t i = 0; i < got; ++i) {
            termios settings{};
            ::tcgetattr(master_, &settings);
            const int hostSpeed = speedOf(::cfgetospeed(&settings));
            const auto now = Clock::now();
            lineIn = paced_ ? std::max(now, lineIn) + byteTime(hostSpeed ? hostSpeed : 9600) : now;
            ++bytesIn_;
            if (hostSpeed != chipSpeed_) {
                continue;  // framing errors: the chip never sees the byte
            }
            if (paced_) {
                while (!inChip.empty() && inChip.front() <= lineIn) {
                    inChip.pop_front();
                }
                if (inChip.size() >= 2) {
                    ++overruns_;
                    continue;
                }
            }
            answers.clear();
            take(buffer[i], answers);
            if (paced_ && answers.empty()) {
                inChip.push_back(std::max(lineIn, chip));  // no bus work: done when its turn comes
            }
            for (const auto& [answer, busMicros] : answers) {
                if (!paced_) {
                    out.push_back({now, answer});
                    continue;
                }
                chip = std::max(lineIn, chip) + microseconds(busMicros);
                lineOut = std::max(chip, lineOut) + byteTime(chipSpeed_);
                out.push_back({lineOut + microseconds(latency_.load()), answer});
            }
            if (paced_ && !answers.empty()) {
                inChip.push_back(chip);
            }
            if (pendingSpeed_ != 0) {
                chipSpeed_ = pendingSpeed_;  // after the echo, which left at the old speed
                pendingSpeed_ = 0;
            }
        }
        std::vector<std::uint8_t> due;
        const auto now = Clock::now();
        while (!out.empty() && out.front().due <= now) {
            due.push_back(out.front().byte);
            out.pop_front();
        }
        if (!due.empty()) {
            (void)!::write(master_, due.data(), due.size());
        }
    }
}

void Ds2480bEmulator::take(std::uint8_t byte, std::vector<std::pair<std::uint8_t, long>>& answers) {
    const Fault fault = fault_;
    if (fault == Fault::Silent || silentUntilPowerUp_) {
        return;
    }
    if (fault == Fault::Garbage) {
        answers.push_back({static_cast<std::uint8_t>(random()), 0});
        return;
    }
    if (!calibrated_) {
        calibrated_ = true;  // the first byte after power-up only sets the chip's timing
        if (fault != Fault::AnswersTimingByte) {
            return;
        }
    }
    std::vector<std::pair<std::uint8_t, long>> produced;
    if (dataMode_) {
        data(byte, produced);
    } else {
        command(byte, produced);
    }
    if (fault == Fault::SilentAt115200 && chipSpeed_ == 115200) {
        return;  // done, but not answered
    }
    for (const auto& answer : produced) {
        if (fault == Fault::HalfAnswers && (answerCount_++ % 2) == 1) {
            continue;
        }
        answers.push_back(answer);
    }
}

void Ds2480bEmulator::command(std::uint8_t byte,
                              std::vector<std::pair<std::uint8_t, long>>& answers) {
    if (byte == 0xE1) {
        dataMode_ = true;
        return;
    }
    if (byte == 0xE3) {
        return;  // already in command mode
    }
    if ((byte & 0x80) == 0) {
        if ((byte & 1) == 0) {
            return;  // not a configuration command
        }
        const int parameter = (byte >> 4) & 7;
        const int value = (byte >> 1) & 7;
        if (parameter == 0) {
            answers.push_back({static_cast<std::uint8_t>(parameters_[value] << 1), 0});
            return;
        }
        answers.push_back({static_cast<std::uint8_t>(byte & 0xFE), 0});
        if (parameter == 7) {
            if (fault_ == Fault::NoFastBaud && (value & 3) != 0) {
                return;
            }
            pendingSpeed_ = kSpeeds[value & 3];
        }
        parameters_[parameter] = value;
        return;
    }
    switch ((byte >> 5) & 3) {
        case 0: {  // single bit
            const bool read = slot(((byte >> 4) & 1) != 0);
            answers.push_back(
                {static_cast<std::uint8_t>((byte & 0xFC) | (read ? 3 : 0)), kSlotMicros});
            return;
        }
        case 1:  // search accelerator on or off
            accelerator_ = ((byte >> 4) & 1) != 0;
            return;
        case 2:  // reset
            ++resets_;
            answers.push_back({static_cast<std::uint8_t>(0xCC | busReset()), kResetMicros});
            return;
        default:  // pulse; 0xF1 ends one and has no answer of its own
            if (byte != 0xF1) {
                answers.push_back({static_cast<std::uint8_t>(byte & 0xFC), kSlotMicros});
            }
            return;
    }
}

void Ds2480bEmulator::data(std::uint8_t byte, std::vector<std::pair<std::uint8_t, long>>& answers) {
    if (escapePending_) {
        escapePending_ = false;
        if (byte != 0xE3) {
            dataMode_ = false;  // 0xE3 then a command: back to command mode
            command(byte, answers);
            return;
        }
    } else if (byte == 0xE3) {
        escapePending_ = true;
        return;
    }
    std::uint8_t answer = 0;
    if (!accelerator_ && byte == 0xF0) {
        byteOfRound_ = 0;
        laterRound_ = false;
    }
    if (accelerator_) {
        const Fault fault = fault_;
        const int byteOfRound = byteOfRound_++;
        if ((byte & 0xAA) != 0 && !laterRound_) {
            laterRound_ = true;
            ++laterRounds_;
        }
        if (fault == Fault::StopsInRound2 && laterRound_ && laterRounds_ % 2 == 0) {
            silentUntilPowerUp_ = true;
            return;
        }
        // Four ROM bits: read the bit and its complement, take the one devices agree on, or at
        // a discrepancy the host's choice (bit 2n+1); report the flag and the direction taken.
        for (int n = 0; n < 4; ++n) {
            const bool choice = ((byte >> (2 * n + 1)) & 1) != 0;
            const bool bit = slot(true);
            const bool complement = slot(true);
            bool discrepancy = true;
            bool taken = true;
            if (bit != complement) {
                discrepancy = false;
                taken = bit;
            } else if (!bit) {
                taken = choice;
            }
            slot(taken);
            if (fault == Fault::EndlessSearch && byteOfRound >= 14 && !taken) {
                discrepancy = true;  // the last ROM byte's bits
            }
            answer |= static_cast<std::uint8_t>((discrepancy ? 1 : 0) << (2 * n));
            answer |= static_cast<std::uint8_t>((taken ? 1 : 0) << (2 * n + 1));
        }
        if (fault == Fault::RandomSearch) {
            answer = static_cast<std::uint8_t>(random());
        } else if (fault == Fault::FlippedBits) {
            for (int bit = 0; bit < 8; ++bit) {
                if (static_cast<int>(random() % 1000) < flipPerMille_) {
                    answer ^= static_cast<std::uint8_t>(1u << bit);
                }
            }
        }
        answers.push_back({answer, 12 * kSlotMicros});
        return;
    }
    for (int n = 0; n < 8; ++n) {
        if (slot(((byte >> n) & 1) != 0)) {
            answer |= static_cast<std::uint8_t>(1u << n);
        }
    }
    answers.push_back({answer, 8 * kSlotMicros});
}

int Ds2480bEmulator::busReset() {
    {
        std::lock_guard lock(mutex_);
        bus_.clear();
        for (const RomBytes& rom : roms_) {
            Device device;
            device.rom = rom;
            device.state = Device::State::Command;
            bus_.push_back(device);
        }
        busGeneration_ = romsGeneration_;
    }
    if (fault_ == Fault::Shorted) {
        return 0;
    }
    if (bus_.empty()) {
        return 3;
    }
    return fault_ == Fault::Alarming ? 2 : 1;
}

bool Ds2480bEmulator::slot(bool bit) {
    {
        // A device taken off the bus mid-search stops answering at once; one put on waits for
        // the next reset.
        std::lock_guard lock(mutex_);
        if (busGeneration_ != romsGeneration_) {
            std::erase_if(bus_, [this](const Device& device) {
                return std::find(roms_.begin(), roms_.end(), device.rom) == roms_.end();
            });
            busGeneration_ = romsGeneration_;
        }
    }
    if (fault_ == Fault::Shorted) {
        return false;
    }
    using State = Device::State;
    bool wire = bit;
    for (const Device& device : bus_) {
        bool driven = true;
        if (device.state == State::Search && device.searchPhase < 2) {
            driven = device.searchPhase == 0 ? device.romBit() : !device.romBit();
        } else if (device.state == State::ReadRom) {
            driven = device.romBit();
        }
        wire = wire && driven;
    }
    for (Device& device : bus_) {
        switch (device.state) {
            case State::Command:
                device.command |= static_cast<std::uint8_t>((wire ? 1 : 0) << device.bit);
                if (++device.bit == 8) {
                    device.bit = 0;
                    device.searchPhase = 0;
                    device.state = device.command == 0xF0   ? State::Search
                                   : device.command == 0x33 ? State::ReadRom
                                   : device.command == 0x55 ? State::MatchRom
                                   : device.command == 0xCC ? State::Selected
                                                            : State::Inactive;
                }
                break;
            case State::Search:
                if (device.searchPhase < 2) {
                    ++device.searchPhase;
                    break;
                }
                device.searchPhase = 0;
                if (wire != device.romBit()) {
                    device.state = State::Inactive;
                } else if (++device.bit == 64) {
                    device.state = State::Selected;
                }
                break;
            case State::ReadRom:
                if (++device.bit == 64) {
                    device.state = State::Selected;
                }
                break;
            case State::MatchRom:
                if (wire != device.romBit()) {
                    device.state = State::Inactive;
                } else if (++device.bit == 64) {
                    device.state = State::Selected;
                }
                break;
            default:
                break;
        }
    }
    return wire;
}

}  // namespace onewire::testing
