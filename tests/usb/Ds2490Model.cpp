#include "tests/usb/Ds2490Model.h"

#include <algorithm>

namespace onewire::testing {

namespace {

// bmRequestType / bRequest values.
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeVendor = 0x40;
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kSetAddress = 5,
                       kGetDescriptor = 6, kGetConfiguration = 8, kSetConfiguration = 9,
                       kGetInterface = 10, kSetInterface = 11;
// The chip's three vendor requests.
constexpr std::uint8_t kControlCmd = 0x00, kCommCmd = 0x01, kModeCmd = 0x02;

// Control command codes (wValue of a CONTROL request).
enum : std::uint16_t {
    kResetDevice = 0x0000,
    kStartExe = 0x0001,
    kResumeExe = 0x0002,
    kHaltExeIdle = 0x0003,
    kHaltExeDone = 0x0004,
    kFlushCommCmds = 0x0007,
    kFlushRcvBuffer = 0x0008,
    kFlushXmtBuffer = 0x0009,
    kGetCommCmds = 0x000A,
};

// Communication command codes: wValue's low byte without its bit 3 (a per-command flag) and bit
// 0 (IM).
enum : std::uint8_t {
    kSetDuration = 0x12,
    kBitIo = 0x20,
    kPulse = 0x30,
    kOneWireReset = 0x42,
    kByteIo = 0x52,
    kMatchAccess = 0x64,
    kBlockIo = 0x74,
    kReadStraight = 0x80,  // its low nibble holds flags of its own
    kSearchAccess = 0xF4,
};
// Embedded command bits.
constexpr std::uint16_t kImmediate = 0x0001;  // IM
constexpr std::uint16_t kBit3 = 0x0008;       // TYPE, SE, D, Z, CH, SM, R
constexpr std::uint16_t kReset = 0x0100;      // RST
constexpr std::uint16_t kIcp = 0x0200;        // ICP: no result feedback
constexpr std::uint16_t kNtf = 0x0400;        // NTF: result feedback even without an error
constexpr std::uint16_t kFlush = 0x0800;      // F: flush the buffers on an error
constexpr std::uint16_t kSpu = 0x1000;        // SPU: strong pull-up after the command
constexpr std::uint16_t kBit14 = 0x4000;      // PS, PST, CIB, RTS
// READ STRAIGHT's own flag bits in wValue's low byte.
constexpr std::uint16_t kStraightNtf = 0x08, kStraightIcp = 0x04, kStraightReset = 0x02;

// Mode codes (wValue of a MODE request) and state-register offsets.
enum : std::uint16_t {
    kModPulseEnable = 0,
    kModSpeedChangeEnable = 1,
    kModSpeed = 2,
    kModStrongPullUpDuration = 3,
    kModPulldownSlewRate = 4,
    kModProgPulseDuration = 5,
    kModWrite1LowTime = 6,
    kModSampleOffset = 7,
};
// Enable flags (state register 0): choice: the same bits as the MODE command's PULSE_EN
// parameter (programming pulse 0x01, strong pull-up 0x02), dynamic speed change 0x04.
constexpr std::uint8_t kEnableProgram = 0x01, kEnableStrongPullUp = 0x02, kEnableSpeedChange = 0x04;
constexpr std::uint8_t kSpeedRegular = 0, kSpeedFlexible = 1, kSpeedOverdrive = 2;

// ROM function commands.
constexpr std::uint8_t kSearchRom = 0xF0, kReadRom = 0x33, kMatchRom = 0x55, kSkipRom = 0xCC;

constexpr std::chrono::microseconds kOverdriveResetTime{146};
constexpr std::chrono::microseconds kOverdriveSlotTime{10};
// Strong pull-up and programming pulse durations count in units of 16 ms and 8 us.
constexpr std::chrono::microseconds kPullUpUnit{16000};

std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C)
                                 : static_cast<std::uint8_t>(crc >> 1);
        }
    }
    return crc;
}

bool getBit(const RomBytes& bytes, int n) {
    return ((bytes[n / 8] >> (n % 8)) & 1) != 0;
}
void setBit(RomBytes& bytes, int n, bool value) {
    const auto mask = static_cast<std::uint8_t>(1u << (n % 8));
    bytes[n / 8] =
        static_cast<std::uint8_t>(value ? (bytes[n / 8] | mask) : (bytes[n / 8] & ~mask));
}

std::uint8_t commandCode(std::uint16_t value) {
    const auto low = static_cast<std::uint8_t>(value & 0xFF);
    if ((low & 0xF0) == kReadStraight) {
        return kReadStraight;
    }
    return static_cast<std::uint8_t>(low & 0xF6);
}

