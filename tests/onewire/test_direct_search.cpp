// The checked and confirmed search of the direct adapters, against a bus simulated in memory
// (the accelerator's rules for each bit, no line in between), so that faults can be run for
// tens of thousands of passes: every answer checked, a changed bus believed only when seen
// twice, a list out of time or cut short never handed out in part.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>

#include "onewire/DirectSearch.h"

using namespace onewire;
using namespace onewire::direct;
using namespace std::chrono_literals;

namespace {

Rom token(std::uint8_t family, std::uint32_t serial) {
    return withCrc({family, static_cast<std::uint8_t>(serial),
                    static_cast<std::uint8_t>(serial >> 8), static_cast<std::uint8_t>(serial >> 16),
                    static_cast<std::uint8_t>(serial >> 24), 0, 0});
}

bool bitOf(const Rom& rom, int n) {
    return ((rom[n / 8] >> (n % 8)) & 1) != 0;
}

// Devices on a bus and an adapter that runs the search as the accelerator does, with faults.
class SimulatedBus : public SearchRounds {
public:
    std::vector<Rom> devices;
    double flipRate = 0;               // each of the 128 answer bits
    bool randomAnswers = false;        // every answer bit random
    int failEveryOtherLaterRound = 0;  // the adapter stops answering in such rounds
    bool liar = false;                 // flags the last byte's 0 bits, whatever was asked
    Clock::duration estimate = 1us;
    Clock::duration roundTime{};  // each round takes this long

    int rounds = 0;
    std::mt19937 random{12345};

    std::optional<RoundAnswer> searchRound(const Rom& path, int lastDiscrepancy,
                                           Clock::time_point) override {
        ++rounds;
        if (roundTime > Clock::duration::zero()) {
            std::this_thread::sleep_for(roundTime);
        }
        if (failEveryOtherLaterRound != 0 && lastDiscrepancy >= 0 && ++laterRounds_ % 2 == 0) {
            return std::nullopt;
        }
        RoundAnswer answer;
        if (devices.empty()) {
            answer.bus = RoundBus::NoPresence;
            return answer;
        }
        std::vector<Rom> taking = devices;
        for (int n = 0; n < 64; ++n) {
            bool zero = false, one = false;
            for (const Rom& rom : taking) {
                (bitOf(rom, n) ? one : zero) = true;
            }
            bool taken = zero && !one ? false : one && !zero ? true : !zero && !one;
            if (zero && one) {
                taken = requestedBit(path, lastDiscrepancy, n);
            }
            const bool flag = zero == one || (liar && n >= 56 && !taken);
            std::erase_if(taking, [&](const Rom& rom) { return bitOf(rom, n) != taken; });
            setAnswerBits(answer, n, flag, taken);
        }
        if (randomAnswers || flipRate > 0) {
            std::bernoulli_distribution flip(randomAnswers ? 0.5 : flipRate);
            for (int n = 0; n < 64; ++n) {
                const bool flag = ((answer.discrepancies >> n) & 1) != (flip(random) ? 1u : 0u);
                const bool taken = bitOf(answer.taken, n) != flip(random);
                setAnswerBits(answer, n, flag, taken);
            }
        }
        return answer;
    }
    Clock::duration roundEstimate() const override { return estimate; }

private:
    static void setAnswerBits(RoundAnswer& answer, int n, bool flag, bool taken) {
        const std::uint64_t mask = std::uint64_t{1} << n;
        answer.discrepancies = flag ? answer.discrepancies | mask : answer.discrepancies & ~mask;
        if (taken) {
            answer.taken[n / 8] |= static_cast<std::uint8_t>(1u << (n % 8));
        } else {
            answer.taken[n / 8] &= static_cast<std::uint8_t>(~(1u << (n % 8)));
        }
    }
    int laterRounds_ = 0;
};

std::set<Rom> asSet(const std::vector<Rom>& roms) {
    return {roms.begin(), roms.end()};
}

// Runs passes and counts what matters: a code listed that is not on the bus, a list that shows
// part of the bus, and lists that show all of it.
struct Tally {
    int wrong = 0;
    int partial = 0;
    int whole = 0;
};

Tally runPasses(DirectSearch& search, SimulatedBus& bus, int passes) {
    Tally tally;
    const std::set<Rom> onBus = asSet(bus.devices);
    for (int i = 0; i < passes; ++i) {
        auto result = search.run(bus, Clock::now() + 200ms);
        if (!result.enumeration.complete) {
            continue;  // the runtime lists nothing
        }
        const std::set<Rom> listed = asSet(result.enumeration.devices);
        bool anyWrong = false;
        for (const Rom& rom : listed) {
            anyWrong = anyWrong || !onBus.contains(rom);
        }
        tally.wrong += anyWrong ? 1 : 0;
        tally.partial += !anyWrong && listed != onBus ? 1 : 0;
        tally.whole += listed == onBus ? 1 : 0;
    }
    return tally;
}

}  // namespace

