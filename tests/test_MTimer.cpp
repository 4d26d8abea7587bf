#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/ComponentError.h"
#include "tests/fakes/FakeTimerService.h"
#include "timer/CTimer.h"
#include "timer/MTimer.h"

namespace quorna {
namespace {

using fakes::FakeTimerService;

class RegistryTest : public ::testing::Test {
protected:
    void TearDown() override {
        // Every test stops what it started: the registry must not leak a system timer.
        EXPECT_EQ(service.liveCount(), 0);
        for (int n = 1; n <= MTimer::kCapacity; ++n) {
            EXPECT_EQ(MTimer::slot(n), nullptr) << "slot " << n;
        }
    }

    // A timer whose Timer events are counted in ticks[index].
    std::shared_ptr<CTimer> countedTimer() {
        auto timer = std::make_shared<CTimer>();
        const std::size_t index = ticks.size();
        ticks.push_back(0);
        timer->Timer.bind([this, index] { ++ticks[index]; });
        return timer;
    }

    int slotOf(const std::shared_ptr<CTimer>& timer) {
        for (int n = 1; n <= MTimer::kCapacity; ++n) {
            if (MTimer::slot(n) == timer) {
                return n;
            }
        }
        return 0;
    }

    fakes::InstalledFakeTimerService service;
    std::vector<int> ticks;
};

TEST_F(RegistryTest, FirstStartTakesSlotOneAndAStoppedSlotIsReusedWithoutLoweringTheMaximum) {
    EXPECT_EQ(MTimer::intTimerMax(), 0);
    auto a = countedTimer();
    a->Interval(100);
    EXPECT_EQ(slotOf(a), 1);
    EXPECT_EQ(MTimer::intTimerMax(), 1);
    EXPECT_NE(a->SystemTimerID(), 0);
    EXPECT_TRUE(service.isLive(a->SystemTimerID()));

    a->Interval(0);
    EXPECT_EQ(MTimer::slot(1), nullptr);
    EXPECT_EQ(MTimer::intTimerMax(), 1);

    auto b = countedTimer();
    b->Interval(100);
    EXPECT_EQ(slotOf(b), 1);
    b->Interval(0);
}

TEST_F(RegistryTest, TheLowestEmptySlotWinsAndTheMaximumStays) {
    auto a = countedTimer();
    auto b = countedTimer();
    auto c = countedTimer();
    a->Interval(100);
    b->Interval(100);
    c->Interval(100);
    EXPECT_EQ(MTimer::intTimerMax(), 3);

    b->Interval(0);
    auto d = countedTimer();
    d->Interval(200);
    EXPECT_EQ(slotOf(d), 2);
    EXPECT_EQ(MTimer::intTimerMax(), 3);

    // Each expiry reaches the object whose identifier it carries, slot order notwithstanding.
    service.advance(200);
    EXPECT_EQ(ticks, (std::vector<int>{2, 0, 2, 1}));

    a->Interval(0);
    c->Interval(0);
    d->Interval(0);
}

TEST_F(RegistryTest, AtCapacityTheNextTimerIsRefusedAndItsSystemTimerGivenBack) {
    std::vector<std::shared_ptr<CTimer>> running;
    for (int n = 0; n < MTimer::kCapacity; ++n) {
        running.push_back(countedTimer());
        running.back()->Interval(50);
    }
    EXPECT_EQ(MTimer::intTimerMax(), 100);
    EXPECT_EQ(service.liveCount(), 100);

    // The registry's own failure.
    auto extra = countedTimer();
    try {
        MTimer::TimerCreate(extra);
        FAIL() << "TimerCreate accepted a 101st timer";
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.number(), 18511);
        EXPECT_EQ(failure.source(), "MTimer.TimerCreate");
        EXPECT_EQ(failure.description(), "Too many timers");
    }
    EXPECT_EQ(extra->SystemTimerID(), 0);
    EXPECT_EQ(service.liveCount(), 100);

    // Through Interval it becomes the component's generic failure, and nothing keeps running.
    try {
        extra->Interval(50);
        FAIL() << "a 101st timer started";
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.number(), CTimer::kFailureNumber);
        EXPECT_EQ(failure.source(), "test_MTimer.CTimer");
        EXPECT_EQ(failure.description(), "CTimer component failure");
    }
    EXPECT_EQ(extra->Interval(), 0);
    EXPECT_EQ(extra->SystemTimerID(), 0);
    EXPECT_EQ(service.liveCount(), 100);
    EXPECT_EQ(slotOf(extra), 0);
    service.advance(50);
    EXPECT_EQ(ticks.back(), 0);

    // Room made, the same object starts normally.
    running[41]->Interval(0);
    extra->Interval(50);
    EXPECT_EQ(slotOf(extra), 42);
    extra->Interval(0);
    for (auto& timer : running) {
        timer->Interval(0);
    }
}

