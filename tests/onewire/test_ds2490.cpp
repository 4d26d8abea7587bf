// The DS2490 backend against the project's chip model behind a fake of the USB transfers: the
// protocol's corner cases, one to twenty tokens, tokens changing, every fault of the model and
// of a device answering garbage, unplug and return, the refusals (busy, the kernel's, no
// access), holding and letting go, and the defaults with no settings.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "onewire/Ds2490.h"
#include "onewire/Ds2490Bus.h"
#include "onewire/Runtime.h"
#include "tests/onewire/Ds2490FakeUsb.h"
#include "tests/onewire/RuntimePass.h"

using namespace onewire;
using namespace std::chrono_literals;
using onewire::testing::Ds2490Model;
using onewire::testing::FakeAdapter;
using onewire::testing::FakeUsbAccess;
using onewire::testing::Mischief;
using Clock = std::chrono::steady_clock;

namespace {

// Hang guard only; the budget itself is 200 ms and the benchmark measures passes.
constexpr auto kHangGuard = 1500ms;

Rom token(std::uint8_t family, std::uint32_t serial) {
    return withCrc({family, static_cast<std::uint8_t>(serial),
                    static_cast<std::uint8_t>(serial >> 8), static_cast<std::uint8_t>(serial >> 16),
                    0x00, 0x00, 0x00});
}

std::set<std::string> texts(const std::vector<Rom>& roms) {
    std::set<std::string> result;
    for (const Rom& rom : roms) {
        result.insert(hexText(rom));
    }
    return result;
}

// A runtime in a private folder: a settings file (or none) and an empty kernel w1 folder, so
// that the default route is the direct one unless a test adds a bus master.
class UsbRuntime {
public:
    explicit UsbRuntime(std::shared_ptr<FakeUsbAccess> access,
                        const std::string& settings = "usb 1 = ds2490\n")
        : access_(std::move(access)) {
        char folder[] = "/tmp/onewire-ds2490-XXXXXX";
        folder_ = ::mkdtemp(folder);
        std::filesystem::create_directories(folder_ / "w1");
        if (!settings.empty()) {
            std::ofstream(folder_ / "onewire.conf") << settings;
        }
        RuntimeOptions options;
        options.environment = [this](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "ONEWIRE_CONF") {
                return (folder_ / "onewire.conf").string();
            }
            return std::nullopt;
        };
        options.w1DevicesFolder = (folder_ / "w1").string();
        options.diagnostics = [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            reports_.push_back(text);
        };
        options.usbAccess = access_;
        runtime_ = std::make_unique<Runtime>(options);
    }
    ~UsbRuntime() {
        runtime_.reset();
        std::filesystem::remove_all(folder_);
    }

    std::int16_t setup(std::int16_t port = 1) {
        std::int32_t session = runtime_->startSession(port, kPortTypeUsb);
        std::int16_t code = runtime_->setup(session);
        runtime_->endSession(session);
        return code;
    }

    std::set<std::string> pass(std::int16_t port = 1) {
        const auto started = Clock::now();
        auto ids = passIds(*runtime_, port, buffer_.data());
        lastPass_ = Clock::now() - started;
        EXPECT_LT(lastPass_, kHangGuard);
        return ids;
    }

    std::string diagnose(std::int16_t port = 1) { return runtime_->diagnose(port, kPortTypeUsb); }
    void addKernelBusMaster() {
        std::filesystem::create_directories(folder_ / "w1/w1_bus_master1");
    }
    void end() { runtime_.reset(); }
    Clock::duration lastPass() const { return lastPass_; }
    int reported(const std::string& part) {
        std::lock_guard lock(mutex_);
        int count = 0;
        for (const std::string& report : reports_) {
            count += report.find(part) != std::string::npos ? 1 : 0;
        }
        return count;
    }
    std::string allReports() {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const std::string& report : reports_) {
            all += report + "\n";
        }
        return all;
    }

private:
    std::shared_ptr<FakeUsbAccess> access_;
    std::filesystem::path folder_;
    std::mutex mutex_;
    std::vector<std::string> reports_;
    std::unique_ptr<Runtime> runtime_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kStateBufferSize, 0);
    Clock::duration lastPass_{};
};

}  // namespace

