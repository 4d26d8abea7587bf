#include "onewire/RomCode.h"

namespace onewire {

std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C)
                            : static_cast<std::uint8_t>(crc >> 1);
        }
    }
    return crc;
}

Rom withCrc(const std::array<std::uint8_t, 7>& bytes) {
    Rom rom{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        rom[i] = bytes[i];
    }
    rom[7] = crc8(rom.data(), 7);
    return rom;
}

bool isAcceptable(const Rom& rom) {
    // Family 00 covers the all-zero code, whose CRC also checks.
    return rom[0] != 0x00 && crc8(rom.data(), 7) == rom[7];
}

std::string refusalOf(const Rom& rom) {
    if (rom[0] == 0x00) {
        return "family 00, the ghost a bad bus reads";
    }
    if (crc8(rom.data(), 7) != rom[7]) {
        return "bad CRC (its CRC byte would be " +
               hexText(withCrc({rom[0], rom[1], rom[2], rom[3], rom[4], rom[5], rom[6]}))
                   .substr(14) +
               ")";
    }
    return {};
}

std::string hexText(const Rom& rom) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : rom) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

std::vector<Rom> acceptableOnly(const std::vector<Rom>& devices) {
    std::vector<Rom> accepted;
    for (const Rom& rom : devices) {
        if (isAcceptable(rom)) {
            accepted.push_back(rom);
        }
    }
    return accepted;
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

}  // namespace onewire
