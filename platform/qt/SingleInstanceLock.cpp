#include "platform/qt/SingleInstanceLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

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

// Why a folder above a lock folder lets others move the lock folder away (and put one of
// theirs in its place); empty when none does. Each must belong to the user or root and be
// writable by nobody else, unless sticky (as /tmp), where others cannot rename what is not
// theirs.
std::string untrustedAncestor(const std::string& folder) {
    std::string above = folder;
    while (above != "/" && above != ".") {
        above = folderOf(above);
        struct stat status {};
        if (stat(above.c_str(), &status) != 0) {
            return above + ": " + std::strerror(errno);
        }
        if (status.st_uid != 0 && status.st_uid != geteuid()) {
            return above + " belongs to user " + std::to_string(status.st_uid);
        }
        if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
            return above + " can be written by others (mode " + octal(status.st_mode) + ")";
        }
    }
    return {};
}

constexpr const char* kShowRequest = "show";
constexpr const char* kShownAnswer = "shown\n";
constexpr int kShowWaitMilliseconds = 3000;
constexpr qint64 kLongestRequest = 4096;

}  // namespace

void bringProgramWindowToFront(const std::string& token) {
    QWidget* target = QApplication::activeModalWidget();
    if (target == nullptr) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window->isVisible()) {
                target = window;
                break;
            }
        }
    }
    if (target == nullptr) {
        return;
    }
    if (!token.empty()) {
        // Qt's Wayland back-end hands this token to the compositor with the next activation.
        qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
    }
    if (target->isMinimized()) {
        target->showNormal();
    }
    target->raise();
    target->activateWindow();
    if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        // X ignores a focus change stamped earlier than the last one, and Qt stamps it with the
        // last event this program saw: the request comes from outside, so it has none newer.
        xcb_set_input_focus(x11->connection(), XCB_INPUT_FOCUS_PARENT,
                            static_cast<xcb_window_t>(target->winId()), XCB_CURRENT_TIME);
        xcb_flush(x11->connection());
    }
}

std::vector<SingleInstanceLock::Place> SingleInstanceLock::defaultLockPlaces() {
    std::vector<Place> places;
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') {
        places.push_back({std::string(runtimeDir) + "/quorna-fobit-reader.lock", false});
    }
    // logind's folder, also where the variable was lost on the way (su, a bare environment).
    Place session{"/run/user/" + std::to_string(geteuid()) + "/quorna-fobit-reader.lock", false};
    if (places.empty() || places.front() != session) {
        places.push_back(session);
    }
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable != nullptr && variable[0] == '/') {
        home = variable;
    } else if (const struct passwd* account = getpwuid(geteuid()); account != nullptr) {
        home = account->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    if (!home.empty() && home != "/") {
        places.push_back({home + "/.cache/quorna-fobit-reader/instance.lock", true, true});
    }
    return places;
}

SingleInstanceLock::SingleInstanceLock() : SingleInstanceLock(defaultLockPlaces()) {}

SingleInstanceLock::SingleInstanceLock(std::string lockPath)
    : SingleInstanceLock(std::vector<Place>{{std::move(lockPath)}}) {}

SingleInstanceLock::SingleInstanceLock(std::vector<Place> places)
    : places_(std::move(places)),
      lockPath_(places_.empty() ? std::string() : places_.front().lockPath),
      showHandler_(
          std::make_shared<std::function<void(const std::string&)>>(bringProgramWindowToFront)) {}

