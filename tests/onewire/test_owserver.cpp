// The owserver backend against Debian's real owserver (started and stopped here on a free
// loopback port, with a simulated bus) and against hostile fake servers of the test's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "onewire/OwserverClient.h"
#include "onewire/Runtime.h"

extern char** environ;

using namespace onewire;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Hang guard only: a pass that does not give up by itself would wait for the system's TCP
// timeouts (minutes). The pass's own budget is 200 ms; bench numbers live in onewire_pass_time.
constexpr auto kHangGuard = 2s;

int listeningSocket(int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd, backlog), 0);
    return fd;
}

int portOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int freeLoopbackPort() {
    int fd = listeningSocket(1);
    int port = portOf(fd);
    ::close(fd);
    return port;
}

// A runtime whose USB port 1 is owserver at 127.0.0.1:port; runs passes as the driver does.
class Passes {
public:
    explicit Passes(int port, bool simulatedAllowed = true) {
        settings_ = std::filesystem::temp_directory_path() /
                    ("onewire-owserver-" + std::to_string(port) + ".conf");
        std::ofstream(settings_) << "usb 1 = owserver 127.0.0.1:" << port
                                 << (simulatedAllowed ? " simulated\n" : "\n");
        RuntimeOptions options;
        options.environment = [this](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "ONEWIRE_CONF") {
                return settings_.string();
            }
            return std::nullopt;
        };
        options.diagnostics = [this](const std::string& text) { reports_.push_back(text); };
        runtime_ = std::make_unique<Runtime>(options);
    }
    ~Passes() { std::filesystem::remove(settings_); }

    std::vector<std::string> pass() {
        auto started = Clock::now();
        std::int32_t session = runtime_->startSession(1, kPortTypeUsb);
        EXPECT_GT(session, 0);
        std::vector<std::string> ids;
        while (runtime_->next(session, buffer_.data()) == 1) {
            ids.push_back(current(session));
        }
        runtime_->endSession(session);
        EXPECT_LT(Clock::now() - started, kHangGuard);
        return ids;
    }
    std::int16_t setup() {
        std::int32_t session = runtime_->startSession(1, kPortTypeUsb);
        std::int16_t code = runtime_->setup(session);
        runtime_->endSession(session);
        return code;
    }
    std::string current(std::int32_t session) {
        std::int16_t rom[8] = {};
        runtime_->rom(session, buffer_.data(), rom);
        std::string text;
        for (std::int16_t element : rom) {
            char digits[8];
            std::snprintf(digits, sizeof digits, "%02X", element);
            text += digits;
        }
        return text;
    }
    Runtime& runtime() { return *runtime_; }
    std::vector<std::uint8_t>& buffer() { return buffer_; }
    const std::vector<std::string>& reports() const { return reports_; }

private:
    std::filesystem::path settings_;
    std::vector<std::string> reports_;
    std::unique_ptr<Runtime> runtime_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kStateBufferSize, 0);
};

// Debian's owserver on a simulated bus. An empty settings file of our own keeps the machine's
// /etc/owfs.conf out; /dev/null would too, but owserver watches its settings file and restarts
// itself whenever /dev/null is written to, which on a busy machine is all the time.
class OwserverProcess {
public:
    // An empty tester serves only what owfsSettings names.
    OwserverProcess(int port, std::string tester, const std::string& owfsSettings = "")
        : port_(port), tester_(std::move(tester)) {
        settings_ =
            std::filesystem::temp_directory_path() /
            ("onewire-owfs-" + std::to_string(port) + "-" + std::to_string(++instances_) + ".conf");
        std::ofstream(settings_) << owfsSettings;
    }
    ~OwserverProcess() {
        stop();
        std::filesystem::remove(settings_);
    }

