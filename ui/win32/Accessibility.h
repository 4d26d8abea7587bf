#pragma once

#include <windows.h>

#include "ui/Layout.h"

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
// a polite live region that reports each new text (EVENT_OBJECT_LIVEREGIONCHANGED). The layout
// must outlive the control.
void describeControl(HWND control, const ControlLayout& layout);

}  // namespace quorna::ui::win32
