#include "tests/onewire/Ds2490FakeUsb.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace onewire::testing {
namespace {

using ds2490::Transfer;
using ds2490::TransferStatus;

class ModelTransport : public ds2490::UsbTransport {
public:
    explicit ModelTransport(std::shared_ptr<FakeAdapter> adapter, bool detached)
        : adapter_(std::move(adapter)), detached_(detached) {
        Ds2490Model& model = *adapter_->model;
        model.control({0x00, 9, 1, 0, 0});   // SET_CONFIGURATION 1
        model.control({0x01, 11, 3, 0, 0});  // SET_INTERFACE alternate 3
        busTime_ = model.busTime();
    }
    ~ModelTransport() override {
        adapter_->claimed = false;
        if (detached_) {
            adapter_->info.kernelDriver = "ds2490";
            ++adapter_->reattaches;
        }
    }

    Transfer control(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     std::chrono::milliseconds timeout) override {
        if (slow(timeout)) {
            return {TransferStatus::Timeout, 0, "timed out"};
        }
        return finish(adapter_->model->control({0x40, request, value, index, 0}), {}, timeout);
    }
    Transfer bulkWrite(std::span<const std::uint8_t> data,
                       std::chrono::milliseconds timeout) override {
        if (slow(timeout)) {
            return {TransferStatus::Timeout, 0, "timed out"};
        }
        auto transfer = adapter_->model->bulkOut(data);
        Transfer done = finish(transfer, {}, timeout);
        done.length = transfer.accepted;
        return done;
    }
    Transfer bulkRead(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
        if (slow(timeout)) {
            return {TransferStatus::Timeout, 0, "timed out"};
        }
        auto transfer = adapter_->model->bulkIn(buffer.size());
        if (adapter_->mischief == Mischief::GarbageData &&
            transfer.outcome == Ds2490Model::Outcome::Done) {
            transfer.data.resize(adapter_->random() % (buffer.size() + 1));
            for (auto& byte : transfer.data) {
                byte = static_cast<std::uint8_t>(adapter_->random());
            }
        }
        return finish(transfer, buffer, timeout);
    }
    Transfer interruptRead(std::span<std::uint8_t> buffer,
                           std::chrono::milliseconds timeout) override {
        if (slow(timeout)) {
            return {TransferStatus::Timeout, 0, "timed out"};
        }
        auto transfer = adapter_->model->interruptIn(buffer.size());
        if (transfer.outcome == Ds2490Model::Outcome::Done) {
            if (adapter_->mischief == Mischief::GarbageStatus) {
                transfer.data.resize(adapter_->random() % (buffer.size() + 1));
                for (auto& byte : transfer.data) {
                    byte = static_cast<std::uint8_t>(adapter_->random());
                }
            } else if (adapter_->mischief == Mischief::ShortStatus) {
                transfer.data.resize(std::min<std::size_t>(transfer.data.size(), 15));
            }
        }
        return finish(transfer, buffer, timeout);
    }
    Transfer clearHalt(std::uint8_t endpoint, std::chrono::milliseconds timeout) override {
        // CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint.
        return finish(adapter_->model->control({0x02, 1, 0, endpoint, 0}), {}, timeout);
    }

private:
    bool slow(std::chrono::milliseconds timeout) {
        if (adapter_->mischief != Mischief::SlowAnswers) {
            return false;
        }
        std::this_thread::sleep_for(timeout);
        return true;
    }

