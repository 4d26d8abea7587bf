#pragma once

#include <string>

#include "platform/Services.h"

namespace quorna::platform::qt {

// The single-instance test: an exclusive flock() on a lock file that the first instance holds
// for the life of its process. The kernel drops the lock when the process ends in any way, a
// crash included, so a stale file never blocks a new start.
//
// The file is "quorna-fobit-reader.lock" in $XDG_RUNTIME_DIR (private to the user's session), or
// "quorna-fobit-reader-<uid>.lock" in /tmp when that is not set.
class SingleInstanceLock : public InstanceCheck {
public:
    SingleInstanceLock();
    explicit SingleInstanceLock(std::string lockPath);
    ~SingleInstanceLock() override;

    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Takes the lock on the first call (and keeps it); true when another process holds it.
    // A lock file that cannot be opened at all does not stop the program: it runs as if alone.
    bool anotherInstanceRunning() override;

    const std::string& lockPath() const { return lockPath_; }

    static std::string defaultLockPath();

private:
    std::string lockPath_;
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace quorna::platform::qt
