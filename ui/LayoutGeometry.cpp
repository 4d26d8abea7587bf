#include "ui/LayoutGeometry.h"

#include <algorithm>
#include <cstdlib>

namespace quorna::ui {

std::vector<const ControlLayout*> stackingOrder(const WindowLayout& window) {
    std::vector<const ControlLayout*> order;
    for (const bool above : {false, true}) {
        for (const auto& control : window.controls) {
            if (liesAboveLabels(control.kind) == above) {
                order.push_back(&control);
            }
        }
    }
    return order;
}

Rect pixelBounds(const ControlLayout& control, int dpi) {
    if (control.kind == ControlKind::Line) {
        const auto& l = control.line;
        const int thickness = std::max(pixels(kTwipsPerPixel, dpi), 1);
        return {pixels(std::min(l.x1, l.x2), dpi), pixels(std::min(l.y1, l.y2), dpi),
                std::max(pixels(std::abs(l.x2 - l.x1), dpi), thickness),
                std::max(pixels(std::abs(l.y2 - l.y1), dpi), thickness)};
    }
    const auto& r = control.rect;
    return {pixels(r.left, dpi), pixels(r.top, dpi), pixels(r.width, dpi), pixels(r.height, dpi)};
}

}  // namespace quorna::ui