TEST(Ds2490Protocol, StatusPacketsResultCodesAndTheSearchPath) {
    std::vector<std::uint8_t> packet(18, 0);
    packet[8] = ds2490::kStatusIdle;
    packet[11] = 2;
    packet[13] = 16;
    packet[16] = ds2490::kResultDeviceDetected;
    packet[17] = ds2490::kResultNoPresence | ds2490::kResultShort;
    auto status = ds2490::parseStatus(packet);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->idle());
    EXPECT_EQ(status->commandBufferCount, 2);
    EXPECT_EQ(status->dataInCount, 16);
    EXPECT_EQ(status->results, (std::vector<std::uint8_t>{0xA5, 0x03}));
    EXPECT_FALSE(ds2490::parseStatus(std::span(packet.data(), 15))) << "cut below 16 bytes";
    EXPECT_EQ(ds2490::describeResult(0x03), "no presence pulse, short");
    EXPECT_EQ(ds2490::describeResult(0xA5), "a device was put on the bus")
        << "0xA5 is not the sum of its bits";

    EXPECT_EQ(ds2490::searchPath(token(0x01, 0xFFFFFF), -1), Rom{}) << "the first round";
    const Rom previous = token(0x01, 0xABCDEF);
    const Rom path = ds2490::searchPath(previous, 12);
    for (int bit = 0; bit < 64; ++bit) {
        const bool taken = (path[bit / 8] >> (bit % 8)) & 1;
        const bool expected = bit < 12 ? ((previous[bit / 8] >> (bit % 8)) & 1) : bit == 12;
        EXPECT_EQ(taken, expected) << "bit " << bit;
    }
    EXPECT_EQ(ds2490::timeoutUntil(Clock::now() - 1s), 1ms) << "never 0: libusb waits forever";
}

TEST(Ds2490Settings, TheFormsOfALineAndWhatIsRefused) {
    std::vector<std::string> reports;
    Reporter reporter([&](const std::string& text) { reports.push_back(text); });
    const std::string chip = hexText(token(0x81, 0x2D4C71));
    auto settings =
        parseSettings("usb 1 = ds2490\nusb 2 = DS2490 1:4 detach-kernel\nusb 3 = ds2490 " + chip +
                          "\nusb 4 = ds2490 2\nusb 5 = ds2490 detach-kernel\n" +
                          "com 1 = ds2490\nusb 6 = ds2490 1:0\nusb 7 = ds2490 "
                          "81000000000000FF\nusb 8 = ds2490 2 3\nusb 9 = ds2490 x\n",
                      "/etc/onewire/onewire.conf", reporter);
    auto at = [&](int n) {
        return settings.ports.at(Port{kPortTypeUsb, static_cast<std::int16_t>(n)});
    };
    ASSERT_EQ(settings.ports.size(), 5u) << "com 1, usb 6 to 9 refused";
    EXPECT_EQ(at(1).kind, BackendKind::Ds2490);
    EXPECT_EQ(at(1).usbOrdinal, 1) << "USB port N: the Nth adapter";
    EXPECT_EQ(at(2).usbBus, 1);
    EXPECT_EQ(at(2).usbAddress, 4);
    EXPECT_TRUE(at(2).detachKernel);
    EXPECT_EQ(at(3).idChip, chip);
    EXPECT_EQ(at(4).usbOrdinal, 2);
    EXPECT_EQ(at(5).usbOrdinal, 5);
    EXPECT_TRUE(at(5).detachKernel);
    EXPECT_EQ(reports.size(), 5u);
    for (const std::string& report : reports) {
        EXPECT_NE(report.find("\"ds2490 [N | BUS:ADDRESS | ID-CHIP] [detach-kernel]\""),
                  std::string::npos)
            << report;
    }
}

