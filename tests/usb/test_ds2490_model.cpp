// The DS2490 model against what the datasheet says a host sees, driven the ways the kernel's
// driver, owserver and a libusb backend drive the chip.
#include "tests/usb/Ds2490Model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace onewire::testing {
namespace {

using Model = Ds2490Model;
using Outcome = Model::Outcome;

constexpr std::uint16_t kSearchAll = 0x49FD;  // SEARCH ACCESS, IM SM RST F RTS
constexpr std::uint16_t kSearchOne = 0x48FD;  // the same without RST
constexpr std::uint16_t kReset = 0x0043;      // 1-WIRE RESET, IM
constexpr std::uint16_t kResetNtf = 0x0443;   // ... with NTF
constexpr std::uint16_t kBlockIo = 0x0075;    // BLOCK I/O, IM
constexpr std::uint16_t kByteIo = 0x0053;     // BYTE I/O, IM

const RomBytes kTokenA = withCrc({0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00});
const RomBytes kTokenB = withCrc({0x01, 0x00, 0x00, 0x01, 0xFE, 0x00, 0x00});
const RomBytes kTokenC = withCrc({0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00});

// A host driving the model as the kernel's driver does.
struct Host {
    explicit Host(Model& model) : chip(model) {}
    Model& chip;
    std::vector<std::uint8_t> seen;  // result bytes every status read brought

    Outcome vendor(std::uint8_t request, std::uint16_t value, std::uint16_t index) {
        return chip.control({0x40, request, value, index, 0}).outcome;
    }
    Outcome comm(std::uint16_t value, std::uint16_t index) { return vendor(1, value, index); }
    void open() {
        ASSERT_EQ(chip.control({0x00, 9, 1, 0, 0}).outcome, Outcome::Done);
        ASSERT_EQ(chip.control({0x01, 11, 3, 0, 0}).outcome, Outcome::Done);
        ASSERT_EQ(vendor(0, 0x0000, 0), Outcome::Done);     // reset device
        ASSERT_EQ(vendor(2, 0x0000, 0x02), Outcome::Done);  // strong pull-up allowed
    }
    std::vector<std::uint8_t> status() {
        Model::Transfer t = chip.interruptIn(32);
        EXPECT_EQ(t.outcome, Outcome::Done);
        if (t.data.size() > 16) {
            seen.insert(seen.end(), t.data.begin() + 16, t.data.end());
        }
        return t.data;
    }
    // The result bytes since the last call.
    std::vector<std::uint8_t> results() {
        status();
        std::vector<std::uint8_t> r;
        r.swap(seen);
        return r;
    }
    void write(std::vector<std::uint8_t> data) {
        Model::Transfer t = chip.bulkOut(data);
        ASSERT_EQ(t.outcome, Outcome::Done);
        ASSERT_EQ(t.accepted, data.size());
    }
    std::vector<std::uint8_t> read(std::size_t length) {
        Model::Transfer t = chip.bulkIn(length);
        EXPECT_EQ(t.outcome, Outcome::Done);
        return t.data;
    }
    // The kernel's search: a zero start value, up to `limit` devices, all the IDs on EP3.
    std::vector<RomBytes> searchAll(int limit = 64) {
        write(std::vector<std::uint8_t>(8, 0));
        EXPECT_EQ(comm(kSearchAll, static_cast<std::uint16_t>(limit << 8 | 0xF0)), Outcome::Done);
        std::vector<RomBytes> found;
        for (int guard = 0; guard < 100; ++guard) {
            const std::vector<std::uint8_t> s = status();
            if (s[13] > 0) {
                const std::vector<std::uint8_t> data = read(128);
                for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
                    RomBytes rom{};
                    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(i), 8, rom.begin());
                    found.push_back(rom);
                }
            }
            if ((s[8] & Model::kStatusIdle) != 0 && s[13] == 0) {
                break;
            }
        }
        return found;
    }
    // owserver's search: one device at a time, a reset first, the next start value built from
    // the discrepancy flags that come after the ID while more devices are to be found.
    std::vector<RomBytes> searchOneByOne() {
        std::vector<RomBytes> found;
        RomBytes start{};
        for (int guard = 0; guard < 100; ++guard) {
            EXPECT_EQ(comm(kReset, 0), Outcome::Done);
            write({start.begin(), start.end()});
            EXPECT_EQ(comm(kSearchOne, 0x01F0), Outcome::Done);
            const std::vector<std::uint8_t> s = status();
            const std::vector<std::uint8_t> data = read(s[13]);
            if (data.size() < 8) {
                break;
            }
            RomBytes rom{};
            std::copy_n(data.begin(), 8, rom.begin());
            found.push_back(rom);
            if (data.size() == 8) {
                break;  // no discrepancy flags: that was the last one
            }
            int last = -1;
            for (int n = 63; n >= 0; --n) {
                const bool flagged = ((data[8 + n / 8] >> (n % 8)) & 1) != 0;
                const bool zero = ((rom[n / 8] >> (n % 8)) & 1) == 0;
                if (flagged && zero) {
                    last = n;
                    break;
                }
            }
            EXPECT_GE(last, 0) << "discrepancy flags without an untried branch";
            start = rom;
            start[last / 8] = static_cast<std::uint8_t>(start[last / 8] | (1 << (last % 8)));
            for (int n = last + 1; n < 64; ++n) {
                start[n / 8] = static_cast<std::uint8_t>(start[n / 8] & ~(1 << (n % 8)));
            }
        }
        return found;
    }
};