TEST_F(RegistryTest, ARefusedTimerLeavesTheObjectStoppedAndUnregistered) {
    auto timer = countedTimer();
    service.refuseNext();
    try {
        timer->Interval(350);
        FAIL() << "a refused timer reported success";
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::int32_t>(0x800447E1));
        EXPECT_EQ(failure.source(), "CTimer.Interval");
        EXPECT_EQ(failure.description(), "Can't create system timer");
    }
    EXPECT_EQ(timer->Interval(), 0);
    EXPECT_EQ(timer->SystemTimerID(), 0);
    EXPECT_EQ(MTimer::intTimerMax(), 0);

    // The next request is granted.
    timer->Interval(350);
    EXPECT_EQ(slotOf(timer), 1);

    // Refused on a change of period: the old timer is gone too, so the object is stopped.
    service.refuseNext();
    EXPECT_THROW(timer->Interval(1000), ComponentError);
    EXPECT_EQ(timer->Interval(), 0);
    EXPECT_EQ(slotOf(timer), 0);

    // Without a timer service every timer is refused.
    MTimer::useTimerService(nullptr);
    EXPECT_THROW(timer->Interval(350), ComponentError);
    EXPECT_EQ(timer->Interval(), 0);
    MTimer::useTimerService(&service);
}

TEST_F(RegistryTest, AnExpiryForAnUnknownIdentifierIsIgnoredAndNotKilled) {
    auto timer = countedTimer();
    timer->Interval(100);
    const std::int32_t stale = timer->SystemTimerID();
    timer->Interval(200);
    service.clearCalls();

    MTimer::TimerCallback(0, FakeTimerService::kTimerMessage, stale, 0);
    MTimer::TimerCallback(0, FakeTimerService::kTimerMessage, 424242, 0);
    MTimer::TimerCallback(0, FakeTimerService::kTimerMessage, 0, 0);
    EXPECT_EQ(ticks[0], 0);
    EXPECT_TRUE(service.calls().empty());

    MTimer::TimerCallback(0, FakeTimerService::kTimerMessage, timer->SystemTimerID(), 0);
    EXPECT_EQ(ticks[0], 1);
    timer->Interval(0);
}

TEST_F(RegistryTest, AHandlerMayStopItsTimerAndLetItsHolderReleaseIt) {
    auto holder = std::make_shared<CTimer>();
    std::weak_ptr<CTimer> watch = holder;
    int events = 0;
    bool aliveAfterRelease = false;
    holder->Timer.bind([&] {
        ++events;
        auto self = watch.lock();
        self->Interval(0);
        self.reset();
        holder.reset();
        aliveAfterRelease = !watch.expired();
    });
    holder->Interval(100);

    service.advance(100);
    EXPECT_EQ(events, 1);
    EXPECT_TRUE(aliveAfterRelease);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(MTimer::slot(1), nullptr);

    service.advance(1000);
    EXPECT_EQ(events, 1);
}

TEST_F(RegistryTest, ARunningTimerOutlivesItsHolderUntilStopped) {
    auto holder = countedTimer();
    std::weak_ptr<CTimer> watch = holder;
    holder->Interval(100);
    holder.reset();

    service.advance(300);
    EXPECT_EQ(ticks[0], 3);
    ASSERT_FALSE(watch.expired());

    MTimer::slot(1)->Interval(0);
    EXPECT_TRUE(watch.expired());
}

TEST_F(RegistryTest, AChangeOfPeriodKillsTheOldTimerBeforeCreatingTheNew) {
    auto timer = countedTimer();
    timer->Interval(500);
    const std::int32_t first = timer->SystemTimerID();
    service.clearCalls();

    timer->Interval(1000);
    const std::int32_t second = timer->SystemTimerID();
    ASSERT_EQ(service.calls().size(), 2u);
    EXPECT_EQ(service.calls()[0].kind, FakeTimerService::Call::Kind::Kill);
    EXPECT_EQ(service.calls()[0].timerId, first);
    EXPECT_EQ(service.calls()[1].kind, FakeTimerService::Call::Kind::Set);
    EXPECT_EQ(service.calls()[1].period, 1000);
    EXPECT_NE(second, first);
    EXPECT_FALSE(service.isLive(first));
    EXPECT_EQ(slotOf(timer), 1);

    service.advance(3000);
    EXPECT_EQ(ticks[0], 3);
    timer->Interval(0);
}

TEST_F(RegistryTest, AFailingHandlerNeverReachesThePlatformAndTheTimerGoesOn) {
    auto timer = countedTimer();
    timer->Timer.bind([] { throw ComponentError(1, "handler", "broken"); });
    timer->Interval(100);
    EXPECT_NO_THROW(service.advance(300));
    EXPECT_EQ(ticks[0], 3);
    timer->Interval(0);
}

TEST_F(RegistryTest, AHandlerThatStopsItselfAndStartsAnotherDoesNotPulseTheNewcomer) {
    auto first = countedTimer();
    auto second = countedTimer();
    first->Timer.bind([&] {
        first->Interval(0);
        second->Interval(100);  // takes slot 1, which the callback must not look at again
    });
    first->Interval(100);
    service.advance(100);
    EXPECT_EQ(ticks[0], 1);
    EXPECT_EQ(ticks[1], 0);
    EXPECT_EQ(slotOf(second), 1);

    service.advance(100);
    EXPECT_EQ(ticks[1], 1);
    second->Interval(0);
}

TEST_F(RegistryTest, ANestedEventLoopInAHandlerMayServeTheSameTimerAgain) {
    auto timer = countedTimer();
    int depth = 0;
    int deepest = 0;
    timer->Timer.bind([&] {
        ++depth;
        deepest = std::max(deepest, depth);
        if (depth == 1) {
            service.advance(100);  // like a modal message box pumping messages
        }
        --depth;
    });
    timer->Interval(100);
    service.advance(100);
    EXPECT_EQ(ticks[0], 2);
    EXPECT_EQ(deepest, 2);
    timer->Interval(0);
}

}  // namespace
}  // namespace quorna
