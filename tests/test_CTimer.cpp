#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/ComponentError.h"
#include "tests/fakes/FakeTimerService.h"
#include "timer/CTimer.h"
#include "timer/MTimer.h"

namespace quorna {
namespace {

class TimerObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        timer->Timer.bind([this] { ++events; });
    }

    void TearDown() override { EXPECT_EQ(service.liveCount(), 0); }

    fakes::InstalledFakeTimerService service;
    std::shared_ptr<CTimer> timer = std::make_shared<CTimer>();
    int events = 0;
};

TEST_F(TimerObjectTest, ANewTimerIsStoppedWithAnEmptyTagAndStaysQuiet) {
    EXPECT_EQ(timer->Interval(), 0);
    EXPECT_EQ(timer->SystemTimerID(), 0);
    EXPECT_FALSE(timer->Tag().has_value());
    service.advance(10000);
    EXPECT_EQ(events, 0);
    EXPECT_EQ(service.setTimerCalls(), 0);
}

TEST_F(TimerObjectTest, TicksOncePerPeriodUntilStopped) {
    timer->Interval(350);
    service.advance(1049);
    EXPECT_EQ(events, 2);
    service.advance(1);
    EXPECT_EQ(events, 3);
    timer->Interval(0);
    EXPECT_EQ(timer->Interval(), 0);
    service.advance(1000);
    EXPECT_EQ(events, 3);
}

TEST_F(TimerObjectTest, SettingTheSamePeriodAgainKeepsTheSystemTimerAndItsPhase) {
    timer->Interval(500);
    const std::int32_t id = timer->SystemTimerID();
    service.advance(300);
    timer->Interval(500);
    EXPECT_EQ(service.setTimerCalls(), 1);
    EXPECT_EQ(service.killTimerCalls(), 0);
    EXPECT_EQ(timer->SystemTimerID(), id);
    service.advance(200);
    EXPECT_EQ(events, 1);  // at 500, not at 800
    timer->Interval(0);
}

TEST_F(TimerObjectTest, ANegativePeriodStopsARunningTimerAndIsHarmlessOnAStoppedOne) {
    timer->Interval(-5);
    EXPECT_EQ(service.setTimerCalls() + service.killTimerCalls(), 0);

    timer->Interval(200);
    const std::int32_t id = timer->SystemTimerID();
    timer->Interval(-5);
    EXPECT_EQ(timer->Interval(), 0);
    EXPECT_FALSE(service.isLive(id));
    EXPECT_EQ(MTimer::slot(1), nullptr);

    EXPECT_NO_THROW(timer->Interval(-5));
    EXPECT_NO_THROW(timer->Interval(0));
    EXPECT_EQ(service.killTimerCalls(), 1);
}

TEST_F(TimerObjectTest, PulseTimerRaisesOnceAtOnceAndLeavesTheSystemTimerAlone) {
    timer->PulseTimer();
    EXPECT_EQ(events, 1);
    EXPECT_TRUE(service.calls().empty());

    timer->Interval(400);
    const std::int32_t id = timer->SystemTimerID();
    service.advance(100);
    timer->PulseTimer();
    EXPECT_EQ(events, 2);
    EXPECT_EQ(timer->SystemTimerID(), id);
    EXPECT_EQ(service.nextDue(id), 400);
    timer->Interval(0);
}

TEST_F(TimerObjectTest, AFailingHandlerReachesAHolderAsTheGenericFailure) {
    timer->Timer.bind([] { throw std::runtime_error("disk on fire"); });
    try {
        timer->PulseTimer();
        FAIL() << "the handler's failure was lost";
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::int32_t>(0x800447E2));
        EXPECT_EQ(failure.source(), "test_CTimer.CTimer");
        EXPECT_EQ(failure.description(), "CTimer component failure");
    }
}

TEST_F(TimerObjectTest, TagGivesBackTheSameObjectOrACopyOfAValue) {
    auto object = std::make_shared<std::string>("shared");
    timer->Tag(object);
    auto back = std::any_cast<std::shared_ptr<std::string>>(timer->Tag());
    EXPECT_EQ(back, object);
    *object = "changed";
    EXPECT_EQ(*back, "changed");

    std::string text = "copied";
    timer->Tag(text);
    text = "changed";
    EXPECT_EQ(std::any_cast<std::string>(timer->Tag()), "copied");

    timer->Tag(42);
    EXPECT_EQ(std::any_cast<int>(timer->Tag()), 42);
    timer->Tag(std::any{});
    EXPECT_FALSE(timer->Tag().has_value());
}

TEST_F(TimerObjectTest, LosingTheRegistrationIsReportedOnStopAndOnChange) {
    timer->Interval(500);
    MTimer::resetForTests();  // the registry no longer knows this timer

    try {
        timer->Interval(1000);
        FAIL() << "a change of an unregistered timer reported success";
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::int32_t>(0x800447E2));
        EXPECT_EQ(failure.source(), "CTimer.Interval");
        EXPECT_EQ(failure.description(), "CTimer component failure");
    }
    EXPECT_EQ(timer->Interval(), 500);

    try {
        timer->Interval(0);
        FAIL() << "a stop of an unregistered timer reported success";
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.source(), "CTimer.Interval");
    }
    EXPECT_EQ(timer->Interval(), 0);
}

TEST_F(TimerObjectTest, TeardownStopsQuietlyEvenWhenTheStopFails) {
    auto stopped = std::make_shared<CTimer>();
    EXPECT_NO_THROW(stopped.reset());

    auto orphan = std::make_shared<CTimer>();
    orphan->Interval(500);
    MTimer::resetForTests();
    EXPECT_NO_THROW(orphan.reset());  // Interval 0 finds nothing registered; ignored
}

TEST_F(TimerObjectTest, ATimerNotHeldBySharedPointerReportsTheGenericFailureOnStart) {
    CTimer loose;
    try {
        loose.Interval(100);
        FAIL();
    } catch (const ComponentError& failure) {
        EXPECT_EQ(failure.source(), "test_CTimer.CTimer");
    }
    EXPECT_EQ(loose.Interval(), 0);  // no period claimed without a system timer
    EXPECT_EQ(service.setTimerCalls(), 0);
}

}  // namespace
}  // namespace quorna