    bool start() {
        std::string listen = "127.0.0.1:" + std::to_string(port_);
        std::string testerOption = "--tester=" + tester_;
        std::string settings = settings_.string();
        const char* argv[] = {"owserver", "-c",           settings.c_str(), "--foreground",
                              "-p",       listen.c_str(), nullptr,          nullptr};
        if (!tester_.empty()) {
            argv[6] = testerOption.c_str();
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        int failed = posix_spawnp(&pid_, "owserver", &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            pid_ = -1;
            return false;
        }
        auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            if (owserver::exchange("127.0.0.1", std::to_string(port_), owserver::kMessageNop, "",
                                   owserver::kFlagOwnet, 0, Clock::now() + 200ms)) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    void stop() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 60; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    int port_;
    std::string tester_;
    std::filesystem::path settings_;
    pid_t pid_ = -1;
    static inline int instances_ = 0;
};

// owserver's own view: the devices it lists and each one's `address` property.
std::set<std::string> addressesFromOwserver(int port) {
    std::set<std::string> addresses;
    auto service = std::to_string(port);
    auto listing = owserver::exchange("127.0.0.1", service, owserver::kMessageDirAll, "/",
                                      owserver::kFlagOwnet, 0, Clock::now() + 2s);
    EXPECT_TRUE(listing);
    if (!listing) {
        return addresses;
    }
    std::string entries = listing->payload.c_str();
    std::size_t position = 0;
    while (position < entries.size()) {
        std::size_t end = entries.find(',', position);
        end = end == std::string::npos ? entries.size() : end;
        std::string entry = entries.substr(position, end - position);
        position = end + 1;
        if (entry.size() == 16 && entry[3] == '.') {  // "/01.000001FE0000"
            auto address =
                owserver::exchange("127.0.0.1", service, owserver::kMessageRead, entry + "/address",
                                   owserver::kFlagOwnet, 8192, Clock::now() + 2s);
            EXPECT_TRUE(address);
            if (address) {
                addresses.insert(address->payload.substr(0, 16));
            }
        }
    }
    return addresses;
}

}  // namespace

TEST(RealOwserver, IdsEqualOwserversAddressProperty) {
    int port = freeLoopbackPort();
    OwserverProcess server(port, "01,01,81,09,10");
    ASSERT_TRUE(server.start()) << "owserver (Debian package owserver) must be installed";
    Passes passes(port);
    EXPECT_EQ(passes.setup(), 1);

    auto ids = passes.pass();
    auto expected = addressesFromOwserver(port);
    EXPECT_EQ(expected.size(), 5u);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()), expected);
    EXPECT_EQ(ids.size(), expected.size()) << "each device once";
    // The adapter chips 81 and 09 are devices like any other here; the driver leaves them out.
    EXPECT_TRUE(expected.contains("810000817E020076"));
    EXPECT_TRUE(expected.contains("01000001FE0000CB"));
    EXPECT_EQ(passes.pass(), ids) << "the next pass sees them all again";
}

TEST(RealOwserver, StoppedMidScanThenStartedAgain) {
    int port = freeLoopbackPort();
    auto server = std::make_unique<OwserverProcess>(port, "01,01");
    ASSERT_TRUE(server->start());
    Passes passes(port);
    ASSERT_EQ(passes.pass().size(), 2u);

    // Stopped while an enumeration is under way: it finishes from its snapshot, quietly.
    std::int32_t session = passes.runtime().startSession(1, kPortTypeUsb);
    ASSERT_EQ(passes.runtime().next(session, passes.buffer().data()), 1);
    server->stop();
    EXPECT_EQ(passes.runtime().next(session, passes.buffer().data()), 1);
    EXPECT_EQ(passes.runtime().next(session, passes.buffer().data()), 0);
    passes.runtime().endSession(session);

    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(passes.pass().empty());
    }
    EXPECT_EQ(passes.setup(), 3);

    server = std::make_unique<OwserverProcess>(port, "01,01");
    ASSERT_TRUE(server->start());
    EXPECT_EQ(passes.pass(), (std::vector<std::string>{"01000001FE0000CB", "01000001FE01000F"}));
    EXPECT_EQ(passes.setup(), 1);
}

// Debian ships /etc/owfs.conf with a FAKE bus; --tester makes another simulated one. Their
// devices are made up and must never reach an operator unless the mapping asks for them.
TEST(RealOwserver, SimulatedBusesAreRefusedUnlessAskedFor) {
    struct Server {
        const char* tester;
        const char* owfsSettings;
        const char* adapterName;
    };
    for (Server simulated : {Server{"01,01", "", "Simulated-Computed"},
                             Server{"", "server: FAKE = DS18S20,DS2405\n", "Simulated-Random"}}) {
        int port = freeLoopbackPort();
        OwserverProcess server(port, simulated.tester, simulated.owfsSettings);
        ASSERT_TRUE(server.start()) << simulated.adapterName;

        Passes refusing(port, false);
        EXPECT_EQ(refusing.setup(), kSetupNotFound);
        EXPECT_TRUE(refusing.pass().empty());
        EXPECT_TRUE(refusing.pass().empty());
        EXPECT_EQ(refusing.setup(), kSetupNotFound);
        ASSERT_EQ(refusing.reports().size(), 1u) << "said once";
        const std::string& report = refusing.reports()[0];
        for (std::string part : {"127.0.0.1:" + std::to_string(port), std::string("bus.0"),
                                 std::string(simulated.adapterName), std::string("server: usb"),
                                 std::string(" simulated\")")}) {
            EXPECT_NE(report.find(part), std::string::npos) << part << " in " << report;
        }

        Passes allowing(port, true);
        EXPECT_EQ(allowing.setup(), kSetupReady);
        EXPECT_EQ(allowing.pass().size(), 2u) << simulated.adapterName;
        EXPECT_TRUE(allowing.reports().empty());
    }
}

