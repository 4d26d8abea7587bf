#pragma once

#include <string>
#include <string_view>

#include "ui/Layout.h"

// What the layout tables tell assistive technology and how their labels stay readable under a
// high-contrast scheme: the same on every front-end.
namespace quorna::ui {

// What a control is to assistive technology (a screen reader): the same on every front-end.
enum class AccessibleRole { Window, Label, Status, PushButton, CheckBox, List, Graphic, Separator };

AccessibleRole accessibleRole(const ControlLayout& control);
// The control's accessible name while it shows caption (access-key notation).
std::string accessibleName(const ControlLayout& control, std::string_view caption);
inline std::string accessibleName(const ControlLayout& control) {
    return accessibleName(control, control.caption);
}

// How a label stays readable under a high-contrast scheme (Windows) or a dark palette (Qt), where
// the scheme's text colour is light and its background dark: a fixed colour stays (the licence
// text is black on the light picture, which no scheme changes); a label drawn straight onto a
// picture gets the scheme's background behind the scheme's text; a label in a system colour that
// would not stand out (the status line's workspace grey) takes the scheme's text colour.
enum class ContrastLook { AsDesigned, SchemeText, SchemeTextOnSchemeBackground };
ContrastLook contrastLook(const WindowLayout& window, const ControlLayout& label);

}  // namespace quorna::ui
