#include "platform/ExecutableName.h"

#if defined(_WIN32)
#include "platform/WindowsText.h"
#else
#include <unistd.h>

#include <climits>
#endif

namespace quorna::platform {

std::string executablePath() {
    std::string path;
#if defined(_WIN32)
    path = narrow(modulePath(nullptr));  // UTF-8, whatever the ANSI code page holds
#else
    char buffer[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length > 0) {
        path.assign(buffer, static_cast<std::size_t>(length));
    }
#endif
    return path;
}

std::string executableName() {
    const std::string path = executablePath();
    const auto slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

}  // namespace quorna::platform
