#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace onewire {

// What one reading of a file has to tell about its lines: the first kShown in full, the rest
// only counted, so that a file of a million bad lines costs a handful of messages. The texts are
// built only for the lines shown.
class LineAccount {
public:
    static constexpr std::size_t kShown = 5;

    template <typename Describe>
    void notUnderstood(Describe describe) {
        add(describe, moreNotUnderstood_);
    }
    template <typename Describe>
    void neverListed(Describe describe) {
        add(describe, moreNeverListed_);
    }

    // The messages: those shown, then "and N more lines not understood" and "and N more tokens
    // a reader never lists" where there are more.
    std::vector<std::string> messages(const std::string& source) const;

private:
    template <typename Describe>
    void add(Describe& describe, std::size_t& more) {
        if (shown_.size() < kShown) {
            shown_.push_back(describe());
        } else {
            ++more;
        }
    }

    std::vector<std::string> shown_;
    std::size_t moreNotUnderstood_ = 0;
    std::size_t moreNeverListed_ = 0;
};

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

    // The account of one reading of a file: reported when it differs from the source's last
    // one, so a file read on every pass tells its bad lines once while it stays as it is.
    void reportAccount(const std::string& source, const LineAccount& account);

    static constexpr std::size_t kRemembered = 1000;

private:
    void emit(const std::string& message);

    Sink sink_;
    std::mutex mutex_;
    std::set<std::string> reported_;
    std::deque<std::set<std::string>::iterator> reportedInOrder_;
    std::map<std::string, std::string> problems_;               // source -> its current problem
    std::map<std::string, std::vector<std::string>> accounts_;  // source -> its last account
};

}  // namespace onewire