namespace {

// A server of our own on loopback that answers every connection with `behaviour`.
class FakeServer {
public:
    using Behaviour = std::function<void(int connection, FakeServer& server)>;

    explicit FakeServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
        listener_ = listeningSocket(8);
        port_ = portOf(listener_);
        ::pipe(stopPipe_);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        ::write(stopPipe_[1], "x", 1);
        thread_.join();
        ::close(listener_);
        ::close(stopPipe_[0]);
        ::close(stopPipe_[1]);
    }
    int port() const { return port_; }
    // The path of the request being answered.
    const std::string& requestPath() const { return requestPath_; }

    // Waits, returning false at once when the server is stopped.
    bool pause(std::chrono::milliseconds time) {
        pollfd stop{stopPipe_[0], POLLIN, 0};
        return ::poll(&stop, 1, static_cast<int>(time.count())) == 0;
    }
    static void send(int connection, const std::vector<std::uint8_t>& bytes) {
        ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    static std::vector<std::uint8_t> header(std::int32_t payload, std::int32_t returnValue = 0) {
        std::vector<std::uint8_t> bytes;
        for (std::int32_t word : {0, payload, returnValue, 0x100, std::max(payload, 0), 0}) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                bytes.push_back(
                    static_cast<std::uint8_t>(static_cast<std::uint32_t>(word) >> shift));
            }
        }
        return bytes;
    }
    static std::vector<std::uint8_t> reply(const std::string& payload, std::int32_t value = 0) {
        auto bytes = header(static_cast<std::int32_t>(payload.size() + 1), value);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        bytes.push_back(0);
        return bytes;
    }

private:
    void serve() {
        while (true) {
            pollfd waiting[] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            ::poll(waiting, 2, -1);
            if (waiting[1].revents != 0) {
                return;
            }
            int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                // Take the request first: closing on unread data would reset the connection.
                pollfd request{connection, POLLIN, 0};
                std::uint8_t bytes[512];
                ssize_t count = 0;
                if (::poll(&request, 1, 1000) > 0) {
                    count = ::recv(connection, bytes, sizeof bytes, MSG_DONTWAIT);
                }
                requestPath_.clear();
                for (ssize_t i = 24; i < count && bytes[i] != 0; ++i) {
                    requestPath_ += static_cast<char>(bytes[i]);
                }
                behaviour_(connection, *this);
                ::close(connection);
            }
        }
    }

    Behaviour behaviour_;
    std::string requestPath_;
    int listener_ = -1;
    int port_ = 0;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

void expectNoDevice(FakeServer::Behaviour behaviour) {
    FakeServer server(std::move(behaviour));
    Passes passes(server.port());
    EXPECT_TRUE(passes.pass().empty());
    EXPECT_TRUE(passes.pass().empty());
}

}  // namespace

TEST(HostileOwserver, PingsBeforeTheAnswerAreSkipped) {
    FakeServer server([](int connection, FakeServer& self) {
        for (int i = 0; i < 3; ++i) {
            FakeServer::send(connection, FakeServer::header(-1));
            self.pause(10ms);
        }
        const std::string& path = self.requestPath();
        if (path.ends_with("/interface/settings/name")) {
            bool first = path == "/uncached/bus.0/interface/settings/name";
            FakeServer::send(connection, FakeServer::reply(first ? "DS9490" : "", first ? 6 : -1));
            return;
        }
        FakeServer::send(connection,
                         FakeServer::reply("/uncached/01.000001FE0000,/uncached/bus.0,"
                                           "/uncached/bus.0/01.000001FE0000/,"
                                           "/uncached/settings,/uncached/00.000000000000,"
                                           "/uncached/01.XYZ001FE0000,/uncached/alarm"));
    });
    Passes passes(server.port());
    EXPECT_EQ(passes.pass(), std::vector<std::string>{"01000001FE0000CB"});
    EXPECT_EQ(passes.setup(), 1);
}

