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

void DirectSearch::restart() {
    progress_ = Progress{};
}

void DirectSearch::forget() {
    restart();
    listed_.reset();
    waiting_.reset();
}

DirectSearch::Result DirectSearch::run(SearchRounds& adapter, Clock::time_point deadline) {
    Result result;
    const auto started = Clock::now();
    if (progress_.active && started - progress_.lastRound > kStale) {
        restart();  // the bus has had time to change under it
    }
    if (waiting_ && started - waitingSince_ > kStale) {
        waiting_.reset();
    }
    int failed = 0;
    while (true) {
        progress_.active = true;
        if (Clock::now() + adapter.roundEstimate() > deadline) {
            result.end = SearchEnd::OutOfTime;
            if (listed_ && beginsWith(*listed_, progress_.found)) {
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
        if (listed_ == devices || waiting_ == devices) {
            listed_ = devices;
            waiting_.reset();
            result.end = SearchEnd::Listed;
            result.enumeration = Enumeration::whole(std::move(devices));
            return result;
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
