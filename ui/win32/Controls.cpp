#include "ui/win32/Controls.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vsstyle.h>

#include "ui/win32/Pictures.h"

namespace quorna::ui::win32 {

namespace {

constexpr const wchar_t* kPictureClass = L"QuornaPictureBox";
constexpr UINT_PTR kPressOnDoubleClickSubclass = 1;

// An owner-drawn button answers the second click of a double-click with BN_DOUBLECLICKED alone,
// neither pressed nor clicked, so a quick second click would be lost. Like the system's push
// buttons it takes that click as a press instead, and its release as a click.
LRESULT CALLBACK pressOnDoubleClick(HWND button, UINT message, WPARAM wParam, LPARAM lParam,
                                    UINT_PTR, DWORD_PTR) {
    if (message == WM_LBUTTONDBLCLK) {
        message = WM_LBUTTONDOWN;
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(button, &pressOnDoubleClick, kPressOnDoubleClickSubclass);
    }
    return DefSubclassProc(button, message, wParam, lParam);
}

}  // namespace

COLORREF colourOf(const Colour& colour) {
    switch (colour.kind) {
        case ColourKind::Rgb:
            return RGB((colour.rgb >> 16) & 0xFF, (colour.rgb >> 8) & 0xFF, colour.rgb & 0xFF);
        case ColourKind::System:
            return GetSysColor(colour.systemIndex);
        case ColourKind::None:
            break;
    }
    return GetSysColor(kDialogTextColour);
}

DWORD alignmentStyle(const ControlLayout& layout) {
    switch (layout.align) {
        case TextAlign::Centre:
            return SS_CENTER;
        case TextAlign::Right:
            return SS_RIGHT;
        case TextAlign::Left:
        case TextAlign::Default:
            break;
    }
    return layout.autoSize ? SS_LEFTNOWORDWRAP : SS_LEFT;
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

void pressOnDoubleClicks(HWND button) {
    SetWindowSubclass(button, &pressOnDoubleClick, kPressOnDoubleClickSubclass, 0);
}

void drawWrappingButton(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    RECT rect = item.rcItem;
    const bool pushed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    HTHEME theme = IsThemeActive() ? OpenThemeData(item.hwndItem, L"BUTTON") : nullptr;
    RECT content = rect;
    if (theme != nullptr) {
        const int state = disabled ? PBS_DISABLED : pushed ? PBS_PRESSED : PBS_NORMAL;
        DrawThemeParentBackground(item.hwndItem, dc, &rect);
        DrawThemeBackground(theme, dc, BP_PUSHBUTTON, state, &rect, nullptr);
        CloseThemeData(theme);
    } else {
        DrawFrameControl(
            dc, &rect, DFC_BUTTON,
            DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0) | (disabled ? DFCS_INACTIVE : 0));
    }
    const int edge = GetSystemMetrics(SM_CXEDGE);
    InflateRect(&content, -edge, -edge);
    if (pushed && theme == nullptr) {
        OffsetRect(&content, 1, 1);
    }

    const std::wstring caption = windowText(item.hwndItem);
    UINT flags =
        DT_CENTER | DT_WORDBREAK | ((item.itemState & ODS_NOACCEL) != 0 ? DT_HIDEPREFIX : 0);
    RECT measured = content;
    DrawTextW(dc, caption.c_str(), -1, &measured, flags | DT_CALCRECT);
    const int spare = (content.bottom - content.top) - (measured.bottom - measured.top);
    RECT text = content;
    text.top += spare > 0 ? spare / 2 : 0;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : kDialogTextColour));
    DrawTextW(dc, caption.c_str(), -1, &text, flags);
    if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
        InflateRect(&content, -1, -1);
        DrawFocusRect(dc, &content);
    }
}

// ---- picture box ----------------------------------------------------------------------------

PictureBox* PictureBox::create(const ControlLayout& layout, HWND parent) {
    registerClass(kPictureClass, GetSysColorBrush(kDialogColour));
    auto* box = new PictureBox(layout);
    const DWORD style = WS_CHILD | WS_CLIPSIBLINGS | (layout.visible ? WS_VISIBLE : 0);
    const DWORD exStyle = WS_EX_CONTROLPARENT | (layout.border ? WS_EX_CLIENTEDGE : 0);
    if (!box->createWindow(kPictureClass, L"", style, exStyle, parent)) {
        delete box;
        return nullptr;
    }
    if (!layout.picture.empty()) {
        box->picture_ = loadPicture(layout.picture, GetSysColor(kDialogColour));
    }
    return box;
}

PictureBox::~PictureBox() {
    if (picture_ != nullptr) {
        DeleteObject(picture_);
    }
}

LRESULT PictureBox::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd_, &paint);
            drawPicture(dc, picture_, 0, 0, dpi_);
            EndPaint(hwnd_, &paint);
            return 0;
        }
        case WM_CTLCOLORSTATIC:  // the window that holds the layout colours the labels
            return SendMessageW(GetAncestor(hwnd_, GA_ROOT), message, wParam, lParam);
        case WM_SYSCOLORCHANGE:  // the picture's transparent parts show the new dialog colour
            if (picture_ != nullptr) {
                DeleteObject(picture_);
                picture_ = loadPicture(layout_.picture, GetSysColor(kDialogColour));
            }
            InvalidateRect(hwnd_, nullptr, TRUE);
            return 0;
        default:
            return DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}
}  // namespace quorna::ui::win32