TEST(HostileOwserver, EndlessPingsAndSilenceGiveUp) {
    expectNoDevice([](int connection, FakeServer& self) {
        while (self.pause(20ms)) {
            FakeServer::send(connection, FakeServer::header(-1));
        }
    });
    expectNoDevice([](int, FakeServer& self) { self.pause(10s); });  // accepts, never answers
    expectNoDevice([](int connection, FakeServer& self) {            // a reply a byte at a time
        for (std::uint8_t byte : FakeServer::reply("/uncached/01.000001FE0000")) {
            if (!self.pause(5ms)) {
                return;
            }
            FakeServer::send(connection, {byte});
        }
    });
    FakeServer silent([](int, FakeServer& self) { self.pause(10s); });
    EXPECT_EQ(Passes(silent.port()).setup(), 3);
}

TEST(HostileOwserver, ListeningButNeverAccepting) {
    int listener = listeningSocket(1);  // the kernel completes connections nobody takes
    {
        Passes passes(portOf(listener));
        EXPECT_TRUE(passes.pass().empty());
        EXPECT_EQ(passes.setup(), 3);
    }
    ::close(listener);
}

// The driver's first pass sets the adapter up and then enumerates in the same session: against
// a server that never answers, the two share one budget, so the enumeration does not even connect.
TEST(HostileOwserver, SetupAndEnumerationOfAPassShareOneBudget) {
    int listener = listeningSocket(8);  // the kernel completes connections nobody takes
    {
        Passes passes(portOf(listener));
        std::int32_t session = passes.runtime().startSession(1, kPortTypeUsb);
        EXPECT_EQ(passes.runtime().setup(session), 3);
        EXPECT_EQ(passes.runtime().next(session, passes.buffer().data()), 0);
        passes.runtime().endSession(session);
    }
    int connections = 0;
    for (pollfd waiting{listener, POLLIN, 0}; ::poll(&waiting, 1, 0) > 0; ++connections) {
        ::close(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    }
    EXPECT_EQ(connections, 1);
    ::close(listener);
}

TEST(HostileOwserver, RefusedConnection) {
    Passes passes(freeLoopbackPort());
    EXPECT_TRUE(passes.pass().empty());
    EXPECT_EQ(passes.setup(), 3);
}

// Each failure is reported when it starts or changes, and once when the server answers again.
// A name is looked up in the background, each of its addresses tried in turn (localhost may give
// ::1 first, where nothing listens); a name that does not resolve fails the exchange, by its
// deadline.
TEST(HostileOwserver, HostNames) {
    FakeServer server(
        [](int connection, FakeServer&) { FakeServer::send(connection, FakeServer::reply("")); });
    std::string failure;
    EXPECT_TRUE(owserver::exchange("localhost", std::to_string(server.port()),
                                   owserver::kMessageNop, "", owserver::kFlagOwnet, 0,
                                   Clock::now() + 5s, &failure))
        << failure;
    EXPECT_FALSE(owserver::exchange("no-such-host.invalid", "4304", owserver::kMessageNop, "",
                                    owserver::kFlagOwnet, 0, Clock::now() + 2s, &failure));
    EXPECT_TRUE(failure == "unknown host" || failure == "name lookup timed out") << failure;
}

// A listener whose accept queue is full: the kernel drops further connection requests, so a
// connection to it stays pending, like one to an address whose packets are lost on the way.
class BlackHole {
public:
    BlackHole() : listener_(listeningSocket(0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(portOf(listener_)));
        for (int i = 0; i < 8; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            clients_.push_back(fd);
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, 100) == 0) {
                return;  // this one hangs: the queue is full
            }
        }
        ADD_FAILURE() << "the accept queue never filled";
    }
    ~BlackHole() {
        for (int fd : clients_) {
            ::close(fd);
        }
        ::close(listener_);
    }
    int port() const { return portOf(listener_); }

private:
    int listener_;
    std::vector<int> clients_;
};

net::Address addressOf(const std::string& host, int port) {
    auto addresses = net::resolve(host, std::to_string(port), Clock::now() + 1s);
    EXPECT_EQ(addresses.size(), 1u) << host;
    return addresses.empty() ? net::Address{} : addresses.front();
}

