#include "ui/win32/Controls.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vsstyle.h>

#include "ui/win32/Dpi.h"
#include "ui/win32/Pictures.h"

namespace quorna::ui::win32 {

namespace {

constexpr const wchar_t* kPictureClass = L"QuornaPictureBox";
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

LRESULT drawWrappingButton(const NMCUSTOMDRAW& draw) {
    if (draw.dwDrawStage != CDDS_PREPAINT) {
        return CDRF_DODEFAULT;
    }
    HWND button = draw.hdr.hwndFrom;
    HDC dc = draw.hdc;
    RECT rect = draw.rc;
    const int dpi = windowDpi(button);
    const UINT state = draw.uItemState;
    const bool pushed = (state & CDIS_SELECTED) != 0;
    const bool disabled = (state & CDIS_DISABLED) != 0;
    const bool focused = (state & CDIS_FOCUS) != 0;
    const bool isDefault =
        (GetWindowLongPtrW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON || focused;
    const auto cues = static_cast<UINT>(SendMessageW(button, WM_QUERYUISTATE, 0, 0));

    RECT content = rect;
    HTHEME theme = IsAppThemed() ? OpenThemeData(button, L"BUTTON") : nullptr;
    if (theme != nullptr) {
        const int part = disabled                  ? PBS_DISABLED
                         : pushed                  ? PBS_PRESSED
                         : (state & CDIS_HOT) != 0 ? PBS_HOT
                         : isDefault               ? PBS_DEFAULTED
                                                   : PBS_NORMAL;
        if (IsThemeBackgroundPartiallyTransparent(theme, BP_PUSHBUTTON, part)) {
            DrawThemeParentBackground(button, dc, &rect);
        }
        DrawThemeBackground(theme, dc, BP_PUSHBUTTON, part, &rect, nullptr);
        GetThemeBackgroundContentRect(theme, dc, BP_PUSHBUTTON, part, &rect, &content);
        CloseThemeData(theme);
    } else {
        // The classic default button: a dark frame around the raised one.
        if (isDefault) {
            FrameRect(dc, &rect, GetSysColorBrush(COLOR_WINDOWFRAME));
            InflateRect(&rect, -1, -1);
        }
        DrawFrameControl(dc, &rect, DFC_BUTTON,
                         DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED | DFCS_FLAT : 0) |
                             (disabled ? DFCS_INACTIVE : 0));
        const int edge = metricForDpi(SM_CXEDGE, dpi);
        content = rect;
        InflateRect(&content, -edge, -edge);
        if (pushed) {
            OffsetRect(&content, 1, 1);
        }
    }

    // The caption wrapped at word boundaries and centred in the whole face, in the button's font.
    const std::wstring caption = windowText(button);
    const UINT flags =
        DT_CENTER | DT_WORDBREAK | ((cues & UISF_HIDEACCEL) != 0 ? DT_HIDEPREFIX : 0);
    HGDIOBJ previousFont =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(button, WM_GETFONT, 0, 0)));
    RECT measured = content;
    DrawTextW(dc, caption.c_str(), -1, &measured, flags | DT_CALCRECT);
    const int spare = (content.bottom - content.top) - (measured.bottom - measured.top);
    RECT text = content;
    text.top += spare > 0 ? spare / 2 : 0;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(disabled ? COLOR_GRAYTEXT : kDialogTextColour));
    DrawTextW(dc, caption.c_str(), -1, &text, flags);
    SelectObject(dc, previousFont);
    if (focused && (cues & UISF_HIDEFOCUS) == 0) {
        InflateRect(&content, -1, -1);
        DrawFocusRect(dc, &content);
    }
    return CDRF_SKIPDEFAULT;
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
