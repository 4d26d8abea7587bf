#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "platform/ProgramConstants.h"
#include "platform/Services.h"

// The application's top level: what happens to a failure that no step handles. Front-ends wrap
// every forwarded event in runTopLevel; the failure is shown in a message box with its
// description and the program keeps running.
namespace quorna::ui {

inline constexpr const char* kTopLevelTitle = program::kErrorTitle;

// The description of a failure: ComponentError's description, another exception's what(), or a
// fixed text for anything else.
std::string describeFailure(std::exception_ptr failure);

// Shows the failure; never throws.
void reportUnhandled(platform::MessageDialog& messageBox, std::exception_ptr failure) noexcept;

template <typename Step>
void runTopLevel(platform::MessageDialog& messageBox, Step&& step) noexcept {
    try {
        step();
    } catch (...) {
        reportUnhandled(messageBox, std::current_exception());
    }
}

// What a front-end binds to a user's action: runs call on the window's events object, if it
// still exists, under the top level. The locked reference keeps the window object alive while its
// handler runs, even when the handler unloads the window.
template <typename Events, typename Call>
std::function<void()> forwarder(std::weak_ptr<Events> events, platform::MessageDialog& messageBox,
                                Call call) {
    return [events = std::move(events), box = &messageBox, call] {
        if (const std::shared_ptr<Events> target = events.lock()) {
            runTopLevel(*box, [&] { call(*target); });
        }
    };
}

}  // namespace quorna::ui
