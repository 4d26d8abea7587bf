#pragma once

#include <exception>
#include <string>

#include "platform/Services.h"

// The application's top level: what happens to a failure that no step handles. Front-ends wrap
// every forwarded event in runTopLevel; the failure is shown in a message box with its
// description and the program keeps running.
namespace quorna::ui {

inline constexpr const char* kTopLevelTitle = "Application Error";

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

}  // namespace quorna::ui
