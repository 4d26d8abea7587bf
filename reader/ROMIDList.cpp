#include "reader/ROMIDList.h"

#include <algorithm>
#include <stdexcept>

namespace quorna {

const std::string& ROMIDList::Item(std::int32_t position) const {
    if (position < 1 || position > Count()) {
        throw std::out_of_range("ROMIDs: no item at position " + std::to_string(position));
    }
    return items_[static_cast<std::size_t>(position - 1)];
}

bool ROMIDList::Contains(const std::string& text) const {
    return std::find(items_.begin(), items_.end(), text) != items_.end();
}

void ROMIDList::Add(std::string text) {
    items_.push_back(std::move(text));
}

}  // namespace quorna