std::vector<RomBytes> sorted(std::vector<RomBytes> roms) {
    std::sort(roms.begin(), roms.end());
    return roms;
}

TEST(Ds2490Model, DescriptorsNameTheChipWithFourAlternateSettings) {
    const std::vector<std::uint8_t> device = Model::deviceDescriptor();
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, 0x04FA);
    EXPECT_EQ(device[10] | device[11] << 8, 0x2490);
    const std::vector<std::uint8_t> config = Model::configurationDescriptor();
    ASSERT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
    EXPECT_EQ(config[4], 1);  // one interface
    // Walk the descriptors: four alternate settings of interface 0, each with EP1 interrupt IN,
    // EP2 bulk OUT and EP3 bulk IN in that order (the kernel's driver takes them by position).
    int alternates = 0;
    std::vector<int> addresses;
    for (std::size_t at = config[0]; at < config.size(); at += config[at]) {
        if (config[at + 1] == 4) {
            EXPECT_EQ(config[at + 3], alternates++);
            EXPECT_EQ(config[at + 4], 3);
        } else if (config[at + 1] == 5) {
            addresses.push_back(config[at + 2] << 8 | config[at + 3]);
        }
    }
    EXPECT_EQ(alternates, 4);
    ASSERT_EQ(addresses.size(), 12u);
    for (std::size_t i = 0; i < 12; i += 3) {
        EXPECT_EQ(addresses[i], 0x8103);
        EXPECT_EQ(addresses[i + 1], 0x0202);
        EXPECT_EQ(addresses[i + 2], 0x8302);
    }
    Model chip;
    // Nothing but endpoint 0 before the device is configured.
    EXPECT_EQ(chip.interruptIn(32).outcome, Outcome::Stall);
    Host{chip}.open();
    EXPECT_EQ(chip.alternateSetting(), 3);
    EXPECT_EQ(chip.maxPacket(Model::Endpoint::DataIn), 64u);
    EXPECT_EQ(chip.control({0x01, 11, 4, 0, 0}).outcome, Outcome::Stall);  // no setting 4
}

