#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorna::check {

// The runtime's account (OneWireDiagnose): "key: value" lines, in order; a key may repeat.
using Account = std::vector<std::pair<std::string, std::string>>;

Account parseAccount(const std::string& text);
std::vector<std::string> valuesOf(const Account& account, const std::string& key);
// The first value of key; fallback when the account has none.
std::string valueOf(const Account& account, const std::string& key, std::string fallback = {});
// The first value of key as a 16-bit signed number in plain decimal; nullopt when there is none
// or it is no such number.
std::optional<std::int16_t> numberOf(const Account& account, const std::string& key);

}  // namespace quorna::check
