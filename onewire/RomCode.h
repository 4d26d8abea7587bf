#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace onewire {

// A 1-Wire ROM code in bus order: family code first, CRC byte last.
using Rom = std::array<std::uint8_t, 8>;

// Dallas/Maxim CRC8 (x^8 + x^5 + x^4 + 1, reflected, initial 0).
std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count);

// A ROM whose CRC byte is computed from its first seven bytes.
Rom withCrc(const std::array<std::uint8_t, 7>& bytes);

// The one filter every backend's devices pass before TMNext hands them out: the CRC must check
// and the code must not be the all-zero or family-00 ghost that a bad bus reads.
bool isAcceptable(const Rom& rom);
// Why the filter drops a code, in words; empty for an acceptable one.
std::string refusalOf(const Rom& rom);
std::vector<Rom> acceptableOnly(const std::vector<Rom>& devices);

// 16 upper-case hex digits, family code first.
std::string hexText(const Rom& rom);

// Parses exactly `digits` hexadecimal digits; nullopt for anything else.
std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text);

}  // namespace onewire