TEST(Ds2490Settings, WithoutSettingsTheKernelsBusMasterElseTheNthAdapter) {
    auto folder = std::filesystem::temp_directory_path() /
                  ("onewire-route-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder);
    EXPECT_EQ(defaultRouteFor(folder.string()), DefaultRoute::Direct) << "the kernel drives none";
    EXPECT_EQ(defaultRouteFor((folder / "absent").string()), DefaultRoute::Direct)
        << "no w1 subsystem at all";
    EXPECT_EQ(defaultRouteFor(""), DefaultRoute::Kernel) << "Windows: no default route";
    Settings none;
    auto usb2 = mappingFor(none, Port{kPortTypeUsb, 2}, folder.string(), DefaultRoute::Direct);
    ASSERT_TRUE(usb2);
    EXPECT_EQ(usb2->kind, BackendKind::Ds2490);
    EXPECT_EQ(usb2->usbOrdinal, 2);
    EXPECT_TRUE(usb2->byDefault);
    EXPECT_FALSE(mappingFor(none, Port{kPortTypeSerial, 1}, folder.string(), DefaultRoute::Direct));
    EXPECT_FALSE(mappingFor(none, Port{kPortTypeUsb, 2}, "", DefaultRoute::Direct))
        << "no direct route where there are no kernel buses either (Windows)";
    std::filesystem::create_directories(folder / "w1_bus_master1");
    EXPECT_EQ(defaultRouteFor(folder.string()), DefaultRoute::Kernel);
    std::filesystem::remove_all(folder);
}

TEST(Ds2490Backend, ListsOneTwoAndTwentyTokensNeverTheAdaptersOwnChip) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    const Rom one = token(0x01, 0x0C2F4A);
    adapter->model->setTokens({one});
    UsbRuntime runtime(access);
    EXPECT_EQ(runtime.setup(), kSetupReady);
    EXPECT_EQ(runtime.pass(), texts({one}));
    EXPECT_TRUE(adapter->claimed) << "held between passes";

    const Rom two = token(0x01, 0x000001);
    adapter->model->setTokens({one, two});
    EXPECT_EQ(runtime.pass(), texts({one, two}));

    std::vector<Rom> twenty;
    for (std::uint32_t n = 0; n < 20; ++n) {
        twenty.push_back(token(n % 2 == 0 ? 0x01 : 0x02, 0x100000 + n * 0x01F3));
    }
    adapter->model->setTokens(twenty);
    EXPECT_EQ(runtime.pass(), texts(twenty));

    const std::string account = runtime.diagnose();
    const std::string chip = hexText(adapter->model->adapterRom());
    EXPECT_NE(account.find("device: " + chip + " refused: the adapter's own ID chip"),
              std::string::npos)
        << account;
    EXPECT_NE(account.find("adapter: DS2490 on USB bus 1 address 2 (/dev/bus/usb/001/002), ID "
                           "chip " +
                           chip + ", driven by this runtime"),
              std::string::npos)
        << account;
    EXPECT_NE(account.find("backend: ds2490 the 1st adapter on USB that no other program holds"),
              std::string::npos)
        << account;
    EXPECT_NE(account.find("adapter-detail: chosen: bus 1 address 2"), std::string::npos)
        << account;
}

TEST(Ds2490Backend, TokensChangingBetweenPassesShowOnTheNextPassConfirmedBySecondSearch) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    const Rom one = token(0x01, 0x0C2F4A);
    const Rom two = token(0x02, 0x1CB801);
    UsbRuntime runtime(access);
    EXPECT_TRUE(runtime.pass().empty()) << "only the adapter's chip";
    const auto steady = adapter->model->searchPasses();
    EXPECT_TRUE(runtime.pass().empty());
    EXPECT_EQ(adapter->model->searchPasses() - steady, 1u) << "an unchanged bus: one search";

    adapter->model->addToken(one);
    const auto before = adapter->model->searchPasses();
    EXPECT_EQ(runtime.pass(), texts({one})) << "put on: listed on the next pass";
    EXPECT_EQ(adapter->model->searchPasses() - before, 4u)
        << "two devices, searched twice: a new code is confirmed within the pass";
    adapter->model->setTokens({two});
    EXPECT_EQ(runtime.pass(), texts({two}));
    adapter->model->setTokens({});
    EXPECT_TRUE(runtime.pass().empty()) << "lifted: gone on the next pass";
}

TEST(Ds2490Backend, ResetAnswersShortAndPresence) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    adapter->model->setTokens({token(0x01, 0x0C2F4A)});
    UsbRuntime runtime(access);
    adapter->model->setShorted(true);
    EXPECT_EQ(runtime.setup(), kSetupShorted);
    EXPECT_TRUE(runtime.pass().empty()) << "a shorted bus lists nothing";
    EXPECT_GE(runtime.reported("shorted"), 1) << runtime.allReports();
    adapter->model->setShorted(false);
    EXPECT_EQ(runtime.setup(), kSetupReady);
    EXPECT_EQ(runtime.pass(), texts({token(0x01, 0x0C2F4A)}));
}

