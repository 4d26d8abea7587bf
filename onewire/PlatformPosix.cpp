#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "onewire/Platform.h"
#include "onewire/TextFile.h"
#include "onewire/W1Bus.h"

namespace onewire {
namespace platform {

std::string systemMessage(unsigned long error) {
    return std::strerror(static_cast<int>(error));
}

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

std::vector<std::string> defaultSettingsFiles(const Environment& environment) {
    std::vector<std::string> candidates;
    auto configHome = environment("XDG_CONFIG_HOME");
    if (configHome && !configHome->empty() && configHome->front() == '/') {
        candidates.push_back(*configHome + "/onewire/onewire.conf");
    } else if (auto home = environment("HOME"); home && !home->empty()) {
        candidates.push_back(*home + "/.config/onewire/onewire.conf");
    }
    candidates.push_back("/etc/onewire/onewire.conf");
    return candidates;
}

std::string serialDevice(Port port) {
    return "/dev/ttyS" + std::to_string(port.number - 1);
}

void writeMessageLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::filesystem::path toPath(std::string_view text) {
    return std::filesystem::path(text);
}

std::string fromPath(const std::filesystem::path& path) {
    return path.string();
}

std::optional<std::string> joinedAsWritten(std::string_view, const std::string&) {
    return std::nullopt;
}

std::string kernelBusesFolder() {
    return "/sys/bus/w1/devices";
}

std::unique_ptr<Backend> makeKernelBus(const std::string& folder, const BackendContext& context) {
    return std::make_unique<W1Bus>(folder, context.reporter, context.portName);
}

}  // namespace platform

bool pathExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit,
                                         std::string* problem) {
    auto fail = [problem](std::string why) -> std::optional<std::string> {
        if (problem != nullptr) {
            *problem = std::move(why);
        }
        return std::nullopt;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return fail(errno == ENOENT ? "does not exist"
                                    : std::string("cannot be read: ") + std::strerror(errno));
    }
    struct stat status {};
    std::optional<std::string> result;
    if (::fstat(fd, &status) != 0) {
        result = fail(std::string("cannot be read: ") + std::strerror(errno));
    } else if (!S_ISREG(status.st_mode)) {
        result = fail("is not a regular file");
    } else {
        std::string text;
        char chunk[4096];
        while (true) {
            ssize_t count = ::read(fd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                result = fail(std::string("cannot be read: ") + std::strerror(errno));
                break;
            }
            if (text.size() + static_cast<std::size_t>(count) > limit) {
                result = fail("is too large (over " + std::to_string(limit) + " bytes)");
                break;
            }
            if (count == 0) {
                result = std::move(text);
                break;
            }
            text.append(chunk, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return result;
}

}  // namespace onewire