TEST(DirectSearchChecks, EachKindOfContradictionIsCaught) {
    // Two devices that differ first at ROM bit 0: a first round takes 0 there.
    SimulatedBus bus;
    const Rom a = token(0x02, 0x10);  // bit 0 of the family: 0
    const Rom b = token(0x03, 0x10);  // 1
    bus.devices = {a, b};
    auto first = *bus.searchRound({}, -1, Clock::time_point::max());
    EXPECT_EQ(checkRound(first, {}, -1, nullptr), "");
    EXPECT_EQ(first.taken, a);
    ASSERT_EQ(nextDiscrepancy(first), 0);
    auto second = *bus.searchRound(a, 0, Clock::time_point::max());
    EXPECT_EQ(checkRound(second, a, 0, &first), "");
    EXPECT_EQ(second.taken, b);
    EXPECT_EQ(nextDiscrepancy(second), -1);

    // The discrepancy gone (the other token lifted): at bit 0 no flag, or the round took 0.
    auto gone = second;
    gone.discrepancies &= ~std::uint64_t{1};
    EXPECT_NE(checkRound(gone, a, 0, &first).find("ROM bit 0 no longer shows"), std::string::npos);
    // A flag where the search asked for 0 and the round took 1: nobody answered from there on.
    auto nobody = first;
    nobody.discrepancies |= std::uint64_t{1} << 40;
    nobody.taken[5] |= 1;
    EXPECT_NE(checkRound(nobody, {}, -1, nullptr).find("ROM bit 40 took 1"), std::string::npos);
    // Deeper in a search: the fixed path changed, or its flags did.
    const Rom c = token(0x02, 0x11);  // shares a's family, differs from it in byte 1
    bus.devices = {a, c};
    auto r1 = *bus.searchRound({}, -1, Clock::time_point::max());
    const int ld = nextDiscrepancy(r1);
    ASSERT_EQ(ld, 8);
    auto r2 = *bus.searchRound(r1.taken, ld, Clock::time_point::max());
    EXPECT_EQ(checkRound(r2, r1.taken, ld, &r1), "");
    auto changedPath = r2;
    changedPath.taken[0] ^= 0x04;
    EXPECT_NE(checkRound(changedPath, r1.taken, ld, &r1).find("ROM bit 2 of the path"),
              std::string::npos);
    auto changedFlag = r2;
    changedFlag.discrepancies |= 0x02;
    EXPECT_NE(checkRound(changedFlag, r1.taken, ld, &r1).find("changed its discrepancy"),
              std::string::npos);
    // A sound-looking round whose code fails its CRC, or is the family-00 ghost.
    auto badCrc = first;
    badCrc.taken[7] ^= 0x01;
    EXPECT_NE(checkRound(badCrc, {}, -1, nullptr).find("CRC"), std::string::npos);
    RoundAnswer ghost;  // all zero, no flags
    EXPECT_NE(checkRound(ghost, {}, -1, nullptr), "");
}

TEST(DirectSearchChecks, SearchOrderIsBitZeroFirst) {
    const Rom a = token(0x02, 0x10);
    const Rom b = token(0x03, 0x10);
    const Rom c = token(0x01, 0x10);
    EXPECT_TRUE(searchOrderLess(a, b));  // bit 0: 0 before 1
    EXPECT_TRUE(searchOrderLess(a, c));
    EXPECT_FALSE(searchOrderLess(a, a));
}

TEST(DirectSearch, ListsEveryBusAndConfirmsEachChangeWithASecondSearch) {
    SimulatedBus bus;
    DirectSearch search;
    std::vector<std::vector<Rom>> buses = {
        {},
        {token(0x01, 0x0C2F4A)},
        {token(0x01, 0x0C2F4A), token(0x01, 0x0C2F4B)},
        {token(0x01, 0), token(0x01, 0xFFFFFFFF), token(0x81, 0x12345678)},
    };
    std::vector<Rom> twenty;
    for (std::uint32_t i = 0; i < 20; ++i) {
        twenty.push_back(token(0x01, 0x100000 + i * 0x3517));
    }
    buses.push_back(twenty);
    for (const auto& devices : buses) {
        bus.devices = devices;
        auto first = search.run(bus, Clock::now() + 200ms);
        ASSERT_TRUE(first.enumeration.complete) << describe(first.end);
        EXPECT_EQ(asSet(first.enumeration.devices), asSet(devices));
        // New to the search: a second search agreed, in the same pass.
        EXPECT_EQ(first.searches, 2) << devices.size() << " devices";
        // A round a device, and one for each device listed before that the list loses.
        EXPECT_GE(first.rounds, 2 * std::max<int>(1, static_cast<int>(devices.size())));
        EXPECT_LE(first.rounds, 2 * std::max<int>(1, static_cast<int>(devices.size())) + 3);
        auto steady = search.run(bus, Clock::now() + 200ms);
        EXPECT_EQ(asSet(steady.enumeration.devices), asSet(devices));
        EXPECT_EQ(steady.searches, 1) << "the same bus again needs one search";
    }
}