// Every fault the model has and every kind of garbage: each pass ends within the budget (the
// hang guard here; the benchmark measures), lists either nothing or exactly the bus, and once the
// fault is gone the tokens come back within two passes.
TEST(Ds2490Backend, EveryFaultEndsInTimeListsNothingWrongAndRecovers) {
    using Endpoint = Ds2490Model::Endpoint;
    const Rom one = token(0x01, 0x0C2F4A);
    const Rom two = token(0x01, 0x000001);
    struct Fault {
        std::string name;
        std::function<void(FakeAdapter&)> start;
        std::function<void(FakeAdapter&)> stop;
    };
    std::vector<Fault> faults = {
        {"stalled status", [](FakeAdapter& a) { a.model->stall(Endpoint::Status); }, {}},
        {"stalled EP2", [](FakeAdapter& a) { a.model->stall(Endpoint::DataOut); }, {}},
        {"stalled EP3", [](FakeAdapter& a) { a.model->stall(Endpoint::DataIn); }, {}},
        {"silent status", [](FakeAdapter& a) { a.model->setSilent(Endpoint::Status, true); },
         [](FakeAdapter& a) { a.model->setSilent(Endpoint::Status, false); }},
        {"silent EP3", [](FakeAdapter& a) { a.model->setSilent(Endpoint::DataIn, true); },
         [](FakeAdapter& a) { a.model->setSilent(Endpoint::DataIn, false); }},
        {"silent EP2", [](FakeAdapter& a) { a.model->setSilent(Endpoint::DataOut, true); },
         [](FakeAdapter& a) { a.model->setSilent(Endpoint::DataOut, false); }},
        {"garbage status", [](FakeAdapter& a) { a.mischief = Mischief::GarbageStatus; },
         [](FakeAdapter& a) { a.mischief = Mischief::None; }},
        {"garbage data", [](FakeAdapter& a) { a.mischief = Mischief::GarbageData; },
         [](FakeAdapter& a) { a.mischief = Mischief::None; }},
        {"short status", [](FakeAdapter& a) { a.mischief = Mischief::ShortStatus; },
         [](FakeAdapter& a) { a.mischief = Mischief::None; }},
        {"slow answers", [](FakeAdapter& a) { a.mischief = Mischief::SlowAnswers; },
         [](FakeAdapter& a) { a.mischief = Mischief::None; }},
    };
    Clock::duration slowest{};
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        auto access = std::make_shared<FakeUsbAccess>();
        auto adapter = access->plug();
        adapter->model->setTokens({one, two});
        UsbRuntime runtime(access);
        ASSERT_EQ(runtime.pass(), texts({one, two}));
        fault.start(*adapter);
        for (int n = 0; n < 3; ++n) {
            auto listed = runtime.pass();
            EXPECT_TRUE(listed.empty() || listed == texts({one, two}));
            slowest = std::max(slowest, runtime.lastPass());
        }
        if (fault.stop) {
            fault.stop(*adapter);
        }
        auto first = runtime.pass();
        auto second = runtime.pass();
        EXPECT_TRUE(first == texts({one, two}) || second == texts({one, two}))
            << runtime.allReports();
    }
    std::printf("slowest pass under a fault: %.1f ms\n",
                std::chrono::duration<double, std::milli>(slowest).count());
}

TEST(Ds2490Backend, UnpluggedAtEveryTransferOfAPassAndFoundAgainWithinTwoPasses) {
    const Rom one = token(0x01, 0x0C2F4A);
    for (std::size_t at = 1; at <= 12; ++at) {
        SCOPED_TRACE("unplugged at transfer " + std::to_string(at));
        auto access = std::make_shared<FakeUsbAccess>();
        auto adapter = access->plug();
        adapter->model->setTokens({one});
        UsbRuntime runtime(access);
        ASSERT_EQ(runtime.pass(), texts({one}));
        adapter->model->unplugAfter(at);
        auto during = runtime.pass();
        EXPECT_TRUE(during.empty() || during == texts({one}));
        if (!adapter->model->unplugged()) {
            adapter->model->unplugAfter(0);  // the pass took fewer transfers
        } else {
            access->unplug(adapter);
            EXPECT_TRUE(runtime.pass().empty());
            access->replug(adapter);  // a new address, as a real replug gets
        }
        auto first = runtime.pass();
        auto second = runtime.pass();
        EXPECT_TRUE(first == texts({one}) || second == texts({one})) << runtime.allReports();
    }
}

