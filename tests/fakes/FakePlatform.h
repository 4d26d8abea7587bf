#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/Services.h"

namespace quorna::fakes {

// Counts the requests to process pending window events; onProcess lets a test look at the
// state of the world at that moment, or act as another window's event would.
class FakeEventPump : public platform::EventPump {
public:
    void processPendingEvents() override;
    int calls = 0;
    std::function<void()> onProcess;
};

// Records every requested sleep and returns at once.
class FakeSleeper : public platform::Sleeper {
public:
    void sleep(std::int32_t milliseconds) override;
    std::vector<std::int32_t> sleeps;
    std::function<void(std::int32_t)> onSleep;
};

}  // namespace quorna::fakes
