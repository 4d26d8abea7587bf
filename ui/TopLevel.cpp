#include "ui/TopLevel.h"

#include "platform/ComponentError.h"

namespace quorna::ui {

std::string describeFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ComponentError& error) {
        return error.description();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unknown failure";
    }
}

void reportUnhandled(platform::MessageDialog& messageBox, std::exception_ptr failure) noexcept {
    if (!failure) {
        return;
    }
    try {
        messageBox.showWarning(describeFailure(failure), kTopLevelTitle);
    } catch (...) {
        // Nothing is left that could show it; the program keeps running.
    }
}

}  // namespace quorna::ui