TEST(Ds2490Refusals, BusyIsSaidOnceWithTheProgramThatHoldsIt) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    adapter->model->setTokens({token(0x01, 0x0C2F4A)});
    adapter->heldBy = "owserver, pid 4242";
    UsbRuntime runtime(access, "usb 1 = ds2490 1:2\n");
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(runtime.setup(), kSetupNotFound);
        EXPECT_TRUE(runtime.pass().empty());
    }
    EXPECT_EQ(runtime.reported("is busy: owserver, pid 4242 holds it"), 1) << runtime.allReports();
    EXPECT_NE(runtime.diagnose().find("adapter-detail: usb bus 1 address 2 (/dev/bus/usb/001/002): "
                                      "held by owserver, pid 4242"),
              std::string::npos);
    adapter->heldBy.clear();  // owserver stopped
    EXPECT_EQ(runtime.setup(), kSetupReady);
    EXPECT_EQ(runtime.pass().size(), 1u);
}

TEST(Ds2490Refusals, TheKernelsAdapterIsNotTakenUnaskedAndIsGivenBackWhenTaken) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    adapter->model->setTokens({token(0x01, 0x0C2F4A)});
    adapter->info.kernelDriver = "ds2490";
    {
        UsbRuntime runtime(access);
        EXPECT_EQ(runtime.setup(), kSetupNotFound);
        EXPECT_TRUE(runtime.pass().empty());
        EXPECT_EQ(adapter->detaches, 0);
        EXPECT_NE(runtime.diagnose().find("driven by the kernel (ds2490)"), std::string::npos);
    }
    {
        UsbRuntime runtime(access, "usb 1 = ds2490 1:2\n");
        EXPECT_EQ(runtime.setup(), kSetupNotFound);
        EXPECT_GE(runtime.reported("is not taken from the kernel unasked"), 1)
            << runtime.allReports();
    }
    UsbRuntime runtime(access, "usb 1 = ds2490 detach-kernel\n");
    EXPECT_EQ(runtime.setup(), kSetupReady);
    EXPECT_EQ(runtime.pass().size(), 1u);
    EXPECT_EQ(adapter->detaches, 1);
    EXPECT_EQ(adapter->reattaches, 0) << "held between passes";
    runtime.end();
    EXPECT_EQ(adapter->reattaches, 1) << "given back on program end";
    EXPECT_EQ(adapter->info.kernelDriver, "ds2490");
}

TEST(Ds2490Refusals, NoAccessNamesTheDeviceNodeWhatIsMissingAndTheFix) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    adapter->noAccess = true;
    UsbRuntime runtime(access);
    EXPECT_EQ(runtime.setup(), kSetupNotFound);
    const std::string reports = runtime.allReports();
    EXPECT_NE(reports.find("no access to /dev/bus/usb/001/002"), std::string::npos) << reports;
    EXPECT_NE(reports.find("udev rule"), std::string::npos) << reports;
    EXPECT_NE(runtime.diagnose().find("setup: 3"), std::string::npos);
}

TEST(Ds2490Holding, LetGoAfterIdleTimeAndOnProgramEnd) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    adapter->model->setTokens({token(0x01, 0x0C2F4A)});
    std::vector<std::string> reports;
    Reporter quiet([&reports](const std::string& text) { reports.push_back(text); });
    auto adapters = std::make_shared<Ds2490Adapters>(access, 150ms);
    PortMapping mapping;
    mapping.kind = BackendKind::Ds2490;
    mapping.usbOrdinal = 1;
    Ds2490Bus bus(mapping, adapters, 200ms, quiet, "usb 1");
    EXPECT_EQ(texts(bus.enumerate(Clock::now() + 200ms).devices).size(), 1u);
    EXPECT_TRUE(adapter->claimed);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(texts(bus.enumerate(Clock::now() + 200ms).devices).size(), 1u);
    EXPECT_TRUE(adapter->claimed) << "a pass keeps it";
    const auto deadline = Clock::now() + 3s;
    while (adapter->claimed && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(adapter->claimed) << "let go without a pass";
    std::this_thread::sleep_for(250ms);  // the next pass comes later, with a budget of its own
    EXPECT_EQ(texts(bus.enumerate(Clock::now() + 200ms).devices).size(), 1u)
        << "taken again at once" << ::testing::PrintToString(reports);
    adapters.reset();
    EXPECT_TRUE(adapter->claimed) << "the backend still holds the adapters it uses";
}

