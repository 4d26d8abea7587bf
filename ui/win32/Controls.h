#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>

#include "ui/Layout.h"
#include "ui/LayoutGeometry.h"
#include "ui/win32/BaseWindow.h"

// The controls a layout window is built from beyond the system's own: the picture box, and the
// push button whose caption wraps; with the helpers the window uses to create and colour them.
namespace quorna::ui::win32 {

inline constexpr int kDialogColour = COLOR_BTNFACE;
inline constexpr int kDialogTextColour = COLOR_BTNTEXT;

// The layout's colour; the dialog text colour where it names none.
COLORREF colourOf(const Colour& colour);

// The STATIC style for a label's alignment.
DWORD alignmentStyle(const ControlLayout& layout);

// A window's text (a control's caption), whatever its length.
std::wstring windowText(HWND window);

// A picture box: shows its picture from the top-left corner and contains other controls.
class PictureBox : public BaseWindow<PictureBox> {
public:
    static PictureBox* create(const ControlLayout& layout, HWND parent);
    void setDpi(int dpi) { dpi_ = dpi; }

    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void windowGone() { delete this; }

private:
    explicit PictureBox(const ControlLayout& layout) : layout_(layout) {}
    ~PictureBox();

    const ControlLayout& layout_;
    HBITMAP picture_ = nullptr;
    int dpi_ = kDesignDpi;
};

// A push button whose caption wraps is the system's own BS_PUSHBUTTON | BS_MULTILINE button, so
// that the dialog manager, Enter, Space, the default look and double-clicks work as on any
// Windows button; only its face is drawn here, in NM_CUSTOMDRAW, because the system's button
// keeps wide margins that cut the last line of a long caption in a tall button.
// Answers a wrapping button's NM_CUSTOMDRAW: the visual style's push button in its state (hot,
// pressed, default, disabled) where themes are on, else the classic one, with the caption wrapped
// and centred in the whole face and the focus rectangle when the keyboard cues show.
LRESULT drawWrappingButton(const NMCUSTOMDRAW& draw);

}  // namespace quorna::ui::win32
