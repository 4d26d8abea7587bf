#pragma once

#include <chrono>
#include <set>
#include <string>

namespace onewire {

// When to speak about a source that fails now and then: a line that bounces fails every other
// pass, and telling each fault and each recovery would write two lines a pass. Each kind of
// fault is told when it first shows, and the first recovery at once; a fault that comes back
// after that is told once more as one that comes and goes, and the recovery after it only when
// the source has gone `settle` without a fault. After such a quiet spell everything starts
// afresh.
class FaultNotes {
public:
    using Clock = std::chrono::steady_clock;
    enum class Say { Nothing, Fault, ComesAndGoes };

    explicit FaultNotes(Clock::duration settle = std::chrono::seconds(10)) : settle_(settle) {}

    Say fault(const std::string& kind, Clock::time_point now = Clock::now()) {
        if (!told_.empty() && !owesRecovery_ && now - lastFault_ >= settle_) {
            told_.clear();
            flapping_ = false;
        }
        lastFault_ = now;
        if (told_.insert(kind).second) {
            owesRecovery_ = true;
            return Say::Fault;
        }
        if (!owesRecovery_ && !flapping_) {
            flapping_ = true;
            owesRecovery_ = true;
            return Say::ComesAndGoes;
        }
        return Say::Nothing;
    }

    // True when it is time to tell that the source works again.
    bool worked(Clock::time_point now = Clock::now()) {
        if (!owesRecovery_ || (flapping_ && now - lastFault_ < settle_)) {
            return false;
        }
        owesRecovery_ = false;
        if (flapping_) {
            told_.clear();
            flapping_ = false;
        }
        return true;
    }

private:
    Clock::duration settle_;
    std::set<std::string> told_;
    Clock::time_point lastFault_{};
    bool owesRecovery_ = false;
    bool flapping_ = false;
};

}  // namespace onewire
