#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace onewire {

// Reports problems with the runtime's files once each: the settings and reader files are read
// again on every session and search, and a bad line must not flood standard error.
class Reporter {
public:
    using Sink = std::function<void(const std::string&)>;

    // Without a sink, reports go to standard error.
    explicit Reporter(Sink sink = {});

    void reportOnce(const std::string& message);

private:
    Sink sink_;
    std::mutex mutex_;
    std::set<std::string> reported_;
};

}  // namespace onewire
