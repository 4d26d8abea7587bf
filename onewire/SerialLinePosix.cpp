#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
    PosixLine(int fd, std::string device) : fd_(fd), device_(std::move(device)) {}
    ~PosixLine() override {
        // Let another program have the port again; closing also drops any flock.
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
        failure_ = device_ + ": " + why;
        return false;
    }

    int fd_;
    std::string device_;
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

// Another process that has the device open, as "name (pid N)"; empty when none is seen (a
// process of another user cannot be seen without root, and is kept out by TIOCEXCL instead).
std::string otherHolderOf(const std::string& device) {
    struct stat target {};
    if (::stat(device.c_str(), &target) != 0) {
        return {};
    }
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) {
        return {};
    }
    std::string holder;
    const std::string self = std::to_string(::getpid());
    while (const dirent* process = ::readdir(processes)) {
        std::string pid = process->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == self) {
            continue;
        }
        std::string fdFolder = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdFolder.c_str());
        if (fds == nullptr) {
            continue;
        }
        while (const dirent* fd = ::readdir(fds)) {
            struct stat opened {};
            if (fd->d_name[0] != '.' &&
                ::stat((fdFolder + "/" + fd->d_name).c_str(), &opened) == 0 &&
                S_ISCHR(opened.st_mode) && opened.st_rdev == target.st_rdev) {
                std::string name = readSmallFile("/proc/" + pid + "/comm", 64).value_or("?");
                holder = std::string(trim(name)) + " (pid " + pid + ")";
                break;
            }
        }
        ::closedir(fds);
        if (!holder.empty()) {
            break;
        }
    }
    ::closedir(processes);
    return holder;
}

std::string busyMessage(const std::string& device, const std::string& holder) {
    return device + " is busy: " + (holder.empty() ? "another program" : holder) +
           " holds it (owserver, a terminal program?). Only one program may talk to a 1-Wire "
           "adapter at a time: stop the other one, or map its port to it instead";
}

}  // namespace

OpenResult openSerialLine(const std::string& device) {
    OpenResult result;
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT || error == ENODEV || error == ENXIO || error == ENOTDIR) {
            result.failure = OpenFailure::NotFound;
            result.message = device + ": no such device (adapter unplugged?)";
        } else if (error == EACCES || error == EPERM) {
            std::string group = groupOf(device);
            result.failure = OpenFailure::PermissionDenied;
            result.message = device + ": permission denied; the device belongs to the group " +
                             (group.empty() ? "dialout" : group) +
                             ": add your account to it (sudo adduser \"$USER\" " +
                             (group.empty() ? "dialout" : group) + ") and log in again";
        } else if (error == EBUSY) {
            result.failure = OpenFailure::Busy;
            result.message = busyMessage(device, otherHolderOf(device));
        } else {
            result.failure = OpenFailure::Other;
            result.message = device + ": cannot open: " + std::strerror(error);
        }
        return result;
    }
    termios settings{};
    if (!::isatty(fd) || ::tcgetattr(fd, &settings) != 0) {
        ::close(fd);
        result.failure = OpenFailure::NotSerial;
        result.message = device + ": not a serial port";
        return result;
    }
    // flock keeps out other programs that lock too, and a second open within this one;
    // TIOCEXCL keeps out every later open() but root's; the look through /proc catches a
    // program that opened the port earlier without either.
    std::string holder;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !(holder = otherHolderOf(device)).empty()) {
        ::close(fd);
        result.failure = OpenFailure::Busy;
        result.message = busyMessage(device, holder);
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
        result.message = device + ": cannot set 9600 baud 8N1: " + std::strerror(errno);
        return result;
    }
    // Adapters of the DS9097U kind draw their power from DTR and RTS; a pseudo-terminal has
    // neither, which is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
    ::tcflush(fd, TCIOFLUSH);
    result.line = std::make_unique<PosixLine>(fd, device);
    return result;
}

std::string defaultDeviceOfPort(int portNumber) {
    return "/dev/ttyS" + std::to_string(portNumber > 0 ? portNumber - 1 : 0);
}

}  // namespace onewire::serial
