#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "check/Account.h"
#include "reader/ROMIDList.h"
#include "reader/tmexapi.h"

namespace quorna::check {

struct Port {
    std::int16_t number = 0;
    std::int16_t type = 0;
    bool operator==(const Port&) const = default;
};

// "USB port 1", "COM3".
std::string portText(Port port);
// "usb 2" or "com 3", as the runtime's account names ports.
std::optional<Port> portOfName(const std::string& name);

// The settings file (or where one was looked for) and the default port, from the runtime's
// account of its settings.
void printSettings(std::ostream& out, const Account& settings);

// One attempt at a port, which every line of the port's report comes from: the runtime's own
// set-up and search where it gives an account, else the driver's adapter test.
struct PortAttempt {
    Port port;
    std::int16_t setup = 0;
    std::optional<Account> account;  // none from a library without OneWireDiagnose
};

PortAttempt attemptPort(tmexapi::TMexApi& library, Port port);

// Prints one port's report from its attempt; true when its adapter was found.
bool printPortReport(std::ostream& out, const PortAttempt& attempt, const std::string& runtimeName);

// A scan's line: "none listed" or "2 listed: ID ID".
std::string listText(const ROMIDList& list);

}  // namespace quorna::check
