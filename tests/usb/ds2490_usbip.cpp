// ds2490-usbip: the DS2490 model (Ds2490Model.h) presented as a USB/IP device, for tests: a host
// that runs `usbip attach -r 127.0.0.1 -b 1-1` (vhci-hcd) gets a DS9490R whose bus a test changes.
//
//   ds2490-usbip [--port N] [--control PATH] [--busid ID] [--adapter HEX] [--paced]
//                [--trace FILE] [HEX...]
//       serves on 127.0.0.1:N (3240, usbip's own port, by default) with the given tokens on the
//       bus (16 hex digits each, ROM order: family first, CRC last), until SIGTERM or "quit".
//       Prints "ready PORT" on standard output once it listens (PORT 0 picks a free one).
//       --paced keeps the chip busy for each command's bus time, in real time.
//       --trace writes one line per completed transfer: endpoint, setup packet or length,
//       status and the data.
//   ds2490-usbip --send PATH COMMAND...
//       sends one command line to a running server's control socket and prints the answer.
//
// Control commands (one a line on the UNIX socket PATH; the answer is one line, "ok ..." or
// "error ..."):
//   add HEX | remove HEX | tokens [HEX...]      put a token on, take one off, set them all
//   list                                        the ROM codes on the bus, adapter's first
//   short on|off                                a shorted bus
//   stall EP | silent EP on|off                 EP 0-3: stall until cleared, or never answer
//   unplug                                      drop the USB/IP connection now (the host sees
//                                               the device go; it can attach again)
//   unplug-after N                              drop it at the N-th transfer from now
//   stats                                       bus time (us), resets, search passes,
//                                               commands, transfers, attaches
//   quit                                        end the server
//
// Only loopback: the server binds 127.0.0.1 and nothing else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/usb/Ds2490Model.h"

namespace {

using onewire::testing::Ds2490Model;
using onewire::testing::RomBytes;
using Outcome = Ds2490Model::Outcome;
using Endpoint = Ds2490Model::Endpoint;

constexpr std::uint16_t kUsbipVersion = 0x0111;
constexpr std::uint16_t kOpReqDevlist = 0x8005, kOpRepDevlist = 0x0005;
constexpr std::uint16_t kOpReqImport = 0x8003, kOpRepImport = 0x0003;
constexpr std::uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr std::size_t kHeaderSize = 48;
constexpr std::uint32_t kSpeedFull = 2;
constexpr std::uint32_t kBusNum = 1, kDevNum = 2;
// A transfer longer than this is refused: the chip's FIFOs hold 128 bytes and a host reads or
// writes at most a few KiB at once.
constexpr std::uint32_t kMaxTransfer = 65536;

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) {
    stopRequested = 1;
}

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
}
std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::optional<RomBytes> parseRom(const std::string& hex) {
    if (hex.size() != 16) {
        return std::nullopt;
    }
    RomBytes rom{};
    for (std::size_t i = 0; i < 8; ++i) {
        char* end = nullptr;
        const std::string pair = hex.substr(2 * i, 2);
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            return std::nullopt;
        }
        rom[i] = static_cast<std::uint8_t>(v);
    }
    return rom;
}

