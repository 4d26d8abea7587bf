#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform/Services.h"

namespace quorna::fakes {

// A timer service with a manual clock. Nothing expires until the test calls advance(); then every
// expiry due within the advanced span is delivered in time order (ties in creation order) as one
// call of the timer's TimerProc with its identifier, on the calling thread. Timers are periodic,
// as the platform's are. Identifiers start at 1001 and are never reused, so an identifier is
// never mistaken for a slot number and a killed timer's identifier stays dead.
//
// Handlers may create and kill timers, and call advance(0) (a nested event loop), while an
// expiry is being delivered.
class FakeTimerService : public platform::TimerService {
public:
    static constexpr std::uint32_t kTimerMessage = 0x0113;  // what Windows passes as WM_TIMER

    struct Call {
        enum class Kind { Set, Kill };
        Kind kind;
        std::int32_t timerId;  // Set: the identifier given, 0 when refused
        std::int32_t period;   // Set only
        std::int64_t at;       // the fake clock when the call was made
    };

    std::int32_t setTimer(std::int32_t periodMilliseconds, platform::TimerProc callback) override;
    void killTimer(std::int32_t timerId) override;

    // Moves the clock forward by milliseconds (>= 0), delivering the expiries due meanwhile.
    void advance(std::int64_t milliseconds);
    // Delivers one expiry of a live timer now, without changing its schedule. False if not live.
    bool fire(std::int32_t timerId);

    // The next count calls of setTimer give 0.
    void refuseNext(int count = 1) { refusals_ += count; }

    std::int64_t now() const { return now_; }
    int liveCount() const { return static_cast<int>(live_.size()); }
    bool isLive(std::int32_t timerId) const { return live_.count(timerId) != 0; }
    std::int32_t periodOf(std::int32_t timerId) const;  // 0 when not live
    std::int64_t nextDue(std::int32_t timerId) const;   // -1 when not live
    std::vector<std::int32_t> liveIds() const;
    // The identifier of the last timer created (0 before any).
    std::int32_t lastId() const { return nextId_ == kFirstId ? 0 : nextId_ - 1; }

    const std::vector<Call>& calls() const { return calls_; }
    int setTimerCalls() const;
    int killTimerCalls() const;
    int expiriesDelivered() const { return delivered_; }
    void clearCalls() { calls_.clear(); }

private:
    static constexpr std::int32_t kFirstId = 1001;

    struct Timer {
        std::int32_t period;
        std::int64_t due;
        std::uint64_t order;  // creation order, for ties
        platform::TimerProc callback;
    };

    std::map<std::int32_t, Timer> live_;
    std::vector<Call> calls_;
    std::int64_t now_ = 0;
    std::int32_t nextId_ = kFirstId;
    std::uint64_t created_ = 0;
    int refusals_ = 0;
    int delivered_ = 0;
};

// A FakeTimerService installed as the timer registry's service for its lifetime. On destruction it
// kills whatever the registry still holds and empties the table, so one test cannot leak into
// the next; check liveCount() before that to catch a leak.
class InstalledFakeTimerService : public FakeTimerService {
public:
    InstalledFakeTimerService();
    ~InstalledFakeTimerService() override;
    InstalledFakeTimerService(const InstalledFakeTimerService&) = delete;
    InstalledFakeTimerService& operator=(const InstalledFakeTimerService&) = delete;
};

}  // namespace quorna::fakes