TEST(DirectSearch, NoisyAnswersNeverListACodeNotOnTheBus) {
    const std::vector<Rom> one = {token(0x01, 0x0C2F4A)};
    const std::vector<Rom> two = {token(0x01, 0x0C2F4A), token(0x01, 0x0C2F4B)};
    struct Case {
        const char* name;
        double flipRate;
        bool random;
        const std::vector<Rom>* devices;
        int passes;
    };
    const Case cases[] = {{"1% flipped", 0.01, false, &one, 20000},
                          {"5% flipped", 0.05, false, &one, 20000},
                          {"1% flipped, two tokens", 0.01, false, &two, 20000},
                          {"random answers", 0, true, &one, 20000}};
    for (const Case& test : cases) {
        SimulatedBus bus;
        bus.devices = *test.devices;
        bus.flipRate = test.flipRate;
        bus.randomAnswers = test.random;
        DirectSearch search;
        Tally tally = runPasses(search, bus, test.passes);
        EXPECT_EQ(tally.wrong, 0) << test.name;
        EXPECT_EQ(tally.partial, 0) << test.name;
        if (test.flipRate == 0.01) {
            EXPECT_GT(tally.whole, test.passes / 20) << test.name << ": still lists the bus";
        }
        std::cout << test.name << ": " << tally.whole << " of " << test.passes
                  << " passes listed the bus, " << tally.wrong << " a wrong code, " << tally.partial
                  << " part of it\n";
    }
}

TEST(DirectSearch, AnAdapterThatStopsMidSearchListsNothingRatherThanPart) {
    SimulatedBus bus;
    bus.devices = {token(0x01, 0x0C2F4A), token(0x01, 0x0C2F4B)};
    bus.failEveryOtherLaterRound = 1;
    DirectSearch search;
    int failed = 0;
    for (int pass = 0; pass < 1000; ++pass) {
        auto result = search.run(bus, Clock::now() + 200ms);
        if (result.end == SearchEnd::AdapterFailed) {
            ++failed;
            EXPECT_FALSE(result.enumeration.complete);
            EXPECT_TRUE(result.enumeration.devices.empty());
        } else if (result.enumeration.complete) {
            EXPECT_EQ(asSet(result.enumeration.devices), asSet(bus.devices));
        }
    }
    EXPECT_GT(failed, 400);
}

TEST(DirectSearch, ASearchThatWouldNotEndEndsAsFailed) {
    // A liar: the same code again and again, or more codes than any reader holds.
    SimulatedBus bus;
    bus.devices = {token(0x01, 0x0C2F4A)};
    bus.liar = true;
    DirectSearch search;
    auto result = search.run(bus, Clock::now() + 200ms);
    EXPECT_FALSE(result.enumeration.complete);
    EXPECT_EQ(result.end, SearchEnd::Inconsistent);
    EXPECT_LE(result.rounds, 2 * DirectSearch::kMaxFailedSearchesPerPass);

    bus.liar = false;
    for (std::uint32_t i = 0; i < 300; ++i) {
        bus.devices.push_back(token(0x01, 0x1000 + i * 0x10001));
    }
    bus.rounds = 0;
    result = search.run(bus, Clock::now() + 5s);
    EXPECT_EQ(result.end, SearchEnd::TooManyRounds);
    EXPECT_FALSE(result.enumeration.complete);
    EXPECT_EQ(bus.rounds, DirectSearch::kMaxRounds + 1);
}

TEST(DirectSearch, ASearchLongerThanAPassGoesOnAndOnlyAnAgreeingListStandsIn) {
    SimulatedBus bus;
    for (std::uint32_t i = 0; i < 8; ++i) {
        bus.devices.push_back(token(0x01, 0x200 + i));
    }
    bus.estimate = bus.roundTime = 25ms;  // seven rounds fit in a pass of 200 ms
    DirectSearch search;
    int passes = 0;
    DirectSearch::Result result;
    do {
        result = search.run(bus, Clock::now() + 200ms);
        ++passes;
        if (result.enumeration.complete) {
            EXPECT_EQ(asSet(result.enumeration.devices), asSet(bus.devices));
        }
    } while (!result.enumeration.complete && passes < 10);
    EXPECT_TRUE(result.enumeration.complete);
    EXPECT_GE(passes, 3) << "16 rounds, a search and its confirmation";
    // Once listed, a pass out of time mid-search hands out the list the search agrees with so
    // far. A token lifted: each pass lists the bus as it was or as it is, never a part, and the
    // new one within a search of the old and two of the new.
    result = search.run(bus, Clock::now() + 200ms);
    EXPECT_EQ(result.end, SearchEnd::OutOfTime);
    EXPECT_EQ(asSet(result.enumeration.devices), asSet(bus.devices));
    const auto before = asSet(bus.devices);
    bus.devices.erase(bus.devices.begin() + 5);
    bool listedNew = false;
    for (int pass = 0; pass < 8 && !listedNew; ++pass) {
        result = search.run(bus, Clock::now() + 200ms);
        if (result.enumeration.complete) {
            const auto listed = asSet(result.enumeration.devices);
            EXPECT_TRUE(listed == before || listed == asSet(bus.devices)) << pass;
            listedNew = listed == asSet(bus.devices);
        }
    }
    EXPECT_TRUE(listedNew);
}