std::string romHex(const RomBytes& rom) {
    std::string s;
    char buf[3];
    for (std::uint8_t b : rom) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The usbip_usb_device record of OP_REP_DEVLIST and OP_REP_IMPORT.
std::vector<std::uint8_t> deviceRecord(const std::string& busid) {
    std::vector<std::uint8_t> r(0x138, 0);
    const std::string path = "/sys/devices/platform/ds2490-model/usb1/" + busid;
    std::memcpy(r.data(), path.data(), std::min<std::size_t>(path.size(), 255));
    std::memcpy(r.data() + 0x100, busid.data(), std::min<std::size_t>(busid.size(), 31));
    put32(r, 0x120, kBusNum);
    put32(r, 0x124, kDevNum);
    put32(r, 0x128, kSpeedFull);
    put16(r, 0x12C, Ds2490Model::kVendorId);
    put16(r, 0x12E, Ds2490Model::kProductId);
    put16(r, 0x130, 0x0100);
    r[0x132] = 0xFF;  // class
    r[0x133] = 0x00;
    r[0x134] = 0x00;
    r[0x135] = 0;  // not configured
    r[0x136] = 1;  // configurations
    r[0x137] = 1;  // interfaces
    return r;
}

struct Urb {
    std::uint32_t seqnum = 0;
    std::uint32_t direction = 0;  // 0 out, 1 in
    std::uint32_t ep = 0;
    std::uint32_t length = 0;
    Ds2490Model::Setup setup;
    std::vector<std::uint8_t> out;
    std::size_t sent = 0;  // bulk OUT bytes the chip has taken
};

class Server {
public:
    Server(Ds2490Model& chip, std::string busid) : chip_(chip), busid_(std::move(busid)) {}

    bool listenTcp(int port) {
        tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(tcp_, 4) != 0) {
            std::perror("ds2490-usbip: 127.0.0.1");
            return false;
        }
        socklen_t len = sizeof a;
        ::getsockname(tcp_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        return true;
    }

    bool listenControl(const std::string& path) {
        control_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (path.size() >= sizeof a.sun_path) {
            std::fprintf(stderr, "ds2490-usbip: control path too long: %s\n", path.c_str());
            return false;
        }
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        ::unlink(path.c_str());
        if (::bind(control_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(control_, 4) != 0) {
            std::perror(("ds2490-usbip: " + path).c_str());
            return false;
        }
        controlPath_ = path;
        return true;
    }

    int port() const { return port_; }
    void traceTo(std::FILE* file) { trace_ = file; }

    void run() {
        while (!stopRequested && !quit_) {
            std::vector<pollfd> fds;
            fds.push_back({tcp_, POLLIN, 0});
            if (control_ >= 0) {
                fds.push_back({control_, POLLIN, 0});
            }
            for (const Peer& c : controlPeers_) {
                fds.push_back({c.fd, POLLIN, 0});
            }
            for (const Peer& p : handshakes_) {
                fds.push_back({p.fd, POLLIN, 0});
            }
            if (usb_ >= 0) {
                fds.push_back({usb_, POLLIN, 0});
            }
            // Pending URBs are tried again every few milliseconds: the chip's state changes
            // with time only through the other endpoints and the control socket.
            const int timeout = pending_.empty() ? 200 : 2;
            const int n = ::poll(fds.data(), fds.size(), timeout);
            if (n < 0 && errno != EINTR) {
                std::perror("ds2490-usbip: poll");
                return;
            }
            for (const pollfd& p : fds) {
                if (p.revents == 0) {
                    continue;
                }
                if (p.fd == tcp_) {
                    acceptTcp();
                } else if (p.fd == control_) {
                    const int fd = ::accept4(control_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        controlPeers_.push_back({fd, {}});
                    }
                } else if (p.fd == usb_) {
                    readUsb();
                } else {
                    readPeer(p.fd);
                }
            }
            retryPending();
        }
        if (!controlPath_.empty()) {
            ::unlink(controlPath_.c_str());
        }
    }

private:
    struct Peer {
        int fd;
        std::vector<std::uint8_t> in;
    };

    void acceptTcp() {
        const int fd = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        handshakes_.push_back({fd, {}});
    }

    void closePeer(std::vector<Peer>& peers, int fd) {
        for (auto it = peers.begin(); it != peers.end(); ++it) {
            if (it->fd == fd) {
                ::close(fd);
                peers.erase(it);
                return;
            }
        }
    }

    void readPeer(int fd) {
        std::vector<Peer>* list = &handshakes_;
        Peer* peer = findPeer(handshakes_, fd);
        if (peer == nullptr) {
            list = &controlPeers_;
            peer = findPeer(controlPeers_, fd);
        }
        if (peer == nullptr) {
            return;
        }
        std::uint8_t buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            closePeer(*list, fd);
            return;
        }
        peer->in.insert(peer->in.end(), buf, buf + n);
        if (list == &controlPeers_) {
            handleControlInput(*peer);
        } else {
            handleHandshake(fd);
        }
    }

    static Peer* findPeer(std::vector<Peer>& peers, int fd) {
        for (Peer& p : peers) {
            if (p.fd == fd) {
                return &p;
            }
        }
        return nullptr;
    }

    // OP_REQ_DEVLIST or OP_REQ_IMPORT on a new connection.
    void handleHandshake(int fd) {
        Peer* peer = findPeer(handshakes_, fd);
        if (peer->in.size() < 8) {
            return;
        }
        const std::uint16_t code = get16(peer->in.data() + 2);
        if (code == kOpReqDevlist) {
            std::vector<std::uint8_t> r(12, 0);
            put16(r, 0, kUsbipVersion);
            put16(r, 2, kOpRepDevlist);
            put32(r, 8, usb_ >= 0 ? 0 : 1);  // an imported device is not listed
            if (usb_ < 0) {
                const std::vector<std::uint8_t> d = deviceRecord(busid_);
                r.insert(r.end(), d.begin(), d.end());
                r.insert(r.end(), {0xFF, 0xFF, 0xFF, 0});
            }
            writeAll(fd, r.data(), r.size());
            closePeer(handshakes_, fd);
            return;
        }
        if (code != kOpReqImport) {
            std::fprintf(stderr, "ds2490-usbip: unknown request %04x, closing\n", code);
            closePeer(handshakes_, fd);
            return;
        }
        if (peer->in.size() < 40) {
            return;
        }
        const std::string busid(reinterpret_cast<const char*>(peer->in.data() + 8),
                                strnlen(reinterpret_cast<const char*>(peer->in.data() + 8), 32));
        std::vector<std::uint8_t> r(8, 0);
        put16(r, 0, kUsbipVersion);
        put16(r, 2, kOpRepImport);
        if (busid != busid_ || usb_ >= 0) {
            put32(r, 4, 1);
            writeAll(fd, r.data(), r.size());
            closePeer(handshakes_, fd);
            return;
        }
        const std::vector<std::uint8_t> d = deviceRecord(busid_);
        r.insert(r.end(), d.begin(), d.end());
        writeAll(fd, r.data(), r.size());
        // The connection now carries URBs; whatever came after the request is the first of them.
        std::vector<std::uint8_t> rest(peer->in.begin() + 40, peer->in.end());
        for (auto it = handshakes_.begin(); it != handshakes_.end(); ++it) {
            if (it->fd == fd) {
                handshakes_.erase(it);
                break;
            }
        }
        chip_.replug();  // plugged in: a chip fresh from power-up
        ++attaches_;
        usb_ = fd;
        usbIn_ = std::move(rest);
        processUsb();
    }

    void dropUsb() {
        if (usb_ >= 0) {
            ::close(usb_);
            usb_ = -1;
        }
        usbIn_.clear();
        pending_.clear();
    }

    void readUsb() {
        std::uint8_t buf[16384];
        const ssize_t n = ::recv(usb_, buf, sizeof buf, 0);
        if (n <= 0) {
            dropUsb();  // detached
            return;
        }
        usbIn_.insert(usbIn_.end(), buf, buf + n);
        processUsb();
    }

    void processUsb() {
        while (usb_ >= 0 && usbIn_.size() >= kHeaderSize) {
            const std::uint8_t* h = usbIn_.data();
            const std::uint32_t command = get32(h);
            if (command == kCmdUnlink) {
                unlink(get32(h + 4), get32(h + 0x14));
                usbIn_.erase(usbIn_.begin(), usbIn_.begin() + kHeaderSize);
                continue;
            }
            if (command != kCmdSubmit) {
                std::fprintf(stderr, "ds2490-usbip: unknown command %u, dropping the device\n",
                             command);
                dropUsb();
                return;
            }
            Urb urb;
            urb.seqnum = get32(h + 4);
            urb.direction = get32(h + 0x0C);
            urb.ep = get32(h + 0x10);
            urb.length = get32(h + 0x18);
            if (urb.length > kMaxTransfer || urb.ep > 15) {
                std::fprintf(stderr, "ds2490-usbip: transfer of %u bytes refused\n", urb.length);
                dropUsb();
                return;
            }
            const std::uint8_t* s = h + 0x28;
            urb.setup = {s[0], s[1], static_cast<std::uint16_t>(s[2] | s[3] << 8),
                         static_cast<std::uint16_t>(s[4] | s[5] << 8),
                         static_cast<std::uint16_t>(s[6] | s[7] << 8)};
            const std::size_t payload = urb.direction == 0 ? urb.length : 0;
            if (usbIn_.size() < kHeaderSize + payload) {
                return;  // the rest of the OUT data is still on its way
            }
            urb.out.assign(usbIn_.begin() + kHeaderSize, usbIn_.begin() + kHeaderSize + payload);
            usbIn_.erase(usbIn_.begin(), usbIn_.begin() + kHeaderSize + payload);
            // URBs on one endpoint complete in order: one behind a pending one waits.
            bool queued = false;
            for (const Urb& p : pending_) {
                queued = queued || (p.ep == urb.ep && p.direction == urb.direction);
            }
            if (queued || !attempt(urb)) {
                if (usb_ >= 0) {
                    pending_.push_back(std::move(urb));
                }
            }
        }
    }

    // Gives the URB to the chip; false while the chip NAKs it.
    bool attempt(Urb& urb) {
        Ds2490Model::Transfer t;
        switch (urb.ep) {
            case 0:
                t = chip_.control(urb.setup, urb.out);
                break;
            case 1:
                t = urb.direction == 1 ? chip_.interruptIn(urb.length)
                                       : Ds2490Model::Transfer{Outcome::Stall, {}, 0};
                break;
            case 2:
                if (urb.direction != 0) {
                    t.outcome = Outcome::Stall;
                    break;
                }
                t = chip_.bulkOut(std::span(urb.out).subspan(urb.sent));
                if (t.outcome == Outcome::Done) {
                    urb.sent += t.accepted;
                    if (urb.sent < urb.out.size()) {
                        return false;  // the FIFO took part of it
                    }
                }
                break;
            case 3:
                t = urb.direction == 1 ? chip_.bulkIn(urb.length)
                                       : Ds2490Model::Transfer{Outcome::Stall, {}, 0};
                break;
            default:
                t.outcome = Outcome::Stall;
                break;
        }
        switch (t.outcome) {
            case Outcome::Pending:
                return false;
            case Outcome::Unplugged:
                dropUsb();
                return true;
            default:
                break;
        }
        std::int32_t status = 0;
        if (t.outcome == Outcome::Stall) {
            status = -EPIPE;
        } else if (t.outcome == Outcome::Overflow) {
            status = -EOVERFLOW;
        }
        if (t.data.size() > urb.length) {
            t.data.resize(urb.length);
        }
        if (trace_ != nullptr) {
            trace(urb, status, t.data);
        }
        std::vector<std::uint8_t> r(kHeaderSize, 0);
        put32(r, 0, kRetSubmit);
        put32(r, 4, urb.seqnum);
        put32(r, 0x14, static_cast<std::uint32_t>(status));
        const std::uint32_t actual = status != 0 ? 0
                                     : urb.direction == 1
                                         ? static_cast<std::uint32_t>(t.data.size())
                                         : urb.length;
        put32(r, 0x18, actual);
        if (urb.direction == 1 && status == 0) {
            r.insert(r.end(), t.data.begin(), t.data.end());
        }
        if (!writeAll(usb_, r.data(), r.size())) {
            dropUsb();
        }
        return true;
    }

    void trace(const Urb& urb, std::int32_t status, const std::vector<std::uint8_t>& in) {
        if (urb.ep == 0) {
            std::fprintf(trace_, "ep0 %02x %02x %04x %04x %u", urb.setup.requestType,
                         urb.setup.request, urb.setup.value, urb.setup.index, urb.setup.length);
        } else {
            std::fprintf(trace_, "ep%u %s %u", urb.ep, urb.direction == 1 ? "in" : "out",
                         urb.length);
        }
        std::fprintf(trace_, " -> %d", status);
        const std::vector<std::uint8_t>& data = urb.direction == 1 ? in : urb.out;
        if (!data.empty()) {
            std::fprintf(trace_, " :");
        }
        for (std::size_t i = 0; i < data.size() && i < 64; ++i) {
            std::fprintf(trace_, " %02x", data[i]);
        }
        std::fprintf(trace_, "\n");
        std::fflush(trace_);
    }

    void retryPending() {
        // In arrival order, but only the first pending URB of each endpoint may complete.
        for (std::size_t i = 0; i < pending_.size() && usb_ >= 0;) {
            bool blocked = false;
            for (std::size_t j = 0; j < i; ++j) {
                blocked = blocked || (pending_[j].ep == pending_[i].ep &&
                                      pending_[j].direction == pending_[i].direction);
            }
            if (!blocked && attempt(pending_[i])) {
                if (usb_ < 0) {
                    return;
                }
                pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            ++i;
        }
    }

    void unlink(std::uint32_t seqnum, std::uint32_t victim) {
        std::int32_t status = 0;  // already completed: nothing to undo
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->seqnum == victim) {
                pending_.erase(it);
                status = -ECONNRESET;
                break;
            }
        }
        std::vector<std::uint8_t> r(kHeaderSize, 0);
        put32(r, 0, kRetUnlink);
        put32(r, 4, seqnum);
        put32(r, 0x14, static_cast<std::uint32_t>(status));
        if (!writeAll(usb_, r.data(), r.size())) {
            dropUsb();
        }
    }

    void handleControlInput(Peer& peer) {
        for (;;) {
            auto nl = std::find(peer.in.begin(), peer.in.end(), '\n');
            if (nl == peer.in.end()) {
                if (peer.in.size() > 4096) {
                    closePeer(controlPeers_, peer.fd);
                }
                return;
            }
            const std::string line(peer.in.begin(), nl);
            peer.in.erase(peer.in.begin(), nl + 1);
            const std::string answer = controlCommand(line) + "\n";
            writeAll(peer.fd, reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
        }
    }

    static std::optional<Endpoint> parseEndpoint(const std::string& s) {
        if (s.size() == 1 && s[0] >= '0' && s[0] <= '3') {
            return static_cast<Endpoint>(s[0] - '0');
        }
        return std::nullopt;
    }

    std::string controlCommand(const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        std::vector<std::string> args;
        for (std::string a; in >> a;) {
            args.push_back(a);
        }
        auto roms = [&](std::vector<RomBytes>& out) -> std::string {
            for (const std::string& a : args) {
                const std::optional<RomBytes> rom = parseRom(a);
                if (!rom) {
                    return "error not a ROM code of 16 hex digits: " + a;
                }
                out.push_back(*rom);
            }
            return {};
        };
        std::vector<RomBytes> given;
        if (verb == "add" || verb == "remove" || verb == "tokens") {
            if (const std::string error = roms(given); !error.empty()) {
                return error;
            }
            if (verb != "tokens" && given.size() != 1) {
                return "error " + verb + " takes one ROM code";
            }
            if (verb == "add") {
                chip_.addToken(given[0]);
            } else if (verb == "remove") {
                chip_.removeToken(given[0]);
            } else {
                chip_.setTokens(given);
            }
            return "ok";
        }
        if (verb == "list") {
            std::string s = "ok";
            for (const RomBytes& rom : chip_.busRoms()) {
                s += " " + romHex(rom);
            }
            return s;
        }
        if (verb == "short" && args.size() == 1 && (args[0] == "on" || args[0] == "off")) {
            chip_.setShorted(args[0] == "on");
            return "ok";
        }
        if (verb == "stall" && args.size() == 1 && parseEndpoint(args[0])) {
            chip_.stall(*parseEndpoint(args[0]));
            return "ok";
        }
        if (verb == "silent" && args.size() == 2 && parseEndpoint(args[0]) &&
            (args[1] == "on" || args[1] == "off")) {
            chip_.setSilent(*parseEndpoint(args[0]), args[1] == "on");
            return "ok";
        }
        if (verb == "unplug" && args.empty()) {
            const bool attached = usb_ >= 0;
            dropUsb();
            return attached ? "ok" : "ok not attached";
        }
        if (verb == "unplug-after" && args.size() == 1) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(args[0].c_str(), &end, 10);
            if (*end != '\0' || n == 0) {
                return "error unplug-after takes a count above 0";
            }
            chip_.unplugAfter(n);
            return "ok";
        }
        if (verb == "stats") {
            std::ostringstream s;
            s << "ok bus_us=" << chip_.busTime().count() << " resets=" << chip_.resets()
              << " search_passes=" << chip_.searchPasses() << " commands=" << chip_.commandsRun()
              << " transfers=" << chip_.transfers() << " attaches=" << attaches_
              << " attached=" << (usb_ >= 0 ? 1 : 0);
            return s.str();
        }
        if (verb == "quit") {
            quit_ = true;
            return "ok";
        }
        return "error unknown command: " + line;
    }

    Ds2490Model& chip_;
    std::string busid_;
    int tcp_ = -1;
    int port_ = 0;
    int control_ = -1;
    std::string controlPath_;
    std::vector<Peer> controlPeers_;
    std::vector<Peer> handshakes_;
    int usb_ = -1;
    std::vector<std::uint8_t> usbIn_;
    std::deque<Urb> pending_;
    std::size_t attaches_ = 0;
    bool quit_ = false;
    std::FILE* trace_ = nullptr;
};

