// Costs of the timer service: one expiry through the registry's callback, and a start/stop.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Services.h"
#include "timer/CTimer.h"
#include "timer/MTimer.h"

namespace {

using namespace quorna;

// Grants every timer and never expires anything: the benchmarks deliver expiries themselves.
class CountingTimerService : public platform::TimerService {
public:
    std::int32_t setTimer(std::int32_t, platform::TimerProc) override { return nextId++; }
    void killTimer(std::int32_t) override {}

private:
    std::int32_t nextId = 1;
};

// Registers count timers for the duration of a benchmark and stops them afterwards.
class RunningTimers {
public:
    RunningTimers(platform::TimerService& service, int count) {
        MTimer::useTimerService(&service);
        for (int n = 0; n < count; ++n) {
            auto timer = std::make_shared<CTimer>();
            timer->Timer.bind([this] { ++ticks; });
            timer->Interval(350);
            timers.push_back(timer);
        }
    }
    ~RunningTimers() {
        for (auto& timer : timers) {
            timer->Interval(0);
        }
        MTimer::useTimerService(nullptr);
    }

    std::vector<std::shared_ptr<CTimer>> timers;
    std::int64_t ticks = 0;
};

// The expiry of the timer in the highest slot: the callback's scan covers every slot in use.
void BM_TimerExpiry(benchmark::State& state) {
    CountingTimerService service;
    RunningTimers running(service, static_cast<int>(state.range(0)));
    const std::int32_t id = running.timers.back()->SystemTimerID();
    for (auto _ : state) {
        MTimer::TimerCallback(0, 0x0113, id, 0);
    }
    benchmark::DoNotOptimize(running.ticks);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerExpiry)->Arg(1)->Arg(100);

// Interval 350 then 0 on one timer, with others already registered below it.
void BM_TimerStartStop(benchmark::State& state) {
    CountingTimerService service;
    RunningTimers running(service, static_cast<int>(state.range(0)));
    auto timer = std::make_shared<CTimer>();
    for (auto _ : state) {
        timer->Interval(350);
        timer->Interval(0);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerStartStop)->Arg(0)->Arg(99);

}  // namespace
