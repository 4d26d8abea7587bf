#pragma once

#include <vector>

#include "ui/Layout.h"

// Where the layout tables put things on a screen: twips as pixels, and which control lies above
// which.
namespace quorna::ui {

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kDesignDpi = 96;
inline constexpr int kTwipsPerInch = kTwipsPerPixel * kDesignDpi;
constexpr int pixels(int twips) {
    return twips / kTwipsPerPixel;
}
// A length in twips as pixels on a screen of dpi dots per inch, rounded to the nearest pixel.
constexpr int pixels(int twips, int dpi) {
    const long long scaled = static_cast<long long>(twips) * dpi;
    return static_cast<int>((scaled + (scaled >= 0 ? kTwipsPerInch : -kTwipsPerInch) / 2) /
                            kTwipsPerInch);
}

// Buttons, check boxes, lists and picture boxes are windows of their own and always lie above
// the labels and lines drawn on their container, whatever the table's order: a label whose
// rectangle overlaps a button never catches the button's clicks.
constexpr bool liesAboveLabels(ControlKind kind) {
    return kind != ControlKind::Label && kind != ControlKind::Line;
}

// The window's controls from the bottom of the stack to the top: labels and lines in table
// order, then the other controls in table order.
std::vector<const ControlLayout*> stackingOrder(const WindowLayout& window);

// The rectangle a control covers in pixels at dpi, relative to its container's client area. A line
// covers the box between its ends, at least one pixel thick; its end point itself is not drawn,
// as with the platform's line primitive.
Rect pixelBounds(const ControlLayout& control, int dpi = kDesignDpi);

}  // namespace quorna::ui
