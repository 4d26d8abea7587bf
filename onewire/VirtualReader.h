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
};

VirtualReaderContents parseVirtualReader(std::string_view text, const std::string& fileName,
                                         Reporter& reporter);

class VirtualReader : public Backend {
public:
    VirtualReader(std::string fileName, Reporter& reporter);

    std::int16_t setup() override;
    std::vector<Rom> enumerate() override;
    std::string describeAdapter() override;

private:
    std::optional<VirtualReaderContents> read();

    std::string fileName_;
    Reporter& reporter_;
};

}  // namespace onewire
