#include "onewire/TextFile.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace onewire {

namespace {

// The standard library reads a narrow path in the ANSI code page on Windows; the runtime's are
// UTF-8.
std::filesystem::path toPath(std::string_view text) {
#if defined(_WIN32)
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
    return std::filesystem::path(text);
#endif
}

std::string fromPath(const std::filesystem::path& path) {
#if defined(_WIN32)
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
#else
    return path.string();
#endif
}

}  // namespace

std::string absoluteAgainst(std::string_view path, const std::string& fileName) {
#if defined(_WIN32)
    // GCC's library takes UNC, \\?\ and \\.\ names for relative ones, and normalising would
    // change what \\?\ means: they are used as written, and joined as text.
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    const auto asWritten = [&](std::string_view name) {
        return name.size() >= 2 && separator(name[0]) && separator(name[1]);
    };
    if (asWritten(path)) {
        return std::string(path);
    }
    const bool relative = toPath(path).is_relative();
    if (relative && asWritten(fileName)) {
        const std::size_t folderEnd = fileName.find_last_of("\\/");
        return fileName.substr(0, folderEnd + 1) + std::string(path);
    }
#endif
    std::filesystem::path result = toPath(path);
    if (result.is_relative()) {
        result = toPath(fileName).parent_path() / result;
    }
    return fromPath(result.lexically_normal());
}

#if !defined(_WIN32)  // Windows: Win32.cpp
bool pathExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit,
                                         std::string* problem) {
    auto fail = [problem](std::string why) -> std::optional<std::string> {
        if (problem != nullptr) {
            *problem = std::move(why);
        }
        return std::nullopt;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return fail(errno == ENOENT ? "does not exist"
                                    : std::string("cannot be read: ") + std::strerror(errno));
    }
    struct stat status {};
    std::optional<std::string> result;
    if (::fstat(fd, &status) != 0) {
        result = fail(std::string("cannot be read: ") + std::strerror(errno));
    } else if (!S_ISREG(status.st_mode)) {
        result = fail("is not a regular file");
    } else {
        std::string text;
        char chunk[4096];
        while (true) {
            ssize_t count = ::read(fd, chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                result = fail(std::string("cannot be read: ") + std::strerror(errno));
                break;
            }
            if (text.size() + static_cast<std::size_t>(count) > limit) {
                result = fail("is too large (over " + std::to_string(limit) + " bytes)");
                break;
            }
            if (count == 0) {
                result = std::move(text);
                break;
            }
            text.append(chunk, static_cast<std::size_t>(count));
        }
    }
    ::close(fd);
    return result;
}
#endif

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
