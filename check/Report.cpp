#include "check/Report.h"

#include <sstream>
#include <vector>

#include "reader/TMexDrive.h"

namespace quorna::check {

namespace {

// A multi-line text indented under its label.
std::string indented(std::string text, const std::string& indent) {
    std::string result;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find("\r\n", start);
        result += (start == 0 ? "" : "\n" + indent) + text.substr(start, end - start);
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return result;
}

// What to do about an adapter not found, by what the port is mapped to.
std::string notFoundAdvice(const std::string& backend, const std::string& adapter) {
    if (backend.starts_with("owserver ")) {
        if (adapter.find("does not answer") != std::string::npos) {
            const std::string endpoint = backend.substr(9, backend.find(' ', 9) - 9);
            return "Owserver does not answer at " + endpoint +
                   ": check that it runs and listens there (systemctl status owserver; owdir -s " +
                   endpoint + " /) and that no firewall is in the way.";
        }
        return "Owserver answers but offers no real adapter: name the adapter in /etc/owfs.conf "
               "(\"server: usb = all\" or \"server: device = /dev/ttyUSB0\") and restart it.";
    }
    if (backend.starts_with("virtual ")) {
        return "The reader file is missing: create it (one token of 16 hex digits a line).";
    }
    if (backend.starts_with("none")) {
        return "No adapter is mapped to this port: map it in the settings file (see its "
               "comments).";
    }
    if (backend.starts_with("ds2490 ")) {
        if (adapter.find(" is busy: ") != std::string::npos) {
            return "Another program holds the USB adapter (named above): stop it (systemctl stop "
                   "owserver), or map this port to it (\"usb 1 = owserver localhost\").";
        }
        if (adapter.find("no access to ") != std::string::npos) {
            return "This account may not use the adapter's device node (named above): install "
                   "the package (its udev rule gives the adapter to the user at the seat) and "
                   "plug the adapter in again.";
        }
        if (adapter.find("not taken from the kernel") != std::string::npos) {
            return "The kernel drives the adapter: leave the settings without a line for this "
                   "port (the kernel's bus master is then used), or add \"detach-kernel\" to it.";
        }
        if (adapter.find("not available on Windows") != std::string::npos) {
            return "Reach the USB adapter through owserver on Windows (\"owserver HOST:PORT\").";
        }
        return "Plug the DS9490R in (it is found again within two passes), and check that no other "
               "program holds it; quorna-reader-check --all-ports lists every port.";
    }
    if (backend.starts_with("w1 ")) {
        return "Plug the adapter in and load its kernel driver (modprobe ds2490 for the DS9490R), "
               "or map the port to owserver in the settings file.";
    }
    if (backend.starts_with("serial ") && adapter.find(" is busy: ") != std::string::npos) {
        return "The port is busy, not missing: close the program that holds it (named above; "
               "when it is this program, its other window or reader check).";
    }
    return "Make sure the adapter is plugged in; you may need to unplug it and plug it back in.";
}

}  // namespace

std::string portText(Port port) {
    if (port.type == tmexapi::kPortTypeUsb) {
        return "USB port " + std::to_string(port.number);
    }
    if (port.type == tmexapi::kPortTypeSerial) {
        return "COM" + std::to_string(port.number);
    }
    return "port " + std::to_string(port.number) + " of type " + std::to_string(port.type);
}

std::optional<Port> portOfName(const std::string& name) {
    std::istringstream words(name);
    std::string kind;
    int number = -1;
    if (!(words >> kind >> number) || number < 0 || number > 32767) {
        return std::nullopt;
    }
    if (kind == "usb") {
        return Port{static_cast<std::int16_t>(number), tmexapi::kPortTypeUsb};
    }
    if (kind == "com") {
        return Port{static_cast<std::int16_t>(number), tmexapi::kPortTypeSerial};
    }
    return std::nullopt;
}

void printSettings(std::ostream& out, const Account& settings) {
    const std::string file = valueOf(settings, "settings", "none");
    if (file == "none") {
        out << "Settings file: none found; looked at:\n";
        for (const auto& path : valuesOf(settings, "looked-at")) {
            out << "  " << path << '\n';
        }
    } else {
        out << "Settings file: " << file << '\n';
    }
    out << "Default port: " << valueOf(settings, "default", "none") << '\n';
}

PortAttempt attemptPort(tmexapi::TMexApi& library, Port port) {
    PortAttempt attempt{port, 0, std::nullopt};
    if (const auto text = library.OneWireDiagnose(port.number, port.type)) {
        attempt.account = parseAccount(*text);
        if (const auto code = numberOf(*attempt.account, "setup")) {
            attempt.setup = *code;
            return attempt;
        }
    }
    attempt.setup = TMexDrive::SetupCode(library, port.number, port.type);
    return attempt;
}

bool printPortReport(std::ostream& out, const PortAttempt& attempt,
                     const std::string& runtimeName) {
    const std::int16_t code = attempt.setup;
    out << '\n' << "Port: " << portText(attempt.port) << '\n';
    std::string backend;
    std::string adapter;
    if (attempt.account) {
        backend = valueOf(*attempt.account, "backend", "unknown");
        adapter = valueOf(*attempt.account, "adapter", "unknown");
        out << "  Backend: " << backend << '\n' << "  Adapter: " << adapter << '\n';
        // A serial adapter's answers to its detection, a line each.
        for (const std::string& detail : valuesOf(*attempt.account, "adapter-detail")) {
            out << "    " << detail << '\n';
        }
    }
    out << "  Set-up: " << code << ": " << TMexDrive::SetupCodeWords(code) << '\n';
    if (code == onewire::kSetupNotFound) {
        out << "    " << notFoundAdvice(backend, adapter) << '\n';
    } else if (code != onewire::kSetupReady && code != onewire::kSetupShorted) {
        out << "    The program would say: " << indented(TMexDrive::SetupCodeText(code), "    ")
            << '\n';
    }
    if (!attempt.account) {
        out << "  (" << runtimeName << " gives no account of its devices)\n";
        return code == onewire::kSetupReady;
    }
    const auto devices = valuesOf(*attempt.account, "device");
    out << "  Devices on the bus: " << devices.size() << '\n';
    int tokens = 0;
    for (const std::string& device : devices) {
        const std::string romId = device.substr(0, 16);
        std::string verdict;
        if (device.size() > 16) {
            verdict = device.substr(17);  // "refused: ..."
        } else if (TMexDrive::IsAdapterChip(romId)) {
            verdict = "refused: the adapter's own chip";
        } else {
            verdict = "token, listed";
            ++tokens;
        }
        out << "    " << romId << "  family " << romId.substr(0, 2) << "  " << verdict << '\n';
    }
    out << "  Tokens listed: " << tokens << '\n';
    return code == onewire::kSetupReady;
}

std::string listText(const ROMIDList& list) {
    std::string text;
    for (const std::string& romId : list) {
        text += (text.empty() ? "" : " ") + romId;
    }
    return text.empty() ? "none listed" : std::to_string(list.Count()) + " listed: " + text;
}

}  // namespace quorna::check
