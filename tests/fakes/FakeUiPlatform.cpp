#include "tests/fakes/FakeUiPlatform.h"

#include "platform/ComponentError.h"

namespace quorna::fakes {

void FakeClipboard::enter(const std::string& operation, const std::string& entry) {
    log.push_back(entry);
    if (failing_.count(operation) != 0) {
        throw ComponentError(platform::kClipboardCantOpenNumber, "Clipboard",
                             platform::kClipboardCantOpenDescription);
    }
}

void FakeClipboard::clear() {
    enter("clear", "clear");
    content.clear();
}

void FakeClipboard::setText(const std::string& text) {
    enter("setText", "setText " + text);
    content = text;
}

std::string FakeClipboard::text() {
    enter("text", "text");
    return readOverride ? *readOverride : content;
}

void FakeMessageBox::showWarning(const std::string& text, const std::string& title) {
    shown.push_back({text, title});
    if (whileOpen) {
        auto shownNow = shown.back();
        whileOpen(shownNow);
    }
}

void CallbackEventPump::processPendingEvents() {
    ++calls;
    if (failNext > 0) {
        --failNext;
        throw ComponentError(5, "EventPump", "Invalid procedure call or argument");
    }
    if (pending) {
        pending();
    }
}

}  // namespace quorna::fakes