Ds2490Model::Transfer only(Ds2490Model::Outcome outcome) {
    Ds2490Model::Transfer t;
    t.outcome = outcome;
    return t;
}

}  // namespace

RomBytes withCrc(RomBytes rom) {
    rom[7] = crc8(rom.data(), 7);
    return rom;
}

Ds2490Model::Ds2490Model(RomBytes adapterRom) : adapterRom_(adapterRom) {
    bus_.push_back(Device{adapterRom_});
    powerUp();
}

// --- USB side ---------------------------------------------------------------------------

std::vector<std::uint8_t> Ds2490Model::deviceDescriptor() {
    return {18,   0x01, 0x10, 0x01,  // bcdUSB 1.10
            0xFF, 0x00, 0x00,        // vendor-specific class
            16,                      // bMaxPacketSize0
            0xFA, 0x04, 0x90, 0x24,  // 04FA:2490
            0x00, 0x01,              // bcdDevice 1.00
            0,    0,    0,    1};    // no strings, one configuration
}

std::vector<std::uint8_t> Ds2490Model::configurationDescriptor() {
    std::vector<std::uint8_t> d = {9, 0x02, 0, 0, 1, 1, 0, 0x80, 50};  // bus powered, 100 mA
    // One interface with four alternate settings: the bulk packet size (16 or 64) and the
    // interrupt polling interval (10 ms or 1 ms) differ.
    for (std::uint8_t alt = 0; alt < 4; ++alt) {
        const std::uint8_t bulk = (alt % 2 == 0) ? 16 : 64;
        const std::uint8_t interval = alt < 2 ? 10 : 1;
        const std::uint8_t iface[] = {9, 0x04, 0, alt, 3, 0xFF, 0xFF, 0xFF, 0};
        const std::uint8_t ep1[] = {7, 0x05, 0x81, 0x03, 32, 0, interval};
        const std::uint8_t ep2[] = {7, 0x05, 0x02, 0x02, bulk, 0, 0};
        const std::uint8_t ep3[] = {7, 0x05, 0x83, 0x02, bulk, 0, 0};
        d.insert(d.end(), std::begin(iface), std::end(iface));
        d.insert(d.end(), std::begin(ep1), std::end(ep1));
        d.insert(d.end(), std::begin(ep2), std::end(ep2));
        d.insert(d.end(), std::begin(ep3), std::end(ep3));
    }
    d[2] = static_cast<std::uint8_t>(d.size() & 0xFF);
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

std::size_t Ds2490Model::maxPacket(Endpoint endpoint) const {
    std::lock_guard lock(mutex_);
    switch (endpoint) {
        case Endpoint::Control:
            return 16;
        case Endpoint::Status:
            return 32;
        default:
            return alternate_ % 2 == 0 ? 16 : 64;
    }
}

int Ds2490Model::alternateSetting() const {
    std::lock_guard lock(mutex_);
    return alternate_;
}

int Ds2490Model::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

Ds2490Model::Transfer Ds2490Model::guard(Endpoint endpoint, bool& proceed) {
    proceed = false;
    ++transfers_;
    if (unplugCountdown_ > 0 && --unplugCountdown_ == 0) {
        unplugged_ = true;
    }
    const auto ep = static_cast<std::size_t>(endpoint);
    if (unplugged_) {
        return only(Outcome::Unplugged);
    }
    if (silent_[ep]) {
        return only(Outcome::Pending);
    }
    if (halted_[ep]) {
        if (endpoint == Endpoint::Control) {
            halted_[ep] = false;  // a protocol stall lasts one request
        }
        return only(Outcome::Stall);
    }
    // choice: the bulk and interrupt endpoints exist only once the device is configured.
    if (endpoint != Endpoint::Control && configuration_ == 0) {
        return only(Outcome::Stall);
    }
    proceed = true;
    return {};
}

Ds2490Model::Transfer Ds2490Model::control(const Setup& setup, std::span<const std::uint8_t> out) {
    std::lock_guard lock(mutex_);
    bool proceed = false;
    Transfer t = guard(Endpoint::Control, proceed);
    if (!proceed) {
        return t;
    }
    switch (setup.requestType & kTypeMask) {
        case kTypeStandard:
            return standardRequest(setup);
        case kTypeVendor:
            return vendorRequest(setup, out);
        default:
            return only(Outcome::Stall);
    }
}

Ds2490Model::Transfer Ds2490Model::standardRequest(const Setup& setup) {
    Transfer t;
    const std::uint8_t recipient = setup.requestType & 0x1F;
    auto endpointIndex = [&](std::uint16_t address) -> int {
        switch (address & 0xFF) {
            case 0x00:
            case 0x80:
                return 0;
            case 0x81:
                return 1;
            case 0x02:
                return 2;
            case 0x83:
                return 3;
            default:
                return -1;
        }
    };
    switch (setup.request) {
        case kGetDescriptor: {
            std::vector<std::uint8_t> d;
            switch (setup.value >> 8) {
                case 1:
                    d = deviceDescriptor();
                    break;
                case 2:
                    d = configurationDescriptor();
                    break;
                default:
                    return only(Outcome::Stall);  // no strings, no device qualifier: full speed
            }
            d.resize(std::min<std::size_t>(d.size(), setup.length));
            t.data = std::move(d);
            return t;
        }
        case kSetAddress:
            return t;
        case kSetConfiguration:
            if (setup.value > 1) {
                return only(Outcome::Stall);
            }
            configuration_ = setup.value;
            alternate_ = 0;
            halted_ = {};
            return t;
        case kGetConfiguration:
            t.data = {static_cast<std::uint8_t>(configuration_)};
            return t;
        case kSetInterface:
            if (configuration_ == 0 || setup.index != 0 || setup.value > 3) {
                return only(Outcome::Stall);
            }
            alternate_ = setup.value;
            halted_ = {};
            return t;
        case kGetInterface:
            if (configuration_ == 0 || setup.index != 0) {
                return only(Outcome::Stall);
            }
            t.data = {static_cast<std::uint8_t>(alternate_)};
            return t;
        case kGetStatus:
            if (recipient == 2) {
                const int ep = endpointIndex(setup.index);
                if (ep < 0) {
                    return only(Outcome::Stall);
                }
                t.data = {static_cast<std::uint8_t>(halted_[ep] ? 1 : 0), 0};
            } else {
                t.data = {0, 0};  // bus powered, no remote wake-up
            }
            t.data.resize(std::min<std::size_t>(t.data.size(), setup.length));
            return t;
        case kClearFeature:
        case kSetFeature:
            if (recipient == 2 && setup.value == 0) {  // ENDPOINT_HALT
                const int ep = endpointIndex(setup.index);
                if (ep < 0) {
                    return only(Outcome::Stall);
                }
                if (ep != 0) {
                    halted_[ep] = setup.request == kSetFeature;
                }
                return t;
            }
            return recipient == 0 ? t : only(Outcome::Stall);
        default:
            return only(Outcome::Stall);
    }
}

Ds2490Model::Transfer Ds2490Model::vendorRequest(const Setup& setup,
                                                 std::span<const std::uint8_t> /*out*/) {
    Transfer t;
    switch (setup.request) {
        case kControlCmd:
            controlCommand(setup.value, t, setup);
            return t;
        case kModeCmd:
            if (!modeCommand(setup.value, setup.index)) {
                return only(Outcome::Stall);
            }
            return t;
        case kCommCmd: {
            const std::uint8_t code = commandCode(setup.value);
            switch (code) {
                case kSetDuration:
                case kBitIo:
                case kPulse:
                case kOneWireReset:
                case kByteIo:
                case kMatchAccess:
                case kBlockIo:
                case kReadStraight:
                case kSearchAccess:
                    break;
                default:
                    // Not modelled (SET PATH, the EPROM and page commands, DO & RELEASE): refused
                    // so a host that needs them learns it at once.
                    return only(Outcome::Stall);
            }
            if (queue_.size() * 4 >= kCommandQueueSize) {
                // The endpoint 0 FIFO is full: the chip drops the request and says so (EP0F).
                ep0Full_ = true;
                return t;
            }
            Command command;
            command.value = setup.value;
            command.index = setup.index;
            queue_.push_back(command);
            // choice: an immediate command also releases the unstarted commands queued before
            // it, so the queue keeps its order.
            const bool immediate =
                code == kReadStraight ? (setup.value & 0x01) != 0 : (setup.value & kImmediate) != 0;
            if (immediate) {
                startable_ = queue_.size();
            }
            pump();
            return t;
        }
        default:
            return only(Outcome::Stall);
    }
}

void Ds2490Model::controlCommand(std::uint16_t value, Transfer& t, const Setup& setup) {
    switch (value) {
        case kResetDevice:
            powerUp();
            break;
        case kStartExe:
            startable_ = queue_.size();
            executionHalted_ = false;
            pump();
            break;
        case kResumeExe:
            executionHalted_ = false;
            pump();
            break;
        case kHaltExeIdle:
            // Halts at once: an infinite strong pull-up ends; choice: a command waiting for
            // FIFO data or room is abandoned.
            executionHalted_ = true;
            strongPullUp_ = false;
            running_.reset();
            break;
        case kHaltExeDone:
            haltWhenDone_ = true;
            strongPullUp_ = false;
            pump();
            break;
        case kFlushCommCmds:
            queue_.clear();
            startable_ = 0;
            break;
        case kFlushRcvBuffer:
            dataIn_.clear();
            pump();
            break;
        case kFlushXmtBuffer:
            dataOut_.clear();
            break;
        case kGetCommCmds:
            // The unexecuted commands come back in the data stage (wValue then wIndex, each
            // low byte first) and leave the queue.
            if ((setup.requestType & kDirectionIn) != 0) {
                while (!queue_.empty() && t.data.size() + 4 <= setup.length) {
                    const Command& c = queue_.front();
                    t.data.push_back(static_cast<std::uint8_t>(c.value & 0xFF));
                    t.data.push_back(static_cast<std::uint8_t>(c.value >> 8));
                    t.data.push_back(static_cast<std::uint8_t>(c.index & 0xFF));
                    t.data.push_back(static_cast<std::uint8_t>(c.index >> 8));
                    queue_.erase(queue_.begin());
                    startable_ = startable_ > 0 ? startable_ - 1 : 0;
                }
            }
            break;
        default:
            t.outcome = Outcome::Stall;
            break;
    }
}

bool Ds2490Model::modeCommand(std::uint16_t value, std::uint16_t index) {
    // choice: a parameter out of the datasheet's range is refused with a stall.
    const auto byte = static_cast<std::uint8_t>(index & 0xFF);
    switch (value) {
        case kModPulseEnable:
            if (index > 3) {
                return false;
            }
            modes_[0] = static_cast<std::uint8_t>((modes_[0] & kEnableSpeedChange) | byte);
            return true;
        case kModSpeedChangeEnable:
            if (index > 1) {
                return false;
            }
            modes_[0] = static_cast<std::uint8_t>((modes_[0] & ~kEnableSpeedChange) |
                                                  (byte != 0 ? kEnableSpeedChange : 0));
            return true;
        case kModSpeed:
            if (index > kSpeedOverdrive) {
                return false;
            }
            modes_[1] = byte;
            return true;
        case kModStrongPullUpDuration:
            if (index > 0xFF) {
                return false;
            }
            modes_[2] = byte;
            return true;
        case kModProgPulseDuration:
            if (index > 0xFF) {
                return false;
            }
            modes_[3] = byte;
            return true;
        case kModPulldownSlewRate:
        case kModWrite1LowTime:
        case kModSampleOffset:
            if (index > 7) {
                return false;
            }
            modes_[value == kModPulldownSlewRate ? 4 : value == kModWrite1LowTime ? 5 : 6] = byte;
            return true;
        default:
            return false;
    }
}

Ds2490Model::Transfer Ds2490Model::bulkOut(std::span<const std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    bool proceed = false;
    Transfer t = guard(Endpoint::DataOut, proceed);
    if (!proceed) {
        return t;
    }
    const std::size_t take = std::min(data.size(), fifoOutFree());
    if (take == 0 && !data.empty()) {
        return only(Outcome::Pending);
    }
    dataOut_.insert(dataOut_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
    t.accepted = take;
    pump();
    return t;
}

Ds2490Model::Transfer Ds2490Model::bulkIn(std::size_t length) {
    std::lock_guard lock(mutex_);
    bool proceed = false;
    Transfer t = guard(Endpoint::DataIn, proceed);
    if (!proceed) {
        return t;
    }
    pump();
    if (dataIn_.empty() || busy()) {
        return only(Outcome::Pending);  // choice: a busy chip's data shows when it is done
    }
    const std::size_t packet = alternate_ % 2 == 0 ? 16 : 64;
    while (!dataIn_.empty() && t.data.size() < length) {
        const std::size_t chunk = std::min(dataIn_.size(), packet);
        if (chunk > length - t.data.size()) {
            // The packet does not fit the host's buffer: the transfer fails and the FIFO's
            // content is gone.
            dataIn_.clear();
            pump();
            return only(Outcome::Overflow);
        }
        t.data.insert(t.data.end(), dataIn_.begin(),
                      dataIn_.begin() + static_cast<std::ptrdiff_t>(chunk));
        dataIn_.erase(dataIn_.begin(), dataIn_.begin() + static_cast<std::ptrdiff_t>(chunk));
        if (chunk < packet) {
            break;  // a short packet ends the transfer
        }
        // choice: a full packet that empties the FIFO also ends it (as a zero-length packet
        // would), so a host reading "up to N" bytes is not kept waiting.
    }
    pump();
    return t;
}

Ds2490Model::Transfer Ds2490Model::interruptIn(std::size_t length) {
    std::lock_guard lock(mutex_);
    bool proceed = false;
    Transfer t = guard(Endpoint::Status, proceed);
    if (!proceed) {
        return t;
    }
    if (paced_) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastStatus_ < std::chrono::milliseconds(alternate_ < 2 ? 10 : 1)) {
            return only(Outcome::Pending);
        }
        lastStatus_ = now;
    }
    pump();
    const std::array<std::uint8_t, 16> registers = state();
    const std::size_t resultCount = busy() ? 0 : std::min<std::size_t>(results_.size(), 16);
    if (length < 16 + resultCount) {
        return only(Outcome::Overflow);
    }
    t.data.assign(registers.begin(), registers.end());
    t.data.insert(t.data.end(), results_.begin(),
                  results_.begin() + static_cast<std::ptrdiff_t>(resultCount));
    results_.erase(results_.begin(), results_.begin() + static_cast<std::ptrdiff_t>(resultCount));
    return t;
}