TEST(Ds2490Defaults, TheNthAdapterThatNoOtherProgramHoldsAndWhy) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto first = access->plug();
    auto second = access->plug();
    auto third = access->plug();
    first->heldBy = "owserver, pid 812";
    const Rom a = token(0x01, 0x0000AA);
    const Rom b = token(0x01, 0x0000BB);
    second->model->setTokens({a});
    third->model->setTokens({b});
    UsbRuntime runtime(access, "");
    EXPECT_EQ(runtime.pass(1), texts({a}));
    EXPECT_EQ(runtime.pass(2), texts({b})) << "the one USB port 1 holds still counts";
    EXPECT_TRUE(runtime.pass(3).empty());
    const std::string account = runtime.diagnose(1);
    EXPECT_NE(account.find("(no settings file and the kernel drives no adapter: USB port N is the "
                           "Nth DS2490 on USB)"),
              std::string::npos)
        << account;
    EXPECT_NE(account.find("held by owserver, pid 812"), std::string::npos) << account;
    EXPECT_NE(account.find("USB port 1 is the 1st DS2490 that no other program holds"),
              std::string::npos)
        << account;
    EXPECT_NE(runtime.diagnose(3).find("no 3rd DS2490 on USB that no other program holds"),
              std::string::npos);

    runtime.addKernelBusMaster();
    EXPECT_NE(runtime.diagnose(1).find("backend: w1 "), std::string::npos)
        << "the kernel drives an adapter: its bus master";
}

// Thousands of passes with faults and token changes: never an ID that is not on the bus, never
// a part of the bus listed. The maximum pass time is reported (the benchmark measures it).
TEST(Ds2490Soak, NeverAWrongOrPartialList) {
    auto access = std::make_shared<FakeUsbAccess>();
    auto adapter = access->plug();
    UsbRuntime runtime(access);
    std::mt19937 random(2490);
    std::vector<Rom> pool;
    for (std::uint32_t n = 0; n < 6; ++n) {
        pool.push_back(token(0x01, 0x010101 * (n + 1)));
    }
    std::vector<Rom> onBus = {pool[0]};
    adapter->model->setTokens(onBus);
    int wrong = 0, partial = 0, nothing = 0, faulted = 0;
    Clock::duration slowest{};
    for (int pass = 0; pass < 1500; ++pass) {
        if (random() % 8 == 0) {
            onBus.clear();
            for (const Rom& rom : pool) {
                if (random() % 3 == 0) {
                    onBus.push_back(rom);
                }
            }
            adapter->model->setTokens(onBus);
        }
        const int fault = static_cast<int>(random() % 12);
        adapter->mischief = fault == 0   ? Mischief::GarbageStatus
                            : fault == 1 ? Mischief::GarbageData
                            : fault == 2 ? Mischief::ShortStatus
                                         : Mischief::None;
        if (fault == 3) {
            adapter->model->stall(Ds2490Model::Endpoint::DataIn);
        }
        faulted += fault <= 3 ? 1 : 0;
        auto listed = runtime.pass();
        slowest = std::max(slowest, runtime.lastPass());
        const auto expected = texts(onBus);
        for (const std::string& id : listed) {
            wrong += expected.contains(id) ? 0 : 1;
        }
        partial += !listed.empty() && listed != expected ? 1 : 0;
        nothing += listed.empty() && !expected.empty() ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(partial, 0);
    std::printf(
        "1500 passes, %d with a fault: %d wrong IDs, %d partial lists, %d passes listing "
        "nothing while tokens lay there, slowest pass %.1f ms\n",
        faulted, wrong, partial, nothing,
        std::chrono::duration<double, std::milli>(slowest).count());
}