// Every address of a name gets its turn within the pass's budget: a refused one (owserver bound
// to IPv4 only, the name's IPv6 address first) and one that never answers do not keep the
// connection from the address that accepts; when none does, each is named with its reason.
TEST(HostileOwserver, EveryAddressIsTriedWithinTheBudget) {
    FakeServer server(
        [](int connection, FakeServer&) { FakeServer::send(connection, FakeServer::reply("")); });
    const int closed = freeLoopbackPort();
    BlackHole hole;
    const net::Address refused6 = addressOf("::1", closed);
    const net::Address hanging = addressOf("127.0.0.1", hole.port());
    const net::Address good = addressOf("127.0.0.1", server.port());
    std::string why;
    EXPECT_TRUE(net::Stream::connectAny({refused6, good}, Clock::now() + 200ms, why)) << why;
    EXPECT_TRUE(net::Stream::connectAny({hanging, refused6, good}, Clock::now() + 200ms, why))
        << why;

    auto started = Clock::now();
    EXPECT_FALSE(net::Stream::connectAny({hanging, refused6}, Clock::now() + 200ms, why));
    EXPECT_LT(Clock::now() - started, kHangGuard);
    EXPECT_EQ(why, "127.0.0.1:" + std::to_string(hole.port()) + ": Connection timed out; [::1]:" +
                       std::to_string(closed) + ": Connection refused");
    EXPECT_EQ(net::describeAddress(good), "127.0.0.1:" + std::to_string(server.port()));
}

TEST(HostileOwserver, FailuresAreReportedOnceAndSoIsTheRecovery) {
    int port = freeLoopbackPort();
    Passes passes(port);
    for (int i = 0; i < 3; ++i) {
        passes.pass();
        passes.setup();
    }
    auto server = std::make_unique<OwserverProcess>(port, "01");
    ASSERT_TRUE(server->start());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(passes.pass().size(), 1u);
    }
    const std::string name = "owserver 127.0.0.1:" + std::to_string(port) + ": ";
    EXPECT_EQ(passes.reports(),
              (std::vector<std::string>{name + "cannot connect: 127.0.0.1:" + std::to_string(port) +
                                            ": Connection refused",
                                        name + "answers again"}));

    FakeServer garbage([](int connection, FakeServer&) {
        FakeServer::send(connection, std::vector<std::uint8_t>(64, 0x7E));
    });
    Passes confused(garbage.port());
    confused.pass();
    confused.pass();
    ASSERT_EQ(confused.reports().size(), 1u);
    EXPECT_NE(confused.reports()[0].find("not an owserver reply"), std::string::npos)
        << confused.reports()[0];
}

TEST(HostileOwserver, TruncatedAndOversizedReplies) {
    expectNoDevice([](int connection, FakeServer&) {
        auto bytes = FakeServer::header(20);
        bytes.resize(10);
        FakeServer::send(connection, bytes);  // a truncated header, then closed
    });
    expectNoDevice([](int connection, FakeServer& self) {
        auto bytes = FakeServer::header(20);
        bytes.resize(10);
        FakeServer::send(connection, bytes);  // a truncated header, kept open
        self.pause(10s);
    });
    expectNoDevice([](int connection, FakeServer&) {
        auto bytes = FakeServer::reply("/uncached/01.000001FE0000");
        bytes.resize(bytes.size() - 6);
        FakeServer::send(connection, bytes);  // a truncated payload
    });
    expectNoDevice([](int connection, FakeServer&) {
        FakeServer::send(connection, FakeServer::header(-12345));  // negative, then nothing
    });
    expectNoDevice([](int connection, FakeServer& self) {
        auto bytes = FakeServer::header(0x7FFFFFFF);  // huge
        bytes.resize(bytes.size() + 4096, 'A');
        FakeServer::send(connection, bytes);
        self.pause(10s);
    });
    expectNoDevice([](int connection, FakeServer&) {
        FakeServer::send(connection, FakeServer::reply("/uncached/01.000001FE0000", -1));
    });
}

TEST(HostileOwserver, RandomBytes) {
    std::mt19937 random(2024);
    for (int round = 0; round < 5; ++round) {
        std::vector<std::uint8_t> bytes(64 + random() % 4000);
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        expectNoDevice(
            [bytes](int connection, FakeServer&) { FakeServer::send(connection, bytes); });
    }
}

