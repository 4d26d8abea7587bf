#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Services.h"

class QLocalServer;

namespace quorna::platform::qt {

// The single-instance test: an exclusive flock() on a lock file that the first instance holds
// for the life of its process. The kernel drops the lock when the process ends in any way, a
// crash included, so a stale file never blocks a new start.
//
// The file lies where only the user can create files, so that no one else can hold it and keep
// the program from starting: "quorna-fobit-reader.lock" in $XDG_RUNTIME_DIR, else
// "instance.lock" in /tmp/quorna-fobit-reader-<uid>, a folder made for it with mode 0700.
//
// The holder also listens on a local socket beside the lock file (its name with ".show" added),
// where a second start asks it to bring its window to the front. The request carries the second
// start's XDG_ACTIVATION_TOKEN, if it has one, so that a Wayland desktop lets the window take
// the focus.
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
    // Sends the show request and waits (briefly) until the holder has handled it.
    void showRunningInstance() override;

    // Runs on the GUI thread for each show request, with the activation token (maybe empty).
    // By default it brings the program's window to the front (bringProgramWindowToFront).
    void onShowRequest(std::function<void(const std::string& token)> handler);

    const std::string& lockPath() const { return lockPath_; }
    std::string showSocketPath() const { return lockPath_ + ".show"; }

    static std::string defaultLockPath();

private:
    bool runAlone(const std::string& why);
    void listenForShowRequests();

    std::string lockPath_;
    int fd_ = -1;
    bool held_ = false;
    std::unique_ptr<QLocalServer> showServer_;
    std::shared_ptr<std::function<void(const std::string&)>> showHandler_;
};

// Brings the program's window to the front and gives it the focus, as far as the desktop allows:
// the open message box if there is one, else the visible top-level window. token, when not empty,
// is a Wayland activation token.
void bringProgramWindowToFront(const std::string& token);

}  // namespace quorna::platform::qt
