#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "onewire/SerialLine.h"
#include "onewire/TextFile.h"

namespace onewire::serial {
namespace {

speed_t speedCode(int baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

timespec remainingOf(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left.count() < 0) {
        left = {};
    }
    return timespec{static_cast<time_t>(left.count() / 1'000'000'000),
                    static_cast<long>(left.count() % 1'000'000'000)};
}

class PosixLine : public SerialLine {
public:
    PosixLine(int fd, std::string device, const termios& original)
        : fd_(fd), device_(std::move(device)), original_(original) {}
    ~PosixLine() override {
        // The port as it was found (a terminal program expects its own settings back), without
        // waiting for output to drain; then let another program have it: closing also drops
        // the flock.
        ::tcflush(fd_, TCOFLUSH);
        ::tcsetattr(fd_, TCSANOW, &original_);
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    bool setSpeed(int baud) override {
        termios settings{};
        speed_t code = speedCode(baud);
        if (code == B0 || ::tcgetattr(fd_, &settings) != 0) {
            return false;
        }
        ::cfsetispeed(&settings, code);
        ::cfsetospeed(&settings, code);
        // TCSADRAIN: bytes already written still leave at the old speed.
        if (::tcsetattr(fd_, TCSADRAIN, &settings) != 0) {
            return fail("cannot set " + std::to_string(baud) + " baud");
        }
        speed_ = baud;
        return true;
    }

    int speed() const override { return speed_; }

    void sendBreak() override {
        // tcsendbreak holds the line for a quarter of a second or more on Linux: far beyond a
        // pass's budget, where the chip needs about 2 ms.
        if (::ioctl(fd_, TIOCSBRK) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            ::ioctl(fd_, TIOCCBRK);
        }
    }

    void discardInput() override { ::tcflush(fd_, TCIFLUSH); }

    bool write(const std::uint8_t* bytes, std::size_t count, Clock::time_point deadline) override {
        std::size_t done = 0;
        while (done < count && !lost_) {
            ssize_t written = ::write(fd_, bytes + done, count - done);
            if (written > 0) {
                done += static_cast<std::size_t>(written);
                continue;
            }
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written < 0 && errno != EAGAIN) {
                return fail(std::string("write failed: ") + std::strerror(errno));
            }
            if (!wait(POLLOUT, deadline)) {
                return false;
            }
        }
        return done == count;
    }

    std::size_t read(std::uint8_t* bytes, std::size_t count, Clock::time_point deadline) override {
        std::size_t done = 0;
        readable_ = false;
        while (done < count && !lost_) {
            ssize_t got = ::read(fd_, bytes + done, count - done);
            if (got > 0) {
                done += static_cast<std::size_t>(got);
                readable_ = false;
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0 && errno != EAGAIN) {
                fail(std::string("read failed: ") + std::strerror(errno));
                break;
            }
            if (got == 0 && readable_) {
                // Readable by poll's word, yet nothing to read: the other end hung up.
                fail("the device hung up");
                break;
            }
            if (!wait(POLLIN, deadline)) {
                break;
            }
        }
        return done;
    }

    bool lost() const override { return lost_; }
    std::string failure() const override { return failure_; }

private:
    bool wait(short events, Clock::time_point deadline) {
        readable_ = false;
        pollfd waiting{fd_, events, 0};
        timespec left = remainingOf(deadline);
        if (left.tv_sec == 0 && left.tv_nsec == 0) {
            return false;
        }
        int ready = ::ppoll(&waiting, 1, &left, nullptr);
        if (ready < 0) {
            return errno == EINTR;
        }
        if (ready == 0) {
            return false;
        }
        if (waiting.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return fail("the device went away (unplugged?)");
        }
        readable_ = (waiting.revents & POLLIN) != 0;
        return true;
    }

    bool fail(std::string why) {
        lost_ = true;
        failure_ = printable(device_) + ": " + why;
        return false;
    }

    int fd_;
    std::string device_;
    termios original_{};
    int speed_ = 9600;
    bool lost_ = false;
    bool readable_ = false;
    std::string failure_;
};

std::string groupOf(const std::string& device) {
    struct stat status {};
    if (::stat(device.c_str(), &status) != 0) {
        return {};
    }
    if (const group* entry = ::getgrgid(status.st_gid)) {
        return entry->gr_name;
    }
    return std::to_string(status.st_gid);
}

// The program a process runs, by its command line's first word (comm, the other name, is cut
// to 15 characters), as printable text.
std::string programOf(const std::string& pid) {
    std::string commandLine = readSmallFile("/proc/" + pid + "/cmdline", 4096).value_or("");
    std::string first = commandLine.substr(0, commandLine.find('\0'));
    if (auto slash = first.rfind('/'); slash != std::string::npos) {
        first = first.substr(slash + 1);
    }
    if (first.empty()) {
        first = std::string(trim(readSmallFile("/proc/" + pid + "/comm", 64).value_or("?")));
    }
    return printable(first.substr(0, 64));
}

// Whether process `pid` has the character device `device` open.
bool holds(const std::string& pid, dev_t device, Clock::time_point deadline) {
    const std::string fdFolder = "/proc/" + pid + "/fd";
    DIR* fds = ::opendir(fdFolder.c_str());
    if (fds == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* fd = ::readdir(fds)) {
        struct stat opened {};
        if (fd->d_name[0] != '.' && ::stat((fdFolder + "/" + fd->d_name).c_str(), &opened) == 0 &&
            S_ISCHR(opened.st_mode) && opened.st_rdev == device) {
            found = true;
            break;
        }
        if (Clock::now() >= deadline) {
            break;
        }
    }
    ::closedir(fds);
    return found;
}

struct Holder {
    std::string pid;
    std::string program;
};

// What the looks through /proc learnt about one device, across opens.
struct HolderLook {
    std::string lastHolder;          // the pid found holding it last: asked first
    long long nextPid = 0;           // where an unfinished look for an unlocked holder goes on
    bool clear = false;              // a whole look found nobody...
    Clock::time_point clearSince{};  // ...then
};

std::mutex holderLookMutex;
std::map<std::string, HolderLook> holderLooks;

// A whole look found nobody this long ago: it is not made again at every open.
constexpr auto kClearFor = std::chrono::seconds(10);
// What an open may spend looking for an unlocked holder, and what it leaves the pass.
constexpr auto kMostALookTakes = std::chrono::milliseconds(40);
constexpr auto kTimeAfterTheLook = std::chrono::milliseconds(110);

// The process, from pid `fromPid` on, that holds `device` (other than this one unless
// `includeSelf`), looked for by the deadline. `finished` says whether the look got through all
// processes; `stoppedAt` is where it stopped if not.
std::optional<Holder> lookForHolder(dev_t device, long long fromPid, bool includeSelf,
                                    Clock::time_point deadline, bool* finished,
                                    long long* stoppedAt) {
    *finished = false;
    *stoppedAt = fromPid;
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return std::nullopt;
    }
    const long long self = ::getpid();
    std::optional<Holder> holder;
    bool ended = true;
    while (const dirent* process = ::readdir(processes)) {
        std::string name = process->d_name;
        if (name.empty() || name.size() > 12 ||
            name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const long long pid = std::stoll(name);
        if (pid < fromPid || (pid == self && !includeSelf)) {
            continue;
        }
        if (Clock::now() >= deadline) {
            *stoppedAt = pid;
            ended = false;
            break;
        }
        if (holds(name, device, deadline)) {
            holder = Holder{name, programOf(name)};
            break;
        }
    }
    ::closedir(processes);
    *finished = ended && !holder;
    return holder;
}

// Who holds a device that refused this program (flock, TIOCEXCL): looked for by the deadline
// (with thousands of processes a whole look costs more than a pass); nullopt when nobody is seen
// in time, or the holder is another user's process, which cannot be seen without root.
std::optional<Holder> holderOfBusy(const std::string& device, Clock::time_point deadline) {
    struct stat target {};
    if (::stat(device.c_str(), &target) != 0) {
        return std::nullopt;
    }
    std::lock_guard lock(holderLookMutex);
    HolderLook& look = holderLooks[device];
    if (!look.lastHolder.empty() && holds(look.lastHolder, target.st_rdev, deadline)) {
        return Holder{look.lastHolder, programOf(look.lastHolder)};
    }
    bool finished = false;
    long long stoppedAt = 0;
    auto holder = lookForHolder(target.st_rdev, 0, true, deadline, &finished, &stoppedAt);
    if (holder) {
        look.lastHolder = holder->pid;
    }
    return holder;
}

// A program that opened the device before this one without locking it (owserver does not):
// looked for when the port opens, by `deadline`. A look that runs out of time goes on at the
// next open; after a whole look found nobody, opens for a while do not look again.
std::optional<Holder> unlockedHolderOf(const std::string& device, dev_t rdev,
                                       Clock::time_point deadline) {
    std::lock_guard lock(holderLookMutex);
    HolderLook& look = holderLooks[device];
    const auto now = Clock::now();
    if (look.clear && now - look.clearSince < kClearFor) {
        return std::nullopt;
    }
    if (!look.lastHolder.empty() && look.lastHolder != std::to_string(::getpid()) &&
        holds(look.lastHolder, rdev, deadline)) {
        return Holder{look.lastHolder, programOf(look.lastHolder)};
    }
    bool finished = false;
    long long stoppedAt = 0;
    auto holder =
        lookForHolder(rdev, look.clear ? 0 : look.nextPid, false, deadline, &finished, &stoppedAt);
    look.clear = finished;
    look.clearSince = now;
    look.nextPid = finished || holder ? 0 : stoppedAt;
    if (holder) {
        look.lastHolder = holder->pid;
    }
    return holder;
}

// This program's own names: the program, and the reader check that uses the same runtime.
bool isThisProgram(const std::string& program) {
    return program == "quorna-fobit-reader" || program == "quorna-reader-check";
}

std::string busyMessage(const std::string& device, const std::optional<Holder>& holder) {
    const std::string busy = printable(device) + " is busy: ";
    const std::string onlyOne = ". Only one program may talk to a 1-Wire adapter at a time: ";
    if (holder && (holder->pid == std::to_string(::getpid()) || isThisProgram(holder->program))) {
        return busy + "this program holds it, " + holder->program + " (pid " + holder->pid + ")" +
               onlyOne +
               "close the other window of the program (or the reader check), or map "
               "this port to another adapter";
    }
    if (holder) {
        return busy + holder->program + " (pid " + holder->pid + ") holds it" + onlyOne +
               "stop the other program, or map this port to it instead (owserver)";
    }
    return busy +
           "another program holds it (owserver, a terminal program, or this program "
           "in another window or account)" +
           onlyOne + "stop the other one, or map its port to it instead";
}

// A terminal the user sits at rather than an adapter: the controlling terminal (and
// /dev/tty, which stands for it), the console and the virtual consoles.
std::string ownTerminalOf(dev_t device) {
    if (::major(device) == 5 && (::minor(device) == 0 || ::minor(device) == 1)) {
        return ::minor(device) == 0 ? "the controlling terminal" : "the system console";
    }
    if (::major(device) == 4 && ::minor(device) < 64) {
        return "a virtual console";
    }
    // The seventh field of /proc/self/stat is the controlling terminal's device number.
    std::string stat = readSmallFile("/proc/self/stat", 4096).value_or("");
    if (auto end = stat.rfind(')'); end != std::string::npos) {
        std::istringstream fields(stat.substr(end + 1));
        std::string state;
        long long parent = 0, group = 0, session = 0, terminal = 0;
        if (fields >> state >> parent >> group >> session >> terminal && terminal != 0 &&
            ::makedev((terminal >> 8) & 0xFFF, (terminal & 0xFF) | ((terminal >> 12) & 0xFFF00)) ==
                device) {
            return "this program's own terminal";
        }
    }
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat standard {};
        if (::isatty(fd) && ::fstat(fd, &standard) == 0 && standard.st_rdev == device) {
            return "this program's own terminal";
        }
    }
    return {};
}

}  // namespace

OpenResult openSerialLine(const std::string& device) {
    return openSerialLine(device, Clock::now() + std::chrono::milliseconds(200));
}

OpenResult openSerialLine(const std::string& device, Clock::time_point deadline) {
    OpenResult result;
    // Refused before it is opened: opening a terminal can make it this process's controlling
    // one, and bytes written to it land on the user's screen.
    struct stat node {};
    if (::stat(device.c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
        if (std::string own = ownTerminalOf(node.st_rdev); !own.empty()) {
            result.failure = OpenFailure::NotSerial;
            result.message = printable(device) + " is " + own +
                             ", not a serial adapter: map the adapter's own port "
                             "(/dev/ttyUSB0, /dev/ttyS0, /dev/serial/by-id/...)";
            return result;
        }
    }
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT || error == ENODEV || error == ENXIO || error == ENOTDIR) {
            result.failure = OpenFailure::NotFound;
            result.message = printable(device) + ": no such device (adapter unplugged?)";
        } else if (error == EACCES || error == EPERM) {
            std::string group = printable(groupOf(device));
            result.failure = OpenFailure::PermissionDenied;
            result.message = printable(device) +
                             ": permission denied; the device belongs to the group " +
                             (group.empty() ? "dialout" : group) +
                             ": add your account to it (sudo adduser \"$USER\" " +
                             (group.empty() ? "dialout" : group) + ") and log in again";
        } else if (error == EBUSY) {
            result.failure = OpenFailure::Busy;
            result.message = busyMessage(device, holderOfBusy(device, deadline));
        } else {
            result.failure = OpenFailure::Other;
            result.message = printable(device) + ": cannot open: " + std::strerror(error);
        }
        return result;
    }
    termios settings{};
    if (!::isatty(fd) || ::tcgetattr(fd, &settings) != 0) {
        ::close(fd);
        result.failure = OpenFailure::NotSerial;
        result.message = printable(device) + ": not a serial port";
        return result;
    }
    const termios original = settings;
    // flock keeps out other programs that lock too, and a second open within this one;
    // TIOCEXCL keeps out every later open() but root's; a look through /proc, bounded and
    // spread over opens, catches a program that opened the port earlier without either. The
    // look leaves the pass the time to detect the chip and search.
    struct stat opened {};
    ::fstat(fd, &opened);
    std::optional<Holder> holder;
    const auto lookBy =
        std::min<Clock::time_point>(deadline - kTimeAfterTheLook, Clock::now() + kMostALookTakes);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        (holder = unlockedHolderOf(device, opened.st_rdev, lookBy))) {
        ::close(fd);
        result.failure = OpenFailure::Busy;
        result.message = busyMessage(device, holder ? holder : holderOfBusy(device, deadline));
        return result;
    }
    ::ioctl(fd, TIOCEXCL);
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD | CS8;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        ::close(fd);
        result.failure = OpenFailure::NotSerial;
        result.message = printable(device) + ": cannot set 9600 baud 8N1: " + std::strerror(errno);
        return result;
    }
    // Adapters of the DS9097U kind draw their power from DTR and RTS; a pseudo-terminal has
    // neither, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
    ::tcflush(fd, TCIOFLUSH);
    result.line = std::make_unique<PosixLine>(fd, device, original);
    return result;
}

std::string defaultDeviceOfPort(int portNumber) {
    return "/dev/ttyS" + std::to_string(portNumber > 0 ? portNumber - 1 : 0);
}

}  // namespace onewire::serial