    Transfer finish(const Ds2490Model::Transfer& transfer, std::span<std::uint8_t> buffer,
                    std::chrono::milliseconds timeout) {
        Transfer result;
        switch (transfer.outcome) {
            case Ds2490Model::Outcome::Done:
                result.status = TransferStatus::Ok;
                result.length = std::min(transfer.data.size(), buffer.size());
                std::copy_n(transfer.data.begin(), result.length, buffer.begin());
                break;
            case Ds2490Model::Outcome::Pending:
                // The device NAKs until the host gives up: the whole timeout.
                std::this_thread::sleep_for(timeout);
                result.status = TransferStatus::Timeout;
                result.failure = "LIBUSB_ERROR_TIMEOUT";
                break;
            case Ds2490Model::Outcome::Stall:
                result.status = TransferStatus::Stall;
                result.failure = "LIBUSB_ERROR_PIPE";
                break;
            case Ds2490Model::Outcome::Overflow:
                result.status = TransferStatus::Failed;
                result.failure = "LIBUSB_ERROR_OVERFLOW";
                break;
            case Ds2490Model::Outcome::Unplugged:
                result.status = TransferStatus::Gone;
                result.failure = "LIBUSB_ERROR_NO_DEVICE";
                break;
        }
        // Counted also while not paced, so that pacing starts from the transfer it is set at.
        const auto now = adapter_->model->busTime();
        if (adapter_->paced) {
            std::this_thread::sleep_for(now - busTime_);
        }
        busTime_ = now;
        return result;
    }

    std::shared_ptr<FakeAdapter> adapter_;
    bool detached_;
    std::chrono::microseconds busTime_{0};
};

std::string nodeOf(int bus, int address) {
    char text[32];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03d/%03d", bus, address);
    return text;
}

}  // namespace

std::shared_ptr<FakeAdapter> FakeUsbAccess::plug(std::shared_ptr<Ds2490Model> model) {
    std::lock_guard lock(mutex_);
    auto adapter = std::make_shared<FakeAdapter>();
    adapter->model = model ? std::move(model) : std::make_shared<Ds2490Model>();
    adapter->info.bus = 1;
    adapter->info.address = nextAddress_++;
    adapter->info.node = nodeOf(adapter->info.bus, adapter->info.address);
    adapters_.push_back(adapter);
    return adapter;
}

void FakeUsbAccess::unplug(const std::shared_ptr<FakeAdapter>& adapter) {
    std::lock_guard lock(mutex_);
    adapter->model->unplug();
    adapter->plugged = false;
}

void FakeUsbAccess::replug(const std::shared_ptr<FakeAdapter>& adapter) {
    std::lock_guard lock(mutex_);
    adapter->model->replug();
    adapter->plugged = true;
    adapter->claimed = false;
    adapter->info.address = nextAddress_++;
    adapter->info.node = nodeOf(adapter->info.bus, adapter->info.address);
}

std::vector<usb::AdapterInfo> FakeUsbAccess::adapters() {
    std::lock_guard lock(mutex_);
    std::vector<usb::AdapterInfo> found;
    for (const auto& adapter : adapters_) {
        if (adapter->plugged) {
            found.push_back(adapter->info);
        }
    }
    return found;
}

usb::Opened FakeUsbAccess::open(const usb::AdapterInfo& wanted, bool detachKernel) {
    std::lock_guard lock(mutex_);
    ++opens_;
    usb::Opened opened;
    auto found = std::find_if(adapters_.begin(), adapters_.end(), [&wanted](const auto& adapter) {
        return adapter->plugged && adapter->info.bus == wanted.bus &&
               adapter->info.address == wanted.address;
    });
    if (found == adapters_.end()) {
        opened.failure = usb::OpenFailure::Gone;
        opened.message = usb::describe(wanted) + " is gone (unplugged)";
        return opened;
    }
    FakeAdapter& adapter = **found;
    if (adapter.noAccess) {
        opened.failure = usb::OpenFailure::NoAccess;
        opened.message = usb::noAccessMessage(adapter.info);
        return opened;
    }
    bool detached = false;
    if (!adapter.info.kernelDriver.empty()) {
        if (!detachKernel) {
            opened.failure = usb::OpenFailure::KernelDriven;
            opened.message = usb::kernelDrivenMessage(adapter.info);
            return opened;
        }
        adapter.info.kernelDriver.clear();
        ++adapter.detaches;
        detached = true;
    }
    if (!adapter.heldBy.empty() || adapter.claimed) {
        opened.failure = usb::OpenFailure::Busy;
        opened.holder = adapter.claimed ? "this program" : adapter.heldBy;
        opened.message = usb::busyMessage(adapter.info, opened.holder);
        return opened;
    }
    adapter.claimed = true;
    opened.transport = std::make_unique<ModelTransport>(*found, detached);
    return opened;
}

}  // namespace onewire::testing