TEST(Ds2490Model, SearchFindsTheAdapterChipAndEveryTokenAsTheBusChanges) {
    Model chip;
    Host host{chip};
    host.open();
    EXPECT_EQ(host.searchAll(), std::vector<RomBytes>{chip.adapterRom()});
    // The search ended before its limit: EOS in the result register (no NTF: errors only).
    chip.setTokens({kTokenA, kTokenB, kTokenC});
    std::vector<std::uint8_t> arrivals = host.results();
    EXPECT_EQ(std::count(arrivals.begin(), arrivals.end(), Model::kDeviceDetected), 3);
    const std::vector<RomBytes> all = host.searchAll();
    EXPECT_EQ(sorted(all), sorted(chip.busRoms()));
    EXPECT_EQ(all.size(), 4u);
    EXPECT_EQ(host.results(), std::vector<std::uint8_t>{Model::kResultEndOfSearch});
    chip.removeToken(kTokenB);
    EXPECT_EQ(sorted(host.searchAll()), sorted({chip.adapterRom(), kTokenA, kTokenC}));
    // One at a time, as owserver does it: the same devices, each once.
    chip.addToken(kTokenB);
    EXPECT_EQ(sorted(host.searchOneByOne()), sorted(chip.busRoms()));
    // A limit below the bus's count: that many IDs, then the discrepancy flags, no EOS.
    host.results();
    host.write(std::vector<std::uint8_t>(8, 0));
    ASSERT_EQ(host.comm(kSearchAll, 0x02F0), Outcome::Done);
    EXPECT_EQ(host.status()[13], 24);
    EXPECT_TRUE(host.results().empty());
}

TEST(Ds2490Model, SearchNeedsAResetAndManyDevicesWaitForRoomInTheFifo) {
    Model chip;
    Host host{chip};
    host.open();
    // Without RST and without a reset before it nobody listens for the search command.
    host.write(std::vector<std::uint8_t>(8, 0));
    ASSERT_EQ(host.comm(kSearchOne, 0x01F0), Outcome::Done);
    EXPECT_EQ(host.status()[13], 0);
    EXPECT_EQ(host.results(), std::vector<std::uint8_t>{Model::kResultNoPresence});
    // Thirty tokens fill more than the 128-byte FIFO: the chip waits for the host to read.
    std::vector<RomBytes> tokens;
    for (std::uint8_t i = 0; i < 30; ++i) {
        tokens.push_back(withCrc({0x01, i, 0x10, 0x20, 0x30, 0x40, 0x50}));
    }
    chip.setTokens(tokens);
    host.write(std::vector<std::uint8_t>(8, 0));
    ASSERT_EQ(host.comm(kSearchAll, 0x00F0), Outcome::Done);  // no limit
    const std::vector<std::uint8_t> s = host.status();
    EXPECT_EQ(s[13], 128);
    EXPECT_EQ(s[8] & Model::kStatusIdle, 0);
    EXPECT_EQ(s[9] | s[10] << 8, kSearchAll);  // the command in progress
    std::vector<RomBytes> found;
    for (int guard = 0; guard < 10 && found.size() < 31; ++guard) {
        const std::vector<std::uint8_t> data = host.read(64);
        for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
            RomBytes rom{};
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(i), 8, rom.begin());
            found.push_back(rom);
        }
    }
    EXPECT_EQ(sorted(found), sorted(chip.busRoms()));
    EXPECT_NE(host.status()[8] & Model::kStatusIdle, 0);
    // Bus time: each of the 31 passes is a reset, 8 command slots and 64 triplets.
    const auto pass = Model::kResetTime + Model::kSlotTime * (8 + 64 * 3);
    EXPECT_EQ(chip.lastCommandBusTime(), pass * 31);
    EXPECT_EQ(chip.searchPasses(), 31u + 1u);
}