// --- Chip ---------------------------------------------------------------------------------

void Ds2490Model::powerUp() {
    // choice: the datasheet gives no power-up values for the mode registers; all start at 0
    // (regular speed, pulses disabled, the fastest slew rate, the shortest times).
    modes_ = {};
    executionHalted_ = false;
    haltWhenDone_ = false;
    ep0Full_ = false;
    dataOut_.clear();
    dataIn_.clear();
    queue_.clear();
    running_.reset();
    startable_ = 0;
    results_.clear();
    strongPullUp_ = false;
    for (Device& d : bus_) {
        d.state = Device::State::Idle;
    }
}

std::uint8_t Ds2490Model::popOut() {
    const std::uint8_t b = dataOut_.front();
    dataOut_.erase(dataOut_.begin());
    return b;
}

bool Ds2490Model::busy() const {
    return paced_ && std::chrono::steady_clock::now() < busyUntil_;
}

void Ds2490Model::pump() {
    for (;;) {
        if (executionHalted_ || busy()) {
            return;
        }
        if (!running_) {
            if (startable_ == 0) {
                if (haltWhenDone_) {
                    executionHalted_ = true;
                    haltWhenDone_ = false;
                }
                return;
            }
            running_ = queue_.front();
            queue_.erase(queue_.begin());
            --startable_;
            commandTime_ = std::chrono::microseconds{0};
        }
        if (!step(*running_)) {
            return;  // waits for EP2 data or EP3 room
        }
        running_.reset();
        ++commandsRun_;
        lastCommandTime_ = commandTime_;
        if (paced_) {
            busyUntil_ = std::chrono::steady_clock::now() + commandTime_;
        }
    }
}

