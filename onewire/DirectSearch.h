#pragma once

// The ROM search of a direct adapter: one that runs the 1-Wire search itself, a round at a time
// (the DS2480B's search accelerator, the DS2490's SEARCH_ACCESS), with no daemon in between to
// check what it read. A probe bounces when a token is pressed on or lifted off, and an adapter's
// answers can be damaged on the way, so a search is believed only when every round agrees with
// what was asked and with the rounds before it, and a bus that changed is believed only when a
// second search sees the same. Every direct backend searches through this.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "onewire/Backend.h"
#include "onewire/RomCode.h"

namespace onewire::direct {

// What a 1-Wire reset before a round found.
enum class RoundBus { Presence, NoPresence, Shorted };

// One round as the adapter reports it.
struct RoundAnswer {
    RoundBus bus = RoundBus::Presence;
    // The code the round followed, in bus order (ROM bit n is bit n % 8 of byte n / 8).
    Rom taken{};
    // Bit n set where the adapter flagged ROM bit n: devices differed there, or none answered.
    std::uint64_t discrepancies = 0;
};

// A direct adapter's search primitive.
class SearchRounds {
public:
    virtual ~SearchRounds() = default;

    // A 1-Wire reset, Search ROM and the 64 bits, where devices differ at ROM bit n taking the
    // path's bit below `lastDiscrepancy`, 1 at it and 0 above it (-1: 0 at every one). nullopt
    // when the adapter did not answer as it should (its backend knows why), by the deadline.
    virtual std::optional<RoundAnswer> searchRound(const Rom& path, int lastDiscrepancy,
                                                   Clock::time_point deadline) = 0;
    // The most a round takes, so that no round starts that cannot end by the deadline.
    virtual Clock::duration roundEstimate() const = 0;
};

// The direction a round takes at a discrepancy at ROM bit n.
bool requestedBit(const Rom& path, int lastDiscrepancy, int n);

// Why a round's answer cannot be believed; empty when it checks out. `previous` is the round
// before in the same search (nullptr for the first), whose path this one repeats below
// `lastDiscrepancy`.
//  - A flagged bit takes the requested direction (a bit no device answered reads as flagged
//    and 1, which a search never asks for above the last discrepancy).
//  - Below the last discrepancy the code and the flags are the previous round's: the same
//    devices answered the same path. At it the flag is set again and the round takes 1.
//  - The code is a sound one: its CRC checks, and it is not the family-00 or all-zero ghost.
std::string checkRound(const RoundAnswer& answer, const Rom& path, int lastDiscrepancy,
                       const RoundAnswer* previous);

// The highest flagged bit where the round took 0, which the next round takes as 1; -1 when
// there is none (the search is complete).
int nextDiscrepancy(const RoundAnswer& answer);

// Codes in the order a search finds them: ROM bit 0 first, 0 before 1.
bool searchOrderLess(const Rom& a, const Rom& b);

// How a pass's search ended, for the backend's messages (the kinds are fixed texts, so that a
// line that answers ever new garbage is said once).
enum class SearchEnd {
    Listed,         // complete, and believed
    AdapterFailed,  // the adapter stopped answering as it should: the backend reopens it
    Inconsistent,   // rounds that contradicted each other or the request, more than once
    Unconfirmed,    // complete searches that did not agree with each other in the pass
    OutOfTime,      // the search goes on in the next pass
    TooManyRounds,  // a search that would not end
};
const char* describe(SearchEnd end);

// A search that lasts across passes and the list a pass may hand out. One per adapter.
class DirectSearch {
public:
    // A search never has more rounds than devices a pass can hand out, plus the one that shows
    // there are more.
    static constexpr int kMaxRounds = static_cast<int>(kMaxDevicesPerPass) + 1;
    // Searches that go wrong in one pass before the pass gives up.
    static constexpr int kMaxFailedSearchesPerPass = 2;
    // Older than this, a search in progress or one waiting for a second to agree is stale.
    static constexpr auto kStale = std::chrono::seconds(1);

    struct Result {
        Enumeration enumeration;
        SearchEnd end = SearchEnd::Listed;
        std::string detail;  // for the reader check: the round that did not check out, and why
        int rounds = 0;      // in this pass
        int searches = 0;    // complete searches in this pass
    };

    // Searches by the deadline. A complete search that finds what was listed last is believed
    // at once; one that finds anything else (a token put on, one lifted, a damaged code that
    // passed every check) is listed only when a second complete search finds the same, in the
    // same pass where the budget allows it, else in the next. A pass out of time mid-search
    // hands out the last list if the search so far agrees with it, and nothing otherwise.
    Result run(SearchRounds& adapter, Clock::time_point deadline);

    // The adapter was opened afresh: what it showed before is not trusted.
    void forget();

    const std::optional<std::vector<Rom>>& listed() const { return listed_; }

private:
    struct Progress {
        bool active = false;
        Rom path{};
        int lastDiscrepancy = -1;
        std::optional<RoundAnswer> previous;
        std::vector<Rom> found;
        int rounds = 0;
        Clock::time_point lastRound{};
    };
    void restart();

    Progress progress_;
    std::optional<std::vector<Rom>> listed_;   // the last list handed out, in search order
    std::optional<std::vector<Rom>> waiting_;  // a complete search waiting for a second to agree
    Clock::time_point waitingSince_{};
};

}  // namespace onewire::direct
