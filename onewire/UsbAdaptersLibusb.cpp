// The DS2490 route on Linux: libusb-1.0 (Debian's libusb-1.0-0) through usbfs.
#include <libusb-1.0/libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "onewire/UsbAdapters.h"

namespace onewire::usb {
namespace {

using namespace std::chrono_literals;

constexpr int kInterface = 0;
// Alternate setting 3: a 1 ms status interval and 64-byte bulk packets, the fastest for
// searches, as the kernel's driver uses it.
constexpr int kAlternateSetting = 3;
// Vendor, to the device, host to device: 0x40.
constexpr std::uint8_t kVendorRequestOut = 0x40;
constexpr std::uint8_t kEndpointStatus = 0x81;
constexpr std::uint8_t kEndpointDataOut = 0x02;
constexpr std::uint8_t kEndpointDataIn = 0x83;

std::string nodeOf(int bus, int address) {
    char text[32];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03d/%03d", bus, address);
    return text;
}

// The kernel driver bound to the adapter's interface, from sysfs ("1-1.2:1.0/driver").
std::string kernelDriverOf(libusb_device* device) {
    std::uint8_t ports[8];
    int count = libusb_get_port_numbers(device, ports, sizeof ports);
    if (count <= 0) {
        return {};
    }
    std::string name = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < count; ++i) {
        name += (i > 0 ? "." : "") + std::to_string(ports[i]);
    }
    std::error_code error;
    auto target = std::filesystem::read_symlink(
        "/sys/bus/usb/devices/" + name + ":1." + std::to_string(kInterface) + "/driver", error);
    return error ? std::string() : target.filename().string();
}

// The program that has the device node open, where /proc lets this process see it.
std::string holderOf(const std::string& node) {
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) {
            continue;
        }
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(fd.path(), linkError) != node || linkError) {
                continue;
            }
            if (std::stol(pid) == static_cast<long>(::getpid())) {
                return "this program";
            }
            std::string name;
            std::getline(std::ifstream(process.path() / "comm"), name);
            return (name.empty() ? "a program" : name) + ", pid " + pid;
        }
    }
    return {};
}

ds2490::TransferStatus statusOf(int result) {
    switch (result) {
        case 0:
            return ds2490::TransferStatus::Ok;
        case LIBUSB_ERROR_TIMEOUT:
            return ds2490::TransferStatus::Timeout;
        case LIBUSB_ERROR_PIPE:
            return ds2490::TransferStatus::Stall;
        case LIBUSB_ERROR_NO_DEVICE:
            return ds2490::TransferStatus::Gone;
        default:
            return ds2490::TransferStatus::Failed;
    }
}

