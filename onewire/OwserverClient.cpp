#include "onewire/OwserverClient.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "onewire/Socket.h"
#include "onewire/TextFile.h"

namespace onewire::owserver {
namespace {

std::nullopt_t failed(std::string* failure, std::string why) {
    if (failure != nullptr) {
        *failure = std::move(why);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Reply> exchange(const std::string& host, const std::string& service,
                              std::int32_t type, const std::string& path, std::uint32_t flags,
                              std::int32_t size, Clock::time_point deadline, std::string* failure) {
    if (net::expired(deadline)) {
        return failed(failure, "no time left");
    }
    auto addresses = net::resolve(host, service, deadline);
    if (addresses.empty()) {
        return failed(failure, net::expired(deadline) ? "name lookup timed out" : "unknown host");
    }
    std::unique_ptr<net::Stream> stream;
    std::string why;
    for (const net::Address& address : addresses) {
        stream = net::Stream::connect(address, deadline, why);
        if (stream || net::expired(deadline)) {
            break;
        }
    }
    if (!stream) {
        return failed(failure, "cannot connect: " + why);
    }
    if (!stream->sendAll(encodeRequest(type, path, flags, size), deadline, why)) {
        return failed(failure, "cannot send: " + why);
    }
    return receiveReply(stream->handle(), deadline, failure);
}

std::optional<Reply> receiveReply(net::NativeSocket socket, Clock::time_point deadline,
                                  std::string* failure) {
    ReplyParser parser;
    std::uint8_t buffer[16384];
    while (parser.state() == ReplyParser::State::NeedMore) {
        const net::Received received = net::receive(socket, buffer, deadline);
        if (received.closed) {
            return failed(failure, "closed the connection before the reply was complete");
        }
        if (received.count == 0) {
            return failed(failure, "no reply in time");
        }
        parser.feed(std::span(buffer, received.count));
    }
    if (parser.state() != ReplyParser::State::Complete) {
        return failed(failure, "sent something that is not an owserver reply");
    }
    return parser.reply();
}

namespace {

constexpr std::int32_t kAdapterNameSize = 256;
// Buses read in one pass: an adapter or two is usual, and every bus costs two exchanges.
constexpr int kMaxBuses = 8;

bool isSimulated(const std::string& adapterName) {
    return adapterName.starts_with("Simulated");
}

std::string nameOf(const std::string& bus, const std::string& adapterName) {
    return bus + " \"" + printable(adapterName) + "\"";
}

}  // namespace

OwserverBus::OwserverBus(std::string host, std::string service, std::chrono::milliseconds budget,
                         bool simulatedAllowed, Reporter& reporter, std::string portName)
    : host_(std::move(host)),
      service_(std::move(service)),
      budget_(budget),
      simulatedAllowed_(simulatedAllowed),
      reporter_(reporter),
      portName_(std::move(portName)) {}

std::string OwserverBus::endpoint() const {
    return host_.find(':') == std::string::npos ? host_ + ":" + service_
                                                : "[" + host_ + "]:" + service_;
}

std::optional<Reply> OwserverBus::exchangeWithinBudget(std::int32_t type, const std::string& path,
                                                       std::uint32_t flags, std::int32_t size,
                                                       Clock::time_point deadline) {
    auto start = Clock::now();
    if (start - lastEnd_ >= budget_) {
        spent_ = {};
    }
    if (spent_ >= budget_) {
        if (failure_.empty()) {
            failure_ = "no reply in time";
        }
        return std::nullopt;  // an earlier exchange of the pass used up its time
    }
    auto reply = exchange(host_, service_, type, path, flags, size,
                          std::min(deadline, start + (budget_ - spent_)), &failure_);
    lastEnd_ = Clock::now();
    spent_ += lastEnd_ - start;
    return reply;
}

void OwserverBus::reportOutcome(bool answered) {
    const std::string source = "owserver " + printable(endpoint());
    if (answered) {
        reporter_.reportRecovery(source, "answers again");
    } else {
        reporter_.reportProblem(source, failure_);
    }
}

// The buses are found by reading their adapter names in turn until one is missing: unlike a
// listing of the root, that never makes owserver search a bus.
bool OwserverBus::survey(Clock::time_point deadline) {
    if (buses_) {
        return true;
    }
    std::vector<Bus> buses;
    // One more than are read, to tell whether some are left out.
    for (int index = 0; index <= kMaxBuses; ++index) {
        Bus bus{"bus." + std::to_string(index), {}, false};
        auto reply =
            exchangeWithinBudget(kMessageRead, "/uncached/" + bus.name + "/interface/settings/name",
                                 kFlagOwnet, kAdapterNameSize, deadline);
        if (!reply) {
            return false;  // out of time: this pass cannot tell which buses are real
        }
        if (reply->returnValue < 0) {
            break;  // no such bus
        }
        if (index == kMaxBuses) {
            reporter_.reportOnce("owserver " + endpoint() + " serves more than " +
                                 std::to_string(kMaxBuses) + " buses; only bus.0 to bus." +
                                 std::to_string(kMaxBuses - 1) + " are read");
            break;
        }
        std::string text = reply->payload.substr(
            0, std::min<std::size_t>(reply->payload.size(),
                                     static_cast<std::size_t>(reply->returnValue)));
        bus.adapterName = std::string(trim(text.c_str()));
        bus.listed = simulatedAllowed_ || !isSimulated(bus.adapterName);
        buses.push_back(std::move(bus));
    }
    std::string refused;
    bool anyListed = false;
    for (const Bus& bus : buses) {
        anyListed = anyListed || bus.listed;
        if (!bus.listed) {
            refused += (refused.empty() ? "" : ", ") + nameOf(bus.name, bus.adapterName);
        }
    }
    if (!refused.empty()) {
        reporter_.reportOnce(
            "owserver " + endpoint() + (anyListed ? " also serves " : " serves only ") + refused +
            ": a simulated bus's devices are made up, so they are never listed. For a real "
            "adapter, replace owserver's FAKE or --tester bus by the adapter (in /etc/owfs.conf: "
            "\"server: usb = all\" or \"server: device = /dev/ttyUSB0\") and restart it; for a "
            "demo, end the port's mapping line with the word simulated (\"" +
            portName_ + " = owserver " + endpoint() + " simulated\")");
    }
    buses_ = std::move(buses);
    return true;
}

std::int16_t OwserverBus::setup() {
    bool answered = survey();
    reportOutcome(answered);
    if (!answered) {
        return kSetupNotFound;
    }
    bool anyListed =
        std::any_of(buses_->begin(), buses_->end(), [](const Bus& bus) { return bus.listed; });
    return anyListed ? kSetupReady : kSetupNotFound;
}

std::vector<Rom> OwserverBus::devicesOn(const Bus& bus, std::size_t stopAfter,
                                        Clock::time_point deadline) {
    auto reply =
        exchangeWithinBudget(kMessageDirAll, "/uncached/" + bus.name, kDirectoryFlags, 0, deadline);
    if (reply && reply->returnValue < 0) {
        failure_ = "answered the listing of " + bus.name + " with error " +
                   std::to_string(reply->returnValue);
    }
    if (!reply || reply->returnValue < 0) {
        return {};
    }
    return devicesOfListing(reply->payload, stopAfter, deadline);
}

Enumeration OwserverBus::enumerate(Clock::time_point deadline) {
    if (!survey(deadline)) {
        reportOutcome(false);
        return Enumeration::failed();
    }
    failure_.clear();
    std::vector<Rom> devices;
    for (const Bus& bus : *buses_) {
        // Past the most a pass hands out the count no longer matters: the pass lists none.
        if (bus.listed && devices.size() <= kMaxDevicesPerPass && Clock::now() < deadline) {
            auto found = devicesOn(bus, kMaxDevicesPerPass + 1 - devices.size(), deadline);
            devices.insert(devices.end(), found.begin(), found.end());
        }
    }
    reportOutcome(failure_.empty());
    // One bus that did not answer leaves the others' devices a part of the reader.
    return {std::move(devices), failure_.empty() && Clock::now() < deadline};
}

std::string OwserverBus::describeAdapter() {
    if (!survey()) {
        return "owserver " + endpoint() + " does not answer";
    }
    std::string text;
    for (const Bus& bus : *buses_) {
        bool simulated = isSimulated(bus.adapterName);
        text += (text.empty() ? "" : "; ") + nameOf(bus.name, bus.adapterName) +
                (simulated ? ", simulated" : "") + (bus.listed ? "" : ", refused");
    }
    return text.empty() ? "owserver " + endpoint() + " offers no bus" : text;
}

std::vector<RefusedDevice> OwserverBus::refusedDevices() {
    std::vector<RefusedDevice> refused;
    if (!survey()) {
        return refused;
    }
    for (const Bus& bus : *buses_) {
        if (bus.listed) {
            continue;
        }
        std::string why = "on simulated bus " + nameOf(bus.name, bus.adapterName);
        for (const Rom& rom : devicesOn(bus)) {
            refused.push_back({rom, why});
        }
    }
    return refused;
}

}  // namespace onewire::owserver
