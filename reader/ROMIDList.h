#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorna {

// The ROM ID texts of one search pass: ordered, positions counted from 1, no duplicates. Each
// pass builds a new list; a holder's list never changes after the pass that built it.
class ROMIDList {
public:
    using const_iterator = std::vector<std::string>::const_iterator;

    std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }
    // Throws std::out_of_range for a position outside 1..Count.
    const std::string& Item(std::int32_t position) const;
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }

    bool Contains(const std::string& text) const;
    void Add(std::string text);

private:
    std::vector<std::string> items_;
};

}  // namespace quorna