// A peer that streams keep-alives faster than they are read always has bytes waiting; once the
// pass's time is up the client must stop reading rather than skip pings without end.
TEST(HostileOwserver, KeepAlivesWaitingAfterTheDeadlineAreNotRead) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    std::vector<std::uint8_t> pings;
    for (int i = 0; i < 100; ++i) {
        auto ping = FakeServer::header(-1);
        pings.insert(pings.end(), ping.begin(), ping.end());
    }
    ASSERT_EQ(::send(pair[1], pings.data(), pings.size(), 0), ssize_t(pings.size()));
    EXPECT_FALSE(owserver::receiveReply(pair[0], Clock::now()));
    std::uint8_t left[4096];
    EXPECT_EQ(::recv(pair[0], left, sizeof left, MSG_PEEK | MSG_DONTWAIT), ssize_t(pings.size()));
    ::close(pair[0]);
    ::close(pair[1]);

    expectNoDevice([](int connection, FakeServer& self) {  // floods until the client hangs up
        std::vector<std::uint8_t> flood;
        for (int i = 0; i < 1000; ++i) {
            auto ping = FakeServer::header(-1);
            flood.insert(flood.end(), ping.begin(), ping.end());
        }
        while (self.pause(0ms) &&
               ::send(connection, flood.data(), flood.size(), MSG_NOSIGNAL) > 0) {
        }
    });
}

// A server with a real adapter and a simulated bus hands out only the real bus's devices.
TEST(FakeOwserver, OnlyTheRealBusIsListed) {
    FakeServer server([](int connection, FakeServer& self) {
        const std::map<std::string, std::pair<std::string, std::int32_t>> answers = {
            {"/uncached/bus.0/interface/settings/name", {"DS9490", 6}},
            {"/uncached/bus.1/interface/settings/name", {"Simulated-Random", 16}},
            {"/uncached/bus.0", {"/uncached/bus.0/01.000001FE0000,/uncached/bus.0/interface", 0}},
            {"/uncached/bus.1", {"/uncached/bus.1/10.67C6697351FF", 0}},
        };
        auto answer = answers.find(self.requestPath());
        FakeServer::send(connection,
                         answer != answers.end()
                             ? FakeServer::reply(answer->second.first, answer->second.second)
                             : FakeServer::reply("", -1));  // no such entry
    });
    Passes passes(server.port(), false);
    EXPECT_EQ(passes.setup(), kSetupReady);
    EXPECT_EQ(passes.pass(), std::vector<std::string>{"01000001FE0000CB"});
    ASSERT_EQ(passes.reports().size(), 1u);
    EXPECT_NE(passes.reports()[0].find("also serves bus.1 \"Simulated-Random\""), std::string::npos)
        << passes.reports()[0];

    Passes allowing(server.port(), true);
    EXPECT_EQ(allowing.pass(), (std::vector<std::string>{"01000001FE0000CB", "1067C6697351FF8D"}));
}

// Two real buses, one of which fails its listing: the other's devices are part of the reader,
// and a part is never listed.
TEST(FakeOwserver, ABusThatFailsItsListingListsNothingOfTheOthers) {
    FakeServer server([](int connection, FakeServer& self) {
        const std::map<std::string, std::pair<std::string, std::int32_t>> answers = {
            {"/uncached/bus.0/interface/settings/name", {"DS9490", 6}},
            {"/uncached/bus.1/interface/settings/name", {"DS9490", 6}},
            {"/uncached/bus.0", {"/uncached/bus.0/01.000001FE0000", 0}},
        };
        auto answer = answers.find(self.requestPath());
        FakeServer::send(connection,
                         answer != answers.end()
                             ? FakeServer::reply(answer->second.first, answer->second.second)
                             : FakeServer::reply("", -1));  // bus.1's listing fails
    });
    Passes passes(server.port(), false);
    EXPECT_EQ(passes.setup(), kSetupReady);
    EXPECT_TRUE(passes.pass().empty());
    EXPECT_TRUE(passes.pass().empty());
}

namespace {

// A listing of `count` distinct devices on a bus, "/uncached/bus.N/01.XXXXXXXXXXXX" each.
std::string listingOf(int bus, unsigned count) {
    std::string listing;
    char entry[64];
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(entry, sizeof entry, "%s/uncached/bus.%d/01.%06X%06X", i ? "," : "", bus,
                      static_cast<unsigned>(bus), i);
        listing += entry;
    }
    return listing;
}

