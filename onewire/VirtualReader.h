#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "onewire/Backend.h"

namespace onewire {

// A simulated reader described by a text file, read again on every call so that tokens can be
// put on and taken off while a program runs. See README.md for the format.
struct VirtualReaderContents {
    std::vector<Rom> tokens;
    std::optional<std::int16_t> setupCode;  // "setup = N"
    bool shorted = false;                   // "shorted"
    bool complete = true;                   // parsed to the end before the deadline
};

// Lines that cannot be understood, and tokens a reader never lists, are reported: a handful of
// them with their line numbers, then how many more, once while the account stays the same.
// Parsing stops at the deadline; `complete` then is false.
VirtualReaderContents parseVirtualReader(std::string_view text, const std::string& fileName,
                                         Reporter& reporter,
                                         Clock::time_point deadline = Clock::time_point::max());

class VirtualReader : public Backend {
public:
    VirtualReader(std::string fileName, Reporter& reporter);

    std::int16_t setup() override;
    Enumeration enumerate(Clock::time_point deadline) override;
    std::string describeAdapter() override;

private:
    std::optional<VirtualReaderContents> read(
        Clock::time_point deadline = Clock::time_point::max());

    std::string fileName_;
    Reporter& reporter_;
};

}  // namespace onewire
