#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>

#include "onewire/Platform.h"
#include "onewire/SerialLine.h"

namespace onewire::serial {
namespace {

using platform::widen;

// Whole milliseconds left, at least 1 while any time is left (0 would mean "wait for ever" to
// some of the calls below).
DWORD millisecondsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<DWORD>(std::clamp<long long>(ms, 1, 60'000));
}

// The system's text without its full stop: the messages go on after it ("... (unplugged?)").
std::string systemText(DWORD error) {
    std::string text = platform::systemMessage(error);
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(error) : text;
}

class Win32Line : public SerialLine {
public:
    Win32Line(HANDLE handle, std::string device) : handle_(handle), device_(std::move(device)) {}
    ~Win32Line() override { CloseHandle(handle_); }

    bool setSpeed(int baud) override {
        DCB settings{};
        settings.DCBlength = sizeof settings;
        if (!GetCommState(handle_, &settings)) {
            return fail("cannot read the port's settings", GetLastError());
        }
        settings.BaudRate = static_cast<DWORD>(baud);
        if (!SetCommState(handle_, &settings)) {
            return fail("cannot set " + std::to_string(baud) + " baud", GetLastError());
        }
        speed_ = baud;
        return true;
    }

    int speed() const override { return speed_; }

    void sendBreak() override {
        if (SetCommBreak(handle_)) {
            Sleep(3);
            ClearCommBreak(handle_);
        }
    }

    void discardInput() override { PurgeComm(handle_, PURGE_RXCLEAR); }

    bool write(const std::uint8_t* bytes, std::size_t count, Clock::time_point deadline) override {
        std::size_t done = 0;
        while (done < count && !lost_) {
            const DWORD left = millisecondsLeft(deadline);
            if (left == 0 || !setTimeouts(0, left)) {
                return false;
            }
            DWORD written = 0;
            if (!WriteFile(handle_, bytes + done, static_cast<DWORD>(count - done), &written,
                           nullptr)) {
                return fail("write failed", GetLastError());
            }
            done += written;
        }
        return done == count;
    }

    std::size_t read(std::uint8_t* bytes, std::size_t count, Clock::time_point deadline) override {
        std::size_t done = 0;
        while (done < count && !lost_) {
            const DWORD left = millisecondsLeft(deadline);
            if (left == 0 || !setTimeouts(left, 0)) {
                break;
            }
            DWORD got = 0;
            if (!ReadFile(handle_, bytes + done, static_cast<DWORD>(count - done), &got, nullptr)) {
                fail("read failed", GetLastError());
                break;
            }
            done += got;
        }
        return done;
    }

    bool lost() const override { return lost_; }
    std::string failure() const override { return failure_; }

private:
    // Reads return as soon as any byte is there, or after `readMs` with none; writes give up
    // after `writeMs`.
    bool setTimeouts(DWORD readMs, DWORD writeMs) {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = readMs == 0 ? 1 : readMs;
        timeouts.WriteTotalTimeoutConstant = writeMs == 0 ? 1 : writeMs;
        if (!SetCommTimeouts(handle_, &timeouts)) {
            return fail("cannot set time-outs", GetLastError());
        }
        return true;
    }

    bool fail(const std::string& what, DWORD error) {
        lost_ = true;
        failure_ = device_ + ": " + what + ": " + systemText(error) + " (unplugged?)";
        return false;
    }

    HANDLE handle_;
    std::string device_;
    int speed_ = 9600;
    bool lost_ = false;
    std::string failure_;
};

// Whether device names a COM port: "COM<n>" or "\\.\COM<n>", n from 1 to 256 without leading
// zeros, in any case. Any other name could reach a named pipe ("\\.\pipe\..."), whose server
// could then act as this user, or another device or file.
bool isComPortName(const std::string& device) {
    std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    if (name.size() < 4 || name.size() > 6) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        name[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    }
    if (name.compare(0, 3, "COM") != 0 || name[3] == '0') {
        return false;
    }
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
        number = number * 10 + (name[i] - '0');
    }
    return number >= 1 && number <= 256;
}

}  // namespace

OpenResult openSerialLine(const std::string& device) {
    OpenResult result;
    if (!isComPortName(device)) {
        result.failure = OpenFailure::NotSerial;
        result.message = device +
                         ": not a COM port: name the adapter's port as COM1, COM2, ...; other "
                         "devices, named pipes and files are not opened";
        return result;
    }
    // "COM3" and "\\.\COM3" both name the port; only the second form reaches COM10 and above.
    const std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;
    // No sharing: while this program holds the port, nobody else can open it. Should the name
    // still lead to a pipe (a DOS device defined to point at one), its server may not act as
    // this user.
    HANDLE handle = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_BAD_NETPATH || error == ERROR_INVALID_NAME) {
            result.failure = OpenFailure::NotFound;
            result.message = device + ": no such port (adapter unplugged?)";
        } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            result.failure = OpenFailure::Busy;
            result.message = device +
                             " is busy: another program holds it (a terminal program, another "
                             "1-Wire program?). Only one program may talk to a 1-Wire adapter at "
                             "a time: close the other one";
        } else {
            result.failure = OpenFailure::Other;
            result.message = device + ": cannot open: " + systemText(error);
        }
        return result;
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(handle, &settings)) {
        CloseHandle(handle);
        result.failure = OpenFailure::NotSerial;
        result.message = device + ": not a serial port";
        return result;
    }
    settings.BaudRate = CBR_9600;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
    // Adapters of the DS9097U kind draw their power from DTR and RTS.
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(handle, &settings)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        result.failure = OpenFailure::NotSerial;
        result.message = device + ": cannot set 9600 baud 8N1: " + systemText(error);
        return result;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    result.line = std::make_unique<Win32Line>(handle, device);
    return result;
}

std::string defaultDeviceOfPort(int portNumber) {
    return "COM" + std::to_string(portNumber);
}

}  // namespace onewire::serial
