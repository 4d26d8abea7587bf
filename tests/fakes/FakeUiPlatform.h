#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Services.h"

namespace quorna::fakes {

// A plain-text clipboard in memory. Each operation can be scripted to fail (as a clipboard that
// cannot be opened), and the read-back can be scripted to return another program's text.
class FakeClipboard : public platform::Clipboard {
public:
    void clear() override;
    void setText(const std::string& text) override;
    std::string text() override;

    void failOn(std::string operation) {
        failing_.insert(std::move(operation));
    }  // clear/setText/text
    // The next reads return this text instead of the content (another program wrote it).
    std::optional<std::string> readOverride;

    std::string content;
    std::vector<std::string> log;  // "clear", "setText <text>", "text"

private:
    void enter(const std::string& operation, const std::string& entry);
    std::set<std::string> failing_;
};

// Records every message box; whileOpen runs inside each one, as the nested event loop of a modal
// box would run timer ticks and clicks.
class FakeMessageBox : public platform::MessageDialog {
public:
    struct Shown {
        std::string text;
        std::string title;
    };

    void showWarning(const std::string& text, const std::string& title) override;

    std::function<void(const Shown&)> whileOpen;
    std::vector<Shown> shown;
};

class FakeInstanceCheck : public platform::InstanceCheck {
public:
    bool anotherInstanceRunning() override {
        ++calls;
        return another;
    }
    void showRunningInstance() override { ++showCalls; }
    bool another = false;
    int calls = 0;
    int showCalls = 0;
};

// Records endNow; the test goes on afterwards (a real one never returns).
class FakeProcessControl : public platform::ProcessControl {
public:
    void endNow() override { ++endNowCalls; }
    int endNowCalls = 0;
};

// Processing pending events runs `pending` (the events that were waiting), or throws when told.
class CallbackEventPump : public platform::EventPump {
public:
    void processPendingEvents() override;
    std::function<void()> pending;
    int failNext = 0;  // how many of the next calls throw
    int calls = 0;
};

}  // namespace quorna::fakes
