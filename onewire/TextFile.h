#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace onewire {

// The settings, reader and kernel files are small; anything larger is not one of them.
constexpr std::size_t kMaxTextFileSize = 1024 * 1024;

// The contents of a regular file of at most `limit` bytes; nullopt for a missing, unreadable or
// larger file, and for anything that is not a regular file (a FIFO would block the GUI thread at
// the open, /dev/zero would never end), with the reason in `problem` ("does not exist", "is too
// large (over N bytes)", ...).
std::optional<std::string> readSmallFile(const std::string& path,
                                         std::size_t limit = kMaxTextFileSize,
                                         std::string* problem = nullptr);

// Whether anything of that name (UTF-8, as every path in the runtime) exists.
bool pathExists(const std::string& path);

// A path named in a file, taken against that file's folder when relative; on Windows a UNC
// (\\server\share), \\?\ or \\.\ name is absolute and used as written.
std::string absoluteAgainst(std::string_view path, const std::string& fileName);

std::string_view trim(std::string_view text);

// Calls `line` with each line's number (from 1) and its content: the text before any '#',
// trimmed, skipping lines left empty. A UTF-8 byte-order mark at the start is skipped.
void forEachContentLine(
    std::string_view text,
    const std::function<void(int number, std::string_view content, std::string_view whole)>& line);

// A decimal number from lowest to highest, with a leading '-' only where lowest is negative;
// nullopt for anything else, including more than 6 digits.
std::optional<long> parseDecimal(std::string_view text, long lowest, long highest);

// Text from a file, fit for a terminal: bytes outside printable ASCII as \xHH, so that escape
// sequences, bells or a NUL in a file cannot reach standard error raw.
std::string printable(std::string_view text);

// A line quoted in a report, escaped and cut so that a huge line cannot make a huge message.
std::string quoted(std::string_view line);

}  // namespace onewire
