#include "check/Account.h"

#include <charconv>
#include <sstream>

namespace quorna::check {

Account parseAccount(const std::string& text) {
    Account account;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) {
            account.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        }
    }
    return account;
}

std::vector<std::string> valuesOf(const Account& account, const std::string& key) {
    std::vector<std::string> values;
    for (const auto& [name, value] : account) {
        if (name == key) {
            values.push_back(value);
        }
    }
    return values;
}

std::string valueOf(const Account& account, const std::string& key, std::string fallback) {
    auto values = valuesOf(account, key);
    return values.empty() ? fallback : values.front();
}

std::optional<std::int16_t> numberOf(const Account& account, const std::string& key) {
    const auto values = valuesOf(account, key);
    if (values.empty()) {
        return std::nullopt;
    }
    const std::string& text = values.front();
    std::int16_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return number;
}

}  // namespace quorna::check
