#pragma once

#include <windows.h>

#include "ui/Layout.h"
#include "ui/LayoutAccessibility.h"

// What assistive technology (a screen reader through MSAA, or UI Automation through its MSAA
// bridge) learns about the layout windows: the roles and names of the shared layout tables, and
// the announcing labels as polite live regions.
namespace quorna::ui::win32 {

// The MSAA role of a layout role (ROLE_SYSTEM_...).
long msaaRole(AccessibleRole role);

// The window answers for itself as a window named by its title. Esc on a window without a cancel
// button (the start-up window, its error screen) asks it to close, as Alt+F4 does.
void describeWindow(HWND window, const WindowLayout& layout);

// The control answers with its layout role and name (WM_GETOBJECT); an announcing label becomes
// a polite live region (with its first new text) that reports each new text
// (EVENT_OBJECT_LIVEREGIONCHANGED). The layout must outlive the control.
void describeControl(HWND control, const ControlLayout& layout);

// Whether the user has a high-contrast scheme on.
bool highContrastScheme();

// The colours of a label under a high-contrast scheme (contrastLook): sets them in dc and returns
// the brush for its background, or nullptr where the label is drawn as the layout says (always
// without a high-contrast scheme).
HBRUSH highContrastLabelColours(HDC dc, const WindowLayout& window, const ControlLayout& label,
                                bool highContrast = highContrastScheme());

}  // namespace quorna::ui::win32
