#include "onewire/TextFile.h"

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "onewire/Platform.h"

namespace onewire {

std::string absoluteAgainst(std::string_view path, const std::string& fileName) {
    if (auto joined = platform::joinedAsWritten(path, fileName)) {
        return *joined;
    }
    std::filesystem::path result = platform::toPath(path);
    if (result.is_relative()) {
        result = platform::toPath(fileName).parent_path() / result;
    }
    return platform::fromPath(result.lexically_normal());
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

void forEachContentLine(std::string_view text,
                        const std::function<void(int, std::string_view, std::string_view)>& line) {
    // A UTF-8 byte-order mark, which some editors write, is no part of the first line.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    int number = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view whole = text.substr(position, end - position);
        position = end + 1;
        ++number;
        std::string_view content = trim(whole.substr(0, whole.find('#')));
        if (!content.empty()) {
            line(number, content, trim(whole));
        }
    }
}

std::optional<long> parseDecimal(std::string_view text, long lowest, long highest) {
    const bool negative = lowest < 0 && !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 6) {
        return std::nullopt;
    }
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    value = negative ? -value : value;
    if (value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

std::string printable(std::string_view text) {
    std::string result;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            result += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            result += escaped;
        }
    }
    return result;
}

std::string quoted(std::string_view line) {
    constexpr std::size_t kShown = 80;
    return "\"" + printable(line.substr(0, kShown)) + (line.size() > kShown ? "...\"" : "\"");
}

}  // namespace onewire
