// Windows: no direct route to the DS2490 yet. WinUSB could serve it where the vendor's driver is
// not installed (docs/windows.md says what that would need); until then a "ds2490" mapping says
// so and the adapter is reached through owserver.
#include "onewire/UsbAdapters.h"

namespace onewire::usb {
namespace {

class NoUsbAccess : public UsbAccess {
public:
    std::string unavailable() const override {
        return "the direct DS2490 route is not available on Windows: reach the USB adapter "
               "through owserver (\"owserver HOST:PORT\") instead";
    }
    std::vector<AdapterInfo> adapters() override { return {}; }
    Opened open(const AdapterInfo&, bool) override {
        Opened opened;
        opened.failure = OpenFailure::Unavailable;
        opened.message = unavailable();
        return opened;
    }
};

}  // namespace

std::shared_ptr<UsbAccess> systemUsbAccess() {
    static std::shared_ptr<UsbAccess> access = std::make_shared<NoUsbAccess>();
    return access;
}

}  // namespace onewire::usb