void Ds2490Model::finish(const Command& command, std::uint8_t result) {
    const bool straight = commandCode(command.value) == kReadStraight;
    const bool icp = straight ? (command.value & kStraightIcp) != 0 : (command.value & kIcp) != 0;
    const bool ntf = straight ? (command.value & kStraightNtf) != 0 : (command.value & kNtf) != 0;
    if (!icp && (ntf || result != 0) && results_.size() < 16) {
        results_.push_back(result);
    }
    // choice: F flushes on a bus error (no presence, short, compare, CRC); an end of search
    // that returned fewer devices than asked for is not one, or the IDs found would be lost.
    const std::uint8_t errors = kResultNoPresence | kResultShort | kResultCompare | kResultCrc;
    if (!straight && (command.value & kFlush) != 0 && (result & errors) != 0) {
        queue_.clear();
        startable_ = 0;
        dataOut_.clear();
        dataIn_.clear();
    }
}

bool Ds2490Model::step(Command& c) {
    const std::uint8_t code = commandCode(c.value);
    const bool bit3 = (c.value & kBit3) != 0;
    auto pullUp = [&](bool allowed) {
        if (!allowed || (modes_[0] & kEnableStrongPullUp) == 0) {
            return;
        }
        if (modes_[2] == 0) {
            strongPullUp_ = true;  // until a HALT ends it
        } else {
            spend(kPullUpUnit * modes_[2]);
        }
    };
    switch (code) {
        case kSetDuration:
            modes_[bit3 ? 3 : 2] = static_cast<std::uint8_t>(c.index & 0xFF);
            finish(c, 0);
            return true;
        case kPulse:
            if (bit3) {
                // A programming pulse needs 12 V, which this adapter does not have.
                finish(c, (modes_[0] & kEnableProgram) != 0 ? kResultNoVpp : 0);
            } else {
                pullUp(true);
                finish(c, 0);
            }
            return true;
        case kOneWireReset: {
            if (bit3 && (c.index & 0xFF) <= kSpeedOverdrive) {
                modes_[1] = static_cast<std::uint8_t>(c.index & 0xFF);  // SE: the new speed
            }
            const std::uint8_t result = busReset();
            if (result == kResultNoPresence && (c.value & kBit14) != 0) {
                return false;  // PST: resets go on until a device answers
            }
            finish(c, result);
            return true;
        }
        case kBitIo: {
            const bool icp = (c.value & kIcp) != 0;
            if (!icp && fifoInFree() < 1) {
                return false;
            }
            const bool read = slot(bit3);
            if (!icp) {
                pushIn(read ? 1 : 0);
            }
            pullUp((c.value & kSpu) != 0 && !((c.value & kBit14) != 0 && read));
            finish(c, 0);
            return true;
        }
        case kByteIo: {
            const bool icp = (c.value & kIcp) != 0;
            if (!icp && fifoInFree() < 1) {
                return false;
            }
            const std::uint8_t read = byteSlots(static_cast<std::uint8_t>(c.index & 0xFF));
            if (!icp) {
                pushIn(read);
            }
            pullUp((c.value & kSpu) != 0);
            finish(c, 0);
            return true;
        }
        case kBlockIo: {
            if (!c.started) {
                c.started = true;
                if ((c.value & kReset) != 0) {
                    busReset();
                }
            }
            const std::size_t size = c.index == 0 ? 0 : c.index;
            while (c.done < size) {
                if (dataOut_.empty() || fifoInFree() < 1) {
                    return false;
                }
                pushIn(byteSlots(popOut()));
                ++c.done;
            }
            pullUp((c.value & kSpu) != 0);
            finish(c, 0);
            return true;
        }
        case kMatchAccess: {
            if (dataOut_.size() < 8) {
                return false;
            }
            RomBytes rom{};
            for (auto& b : rom) {
                b = popOut();
            }
            std::uint8_t result = 0;
            if ((c.value & kReset) != 0) {
                result = busReset();
            }
            if (result == 0) {
                byteSlots(static_cast<std::uint8_t>(c.index & 0xFF));
                for (std::uint8_t b : rom) {
                    byteSlots(b);
                }
            }
            finish(c, result);
            return true;
        }
        case kReadStraight: {
            const std::size_t preamble = c.value >> 8;
            if (!c.started) {
                if (dataOut_.size() < preamble) {
                    return false;
                }
                c.started = true;
                if ((c.value & kStraightReset) != 0) {
                    busReset();
                }
                for (std::size_t i = 0; i < preamble; ++i) {
                    byteSlots(popOut());
                }
            }
            while (c.done < c.index) {
                if (fifoInFree() < 1) {
                    return false;
                }
                pushIn(byteSlots(0xFF));
                ++c.done;
            }
            finish(c, 0);
            return true;
        }
        case kSearchAccess:
            return searchStep(c);
        default:
            finish(c, 0);
            return true;
    }
}

