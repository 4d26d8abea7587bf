#pragma once

// A serial port as the DS2480B backend needs it: raw 8N1 bytes at a chosen speed, every read and
// write bounded by a deadline, the port held by this program alone while it is open.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace onewire::serial {

using Clock = std::chrono::steady_clock;

class SerialLine {
public:
    virtual ~SerialLine() = default;

    // 9600, 19200, 57600 or 115200; false when the port refuses the speed.
    virtual bool setSpeed(int baud) = 0;
    virtual int speed() const = 0;
    // Holds the line low for a few milliseconds (a DS2480B's master reset). Some ports (a
    // pseudo-terminal) cannot send one; the caller's protocol must not depend on it.
    virtual void sendBreak() = 0;
    // Drops whatever was received and not yet read.
    virtual void discardInput() = 0;
    // All bytes, or false when the deadline passes or the port fails.
    virtual bool write(const std::uint8_t* bytes, std::size_t count,
                       Clock::time_point deadline) = 0;
    // Exactly `count` bytes unless the deadline passes or the port fails; the number read.
    virtual std::size_t read(std::uint8_t* bytes, std::size_t count,
                             Clock::time_point deadline) = 0;
    // The device went away (unplugged, hung up): the port must be opened again.
    virtual bool lost() const = 0;
    // Why the port failed, in words; empty while it works.
    virtual std::string failure() const = 0;
};

enum class OpenFailure { None, NotFound, PermissionDenied, Busy, NotSerial, Other };

struct OpenResult {
    std::unique_ptr<SerialLine> line;
    OpenFailure failure = OpenFailure::None;
    std::string message;  // why, naming the device and what to do about it
};

// Opens DEVICE (a tty path on Linux, COMn or \\.\COMn on Windows) at 9600 baud, 8N1, raw, for
// this program alone.
OpenResult openSerialLine(const std::string& device);
#if !defined(_WIN32)
// The same where the look for whoever holds a busy port ends by the deadline.
OpenResult openSerialLine(const std::string& device, Clock::time_point deadline);
#endif

// The device a bare "com N = serial" line means: /dev/ttyS(N-1) on Linux, COMN on Windows.
std::string defaultDeviceOfPort(int portNumber);

// The time one byte (start, 8 data, stop bits) takes on the wire at `baud`.
constexpr std::chrono::nanoseconds byteTime(int baud) {
    return std::chrono::nanoseconds(10'000'000'000LL / baud);
}

}  // namespace onewire::serial