TEST(Ds2490Model, ResetAndBlockIoSpeakToTheBus) {
    Model chip;
    Host host{chip};
    host.open();
    // Presence: no result byte without NTF, 0x00 with it.
    ASSERT_EQ(host.comm(kReset, 0), Outcome::Done);
    EXPECT_TRUE(host.results().empty());
    ASSERT_EQ(host.comm(kResetNtf, 0), Outcome::Done);
    EXPECT_EQ(host.results(), std::vector<std::uint8_t>{0x00});
    // READ ROM by block I/O with the adapter's chip alone on the bus.
    std::vector<std::uint8_t> block(9, 0xFF);
    block[0] = 0x33;
    ASSERT_EQ(host.comm(kReset, 0), Outcome::Done);
    host.write(block);
    ASSERT_EQ(host.comm(kBlockIo, 9), Outcome::Done);
    const std::vector<std::uint8_t> answer = host.read(9);
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_TRUE(std::equal(answer.begin() + 1, answer.end(), chip.adapterRom().begin()));
    // A byte whose bits nobody pulls low reads back as written; an EP3 read smaller than the
    // packet waiting fails and loses it.
    ASSERT_EQ(host.comm(kByteIo, 0xA5), Outcome::Done);
    EXPECT_EQ(host.read(1), std::vector<std::uint8_t>{0xA5});
    host.write(std::vector<std::uint8_t>(8, 0xFF));
    ASSERT_EQ(host.comm(kBlockIo, 8), Outcome::Done);
    EXPECT_EQ(chip.bulkIn(4).outcome, Outcome::Overflow);
    EXPECT_EQ(host.status()[13], 0);
    // A block longer than the data sent waits for the rest (the chip is not idle meanwhile).
    host.write(std::vector<std::uint8_t>(100, 0xFF));
    ASSERT_EQ(host.comm(kBlockIo, 150), Outcome::Done);
    EXPECT_EQ(host.status()[8] & Model::kStatusIdle, 0);
    EXPECT_EQ(host.read(128).size(), 100u);
    host.write(std::vector<std::uint8_t>(50, 0xFF));
    EXPECT_NE(host.status()[8] & Model::kStatusIdle, 0);
    EXPECT_EQ(host.read(128).size(), 50u);
    // A shorted bus: SH on reset, every slot reads 0, the search finds nothing.
    chip.setShorted(true);
    ASSERT_EQ(host.comm(kReset, 0), Outcome::Done);
    EXPECT_EQ(host.results(), std::vector<std::uint8_t>{Model::kResultShort});
    ASSERT_EQ(host.comm(kByteIo, 0xFF), Outcome::Done);
    EXPECT_EQ(host.read(1), std::vector<std::uint8_t>{0x00});
    EXPECT_TRUE(host.searchAll().empty());
    chip.setShorted(false);
    EXPECT_EQ(host.searchAll().size(), 1u);
}

TEST(Ds2490Model, MatchAccessSelectsOneDeviceAndQueuedCommandsWaitForStart) {
    Model chip;
    Host host{chip};
    host.open();
    chip.setTokens({kTokenA, kTokenB});
    host.results();
    // MATCH ACCESS with RST: the matched token is selected; a token answers no function
    // command, so the bus reads 1s.
    host.write({kTokenA.begin(), kTokenA.end()});
    ASSERT_EQ(host.comm(0x0165, 0x0055), Outcome::Done);
    ASSERT_EQ(host.comm(kByteIo, 0xFF), Outcome::Done);
    EXPECT_EQ(host.read(1), std::vector<std::uint8_t>{0xFF});
    EXPECT_TRUE(host.results().empty());
    // IM = 0: the reset waits in the queue until START EXECUTION.
    const std::size_t resets = chip.resets();
    ASSERT_EQ(host.comm(0x0442, 0), Outcome::Done);
    EXPECT_EQ(chip.resets(), resets);
    EXPECT_EQ(host.status()[11], 4);
    ASSERT_EQ(host.vendor(0, 0x0001, 0), Outcome::Done);
    EXPECT_EQ(chip.resets(), resets + 1);
    EXPECT_EQ(host.results(), std::vector<std::uint8_t>{0x00});
    // Mode settings land in the state registers; values out of range are refused.
    ASSERT_EQ(host.vendor(2, 0x0004, 0x05), Outcome::Done);  // slew rate
    ASSERT_EQ(host.vendor(2, 0x0006, 0x04), Outcome::Done);  // write-1 low time
    ASSERT_EQ(host.vendor(2, 0x0007, 0x07), Outcome::Done);  // sample offset
    ASSERT_EQ(host.comm(0x0013, 0x20), Outcome::Done);       // strong pull-up duration
    const std::vector<std::uint8_t> s = host.status();
    EXPECT_EQ(s[2], 0x20);
    EXPECT_EQ(s[4], 0x05);
    EXPECT_EQ(s[5], 0x04);
    EXPECT_EQ(s[6], 0x07);
    EXPECT_EQ(host.vendor(2, 0x0004, 0x08), Outcome::Stall);
    EXPECT_EQ(host.vendor(2, 0x0002, 0x03), Outcome::Stall);
    // Overdrive: standard-speed devices do not answer.
    ASSERT_EQ(host.vendor(2, 0x0002, 0x02), Outcome::Done);
    ASSERT_EQ(host.comm(kReset, 0), Outcome::Done);
    EXPECT_EQ(host.results(), std::vector<std::uint8_t>{Model::kResultNoPresence});
    // Reset device: back to power-up values.
    ASSERT_EQ(host.vendor(0, 0x0000, 0), Outcome::Done);
    EXPECT_EQ(host.status()[1], 0);
    EXPECT_EQ(host.searchAll().size(), 3u);
}