SingleInstanceLock::~SingleInstanceLock() {
    showServer_.reset();  // removes the socket file while the lock still keeps others away
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

int SingleInstanceLock::tryPlace(const Place& place, std::string& why) {
    const std::string folder = folderOf(place.lockPath);
    if (place.makeParent) {
        mkdir(folderOf(folder).c_str(), 0700);  // a new account's ~/.cache; checked below
    }
    if (place.makeFolder) {
        mkdir(folder.c_str(), 0700);  // the folder's first use; an existing one is checked
    }
    if (auto above = untrustedAncestor(folder); !above.empty()) {
        why = "folder " + folder + ": " + above;
        return -1;
    }
    // The checks and the lock go through one descriptor of the folder, so that the folder
    // checked is the folder locked in, whatever is renamed meanwhile.
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folderFd < 0) {
        why = "folder " + folder + ": " +
              (errno == ELOOP || errno == ENOTDIR ? "is not a folder" : std::strerror(errno));
        return -1;
    }
    struct stat status {};
    if (fstat(folderFd, &status) != 0) {
        why = "folder " + folder + ": " + std::strerror(errno);
        close(folderFd);
        return -1;
    }
    if (auto notOurs = notPrivate(status, true); !notOurs.empty()) {
        why = "folder " + folder + " " + notOurs;
        close(folderFd);
        return -1;
    }
    const std::string name = place.lockPath.substr(place.lockPath.rfind('/') + 1);
    const int fd = openat(folderFd, name.c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    const int openError = errno;
    close(folderFd);
    if (fd < 0) {
        why = "lock file " + place.lockPath + ": " + std::strerror(openError);
        return -1;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        why = "lock file " + place.lockPath + " is not a regular file";
        close(fd);
        return -1;
    }
    if (auto notOurs = notPrivate(status, false); !notOurs.empty()) {
        why = "lock file " + place.lockPath + " " + notOurs;
        close(fd);
        return -1;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    const int lockError = errno;
    if (result != 0 && lockError != EWOULDBLOCK) {
        why = "lock file " + place.lockPath + ": " + std::strerror(lockError);
        close(fd);
        return -1;
    }
    lockPath_ = place.lockPath;
    if (result != 0) {
        close(fd);
        return 0;
    }
    fd_ = fd;
    return 1;
}

bool SingleInstanceLock::anotherInstanceRunning() {
    if (held_) {
        return false;
    }
    std::string reasons;
    for (const Place& place : places_) {
        std::string why;
        switch (tryPlace(place, why)) {
            case 1:
                held_ = true;
                listenForShowRequests();
                return false;
            case 0:
                return true;
            default:
                reasons += (reasons.empty() ? "" : "; ") + why;
        }
    }
    return runAlone(reasons.empty() ? "no place for a lock file" : reasons);
}

void SingleInstanceLock::onShowRequest(std::function<void(const std::string&)> handler) {
    *showHandler_ = std::move(handler);
}

// Only the lock's holder gets here, so a socket file left by a holder that crashed is stale.
void SingleInstanceLock::listenForShowRequests() {
    if (QCoreApplication::instance() == nullptr) {
        return;  // no event loop to answer on
    }
    const QString path = QString::fromStdString(showSocketPath());
    QLocalServer::removeServer(path);
    showServer_ = std::make_unique<QLocalServer>();
    showServer_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!showServer_->listen(path)) {
        std::fprintf(stderr,
                     "quorna-fobit-reader: a second start will not be able to show this window: "
                     "%s\n",
                     showServer_->errorString().toLocal8Bit().constData());
        showServer_.reset();
        return;
    }
    QLocalServer* server = showServer_.get();
    QObject::connect(
        server, &QLocalServer::newConnection, server, [server, handler = showHandler_] {
            while (QLocalSocket* client = server->nextPendingConnection()) {
                QObject::connect(client, &QLocalSocket::disconnected, client,
                                 &QObject::deleteLater);
                QObject::connect(client, &QLocalSocket::readyRead, client, [client, handler] {
                    if (!client->canReadLine()) {
                        if (client->bytesAvailable() > kLongestRequest) {
                            client->abort();
                        }
                        return;
                    }
                    const QByteArray line = client->readLine().trimmed();
                    const qsizetype tab = line.indexOf('\t');
                    if (line.left(tab < 0 ? line.size() : tab) != kShowRequest) {
                        client->abort();
                        return;
                    }
                    const std::string token =
                        tab < 0 ? std::string() : line.mid(tab + 1).toStdString();
                    if (*handler) {
                        (*handler)(token);
                    }
                    client->write(kShownAnswer);
                    client->disconnectFromServer();
                });
            }
        });
}

void SingleInstanceLock::showRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(showSocketPath()));
    QByteArray request(kShowRequest);
    if (const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN"); !token.isEmpty()) {
        request += '\t' + token.trimmed();
    }
    request += '\n';
    const bool shown =
        socket.waitForConnected(kShowWaitMilliseconds) && socket.write(request) == request.size() &&
        socket.waitForBytesWritten(kShowWaitMilliseconds) &&
        socket.waitForReadyRead(kShowWaitMilliseconds) && socket.readLine() == kShownAnswer;
    if (!shown) {
        std::fprintf(stderr,
                     "quorna-fobit-reader: already running, but the running copy could not be "
                     "asked to show its window (%s): %s\n",
                     showSocketPath().c_str(), socket.errorString().toLocal8Bit().constData());
    }
}

}  // namespace quorna::platform::qt
