// The kernel w1 backend against a fake sysfs bus-master folder and a fake kernel behind the
// netlink connector.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "onewire/W1Bus.h"
#include "tests/onewire/FakeW1Kernel.h"

using namespace onewire;

namespace {

class W1Folder : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = std::filesystem::temp_directory_path() /
                  ("onewire-w1-" + std::to_string(std::random_device{}())) / "w1_bus_master1";
        std::filesystem::create_directories(master_);
        refusingKernel_.refuseWith =
            "the kernel refused a netlink connector socket: Permission denied";
    }
    void TearDown() override { std::filesystem::remove_all(master_.parent_path()); }

    void addDevice(const std::string& name, const std::optional<Rom>& id) {
        std::filesystem::create_directories(master_ / name);
        if (id) {
            std::ofstream(master_ / name / "id", std::ios::binary)
                .write(reinterpret_cast<const char*>(id->data()), 8);
        }
    }
    void listSlaves(const std::string& text) {
        std::ofstream(master_ / "w1_master_slaves") << text;
    }

    // A backend whose netlink socket the kernel refuses: it reads w1_master_slaves.
    W1Bus sysfsBus(const std::filesystem::path& folder) {
        return W1Bus(folder.string(), &reporter_, "usb 1", refusingConnector_);
    }
    W1Bus sysfsBus() { return sysfsBus(master_); }

    std::filesystem::path master_;
    std::vector<std::string> reports_;
    Reporter reporter_{[this](const std::string& text) { reports_.push_back(text); }};
    fakes::FakeW1Kernel refusingKernel_;
    std::shared_ptr<w1netlink::Connector> refusingConnector_ =
        std::make_shared<w1netlink::Connector>(refusingKernel_.opener());
};

}  // namespace

