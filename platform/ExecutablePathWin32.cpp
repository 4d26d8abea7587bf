#include "platform/ExecutableName.h"
#include "platform/WindowsText.h"

namespace quorna::platform {

std::string executablePath() {
    return narrow(modulePath(nullptr));  // UTF-8, whatever the ANSI code page holds
}

}  // namespace quorna::platform