// SEARCH ACCESS: EP2 holds the 8-byte start value; at a discrepancy the search takes the start
// value's bit. With SM = 1 each device found goes to EP3 and the search goes on from the next
// branch, up to the device limit (wIndex's high byte; 0: no limit); with RTS the 8 bytes of
// discrepancy flags of the last pass follow when the limit stopped a search that had more to
// find. With SM = 0 the first device found is left selected.
bool Ds2490Model::searchStep(Command& c) {
    const bool searchOnly = (c.value & kBit3) != 0;
    const bool returnDiscrepancies = (c.value & kBit14) != 0;
    const int limit = c.index >> 8;
    const auto romCommand = static_cast<std::uint8_t>(c.index & 0xFF);
    if (!c.started) {
        if (dataOut_.size() < 8) {
            return false;
        }
        for (auto& b : c.searchStart) {
            b = popOut();
        }
        c.started = true;
    }
    for (;;) {
        // Room for this device and, where it may be the last one asked for, the flags.
        const bool mayBeLast = limit != 0 && c.devicesFound + 1 == limit;
        const std::size_t room = (searchOnly ? 8 : 0) + (mayBeLast && returnDiscrepancies ? 8 : 0);
        if (fifoInFree() < room) {
            return false;
        }
        // Every pass after the first needs a reset; the first has one only with RST.
        std::uint8_t result = 0;
        if (c.devicesFound > 0 || (c.value & kReset) != 0) {
            result = busReset();
        }
        if (result != 0) {
            finish(c, result);
            return true;
        }
        ++searchPasses_;
        byteSlots(romCommand);
        RomBytes rom{};
        RomBytes discrepancies{};
        int lastZero = -1;
        for (int n = 0; n < 64; ++n) {
            const bool bit = slot(true);
            const bool complement = slot(true);
            bool direction;
            if (bit && complement) {
                // No device took part (or all left): choice: NRS, as for a missing presence.
                finish(c, c.devicesFound > 0 ? kResultEndOfSearch : kResultNoPresence);
                return true;
            }
            if (bit != complement) {
                direction = bit;
            } else {
                setBit(discrepancies, n, true);
                direction = getBit(c.searchStart, n);
                if (!direction) {
                    lastZero = n;
                }
            }
            slot(direction);
            setBit(rom, n, direction);
        }
        ++c.devicesFound;
        if (searchOnly) {
            for (std::uint8_t b : rom) {
                pushIn(b);
            }
        }
        c.lastDiscrepancies = discrepancies;
        const bool more = lastZero >= 0;
        if (more) {
            RomBytes next = rom;
            setBit(next, lastZero, true);
            for (int n = lastZero + 1; n < 64; ++n) {
                setBit(next, n, false);
            }
            c.searchStart = next;
        }
        if (!searchOnly) {
            finish(c, 0);
            return true;
        }
        if (!more) {
            // The whole bus was found: fewer than asked for ends with EOS.
            finish(c, limit != 0 && c.devicesFound < limit ? kResultEndOfSearch : 0);
            return true;
        }
        if (limit != 0 && c.devicesFound == limit) {
            if (returnDiscrepancies) {
                for (std::uint8_t b : discrepancies) {
                    pushIn(b);
                }
            }
            finish(c, 0);
            return true;
        }
    }
}

