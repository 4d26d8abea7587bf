#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ui/Layout.h"

// The keyboard in the layout tables: the focus order and the captions' access keys.
namespace quorna::ui {

// The controls that take the keyboard focus, in tab-index order (the first has the focus when
// the window opens).
std::vector<const ControlLayout*> focusOrder(const WindowLayout& window);

// A caption as drawn: access-key markers removed, "&&" shown as one "&".
std::string displayText(std::string_view caption);
// The caption's access key as written (e.g. 'x' for "E&xit"), or 0 when it has none.
char accessKey(std::string_view caption);

}  // namespace quorna::ui
