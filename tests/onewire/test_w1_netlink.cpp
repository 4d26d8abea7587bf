// The w1 netlink connector's client against a fake kernel: the request's layout, and every way
// the kernel's replies can go wrong, each within the pass's deadline.
#include <gtest/gtest.h>

#include <linux/netlink.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "onewire/Backend.h"
#include "onewire/W1Netlink.h"
#include "tests/onewire/FakeW1Kernel.h"

using namespace onewire;
using namespace onewire::w1netlink;
using fakes::FakeW1Kernel;
using std::chrono::milliseconds;

namespace {

const Rom kToken{0x01, 0x4A, 0x2F, 0x0C, 0x00, 0x00, 0x00, 0x02};
const Rom kSecond{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
const Rom kAdapterChip{0x81, 0x00, 0x00, 0x81, 0x7E, 0x02, 0x00, 0x76};

template <typename Value>
Value at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    Value value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class ConnectorTest : public ::testing::Test {
protected:
    Clock::time_point within(milliseconds budget = milliseconds(200)) {
        return Clock::now() + budget;
    }
    // The pass's deadline is kept whatever the kernel does.
    SearchResult timedSearch(milliseconds budget = milliseconds(200)) {
        const auto deadline = within(budget);
        auto result = connector_->search(1, deadline);
        EXPECT_LE(Clock::now(), deadline + milliseconds(15)) << "the deadline is kept";
        return result;
    }

    FakeW1Kernel kernel_;
    std::unique_ptr<Connector> connector_ = std::make_unique<Connector>(kernel_.opener(), 1000);
};

}  // namespace

TEST(W1Request, ListsTheMastersThenSearchesOneInTheKernelsLayout) {
    auto bytes = request(77, 5);
    ASSERT_EQ(bytes.size(), 16u + 20u + 12u + 12u + 4u);
    EXPECT_EQ(at<std::uint32_t>(bytes, 0), bytes.size()) << "netlink length";
    EXPECT_EQ(at<std::uint32_t>(bytes, 8), 77u) << "netlink sequence";
    EXPECT_EQ(at<std::uint32_t>(bytes, 16), 3u) << "CN_W1_IDX";
    EXPECT_EQ(at<std::uint32_t>(bytes, 20), 1u) << "CN_W1_VAL";
    EXPECT_EQ(at<std::uint32_t>(bytes, 24), 77u) << "connector sequence";
    EXPECT_EQ(at<std::uint32_t>(bytes, 28), 0u) << "ack";
    EXPECT_EQ(at<std::uint16_t>(bytes, 32), 28u) << "connector length: both w1 messages";
    EXPECT_EQ(at<std::uint16_t>(bytes, 34), 0u) << "no flags (the kernel refuses unknown ones)";
    EXPECT_EQ(bytes[36], 6) << "W1_LIST_MASTERS";
    EXPECT_EQ(at<std::uint16_t>(bytes, 38), 0u);
    EXPECT_EQ(bytes[48], 4) << "W1_MASTER_CMD";
    EXPECT_EQ(at<std::uint16_t>(bytes, 50), 4u) << "one command, without data";
    EXPECT_EQ(at<std::uint32_t>(bytes, 52), 5u) << "the master's id";
    EXPECT_EQ(bytes[60], 2) << "W1_CMD_SEARCH";
    EXPECT_EQ(at<std::uint16_t>(bytes, 62), 0u);

    auto listingOnly = request(78, std::nullopt);
    EXPECT_EQ(listingOnly.size(), 16u + 20u + 12u);
    EXPECT_EQ(at<std::uint16_t>(listingOnly, 32), 12u);
}

TEST(W1Request, MasterNumbersOfFolderNames) {
    EXPECT_EQ(masterNumber("w1_bus_master1"), 1u);
    EXPECT_EQ(masterNumber("w1_bus_master12"), 12u);
    EXPECT_FALSE(masterNumber("w1_bus_master"));
    EXPECT_FALSE(masterNumber("w1_bus_master01"));
    EXPECT_FALSE(masterNumber("w1_bus_master1x"));
    EXPECT_FALSE(masterNumber("w1_bus_master-1"));
    EXPECT_FALSE(masterNumber("w1_bus_master99999999999"));
    EXPECT_FALSE(masterNumber("bus1"));
}

TEST(W1Reply, CodesComeInBusOrderAndForeignPartsAreNotOurs) {
    auto codes = FakeW1Kernel::searchCodes(9, 1, {kToken, kAdapterChip});
    auto part = readReply(codes, 9, 1);
    EXPECT_TRUE(part.ours);
    EXPECT_FALSE(part.closed) << "the codes come before the closing status";
    EXPECT_EQ(part.found, (std::vector<Rom>{kToken, kAdapterChip}));
    EXPECT_TRUE(part.malformed.empty());

    EXPECT_FALSE(readReply(codes, 10, 1).ours) << "a reply to another request";
    EXPECT_TRUE(readReply(codes, 9, 2).found.empty()) << "another master's";
    auto closed = readReply(FakeW1Kernel::searchClosed(9, 1, 0), 9, 1);
    EXPECT_TRUE(closed.closed);
    EXPECT_TRUE(closed.found.empty());

    // Two netlink messages in one datagram, the second the closing status.
    auto both = codes;
    auto close = FakeW1Kernel::searchClosed(9, 1, 0);
    both.insert(both.end(), close.begin(), close.end());
    auto bundled = readReply(both, 9, 1);
    EXPECT_TRUE(bundled.closed);
    EXPECT_EQ(bundled.found.size(), 2u);
}

TEST(W1Reply, DamagedRepliesAreMalformedNeverReadPastTheirEnd) {
    auto codes = FakeW1Kernel::searchCodes(9, 1, {kToken});
    for (std::size_t cut = 0; cut < codes.size(); ++cut) {
        std::vector<std::uint8_t> shorter(codes.begin(), codes.begin() + cut);
        auto part = readReply(shorter, 9, 1);
        EXPECT_TRUE(part.found.empty()) << "cut at " << cut;
        EXPECT_FALSE(part.closed) << "cut at " << cut;
    }
    // A command whose length is not a whole number of codes.
    auto odd = FakeW1Kernel::connectorMessage(
        9, 10, FakeW1Kernel::w1Message(4, 0, 1, {2, 0, 5, 0, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(readReply(odd, 9, 1).malformed.empty());
    // A w1 message that claims more than the connector message holds.
    auto longer = FakeW1Kernel::searchCodes(9, 1, {kToken});
    longer[16 + 20 + 2] = 0xFF;
    EXPECT_FALSE(readReply(longer, 9, 1).malformed.empty());
    // A netlink length beyond the datagram, in a reply of ours.
    auto beyond = FakeW1Kernel::searchCodes(9, 1, {kToken});
    beyond[0] = 0xF0;
    beyond[1] = 0xFF;
    auto part = readReply(beyond, 9, 1);
    EXPECT_TRUE(part.ours);
    EXPECT_FALSE(part.malformed.empty());
}

// NLMSG_ERROR carries -errno and the request's header; any error number, however odd,
// closes the request as failed.
TEST(W1Reply, NetlinkErrorsOfAnyNumberAreFailuresNeverSuccess) {
    for (std::int32_t error : {-ENODEV, -256, -512, INT32_MIN, 1}) {
        std::vector<std::uint8_t> bytes(16 + 4 + 16, 0);
        const auto put32 = [&](std::size_t offset, std::uint32_t value) {
            std::memcpy(bytes.data() + offset, &value, sizeof value);
        };
        put32(0, static_cast<std::uint32_t>(bytes.size()));
        put32(4, NLMSG_ERROR);
        put32(16, static_cast<std::uint32_t>(error));
        put32(16 + 4 + 8, 9);  // the request's sequence
        auto part = readReply(bytes, 9, 1);
        EXPECT_TRUE(part.closed) << error;
        EXPECT_NE(part.status, 0) << error;
    }
}

TEST_F(ConnectorTest, SearchListsWhatTheKernelFound) {
    kernel_.bus = {kAdapterChip, kToken};
    auto result = timedSearch();
    ASSERT_EQ(result.outcome, SearchResult::Outcome::Complete) << result.problem;
    EXPECT_EQ(result.devices, kernel_.bus);
    EXPECT_EQ(result.masters, (std::vector<std::uint32_t>{1}));
    ASSERT_EQ(kernel_.requests.size(), 1u);
    EXPECT_EQ(kernel_.requests[0].master, 1u);

    kernel_.bus = {};
    result = timedSearch();
    ASSERT_EQ(result.outcome, SearchResult::Outcome::Complete);
    EXPECT_TRUE(result.devices.empty()) << "an empty bus is a complete, empty list";
    EXPECT_NE(kernel_.requests[1].sequence, kernel_.requests[0].sequence);
    EXPECT_EQ(kernel_.opened, 1) << "one socket for the process";
}

TEST_F(ConnectorTest, CodesSplitOverSeveralMessagesAreAllCollected) {
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.queue(FakeW1Kernel::listing(request.sequence, {1}));
        kernel.queue(FakeW1Kernel::searchCodes(request.sequence, 1, {kToken}));
        kernel.queue(FakeW1Kernel::searchCodes(request.sequence, 1, {kSecond}), milliseconds(5));
        kernel.queue(FakeW1Kernel::searchClosed(request.sequence, 1, 0), milliseconds(10));
    };
    auto result = timedSearch();
    ASSERT_EQ(result.outcome, SearchResult::Outcome::Complete) << result.problem;
    EXPECT_EQ(result.devices, (std::vector<Rom>{kToken, kSecond}));
}

TEST_F(ConnectorTest, LateRepliesToEarlierRequestsAreDropped) {
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        // A whole answer to the request before, with a token that has left since.
        std::uint32_t earlier = request.sequence - 1;
        kernel.queue(FakeW1Kernel::searchCodes(earlier, 1, {kSecond}));
        kernel.queue(FakeW1Kernel::searchClosed(earlier, 1, 0));
        kernel.queue(FakeW1Kernel::listing(request.sequence, {1}));
        kernel.queue(FakeW1Kernel::searchCodes(request.sequence + 7, 1, {kSecond}));
        kernel.queue(FakeW1Kernel::searchCodes(request.sequence, 1, {kToken}));
        kernel.queue(FakeW1Kernel::searchClosed(request.sequence, 1, 0));
    };
    auto result = timedSearch();
    ASSERT_EQ(result.outcome, SearchResult::Outcome::Complete) << result.problem;
    EXPECT_EQ(result.devices, (std::vector<Rom>{kToken}));
}

TEST_F(ConnectorTest, ErrorStatusMasterGoneAndDamagedRepliesAreNotComplete) {
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.queue(FakeW1Kernel::listing(request.sequence, {1}));
        kernel.queue(FakeW1Kernel::searchCodes(request.sequence, 1, {kToken}));
        kernel.queue(FakeW1Kernel::searchClosed(request.sequence, 1, 5 /* EIO */));
    };
    auto result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::Failed);
    EXPECT_TRUE(result.devices.empty()) << "no part of a failed search";
    EXPECT_NE(result.problem.find("error 5"), std::string::npos) << result.problem;

    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.answer(request);
    };
    kernel_.masters = {2};
    result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::MasterGone) << result.problem;
    EXPECT_EQ(result.masters, (std::vector<std::uint32_t>{2}));

    kernel_.masters = {1};
    kernel_.bus = {kToken};
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.queue(FakeW1Kernel::listing(request.sequence, {1}));
        kernel.queue(FakeW1Kernel::searchCodes(request.sequence, 1, kernel.bus), {}, true);
        kernel.queue(FakeW1Kernel::searchClosed(request.sequence, 1, 0));
    };
    result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::Failed) << "a reply larger than the buffer";
    EXPECT_NE(result.problem.find("larger"), std::string::npos) << result.problem;

    // The next pass waits for the cut search's closing status, then searches afresh.
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.answer(request);
    };
    result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::Complete) << result.problem;
    EXPECT_EQ(result.devices, (std::vector<Rom>{kToken}));
}

