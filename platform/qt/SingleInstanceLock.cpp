#include "platform/qt/SingleInstanceLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorna::platform::qt {
namespace {

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why a file or folder is not the user's own alone; empty when it is. Anyone else who can write
// there could plant a lock file and hold it.
std::string notPrivate(const struct stat& status, bool folder) {
    if (status.st_uid != geteuid()) {
        return "belongs to user " + std::to_string(status.st_uid);
    }
    if (folder && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "can be written by others (mode " + octal(status.st_mode) + ")";
    }
    return {};
}

}  // namespace

std::string SingleInstanceLock::defaultLockPath() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') {
        return std::string(runtimeDir) + "/quorna-fobit-reader.lock";
    }
    return "/tmp/quorna-fobit-reader-" + std::to_string(geteuid()) + "/instance.lock";
}

SingleInstanceLock::SingleInstanceLock() : SingleInstanceLock(defaultLockPath()) {}

SingleInstanceLock::SingleInstanceLock(std::string lockPath) : lockPath_(std::move(lockPath)) {}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0) {
        close(fd_);  // releases the lock
    }
}

bool SingleInstanceLock::runAlone(const std::string& why) {
    std::fprintf(stderr,
                 "quorna-fobit-reader: cannot tell whether another instance runs: %s; running "
                 "anyway\n",
                 why.c_str());
    held_ = true;  // asked once, answered once
    return false;
}

bool SingleInstanceLock::anotherInstanceRunning() {
    if (held_) {
        return false;
    }
    const std::string folder = folderOf(lockPath_);
    mkdir(folder.c_str(), 0700);  // the fallback folder's first use; an existing one is checked
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        return runAlone("folder " + folder + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(status.st_mode)) {
        return runAlone("folder " + folder + " is not a folder");
    }
    if (auto why = notPrivate(status, true); !why.empty()) {
        return runAlone("folder " + folder + " " + why);
    }
    fd_ = open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd_ < 0) {
        return runAlone("lock file " + lockPath_ + ": " + std::strerror(errno));
    }
    if (fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        return runAlone("lock file " + lockPath_ + " is not a regular file");
    }
    if (auto why = notPrivate(status, false); !why.empty()) {
        return runAlone("lock file " + lockPath_ + " " + why);
    }
    int result;
    do {
        result = flock(fd_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        held_ = true;
        return false;
    }
    if (errno == EWOULDBLOCK) {
        return true;
    }
    return runAlone("lock file " + lockPath_ + ": " + std::strerror(errno));
}

}  // namespace quorna::platform::qt
