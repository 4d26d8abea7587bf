#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Services.h"

class QLocalServer;

namespace quorna::platform::qt {

// The single-instance test: an exclusive flock() on a lock file that the first instance holds
// for the life of its process. The kernel drops the lock when the process ends in any way, a
// crash included, so a stale file never blocks a new start.
//
// The file lies where no other account can create files, so that nobody else can hold it and
// keep the program from starting, nor plant one to make it run twice. The places, in order:
// "quorna-fobit-reader.lock" in $XDG_RUNTIME_DIR, then in /run/user/<uid> (the session's runtime
// folder when the variable was not passed on), then "instance.lock" in
// ~/.cache/quorna-fobit-reader, a folder made for it with mode 0700. A place is taken only when
// its folder is the user's own and writable by nobody else, and every folder above it belongs
// to the user or root and cannot be renamed by others; otherwise the next is tried. Nothing in a
// folder others can write (/tmp) is ever used, so what another account plants changes nothing.
//
// The holder also listens on a local socket beside the lock file (its name with ".show" added),
// where a second start asks it to bring its window to the front. The request carries the second
// start's XDG_ACTIVATION_TOKEN, if it has one, so that a Wayland desktop lets the window take
// the focus.
class SingleInstanceLock : public InstanceCheck {
public:
    // One place a lock file may lie. makeFolder: its folder is made when missing (not a
    // session's runtime folder, which is the system's to make); makeParent: the folder above it
    // too (~/.cache on a new account).
    struct Place {
        std::string lockPath;
        bool makeFolder = true;
        bool makeParent = false;
        bool operator==(const Place&) const = default;
    };

    // A lock at the first usable place of defaultLockPlaces().
    SingleInstanceLock();
    // A lock at exactly lockPath (its folder made when missing).
    explicit SingleInstanceLock(std::string lockPath);
    // A lock at the first usable one of places.
    explicit SingleInstanceLock(std::vector<Place> places);
    ~SingleInstanceLock() override;

    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Takes the lock on the first call (and keeps it); true when another process of this user
    // holds it. A place that cannot be trusted (its folder or file is not the user's own alone)
    // or used is passed over for the next; where none is left, the program runs as if alone and
    // says why on standard error.
    bool anotherInstanceRunning() override;
    // Sends the show request and waits (briefly) until the holder has handled it.
    void showRunningInstance() override;

    // Runs on the GUI thread for each show request, with the activation token (maybe empty).
    // By default it brings the program's window to the front (bringProgramWindowToFront).
    void onShowRequest(std::function<void(const std::string& token)> handler);

    const std::string& lockPath() const { return lockPath_; }
    std::string showSocketPath() const { return lockPath_ + ".show"; }

    // Where the default lock may lie, in the order tried (from the environment and the uid).
    static std::vector<Place> defaultLockPlaces();

private:
    bool runAlone(const std::string& why);
    // The lock at one place: 1 taken, 0 held by another process, -1 not usable (why says why).
    int tryPlace(const Place& place, std::string& why);
    void listenForShowRequests();

    std::vector<Place> places_;
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
