#include "ui/LayoutKeys.h"

#include <algorithm>

namespace quorna::ui {

std::vector<const ControlLayout*> focusOrder(const WindowLayout& window) {
    std::vector<const ControlLayout*> order;
    for (const auto& control : window.controls) {
        if (control.tabStop) {
            order.push_back(&control);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto* a, const auto* b) { return a->tabIndex < b->tabIndex; });
    return order;
}

std::string displayText(std::string_view caption) {
    std::string text;
    text.reserve(caption.size());
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) {
            ++i;  // the marker goes; a doubled one leaves one ampersand
        }
        text.push_back(caption[i]);
    }
    return text;
}

char accessKey(std::string_view caption) {
    for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] == '&') {
            if (caption[i + 1] != '&') {
                return caption[i + 1];
            }
            ++i;
        }
    }
    return 0;
}

}  // namespace quorna::ui
