// System timers on the real Qt event loop: the timer service alone, and a CTimer started
// through the registry.
#include <memory>
#include <stdexcept>
#include <vector>

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include "platform/qt/QtTimerService.h"
#include "timer/CTimer.h"
#include "timer/MTimer.h"

namespace {

using quorna::platform::qt::QtTimerService;

// Generous: a loaded machine may hold the event loop for a while; nothing asserts speed.
constexpr int kPatienceMs = 10000;

struct Expiry {
    std::int32_t id;
    std::uint32_t message;
};
std::vector<Expiry> expiries;
QtTimerService* serviceUnderTest = nullptr;
std::int32_t killFromCallback = 0;

void recordExpiry(std::intptr_t, std::uint32_t message, std::int32_t timerId, std::uint32_t) {
    expiries.push_back({timerId, message});
    if (killFromCallback == timerId) {
        serviceUnderTest->killTimer(timerId);
    }
}

int countOf(std::int32_t id) {
    int count = 0;
    for (const auto& expiry : expiries) {
        count += expiry.id == id ? 1 : 0;
    }
    return count;
}

class QtTimerServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        expiries.clear();
        killFromCallback = 0;
        serviceUnderTest = &service;
    }
    void TearDown() override { serviceUnderTest = nullptr; }

    QtTimerService service;
};

TEST_F(QtTimerServiceTest, GivesDistinctNonZeroIdsAndRefusesNonPositivePeriods) {
    const auto a = service.setTimer(1000, recordExpiry);
    const auto b = service.setTimer(1000, recordExpiry);
    EXPECT_NE(a, 0);
    EXPECT_NE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(service.setTimer(0, recordExpiry), 0);
    EXPECT_EQ(service.setTimer(-5, recordExpiry), 0);
    EXPECT_EQ(service.liveCount(), 2);
    service.killTimer(a);
    const auto c = service.setTimer(1000, recordExpiry);
    EXPECT_NE(c, b);  // b still runs, so its id is not given out again
    service.killTimer(b);
    service.killTimer(c);
    service.killTimer(c);  // killing a dead id is harmless
    EXPECT_EQ(service.liveCount(), 0);
}

TEST_F(QtTimerServiceTest, DeliversEachExpiryWithItsIdAndStopsAfterKill) {
    const auto id = service.setTimer(10, recordExpiry);
    ASSERT_NE(id, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return countOf(id) >= 2; }, kPatienceMs));
    EXPECT_EQ(expiries.front().message, QtTimerService::kTimerMessage);
    service.killTimer(id);
    const int seen = countOf(id);
    QTest::qWait(100);
    EXPECT_EQ(countOf(id), seen);
}

TEST_F(QtTimerServiceTest, CallbackMayKillItsOwnTimer) {
    const auto id = service.setTimer(10, recordExpiry);
    killFromCallback = id;
    ASSERT_TRUE(QTest::qWaitFor([&] { return countOf(id) >= 1; }, kPatienceMs));
    QTest::qWait(100);
    EXPECT_EQ(countOf(id), 1);
    EXPECT_EQ(service.liveCount(), 0);
}

// A timer started through the registry ticks on the real event loop and is silent after
// Interval 0.
TEST(QtRegistryTimer, TicksThenStopsAfterIntervalZero) {
    static QtTimerService service;  // the registry keeps using it for the rest of the run
    quorna::MTimer::useTimerService(&service);

    auto timer = std::make_shared<quorna::CTimer>();
    int ticks = 0;
    timer->Timer.bind([&] { ++ticks; });
    timer->Interval(20);
    EXPECT_EQ(service.liveCount(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 1; }, kPatienceMs));

    timer->Interval(0);
    EXPECT_EQ(service.liveCount(), 0);
    const int seen = ticks;
    QTest::qWait(150);
    EXPECT_EQ(ticks, seen);
}

}  // namespace

namespace {

int throwingTicks = 0;
void throwingCallback(std::intptr_t, std::uint32_t, std::int32_t, std::uint32_t) {
    ++throwingTicks;
    throw std::runtime_error("a failing tick");
}

}  // namespace

// A callback that fails does not unwind through Qt's event loop; its timer keeps ticking.
TEST_F(QtTimerServiceTest, AFailingCallbackDoesNotEscapeIntoTheEventLoop) {
    throwingTicks = 0;
    const auto id = service.setTimer(10, throwingCallback);
    ASSERT_NE(id, 0);
    EXPECT_TRUE(QTest::qWaitFor([] { return throwingTicks >= 2; }, kPatienceMs));
    service.killTimer(id);
}
