#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "onewire/Backend.h"
#include "onewire/OwserverProtocol.h"
#include "onewire/Socket.h"

namespace onewire::owserver {

using Clock = std::chrono::steady_clock;

// One request and its reply over a fresh connection, all of it (name lookup, connection,
// sending, pings, reply) finished by the deadline. nullopt when the server refuses, stays
// silent, closes early or sends something that is not a reply, with the reason in `failure`.
std::optional<Reply> exchange(const std::string& host, const std::string& service,
                              std::int32_t type, const std::string& path, std::uint32_t flags,
                              std::int32_t size, Clock::time_point deadline,
                              std::string* failure = nullptr);

// The reply on a connected socket, skipping keep-alive pings, read by the deadline; nullopt when
// the peer closes early, sends something that is not a reply, or time runs out.
std::optional<Reply> receiveReply(net::NativeSocket socket, Clock::time_point deadline,
                                  std::string* failure = nullptr);

// A reader behind owserver, the owfs server, at HOST:PORT. The exchanges of one burst of calls
// (a pass: set-up, then the enumeration) share one budget, so a server that stays silent costs a
// pass the budget once, not once per exchange; a pause of a budget's length starts a new burst.
//
// owserver can serve simulated buses (its FAKE, TESTER and MOCK adapters) whose devices are made
// up; each pass reads every bus's adapter name first and lists only the buses that are real,
// unless the mapping allows simulated ones.
//
// A failure to answer is reported when it first shows or changes, and once when it clears.
class OwserverBus : public Backend {
public:
    OwserverBus(std::string host, std::string service, std::chrono::milliseconds budget,
                bool simulatedAllowed, Reporter& reporter, std::string portName);

    std::int16_t setup() override;
    Enumeration enumerate(Clock::time_point deadline) override;
    std::string describeAdapter() override;
    std::vector<RefusedDevice> refusedDevices() override;

private:
    struct Bus {
        std::string name;         // "bus.0"
        std::string adapterName;  // "DS9490", "Simulated-Random"
        bool listed = false;
    };

    // Within the burst's budget and by the deadline, whichever ends first.
    std::optional<Reply> exchangeWithinBudget(
        std::int32_t type, const std::string& path, std::uint32_t flags, std::int32_t size = 0,
        Clock::time_point deadline = Clock::time_point::max());
    // Reads the buses and their adapter names; false when the server does not answer.
    bool survey(Clock::time_point deadline = Clock::time_point::max());
    // At most stopAfter devices.
    std::vector<Rom> devicesOn(const Bus& bus, std::size_t stopAfter = SIZE_MAX,
                               Clock::time_point deadline = Clock::time_point::max());
    std::string endpoint() const;
    void reportOutcome(bool answered);

    std::string host_;
    std::string service_;
    std::chrono::milliseconds budget_;
    bool simulatedAllowed_;
    Reporter& reporter_;
    std::string failure_;  // why the last exchange that failed did
    std::string portName_;
    Clock::duration spent_{};
    Clock::time_point lastEnd_{};
    std::optional<std::vector<Bus>> buses_;  // one survey per session
};

}  // namespace onewire::owserver
