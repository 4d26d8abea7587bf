#include <unistd.h>

#include <climits>

#include "platform/ExecutableName.h"

namespace quorna::platform {

std::string executablePath() {
    std::string path;
    char buffer[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length > 0) {
        path.assign(buffer, static_cast<std::size_t>(length));
    }
    return path;
}

}  // namespace quorna::platform