TEST_F(ConnectorTest, NoAnswerAtAllMeansNoNetlinkAndASilentSearchTimesOut) {
    kernel_.script = [](FakeW1Kernel&, const fakes::Request&) {};
    const auto started = Clock::now();
    auto result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::Unavailable);
    EXPECT_NE(result.problem.find("does not answer"), std::string::npos) << result.problem;
    EXPECT_LT(Clock::now() - started, milliseconds(150))
        << "decided after the listing's grace, not at the deadline";
    const auto again = Clock::now();
    EXPECT_EQ(timedSearch().outcome, SearchResult::Outcome::Unavailable);
    EXPECT_LT(Clock::now() - again, milliseconds(10)) << "not asked again at once";
    EXPECT_EQ(kernel_.requests.size(), 1u);

    // The listing comes, the search never closes: out of time, and the next pass sends nothing
    // new while the kernel may still be running the search.
    connector_ = std::make_unique<Connector>(kernel_.opener(), 2000);
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.queue(FakeW1Kernel::listing(request.sequence, {1}));
    };
    result = timedSearch(milliseconds(60));
    EXPECT_EQ(result.outcome, SearchResult::Outcome::TimedOut);
    const std::size_t sent = kernel_.requests.size();
    result = timedSearch(milliseconds(60));
    EXPECT_EQ(result.outcome, SearchResult::Outcome::TimedOut);
    EXPECT_NE(result.problem.find("still running"), std::string::npos) << result.problem;
    EXPECT_EQ(kernel_.requests.size(), sent) << "no second search queued behind the first";

    // Its closing status arrives late: the pass after takes it, drops it and searches anew.
    kernel_.queue(FakeW1Kernel::searchCodes(kernel_.requests.back().sequence, 1, {kSecond}));
    kernel_.queue(FakeW1Kernel::searchClosed(kernel_.requests.back().sequence, 1, 0));
    kernel_.bus = {kToken};
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.answer(request);
    };
    result = timedSearch();
    ASSERT_EQ(result.outcome, SearchResult::Outcome::Complete) << result.problem;
    EXPECT_EQ(result.devices, (std::vector<Rom>{kToken})) << "the late codes are not this pass's";
}