// The largest listing owserver may send: 256 KiB of device names.
const std::string& largestListing() {
    static const std::string listing = listingOf(0, 256 * 1024 / 32 - 1);
    return listing;
}

// A server of `buses` real adapters whose every listing is `listing`, sent after `delay` in
// pieces spread over `spread`.
FakeServer::Behaviour adapters(int buses, const std::string& listing,
                               std::chrono::milliseconds delay = 0ms, int pieces = 1,
                               std::chrono::milliseconds spread = 0ms) {
    return [=](int connection, FakeServer& self) {
        int bus = -1;
        std::sscanf(self.requestPath().c_str(), "/uncached/bus.%d", &bus);
        if (bus < 0 || bus >= buses) {
            FakeServer::send(connection, FakeServer::reply("", -1));
            return;
        }
        if (self.requestPath().ends_with("/interface/settings/name")) {
            FakeServer::send(connection, FakeServer::reply("DS9490", 6));
            return;
        }
        if (!self.pause(delay)) {
            return;
        }
        auto bytes = FakeServer::reply(listing);
        const std::size_t piece = (bytes.size() + pieces - 1) / pieces;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            if (at > 0 && !self.pause(spread / pieces)) {
                return;
            }
            const auto end = bytes.begin() + std::min(at + piece, bytes.size());
            FakeServer::send(connection, std::vector<std::uint8_t>(bytes.begin() + at, end));
        }
        pollfd hungUp{connection, POLLIN, 0};  // the client has read it all
        ::poll(&hungUp, 1, 100);
    };
}

// The pass's budget, and a margin for work that cannot be cut and for a busy machine.
constexpr auto kPassBound = 200ms + 60ms;

std::chrono::milliseconds timeOf(Passes& passes, std::vector<std::string>* ids = nullptr) {
    auto start = Clock::now();
    auto found = passes.pass();
    if (ids != nullptr) {
        *ids = found;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

bool reported(const Passes& passes, const std::string& part) {
    return std::any_of(
        passes.reports().begin(), passes.reports().end(),
        [&](const std::string& report) { return report.find(part) != std::string::npos; });
}

}  // namespace

// However large or slow the answer, a pass ends within its budget, and a list it could not read
// whole, or that holds more devices than a reader can, lists nothing.
TEST(HostileOwserver, SlowThenLarge) {
    FakeServer server(adapters(1, largestListing(), 180ms));
    Passes passes(server.port(), false);
    for (int pass = 0; pass < 3; ++pass) {
        std::vector<std::string> ids;
        EXPECT_LT(timeOf(passes, &ids), kPassBound);
        EXPECT_TRUE(ids.empty());
    }
    EXPECT_TRUE(reported(passes, "port usb 1: ")) << "the pass says why it lists nothing";
}

TEST(HostileOwserver, LargeAndSlow) {
    FakeServer server(adapters(1, largestListing(), 0ms, 64, 400ms));
    Passes passes(server.port(), false);
    std::vector<std::string> ids;
    EXPECT_LT(timeOf(passes, &ids), kPassBound);
    EXPECT_TRUE(ids.empty());
}

TEST(HostileOwserver, ManyBusesOfLargeListings) {
    FakeServer server(adapters(32, largestListing()));
    Passes passes(server.port(), false);
    for (int pass = 0; pass < 3; ++pass) {
        std::vector<std::string> ids;
        EXPECT_LT(timeOf(passes, &ids), kPassBound);
        EXPECT_TRUE(ids.empty());
    }
    EXPECT_EQ(std::count_if(passes.reports().begin(), passes.reports().end(),
                            [](const std::string& report) {
                                return report.ends_with(
                                    "serves more than 8 buses; only bus.0 to bus.7 are read");
                            }),
              1);
    EXPECT_TRUE(reported(passes, "port usb 1: the bus shows more than 256 devices"));
}

// Up to the most a pass hands out, every device of every bus is listed.
TEST(HostileOwserver, TwoBusesOfAHundredDevicesEach) {
    FakeServer server(adapters(2, listingOf(0, 100)));
    Passes passes(server.port(), false);
    EXPECT_EQ(passes.pass().size(), 100u) << "the same devices on both buses are one device each";
    FakeServer full(adapters(1, listingOf(0, 256)));
    Passes all(full.port(), false);
    EXPECT_EQ(all.pass().size(), 256u);
}
