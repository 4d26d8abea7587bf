#include "onewire/Reporter.h"

#include <cstdio>

namespace onewire {

Reporter::Reporter(Sink sink) : sink_(std::move(sink)) {}

void Reporter::reportOnce(const std::string& message) {
    std::lock_guard lock(mutex_);
    // Bounded, so a file rewritten with ever new bad lines cannot grow the memory without end.
    if (reported_.size() >= 1000 || !reported_.insert(message).second) {
        return;
    }
    if (sink_) {
        sink_(message);
    } else {
        std::fprintf(stderr, "onewire: %s\n", message.c_str());
    }
}

}  // namespace onewire
