#pragma once

#include <windows.h>

#include <string>

#include "ui/Layout.h"
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

// An owner-drawn button takes the second click of a double-click as a press, as push buttons do.
void pressOnDoubleClicks(HWND button);

// A push button with its caption wrapped at word boundaries and centred in the whole button: the
// visual style's button where one is active, else the classic one.
void drawWrappingButton(const DRAWITEMSTRUCT& item);

}  // namespace quorna::ui::win32
