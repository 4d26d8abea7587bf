#include "onewire/Reporter.h"

#include "onewire/Platform.h"

namespace onewire {

Reporter::Reporter(Sink sink) : sink_(std::move(sink)) {}

void Reporter::reportOnce(const std::string& message) {
    std::lock_guard lock(mutex_);
    auto [entry, isNew] = reported_.insert(message);
    if (!isNew) {
        return;
    }
    // Bounded, so a file rewritten with ever new bad lines cannot grow the memory without end;
    // the oldest is forgotten, and reported again should it come back.
    reportedInOrder_.push_back(entry);
    if (reportedInOrder_.size() > kRemembered) {
        reported_.erase(reportedInOrder_.front());
        reportedInOrder_.pop_front();
    }
    emit(message);
}

void Reporter::reportProblem(const std::string& source, const std::string& problem) {
    std::lock_guard lock(mutex_);
    auto found = problems_.find(source);
    if (found != problems_.end() && found->second == problem) {
        return;
    }
    if (found == problems_.end() && problems_.size() >= kRemembered) {
        problems_.erase(problems_.begin());
    }
    problems_[source] = problem;
    emit(source + ": " + problem);
}

void Reporter::reportRecovery(const std::string& source, const std::string& recovery) {
    std::lock_guard lock(mutex_);
    if (problems_.erase(source) > 0) {
        emit(source + ": " + recovery);
    }
}

std::vector<std::string> LineAccount::messages(const std::string& source) const {
    std::vector<std::string> messages = shown_;
    if (moreNotUnderstood_ > 0) {
        messages.push_back(source + ": and " + std::to_string(moreNotUnderstood_) +
                           " more lines not understood");
    }
    if (moreNeverListed_ > 0) {
        messages.push_back(source + ": and " + std::to_string(moreNeverListed_) +
                           " more tokens a reader never lists");
    }
    return messages;
}

void Reporter::reportAccount(const std::string& source, const LineAccount& account) {
    std::vector<std::string> messages = account.messages(source);
    std::lock_guard lock(mutex_);
    auto found = accounts_.find(source);
    if (messages.empty()) {
        if (found != accounts_.end()) {
            accounts_.erase(found);  // mended: should the lines come back, they are told again
        }
        return;
    }
    if (found != accounts_.end() && found->second == messages) {
        return;
    }
    if (found == accounts_.end() && accounts_.size() >= kRemembered) {
        accounts_.erase(accounts_.begin());
    }
    for (const std::string& message : messages) {
        emit(message);
    }
    accounts_[source] = std::move(messages);
}

void Reporter::emit(const std::string& message) {
    if (sink_) {
        sink_(message);
    } else {
        platform::writeMessageLine("onewire: " + message);
    }
}

}  // namespace onewire