TEST_F(ConnectorTest, RefusedSocketAndFailedReceive) {
    kernel_.refuseWith = "the kernel refused a netlink connector socket: Permission denied";
    auto result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::Unavailable);
    EXPECT_EQ(result.problem, *kernel_.refuseWith);

    kernel_.refuseWith.reset();
    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.queue(FakeW1Kernel::listing(request.sequence, {1}));
        kernel.queueFailure();
    };
    result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::Failed);
    EXPECT_NE(result.problem.find("No buffer space"), std::string::npos) << result.problem;

    kernel_.script = [](FakeW1Kernel& kernel, const fakes::Request& request) {
        kernel.answer(request);
    };
    result = timedSearch();
    EXPECT_EQ(result.outcome, SearchResult::Outcome::Complete) << result.problem;
    EXPECT_EQ(kernel_.opened, 2) << "a failed socket is opened anew";
}

TEST_F(ConnectorTest, AnOverfullBusStopsCountingPastTheMostAPassLists) {
    kernel_.bus.assign(300, kToken);
    auto result = timedSearch();
    ASSERT_EQ(result.outcome, SearchResult::Outcome::Complete);
    EXPECT_EQ(result.devices.size(), onewire::kMaxDevicesPerPass + 1);
}

// The real socket: the kernel gives one to an ordinary user and the request reaches it, or the
// search says why there is none. Whether w1 answers depends on the machine; the VM cases run it
// against the real w1 subsystem.
TEST(ConnectorSocket, OpensAndSendsWithinTheDeadline) {
    std::string problem;
    const bool opened = openConnectorSocket(problem) != nullptr;
    Connector connector(openConnectorSocket);
    const auto deadline = Clock::now() + milliseconds(200);
    auto result = connector.search(4000000000u, deadline);
    EXPECT_LE(Clock::now(), deadline + milliseconds(15));
    if (!opened) {
        EXPECT_EQ(result.outcome, SearchResult::Outcome::Unavailable);
        EXPECT_EQ(result.problem, problem);
        return;
    }
    EXPECT_TRUE(result.outcome == SearchResult::Outcome::Unavailable ||
                result.outcome == SearchResult::Outcome::MasterGone)
        << "no such master anywhere: " << result.problem;
}