// --- Bus ----------------------------------------------------------------------------------

void Ds2490Model::spend(std::chrono::microseconds time) {
    busTime_ += time;
    commandTime_ += time;
}

std::uint8_t Ds2490Model::busReset() {
    ++resets_;
    const bool overdrive = modes_[1] == kSpeedOverdrive;
    spend(overdrive ? kOverdriveResetTime : kResetTime);
    for (Device& d : bus_) {
        d.state = Device::State::Idle;
    }
    if (shorted_) {
        return kResultShort;
    }
    if (overdrive) {
        return kResultNoPresence;  // the tokens and the ID chip run at standard speed only
    }
    for (Device& d : bus_) {
        d.state = Device::State::RomCommand;
        d.bit = 0;
        d.command = 0;
    }
    return bus_.empty() ? kResultNoPresence : 0;
}

bool Ds2490Model::slot(bool bit) {
    spend(modes_[1] == kSpeedOverdrive ? kOverdriveSlotTime : kSlotTime);
    if (shorted_) {
        return false;
    }
    using State = Device::State;
    bool line = bit;
    for (const Device& d : bus_) {
        bool out = true;
        if (d.state == State::Search && d.phase < 2) {
            out = d.phase == 0 ? d.romBit(d.bit) : !d.romBit(d.bit);
        } else if (d.state == State::ReadRom) {
            out = d.romBit(d.bit);
        }
        line = line && out;
    }
    for (Device& d : bus_) {
        switch (d.state) {
            case State::RomCommand:
                d.command = static_cast<std::uint8_t>(d.command | (line ? 1u << d.bit : 0u));
                if (++d.bit == 8) {
                    d.bit = 0;
                    d.phase = 0;
                    switch (d.command) {
                        case kSearchRom:
                            d.state = State::Search;
                            break;
                        case kReadRom:
                            d.state = State::ReadRom;
                            break;
                        case kMatchRom:
                            d.state = State::MatchRom;
                            break;
                        case kSkipRom:
                            d.state = State::Selected;
                            break;
                        default:
                            // Alarm search (nothing to report), the overdrive commands
                            // (standard speed only), resume, anything else.
                            d.state = State::Idle;
                            break;
                    }
                }
                break;
            case State::Search:
                if (d.phase < 2) {
                    ++d.phase;
                } else if (line != d.romBit(d.bit)) {
                    d.state = State::Idle;
                } else {
                    d.phase = 0;
                    if (++d.bit == 64) {
                        d.state = State::Selected;
                    }
                }
                break;
            case State::ReadRom:
                if (++d.bit == 64) {
                    d.state = State::Selected;
                }
                break;
            case State::MatchRom:
                if (line != d.romBit(d.bit)) {
                    d.state = State::Idle;
                } else if (++d.bit == 64) {
                    d.state = State::Selected;
                }
                break;
            case State::Selected:
            case State::Idle:
                break;
        }
    }
    return line;
}

