#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace onewire {

// Reports problems on standard error without flooding it: the settings and reader files are read
// again on every session and search, and a reader that cannot be reached fails on every pass.
class Reporter {
public:
    using Sink = std::function<void(const std::string&)>;

    // Without a sink, reports go to standard error (on Windows, where the process has none, such
    // as a windowed program, to the debugger output).
    explicit Reporter(Sink sink = {});

    // Reports a message unless it is among the last kRemembered reported: repeats are held back,
    // a new message is always reported.
    void reportOnce(const std::string& message);

    // A source (a file, a server) that fails on every pass: its problem is reported when it
    // first shows or changes, and `recovery` once when it works again.
    void reportProblem(const std::string& source, const std::string& problem);
    void reportRecovery(const std::string& source, const std::string& recovery);

    static constexpr std::size_t kRemembered = 1000;

private:
    void emit(const std::string& message);

    Sink sink_;
    std::mutex mutex_;
    std::set<std::string> reported_;
    std::deque<std::set<std::string>::iterator> reportedInOrder_;
    std::map<std::string, std::string> problems_;  // source -> its current problem
};

}  // namespace onewire
