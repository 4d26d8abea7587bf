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

std::string SingleInstanceLock::defaultLockPath() {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') {
        return std::string(runtimeDir) + "/quorna-fobit-reader.lock";
    }
    return "/tmp/quorna-fobit-reader-" + std::to_string(geteuid()) + "/instance.lock";
}

SingleInstanceLock::SingleInstanceLock() : SingleInstanceLock(defaultLockPath()) {}

SingleInstanceLock::SingleInstanceLock(std::string lockPath)
    : lockPath_(std::move(lockPath)),
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
        listenForShowRequests();
        return false;
    }
    if (errno == EWOULDBLOCK) {
        return true;
    }
    return runAlone("lock file " + lockPath_ + ": " + std::strerror(errno));
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