std::uint8_t Ds2490Model::byteSlots(std::uint8_t byte) {
    std::uint8_t read = 0;
    for (int i = 0; i < 8; ++i) {
        if (slot(((byte >> i) & 1) != 0)) {
            read = static_cast<std::uint8_t>(read | (1u << i));
        }
    }
    return read;
}

// --- Test side ------------------------------------------------------------------------------

void Ds2490Model::setTokens(std::vector<RomBytes> tokens) {
    std::lock_guard lock(mutex_);
    std::vector<Device> next;
    next.push_back(bus_.front());
    for (const RomBytes& rom : tokens) {
        auto it = std::find_if(bus_.begin() + 1, bus_.end(),
                               [&](const Device& d) { return d.rom == rom; });
        if (it != bus_.end()) {
            next.push_back(*it);
        } else {
            next.push_back(Device{rom});
            // A device arriving answers with a presence pulse the chip reports.
            if (results_.size() < 16) {
                results_.push_back(kDeviceDetected);
            }
        }
    }
    bus_ = std::move(next);
    tokens_ = std::move(tokens);
}

void Ds2490Model::addToken(const RomBytes& rom) {
    std::vector<RomBytes> next = tokens();
    next.push_back(rom);
    setTokens(std::move(next));
}

void Ds2490Model::removeToken(const RomBytes& rom) {
    std::vector<RomBytes> next = tokens();
    next.erase(std::remove(next.begin(), next.end(), rom), next.end());
    setTokens(std::move(next));
}

