#include "onewire/DirectSearch.h"

#include <algorithm>

namespace onewire::direct {
namespace {

bool romBit(const Rom& rom, int n) {
    return ((rom[n / 8] >> (n % 8)) & 1) != 0;
}

bool flagged(std::uint64_t flags, int n) {
    return ((flags >> n) & 1) != 0;
}

std::string atBit(int n, const std::string& what) {
    return "ROM bit " + std::to_string(n) + " " + what;
}

// The codes found so far are the first ones of `list` (both in search order).
bool beginsWith(const std::vector<Rom>& list, const std::vector<Rom>& found) {
    return found.size() <= list.size() && std::equal(found.begin(), found.end(), list.begin());
}

}  // namespace

bool requestedBit(const Rom& path, int lastDiscrepancy, int n) {
    return n < lastDiscrepancy ? romBit(path, n) : n == lastDiscrepancy;
}

std::string checkRound(const RoundAnswer& answer, const Rom& path, int lastDiscrepancy,
                       const RoundAnswer* previous) {
    for (int n = 0; n < 64; ++n) {
        const bool flag = flagged(answer.discrepancies, n);
        const bool taken = romBit(answer.taken, n);
        if (n < lastDiscrepancy) {
            if (taken != romBit(path, n)) {
                return atBit(n, "of the path already found came back changed");
            }
            if (previous != nullptr && flag != flagged(previous->discrepancies, n)) {
                return atBit(n, "of the path already found changed its discrepancy");
            }
        } else if (n == lastDiscrepancy) {
            if (!flag || !taken) {
                return atBit(n, "no longer shows the discrepancy the search went back to");
            }
        } else if (flag && taken) {
            return atBit(n,
                         "took 1 at a discrepancy where the search asked for 0 (no device "
                         "answered?)");
        }
    }
    if (!isAcceptable(answer.taken)) {
        return "the round read " + hexText(answer.taken) + ", " + refusalOf(answer.taken);
    }
    return {};
}

int nextDiscrepancy(const RoundAnswer& answer) {
    for (int n = 63; n >= 0; --n) {
        if (flagged(answer.discrepancies, n) && !romBit(answer.taken, n)) {
            return n;
        }
    }
    return -1;
}

bool searchOrderLess(const Rom& a, const Rom& b) {
    for (int n = 0; n < 64; ++n) {
        if (romBit(a, n) != romBit(b, n)) {
            return !romBit(a, n);
        }
    }
    return false;
}

const char* describe(SearchEnd end) {
    switch (end) {
        case SearchEnd::Listed:
            return "searches are complete";
        case SearchEnd::AdapterFailed:
            return "the adapter stopped answering as it should";
        case SearchEnd::Inconsistent:
            return "searches that do not check out (a token pressed on or lifted, a noisy line "
                   "or a faulty adapter); nothing is listed until one does";
        case SearchEnd::Unconfirmed:
            return "searches that disagree with each other (a token pressed on or lifted, a "
                   "noisy line or a faulty adapter); nothing new is listed until two agree";
        case SearchEnd::OutOfTime:
            return "a search goes on in the next pass";
        case SearchEnd::TooManyRounds:
            return "a search that does not end: more rounds than any reader's devices need";
    }
    return "";
}

DirectSearch::Verdict DirectSearch::verifyGone(SearchRounds& adapter,
                                               const std::vector<Rom>& devices,
                                               Clock::time_point deadline, Result* result) {
    if (!listed_) {
        return Verdict::Gone;
    }
    for (const Rom& code : *listed_) {
        if (std::find(devices.begin(), devices.end(), code) != devices.end()) {
            continue;
        }
        if (Clock::now() + adapter.roundEstimate() > deadline) {
            return Verdict::OutOfTime;
        }
        // Asked to follow the code at every bit (the last discrepancy past the end).
        auto answer = adapter.searchRound(code, 64, deadline);
        ++result->rounds;
        if (!answer) {
            return Verdict::AdapterFailed;
        }
        if (answer->bus == RoundBus::NoPresence && devices.empty()) {
            continue;
        }
        std::string why = answer->bus != RoundBus::Presence ? "the bus changed" : "";
        for (int n = 0; n < 64 && why.empty(); ++n) {
            if (flagged(answer->discrepancies, n) && romBit(answer->taken, n) != romBit(code, n)) {
                why = atBit(n, "did not take the direction asked for");
            }
        }
        // Gone only where the round, which took the code's bits wherever devices differed, met
        // another device that the search found.
        if (why.empty() && answer->taken == code) {
            why = hexText(code) + " is still there";
        } else if (why.empty() &&
                   std::find(devices.begin(), devices.end(), answer->taken) == devices.end()) {
            why = "looking for " + hexText(code) + " met " + hexText(answer->taken) +
                  ", which the search did not find";
        }
        if (!why.empty()) {
            result->detail = "a search without " + hexText(code) + " is not believed: " + why;
            return Verdict::Present;
        }
    }
    return Verdict::Gone;
}

void DirectSearch::restart() {
    progress_ = Progress{};
}

void DirectSearch::abandon() {
    restart();
}

void DirectSearch::forget() {
    restart();
    listed_.reset();
    waiting_.reset();
    agreed_.reset();
}

DirectSearch::Result DirectSearch::run(SearchRounds& adapter, Clock::time_point deadline) {
    Result result;
    const auto started = Clock::now();
    if (progress_.active && started - progress_.lastRound > kStale) {
        restart();  // the bus has had time to change under it
    }
    if ((waiting_ || agreed_) && started - waitingSince_ > kStale) {
        waiting_.reset();
        agreed_.reset();
    }
    int failed = 0;
    while (true) {
        if (agreed_) {
            // Two searches in a row agree on a changed bus. A discrepancy flag lost on the way
            // makes a search end early with part of the bus, the same part each time: each code
            // the list would lose is asked for by itself before the change is believed.
            const Verdict verdict = verifyGone(adapter, *agreed_, deadline, &result);
            if (verdict == Verdict::OutOfTime) {
                result.end = SearchEnd::OutOfTime;
                return result;  // asked again in the next pass
            }
            std::vector<Rom> devices = std::move(*agreed_);
            agreed_.reset();
            waiting_.reset();
            if (verdict == Verdict::Gone) {
                listed_ = devices;
                result.end = SearchEnd::Listed;
                result.enumeration = Enumeration::whole(std::move(devices));
                return result;
            }
            if (verdict == Verdict::AdapterFailed) {
                restart();
                result.end = SearchEnd::AdapterFailed;
                return result;
            }
            if (++failed >= kMaxFailedSearchesPerPass) {
                result.end = SearchEnd::Inconsistent;
                return result;
            }
        }
        progress_.active = true;
        if (Clock::now() + adapter.roundEstimate() > deadline) {
            result.end = SearchEnd::OutOfTime;
            // The last list stands in only while nothing says the bus changed.
            if (listed_ && !waiting_ && beginsWith(*listed_, progress_.found)) {
                result.enumeration = Enumeration::whole(*listed_);
            }
            return result;
        }
        auto answer = adapter.searchRound(progress_.path, progress_.lastDiscrepancy, deadline);
        ++result.rounds;
        if (!answer) {
            restart();
            result.end = SearchEnd::AdapterFailed;
            return result;
        }
        progress_.lastRound = Clock::now();
        ++progress_.rounds;
        std::string why;
        bool complete = false;
        if (answer->bus != RoundBus::Presence) {
            if (progress_.previous) {
                why = "the bus emptied or shorted in the middle of a search";
            } else {
                complete = true;  // nothing answers the reset: an empty bus, completely seen
            }
        } else {
            why = checkRound(*answer, progress_.path, progress_.lastDiscrepancy,
                             progress_.previous ? &*progress_.previous : nullptr);
            if (why.empty() && std::find(progress_.found.begin(), progress_.found.end(),
                                         answer->taken) != progress_.found.end()) {
                why = "the round found " + hexText(answer->taken) + " a second time";
            }
            if (why.empty() && progress_.rounds > kMaxRounds) {
                restart();
                result.end = SearchEnd::TooManyRounds;
                result.detail = "more than " + std::to_string(kMaxRounds) + " rounds";
                return result;
            }
        }
        if (!why.empty()) {
            restart();
            waiting_.reset();  // agreement counts only between searches in a row
            result.detail = why;
            if (++failed >= kMaxFailedSearchesPerPass) {
                result.end = SearchEnd::Inconsistent;
                return result;
            }
            continue;
        }
        if (answer->bus == RoundBus::Presence) {
            progress_.found.push_back(answer->taken);
            progress_.path = answer->taken;
            progress_.lastDiscrepancy = nextDiscrepancy(*answer);
            progress_.previous = *answer;
            complete = progress_.lastDiscrepancy < 0;
        }
        if (!complete) {
            continue;
        }
        std::vector<Rom> devices = std::move(progress_.found);
        restart();
        ++result.searches;
        if (listed_ == devices) {
            waiting_.reset();
            result.end = SearchEnd::Listed;
            result.enumeration = Enumeration::whole(std::move(devices));
            return result;
        }
        if (waiting_ == devices) {
            agreed_ = std::move(devices);  // looked at once more at the top of the loop
            continue;
        }
        waiting_ = std::move(devices);
        waitingSince_ = Clock::now();
        if (result.searches >= 3) {
            result.end = SearchEnd::Unconfirmed;
            return result;
        }
    }
}

}  // namespace onewire::direct
