#pragma once

// A stand-in for the kernel's side of the w1 netlink connector: it reads each request the
// runtime sends and queues the datagrams a test scripts for it, in the kernel's layout
// (Documentation/w1/w1-netlink.rst), each with the time it becomes readable.
#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "onewire/W1Netlink.h"

namespace fakes {

using onewire::Rom;
using onewire::w1netlink::Channel;
using onewire::w1netlink::Clock;

struct Request {
    std::uint32_t sequence = 0;
    std::optional<std::uint32_t> master;  // absent: a listing of the masters only
};

class FakeW1Kernel {
public:
    using Script = std::function<void(FakeW1Kernel&, const Request&)>;

    // What the kernel does with each request; by default the normal answer (see answer()).
    Script script = [](FakeW1Kernel& kernel, const Request& request) { kernel.answer(request); };
    std::vector<std::uint32_t> masters{1};
    std::vector<Rom> bus;
    std::vector<Request> requests;
    int opened = 0;
    std::optional<std::string> refuseWith;  // the opener fails with this

    // The kernel's answer: the listing, then the search's codes and its closing status, or
    // ENODEV for a master it does not have.
    void answer(const Request& request) {
        queue(listing(request.sequence, masters));
        if (!request.master) {
            return;
        }
        if (std::find(masters.begin(), masters.end(), *request.master) == masters.end()) {
            queue(commandError(request.sequence, *request.master, 19 /* ENODEV */));
            return;
        }
        queue(searchCodes(request.sequence, *request.master, bus));
        queue(searchClosed(request.sequence, *request.master, 0));
    }

    void queue(std::vector<std::uint8_t> bytes, Clock::duration after = {},
               bool truncated = false) {
        std::lock_guard lock(mutex_);
        pending_.push_back({Clock::now() + after, std::move(bytes), truncated, false});
    }
    void queueFailure() {
        std::lock_guard lock(mutex_);
        pending_.push_back({Clock::now(), {}, false, true});
    }

    // The kernel's datagrams.
    static std::vector<std::uint8_t> connectorMessage(std::uint32_t sequence, std::uint32_t ack,
                                                      const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> bytes(16 + 20);
        put<std::uint32_t>(bytes, 0, static_cast<std::uint32_t>(bytes.size() + data.size()));
        put<std::uint16_t>(bytes, 4, 3);  // NLMSG_DONE
        put<std::uint32_t>(bytes, 8, sequence);
        put<std::uint32_t>(bytes, 16, 3);  // CN_W1_IDX
        put<std::uint32_t>(bytes, 20, 1);  // CN_W1_VAL
        put<std::uint32_t>(bytes, 24, sequence);
        put<std::uint32_t>(bytes, 28, ack);
        put<std::uint16_t>(bytes, 32, static_cast<std::uint16_t>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        while (bytes.size() % 4 != 0) {
            bytes.push_back(0);
        }
        return bytes;
    }
    static std::vector<std::uint8_t> w1Message(std::uint8_t type, std::uint8_t status,
                                               std::uint32_t id,
                                               const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> bytes(12);
        bytes[0] = type;
        bytes[1] = status;
        put<std::uint16_t>(bytes, 2, static_cast<std::uint16_t>(data.size()));
        put<std::uint32_t>(bytes, 4, id);
        bytes.insert(bytes.end(), data.begin(), data.end());
        return bytes;
    }
    static std::vector<std::uint8_t> searchCommand(const std::vector<Rom>& codes) {
        std::vector<std::uint8_t> bytes(4);
        bytes[0] = 2;  // W1_CMD_SEARCH
        put<std::uint16_t>(bytes, 2, static_cast<std::uint16_t>(codes.size() * 8));
        for (const Rom& rom : codes) {
            std::uint64_t number = 0;
            for (int i = 7; i >= 0; --i) {
                number = (number << 8) | rom[static_cast<std::size_t>(i)];
            }
            std::vector<std::uint8_t> raw(8);
            std::memcpy(raw.data(), &number, 8);
            bytes.insert(bytes.end(), raw.begin(), raw.end());
        }
        return bytes;
    }
    static std::vector<std::uint8_t> listing(std::uint32_t sequence,
                                             const std::vector<std::uint32_t>& ids) {
        std::vector<std::uint8_t> data(ids.size() * 4);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            put<std::uint32_t>(data, i * 4, ids[i]);
        }
        return connectorMessage(sequence, sequence + 1, w1Message(6, 0, 0, data));
    }
    static std::vector<std::uint8_t> searchCodes(std::uint32_t sequence, std::uint32_t master,
                                                 const std::vector<Rom>& codes) {
        return connectorMessage(sequence, sequence + 1,
                                w1Message(4, 0, master, searchCommand(codes)));
    }
    static std::vector<std::uint8_t> searchClosed(std::uint32_t sequence, std::uint32_t master,
                                                  std::uint8_t status) {
        return connectorMessage(sequence, 0, w1Message(4, status, master, searchCommand({})));
    }
    static std::vector<std::uint8_t> commandError(std::uint32_t sequence, std::uint32_t master,
                                                  std::uint8_t status) {
        return connectorMessage(sequence, 0, w1Message(4, status, master, {}));
    }

    // The opener a Connector takes; every channel it opens talks to this kernel.
    onewire::w1netlink::Connector::Opener opener() {
        return [this](std::string& problem) -> std::unique_ptr<Channel> {
            if (refuseWith) {
                problem = *refuseWith;
                return nullptr;
            }
            ++opened;
            return std::make_unique<FakeChannel>(*this);
        };
    }

private:
    struct Pending {
        Clock::time_point readable;
        std::vector<std::uint8_t> bytes;
        bool truncated;
        bool failure;
    };

    template <typename Value>
    static void put(std::vector<std::uint8_t>& bytes, std::size_t offset, Value value) {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    }

    class FakeChannel : public Channel {
    public:
        explicit FakeChannel(FakeW1Kernel& kernel) : kernel_(kernel) {}
        bool send(std::span<const std::uint8_t> datagram, std::string&) override {
            Request request;
            std::memcpy(&request.sequence, datagram.data() + 16 + 8, 4);
            if (datagram.size() > 16 + 20 + 12) {
                std::uint32_t master = 0;
                std::memcpy(&master, datagram.data() + 16 + 20 + 12 + 4, 4);
                request.master = master;
            }
            kernel_.requests.push_back(request);
            kernel_.script(kernel_, request);
            return true;
        }
        Received receive(Clock::time_point deadline) override {
            Pending next;
            {
                std::lock_guard lock(kernel_.mutex_);
                if (kernel_.pending_.empty() || kernel_.pending_.front().readable > deadline) {
                    next.failure = false;
                    next.readable = Clock::time_point::max();
                } else {
                    next = std::move(kernel_.pending_.front());
                    kernel_.pending_.pop_front();
                }
            }
            Received received;
            if (next.readable == Clock::time_point::max()) {
                std::this_thread::sleep_until(deadline);
                received.kind = Received::Kind::TimedOut;
                return received;
            }
            std::this_thread::sleep_until(next.readable);
            if (next.failure) {
                received.kind = Received::Kind::Failed;
                received.problem = "receiving from the kernel failed: No buffer space available";
                return received;
            }
            received.kind = Received::Kind::Datagram;
            received.bytes = std::move(next.bytes);
            received.truncated = next.truncated;
            return received;
        }

    private:
        FakeW1Kernel& kernel_;
    };

    std::mutex mutex_;
    std::deque<Pending> pending_;
};

}  // namespace fakes
