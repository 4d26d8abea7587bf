#include "platform/qt/SingleInstanceLock.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quorna::platform::qt {

std::string SingleInstanceLock::defaultLockPath() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] != '\0') {
        return std::string(runtimeDir) + "/quorna-fobit-reader.lock";
    }
    return "/tmp/quorna-fobit-reader-" + std::to_string(getuid()) + ".lock";
}

SingleInstanceLock::SingleInstanceLock() : SingleInstanceLock(defaultLockPath()) {}

SingleInstanceLock::SingleInstanceLock(std::string lockPath) : lockPath_(std::move(lockPath)) {}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0) {
        close(fd_);  // releases the lock
    }
}

bool SingleInstanceLock::anotherInstanceRunning() {
    if (held_) {
        return false;
    }
    if (fd_ < 0) {
        fd_ = open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) {
            return false;
        }
    }
    int result;
    do {
        result = flock(fd_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        held_ = true;
        return false;
    }
    return errno == EWOULDBLOCK;
}

}  // namespace quorna::platform::qt