unsigned int libusbTimeout(std::chrono::milliseconds timeout) {
    return static_cast<unsigned int>(std::clamp<long long>(timeout.count(), 1, 60'000));
}

// One libusb context; a transport keeps the context it was opened in alive.
struct Context {
    libusb_context* context = nullptr;
    ~Context() {
        if (context != nullptr) {
            libusb_exit(context);
        }
    }
};

class LibusbTransport : public ds2490::UsbTransport {
public:
    LibusbTransport(std::shared_ptr<Context> context, libusb_device_handle* handle,
                    bool reattachKernel)
        : context_(std::move(context)), handle_(handle), reattachKernel_(reattachKernel) {}
    ~LibusbTransport() override {
        libusb_release_interface(handle_, kInterface);
        if (reattachKernel_) {
            libusb_attach_kernel_driver(handle_, kInterface);
        }
        libusb_close(handle_);
    }

    ds2490::Transfer control(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                             std::chrono::milliseconds timeout) override {
        int result = libusb_control_transfer(handle_, kVendorRequestOut, request, value, index,
                                             nullptr, 0, libusbTimeout(timeout));
        return done(result < 0 ? result : 0, 0);
    }
    ds2490::Transfer bulkWrite(std::span<const std::uint8_t> data,
                               std::chrono::milliseconds timeout) override {
        int moved = 0;
        int result =
            libusb_bulk_transfer(handle_, kEndpointDataOut, const_cast<std::uint8_t*>(data.data()),
                                 static_cast<int>(data.size()), &moved, libusbTimeout(timeout));
        return done(result, moved);
    }
    ds2490::Transfer bulkRead(std::span<std::uint8_t> buffer,
                              std::chrono::milliseconds timeout) override {
        int moved = 0;
        int result =
            libusb_bulk_transfer(handle_, kEndpointDataIn, buffer.data(),
                                 static_cast<int>(buffer.size()), &moved, libusbTimeout(timeout));
        return done(result, moved);
    }
    ds2490::Transfer interruptRead(std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds timeout) override {
        int moved = 0;
        int result = libusb_interrupt_transfer(handle_, kEndpointStatus, buffer.data(),
                                               static_cast<int>(buffer.size()), &moved,
                                               libusbTimeout(timeout));
        return done(result, moved);
    }
    ds2490::Transfer clearHalt(std::uint8_t endpoint, std::chrono::milliseconds) override {
        return done(libusb_clear_halt(handle_, endpoint), 0);
    }

private:
    static ds2490::Transfer done(int result, int moved) {
        ds2490::Transfer transfer;
        transfer.status = statusOf(result);
        transfer.length = static_cast<std::size_t>(std::max(moved, 0));
        if (result < 0) {
            transfer.failure = libusb_error_name(result);
        }
        return transfer;
    }

    std::shared_ptr<Context> context_;
    libusb_device_handle* handle_;
    bool reattachKernel_;
};

class LibusbAccess : public UsbAccess {
public:
    std::string unavailable() const override {
        std::lock_guard lock(mutex_);
        return initFailure_;
    }

    std::vector<AdapterInfo> adapters() override {
        std::lock_guard lock(mutex_);
        std::vector<AdapterInfo> found;
        if (!ensureContext()) {
            return found;
        }
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(context_->context, &list);
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
                descriptor.idVendor != ds2490::kVendorId ||
                descriptor.idProduct != ds2490::kProductId) {
                continue;
            }
            AdapterInfo adapter;
            adapter.bus = libusb_get_bus_number(list[i]);
            adapter.address = libusb_get_device_address(list[i]);
            adapter.node = nodeOf(adapter.bus, adapter.address);
            adapter.kernelDriver = kernelDriverOf(list[i]);
            found.push_back(adapter);
        }
        if (list != nullptr) {
            libusb_free_device_list(list, 1);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    Opened open(const AdapterInfo& adapter, bool detachKernel) override {
        std::lock_guard lock(mutex_);
        Opened opened;
        if (!ensureContext()) {
            opened.failure = OpenFailure::Unavailable;
            opened.message = initFailure_;
            return opened;
        }
        libusb_device_handle* handle = openHandle(adapter, opened);
        if (handle == nullptr) {
            return opened;
        }
        bool detached = false;
        if (libusb_kernel_driver_active(handle, kInterface) == 1) {
            if (!detachKernel) {
                libusb_close(handle);
                opened.failure = OpenFailure::KernelDriven;
                opened.message = kernelDrivenMessage(adapter);
                return opened;
            }
            int result = libusb_detach_kernel_driver(handle, kInterface);
            if (result != 0) {
                libusb_close(handle);
                opened.failure = OpenFailure::Other;
                opened.message = "the kernel's driver could not be detached from " +
                                 describe(adapter) + ": " + libusb_error_name(result);
                return opened;
            }
            detached = true;
        }
        int result = libusb_claim_interface(handle, kInterface);
        if (result == 0) {
            result = libusb_set_interface_alt_setting(handle, kInterface, kAlternateSetting);
            if (result != 0) {
                libusb_release_interface(handle, kInterface);
            }
        }
        if (result != 0) {
            if (detached) {
                libusb_attach_kernel_driver(handle, kInterface);
            }
            libusb_close(handle);
            if (result == LIBUSB_ERROR_BUSY) {
                opened.failure = OpenFailure::Busy;
                opened.holder = holderOf(adapter.node);
                opened.message = busyMessage(adapter, opened.holder);
            } else {
                opened.failure =
                    result == LIBUSB_ERROR_NO_DEVICE ? OpenFailure::Gone : OpenFailure::Other;
                opened.message =
                    describe(adapter) + " cannot be claimed: " + libusb_error_name(result);
            }
            return opened;
        }
        opened.transport = std::make_unique<LibusbTransport>(context_, handle, detached);
        return opened;
    }

    void rescan() override {
        std::lock_guard lock(mutex_);
        // libusb learns of new devices from udev's events; where no udev daemon runs (a
        // container, a minimal system) only a new context looks at sysfs again.
        context_.reset();
    }

private:
    bool ensureContext() {
        if (context_) {
            return true;
        }
        auto context = std::make_shared<Context>();
        int result = libusb_init(&context->context);
        if (result != 0) {
            context->context = nullptr;
            initFailure_ = std::string("libusb cannot start: ") + libusb_error_name(result);
            return false;
        }
        initFailure_.clear();
        context_ = std::move(context);
        return true;
    }

    libusb_device_handle* openHandle(const AdapterInfo& adapter, Opened& opened) {
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(context_->context, &list);
        libusb_device_handle* handle = nullptr;
        int result = LIBUSB_ERROR_NO_DEVICE;
        for (ssize_t i = 0; i < count; ++i) {
            if (libusb_get_bus_number(list[i]) == adapter.bus &&
                libusb_get_device_address(list[i]) == adapter.address) {
                result = libusb_open(list[i], &handle);
                break;
            }
        }
        if (list != nullptr) {
            libusb_free_device_list(list, 1);
        }
        if (result == 0) {
            return handle;
        }
        if (result == LIBUSB_ERROR_ACCESS) {
            opened.failure = OpenFailure::NoAccess;
            opened.message = noAccessMessage(adapter);
        } else if (result == LIBUSB_ERROR_NO_DEVICE) {
            opened.failure = OpenFailure::Gone;
            opened.message = describe(adapter) + " is gone (unplugged)";
        } else {
            opened.failure = OpenFailure::Other;
            opened.message = adapter.node + " cannot be opened: " + libusb_error_name(result);
        }
        return nullptr;
    }

    mutable std::mutex mutex_;
    std::shared_ptr<Context> context_;
    std::string initFailure_;
};

}  // namespace

std::shared_ptr<UsbAccess> systemUsbAccess() {
    static std::shared_ptr<UsbAccess> access = std::make_shared<LibusbAccess>();
    return access;
}

}  // namespace onewire::usb