int send(const std::string& path, const std::vector<std::string>& words) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        std::fprintf(stderr, "ds2490-usbip: control path too long\n");
        return 2;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror(("ds2490-usbip: " + path).c_str());
        return 1;
    }
    std::string line;
    for (const std::string& w : words) {
        line += (line.empty() ? "" : " ") + w;
    }
    line += "\n";
    writeAll(fd, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    std::string answer;
    char c;
    while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
        answer += c;
    }
    ::close(fd);
    std::printf("%s\n", answer.c_str());
    return answer.rfind("ok", 0) == 0 ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: ds2490-usbip [--port N] [--control PATH] [--busid ID] [--adapter HEX] "
                 "[--paced] [--trace FILE] [HEX...]\n       ds2490-usbip --send PATH COMMAND...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--send") {
        if (args.size() < 3) {
            return usage();
        }
        return send(args[1], {args.begin() + 2, args.end()});
    }
    int port = 3240;
    std::string control;
    std::string busid = "1-1";
    std::optional<RomBytes> adapter;
    std::vector<RomBytes> tokens;
    std::string tracePath;
    bool paced = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--port" && hasValue) {
            port = std::atoi(args[++i].c_str());
        } else if (a == "--control" && hasValue) {
            control = args[++i];
        } else if (a == "--paced") {
            paced = true;
        } else if (a == "--trace" && hasValue) {
            tracePath = args[++i];
        } else if (a == "--busid" && hasValue) {
            busid = args[++i];
        } else if (a == "--adapter" && hasValue) {
            adapter = parseRom(args[++i]);
            if (!adapter) {
                return usage();
            }
        } else if (const std::optional<RomBytes> rom = parseRom(a)) {
            tokens.push_back(*rom);
        } else {
            std::fprintf(stderr, "ds2490-usbip: not understood: %s\n", a.c_str());
            return usage();
        }
    }
    Ds2490Model chip = adapter ? Ds2490Model(*adapter) : Ds2490Model();
    chip.setTokens(tokens);
    chip.setPaced(paced);
    Server server(chip, busid);
    if (!tracePath.empty()) {
        std::FILE* trace = std::fopen(tracePath.c_str(), "w");
        if (trace == nullptr) {
            std::perror(("ds2490-usbip: " + tracePath).c_str());
            return 1;
        }
        server.traceTo(trace);
    }
    if (!server.listenTcp(port) || (!control.empty() && !server.listenControl(control))) {
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::printf("ready %d\n", server.port());
    std::fflush(stdout);
    server.run();
    return 0;
}
