// The kernel w1 backend against a fake sysfs bus-master folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "onewire/W1Bus.h"

using namespace onewire;

namespace {

class W1Folder : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = std::filesystem::temp_directory_path() /
                  ("onewire-w1-" + std::to_string(std::random_device{}())) / "w1_bus_master1";
        std::filesystem::create_directories(master_);
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

    std::filesystem::path master_;
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
    EXPECT_EQ(W1Bus(master_.string()).setup(), 1);
    EXPECT_EQ(W1Bus((master_.parent_path() / "w1_bus_master9").string()).setup(), 3);
    auto missing = W1Bus((master_.parent_path() / "w1_bus_master9").string())
                       .enumerate(Clock::time_point::max());
    EXPECT_TRUE(missing.devices.empty());
    EXPECT_FALSE(missing.complete) << "a bus master that is gone is not an empty bus";
}

TEST_F(W1Folder, EmptyBus) {
    listSlaves("not found.\n");
    auto empty = W1Bus(master_.string()).enumerate(Clock::time_point::max());
    EXPECT_TRUE(empty.devices.empty());
    EXPECT_TRUE(empty.complete);
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
    auto found = W1Bus(master_.string()).enumerate(Clock::time_point::max());
    EXPECT_TRUE(found.complete);
    const auto& devices = found.devices;
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0], token);
    EXPECT_EQ(devices[1], (Rom{0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_FALSE(isAcceptable(devices[2])) << "the ghost reaches the shared filter, which drops it";
}