TEST(Ds2490Model, FaultsStallSilenceAndUnplug) {
    Model chip;
    Host host{chip};
    host.open();
    chip.stall(Model::Endpoint::DataIn);
    ASSERT_EQ(host.comm(kByteIo, 0xFF), Outcome::Done);
    EXPECT_EQ(chip.bulkIn(64).outcome, Outcome::Stall);
    EXPECT_EQ(chip.bulkIn(64).outcome, Outcome::Stall);
    ASSERT_EQ(chip.control({0x02, 1, 0, 0x83, 0}).outcome, Outcome::Done);  // CLEAR_FEATURE
    EXPECT_EQ(host.read(64), std::vector<std::uint8_t>{0xFF});
    // A stall on endpoint 0 refuses one request only.
    chip.stall(Model::Endpoint::Control);
    EXPECT_EQ(host.comm(kReset, 0), Outcome::Stall);
    EXPECT_EQ(host.comm(kReset, 0), Outcome::Done);
    chip.setSilent(Model::Endpoint::Status, true);
    EXPECT_EQ(chip.interruptIn(32).outcome, Outcome::Pending);
    chip.setSilent(Model::Endpoint::Status, false);
    EXPECT_EQ(chip.interruptIn(32).outcome, Outcome::Done);
    // Unplugged in the middle of a search: the command went out, the status read does not.
    chip.unplugAfter(3);
    host.write(std::vector<std::uint8_t>(8, 0));
    EXPECT_EQ(host.comm(kSearchAll, 0x40F0), Outcome::Done);
    EXPECT_EQ(chip.interruptIn(32).outcome, Outcome::Unplugged);
    EXPECT_EQ(chip.control({0x00, 9, 1, 0, 0}).outcome, Outcome::Unplugged);
    chip.replug();
    EXPECT_EQ(chip.configuration(), 0);
    host.open();
    EXPECT_EQ(host.searchAll().size(), 1u);
}

TEST(Ds2490Model, PacedTheChipIsBusyForTheBusTimeOfACommand) {
    Model chip;
    chip.setPaced(true);
    Host host(chip);
    host.open();
    chip.setTokens({kTokenA, kTokenB});
    host.write(std::vector<std::uint8_t>(8, 0));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(host.comm(kSearchAll, 0x40F0), Outcome::Done);
    // Three passes of about 15 ms: busy at first, its IDs not yet readable.
    Model::Transfer first = chip.interruptIn(32);
    ASSERT_EQ(first.outcome, Outcome::Done);
    EXPECT_EQ(first.data[8] & Model::kStatusIdle, 0);
    EXPECT_EQ(first.data[13], 0);
    EXPECT_EQ(chip.bulkIn(64).outcome, Outcome::Pending);
    // EP1 answers once per polling interval (1 ms in alternate setting 3).
    EXPECT_EQ(chip.interruptIn(32).outcome, Outcome::Pending);
    std::vector<std::uint8_t> s;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        Model::Transfer t = chip.interruptIn(32);
        if (t.outcome == Outcome::Done && (t.data[8] & Model::kStatusIdle) != 0) {
            s = t.data;
            break;
        }
    }
    ASSERT_FALSE(s.empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, chip.lastCommandBusTime());
    EXPECT_EQ(s[13], 24);
    EXPECT_EQ(host.read(64).size(), 24u);
}

}  // namespace
}  // namespace onewire::testing
