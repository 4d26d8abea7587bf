#include "tests/fakes/FakePlatform.h"

namespace quorna::fakes {

void FakeEventPump::processPendingEvents() {
    ++calls;
    if (onProcess) {
        onProcess();
    }
}

void FakeSleeper::sleep(std::int32_t milliseconds) {
    sleeps.push_back(milliseconds);
    if (onSleep) {
        onSleep(milliseconds);
    }
}

}  // namespace quorna::fakes