std::vector<RomBytes> Ds2490Model::tokens() const {
    std::lock_guard lock(mutex_);
    return tokens_;
}

std::vector<RomBytes> Ds2490Model::busRoms() const {
    std::lock_guard lock(mutex_);
    std::vector<RomBytes> roms;
    for (const Device& d : bus_) {
        roms.push_back(d.rom);
    }
    return roms;
}

void Ds2490Model::setShorted(bool shorted) {
    std::lock_guard lock(mutex_);
    shorted_ = shorted;
}

void Ds2490Model::stall(Endpoint endpoint) {
    std::lock_guard lock(mutex_);
    halted_[static_cast<std::size_t>(endpoint)] = true;
}

void Ds2490Model::setSilent(Endpoint endpoint, bool silent) {
    std::lock_guard lock(mutex_);
    silent_[static_cast<std::size_t>(endpoint)] = silent;
}

void Ds2490Model::unplug() {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
}

void Ds2490Model::unplugAfter(std::size_t transfers) {
    std::lock_guard lock(mutex_);
    unplugCountdown_ = transfers;
}

bool Ds2490Model::unplugged() const {
    std::lock_guard lock(mutex_);
    return unplugged_;
}

void Ds2490Model::replug() {
    std::lock_guard lock(mutex_);
    unplugged_ = false;
    unplugCountdown_ = 0;
    configuration_ = 0;
    alternate_ = 0;
    halted_ = {};
    silent_ = {};
    powerUp();
}

void Ds2490Model::setPaced(bool paced) {
    std::lock_guard lock(mutex_);
    paced_ = paced;
}

std::chrono::microseconds Ds2490Model::busTime() const {
    std::lock_guard lock(mutex_);
    return busTime_;
}

std::chrono::microseconds Ds2490Model::lastCommandBusTime() const {
    std::lock_guard lock(mutex_);
    return lastCommandTime_;
}

std::size_t Ds2490Model::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

std::size_t Ds2490Model::searchPasses() const {
    std::lock_guard lock(mutex_);
    return searchPasses_;
}

std::size_t Ds2490Model::commandsRun() const {
    std::lock_guard lock(mutex_);
    return commandsRun_;
}

std::size_t Ds2490Model::transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_;
}

std::array<std::uint8_t, 16> Ds2490Model::stateRegisters() const {
    std::lock_guard lock(mutex_);
    return state();
}

std::array<std::uint8_t, 16> Ds2490Model::state() const {
    std::array<std::uint8_t, 16> registers{};
    for (std::size_t i = 0; i < 7; ++i) {
        registers[i] = modes_[i];
    }
    const bool idle = !running_ && startable_ == 0 && !busy();
    registers[8] = static_cast<std::uint8_t>(
        (idle ? kStatusIdle : 0) | (executionHalted_ ? kStatusHalted : 0) |
        (strongPullUp_ ? kStatusStrongPullUp : 0) | (ep0Full_ ? kStatusEp0Full : 0));
    if (running_) {
        registers[9] = static_cast<std::uint8_t>(running_->value & 0xFF);
        registers[10] = static_cast<std::uint8_t>(running_->value >> 8);
    }
    registers[11] = static_cast<std::uint8_t>(std::min<std::size_t>(queue_.size() * 4, 255));
    registers[12] = static_cast<std::uint8_t>(dataOut_.size());
    registers[13] = static_cast<std::uint8_t>(busy() ? 0 : dataIn_.size());
    return registers;
}

}  // namespace onewire::testing