TEST(W1Names, SerialIsPrintedInReverse) {
    EXPECT_EQ(romFromW1Name("01-0000000c2f4a"),
              (Rom{0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_FALSE(romFromW1Name("not found."));
    EXPECT_FALSE(romFromW1Name("01-0000000c2f4"));
    EXPECT_FALSE(romFromW1Name("01_0000000c2f4a"));
    EXPECT_FALSE(romFromW1Name("0x-0000000c2f4a"));
}

TEST_F(W1Folder, SetupTellsWhetherTheMasterExists) {
    EXPECT_EQ(sysfsBus().setup(), 1);
    EXPECT_EQ(sysfsBus(master_.parent_path() / "w1_bus_master9").setup(), 3);
    EXPECT_FALSE(sysfsBus(master_.parent_path() / "w1_bus_master9")
                     .enumerate(Clock::time_point::max())
                     .complete);
}

TEST_F(W1Folder, EmptyBus) {
    listSlaves("not found.\n");
    auto seen = sysfsBus().enumerate(Clock::time_point::max());
    EXPECT_TRUE(seen.complete);
    EXPECT_TRUE(seen.devices.empty());
}

TEST_F(W1Folder, IdFilesNamesAndVanishedDevices) {
    Rom token{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
    addDevice("02-000001b81c", std::nullopt);  // malformed name: skipped even though present
    addDevice("02-000001b81c00", token);
    addDevice("01-0000000c2f4a", std::nullopt);  // name only: ROM computed from the name
    // 81-00007e810000 is listed but its folder is gone.
    addDevice("00-400000000000", Rom{0, 0, 0, 0, 0, 0, 0x40, 0x46});
    listSlaves(
        "02-000001b81c\n02-000001b81c00\n01-0000000c2f4a\n81-00007e810000\n00-400000000000\n");
    auto seen = sysfsBus().enumerate(Clock::time_point::max());
    EXPECT_TRUE(seen.complete);
    auto& devices = seen.devices;
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0], token);
    EXPECT_EQ(devices[1], (Rom{0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_FALSE(isAcceptable(devices[2])) << "the ghost reaches the shared filter, which drops it";
}

namespace {

const Rom kToken{0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0x02};
const Rom kSecond{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
const Rom kAdapterChip{0x81, 0x00, 0x00, 0x81, 0x7E, 0x02, 0x00, 0x76};

// The kernel route as the runtime drives it: a new backend for every pass (one session each),
// one connector for the process.
class W1Netlink : public W1Folder {
protected:
    Enumeration pass() {
        W1Bus bus(master_.string(), &reporter_, "usb 1", connector_);
        auto seen = bus.enumerate(Clock::now() + std::chrono::milliseconds(200));
        lastRoute_ = bus.route();
        lastRefused_ = bus.refusedDevices();
        return seen;
    }
    std::size_t searches() const { return kernel_.requests.size(); }

    fakes::FakeW1Kernel kernel_;
    std::shared_ptr<w1netlink::Connector> connector_ =
        std::make_shared<w1netlink::Connector>(kernel_.opener(), 500);
    W1Bus::Route lastRoute_ = W1Bus::Route::None;
    std::vector<RefusedDevice> lastRefused_;
};

}  // namespace

TEST_F(W1Netlink, EachPassSearchesNowAndNeverListsTheAdapterChip) {
    // What the kernel's own search found long ago: not what a pass lists.
    addDevice("02-000001b81c00", kSecond);
    listSlaves("02-000001b81c00\n");
    kernel_.bus = {kAdapterChip, kToken};
    auto seen = pass();
    EXPECT_EQ(lastRoute_, W1Bus::Route::Netlink);
    ASSERT_TRUE(seen.complete);
    EXPECT_EQ(seen.devices, (std::vector<Rom>{kToken}));
    ASSERT_EQ(lastRefused_.size(), 1u);
    EXPECT_EQ(lastRefused_[0].rom, kAdapterChip);
    EXPECT_NE(lastRefused_[0].reason.find("adapter's own ID chip"), std::string::npos);

    kernel_.bus = {kAdapterChip, Rom{0x09, 1, 2, 3, 4, 5, 6, 0}};
    seen = pass();
    ASSERT_TRUE(seen.complete);
    EXPECT_TRUE(seen.devices.empty()) << "family 09 is the adapter's too";
    EXPECT_EQ(lastRefused_.size(), 2u);
}

TEST_F(W1Netlink, PutOnListedAndLiftedGoneOnTheNextPassEachConfirmedOnce) {
    kernel_.bus = {kAdapterChip};
    EXPECT_TRUE(pass().devices.empty());
    EXPECT_EQ(searches(), 2u) << "the first look of a bus is confirmed by a second search";
    EXPECT_TRUE(pass().complete);
    EXPECT_EQ(searches(), 3u) << "an unchanged bus costs one search";

    kernel_.bus = {kAdapterChip, kToken};
    EXPECT_EQ(pass().devices, (std::vector<Rom>{kToken})) << "put on: listed on the next pass";
    EXPECT_EQ(searches(), 5u);
    kernel_.bus = {kAdapterChip, kToken, kSecond};
    EXPECT_EQ(pass().devices.size(), 2u);
    kernel_.bus = {kAdapterChip, kSecond};
    EXPECT_EQ(pass().devices, (std::vector<Rom>{kSecond})) << "lifted: gone on the next pass";
    kernel_.bus = {kAdapterChip};
    auto seen = pass();
    EXPECT_TRUE(seen.complete);
    EXPECT_TRUE(seen.devices.empty());
    EXPECT_TRUE(reports_.empty()) << reports_.front();
}

TEST_F(W1Netlink, ASearchCutShortByAnUnplugIsNotListed) {
    kernel_.bus = {kAdapterChip, kToken, kSecond};
    ASSERT_EQ(pass().devices.size(), 2u);
    // The adapter goes during the search: the kernel closes it as done with what it had found,
    // then the master leaves.
    int answered = 0;
    kernel_.script = [&answered](fakes::FakeW1Kernel& kernel, const fakes::Request& request) {
        if (answered++ == 0) {
            kernel.queue(fakes::FakeW1Kernel::listing(request.sequence, {1}));
            kernel.queue(fakes::FakeW1Kernel::searchCodes(request.sequence, 1, {kAdapterChip}));
            kernel.queue(fakes::FakeW1Kernel::searchClosed(request.sequence, 1, 0));
        } else {
            kernel.masters.clear();
            kernel.answer(request);
        }
    };
    auto seen = pass();
    EXPECT_FALSE(seen.complete) << "no partial list reaches the program";
    ASSERT_FALSE(reports_.empty());
    EXPECT_NE(reports_.back().find("no bus master 1"), std::string::npos) << reports_.back();
    EXPECT_NE(reports_.back().find("unplugged"), std::string::npos) << reports_.back();
    EXPECT_FALSE(pass().complete);
    EXPECT_EQ(reports_.size(), 1u) << "reported once while it lasts";

    // Plugged back in: found again on the next pass.
    kernel_.masters = {1};
    kernel_.bus = {kAdapterChip, kToken};
    kernel_.script = [](fakes::FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.answer(request);
    };
    seen = pass();
    ASSERT_TRUE(seen.complete);
    EXPECT_EQ(seen.devices, (std::vector<Rom>{kToken}));
    EXPECT_NE(reports_.back().find("complete again"), std::string::npos) << reports_.back();
}

TEST_F(W1Netlink, DisagreeingSearchesAndKernelErrorsAreNotComplete) {
    kernel_.bus = {kToken};
    int answered = 0;
    kernel_.script = [&answered](fakes::FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.bus =
            answered++ % 2 == 0 ? std::vector<Rom>{kToken, kSecond} : std::vector<Rom>{kToken};
        kernel.answer(request);
    };
    EXPECT_FALSE(pass().complete);
    EXPECT_NE(reports_.back().find("different devices"), std::string::npos) << reports_.back();

    kernel_.script = [](fakes::FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.queue(fakes::FakeW1Kernel::listing(request.sequence, {1}));
        kernel.queue(fakes::FakeW1Kernel::searchClosed(request.sequence, 1, 12 /* ENOMEM */));
    };
    W1Bus bus(master_.string(), &reporter_, "usb 1", connector_);
    EXPECT_FALSE(bus.enumerate(Clock::now() + std::chrono::milliseconds(200)).complete);
    EXPECT_NE(reports_.back().find("error 12"), std::string::npos) << reports_.back();
}

TEST_F(W1Netlink, RefusedNetlinkFallsBackToTheKernelsListSayingOnceWhyAndHowSlow) {
    std::ofstream(master_ / "w1_master_timeout") << "2\n";
    std::ofstream(master_ / "w1_master_timeout_us") << "500000\n";
    addDevice("81-00007e810000", kAdapterChip);
    addDevice("01-0000000c2f4a", kToken);
    listSlaves("81-00007e810000\n01-0000000c2f4a\n");
    for (int i = 0; i < 3; ++i) {
        W1Bus bus = sysfsBus();
        auto seen = bus.enumerate(Clock::now() + std::chrono::milliseconds(200));
        EXPECT_EQ(bus.route(), W1Bus::Route::Sysfs);
        ASSERT_TRUE(seen.complete);
        EXPECT_EQ(seen.devices, (std::vector<Rom>{kToken}));
        EXPECT_EQ(bus.refusedDevices().size(), 1u);
    }
    ASSERT_EQ(reports_.size(), 1u) << "said once";
    EXPECT_NE(reports_[0].find("Permission denied"), std::string::npos) << reports_[0];
    EXPECT_NE(reports_[0].find("every 2.5 s"), std::string::npos) << reports_[0];
    EXPECT_NE(reports_[0].find("about 25 s"), std::string::npos) << reports_[0];

    auto details = sysfsBus().adapterDetails();
    ASSERT_EQ(details.size(), 1u);
    EXPECT_NE(details[0].find("w1_master_slaves"), std::string::npos) << details[0];

    // A folder whose name gives no master number cannot be searched over netlink.
    auto other = master_.parent_path() / "gpio-bus";
    std::filesystem::create_directories(other);
    std::ofstream(other / "w1_master_slaves") << "not found.\n";
    W1Bus unnumbered(other.string(), &reporter_, "usb 2", connector_);
    EXPECT_TRUE(unnumbered.enumerate(Clock::now() + std::chrono::milliseconds(200)).complete);
    EXPECT_EQ(unnumbered.route(), W1Bus::Route::Sysfs);
    EXPECT_NE(reports_.back().find("no bus master number"), std::string::npos);
    EXPECT_TRUE(kernel_.requests.empty());
}

TEST_F(W1Netlink, TheReaderCheckSaysWhichWayTheRouteSearches) {
    kernel_.masters = {1, 3};
    auto details = W1Bus(master_.string(), &reporter_, "usb 1", connector_).adapterDetails();
    ASSERT_EQ(details.size(), 1u);
    EXPECT_NE(details[0].find("immediate search on every pass"), std::string::npos) << details[0];
    EXPECT_NE(details[0].find("lists 1, 3"), std::string::npos) << details[0];
    kernel_.masters = {3};
    details = W1Bus(master_.string(), &reporter_, "usb 1", connector_).adapterDetails();
    EXPECT_NE(details[0].find("does not list"), std::string::npos) << details[0];
}
