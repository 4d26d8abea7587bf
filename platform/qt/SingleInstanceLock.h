#pragma once

#include <string>

#include "platform/Services.h"

namespace quorna::platform::qt {

// The single-instance test: an exclusive flock() on a lock file that the first instance holds
// for the life of its process. The kernel drops the lock when the process ends in any way, a
// crash included, so a stale file never blocks a new start.
//
// The file lies where only the user can create files, so that no one else can hold it and keep
// the program from starting: "quorna-fobit-reader.lock" in $XDG_RUNTIME_DIR, else
// "instance.lock" in /tmp/quorna-fobit-reader-<uid>, a folder made for it with mode 0700.
class SingleInstanceLock : public InstanceCheck {
public:
    SingleInstanceLock();
    explicit SingleInstanceLock(std::string lockPath);
    ~SingleInstanceLock() override;

    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Takes the lock on the first call (and keeps it); true when another process of this user
    // holds it. When the lock cannot be trusted (its folder or file is not the user's own alone)
    // or cannot be taken at all, the program runs as if alone and says why on standard error.
    bool anotherInstanceRunning() override;

    const std::string& lockPath() const { return lockPath_; }

    static std::string defaultLockPath();

private:
    bool runAlone(const std::string& why);

    std::string lockPath_;
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace quorna::platform::qt
