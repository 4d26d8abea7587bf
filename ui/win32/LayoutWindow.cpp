#include "ui/win32/LayoutWindow.h"

#include <algorithm>
#include <stdexcept>

#include "platform/win32/Win32Services.h"
#include "ui/LayoutGeometry.h"
#include "ui/LayoutKeys.h"
#include "ui/win32/Accessibility.h"
#include "ui/win32/Pictures.h"

namespace quorna::ui::win32 {

using platform::win32::widen;

namespace {

constexpr const wchar_t* kWindowClass = L"QuornaLayoutWindow";
constexpr UINT kDestroyMessage = WM_APP + 1;
constexpr int kFirstControlId = 1000;

// The kinds the version 6 common controls draw themed (labels too, but they look the same).
bool commonControl(ControlKind kind) {
    return kind == ControlKind::Button || kind == ControlKind::CheckBox ||
           kind == ControlKind::List;
}

}  // namespace

LayoutWindow::LayoutWindow(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                           std::function<void()> onCloseRequest, GoneHandler onGone)
    : layout_(layout),
      onSurfaceClick_(std::move(onSurfaceClick)),
      onCloseRequest_(std::move(onCloseRequest)),
      onGone_(std::move(onGone)) {}

LayoutWindow::~LayoutWindow() {
    for (auto& control : controls_) {
        releaseFont(control.font);
    }
    for (HGDIOBJ owned : {static_cast<HGDIOBJ>(background_)}) {
        if (owned != nullptr) {
            DeleteObject(owned);
        }
    }
    for (HICON icon : {bigIcon_, smallIcon_}) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
}

LayoutWindow* LayoutWindow::create(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                                   std::function<void()> onCloseRequest, GoneHandler onGone) {
    registerClass(kWindowClass, GetSysColorBrush(kDialogColour));
    auto* window = new LayoutWindow(layout, std::move(onSurfaceClick), std::move(onCloseRequest),
                                    std::move(onGone));
    if (!window->build()) {
        // Once the HWND exists it owns the object: destroying it deletes the object.
        if (window->hwnd_ != nullptr) {
            window->onGone_ = nullptr;
            DestroyWindow(window->hwnd_);
        } else {
            delete window;
        }
        return nullptr;
    }
    return window;
}

bool LayoutWindow::build() {
    DWORD style = WS_CLIPSIBLINGS;
    if (layout_.border == BorderStyle::None) {
        style |= WS_POPUP;
    } else {
        style |= WS_OVERLAPPED | WS_CAPTION;
        style |= layout_.controlBox ? WS_SYSMENU : 0;
        style |= layout_.minButton ? WS_MINIMIZEBOX : 0;
        style |= layout_.maxButton ? WS_MAXIMIZEBOX : 0;
    }
    const DWORD exStyle =
        WS_EX_CONTROLPARENT | (layout_.showInTaskbar ? WS_EX_APPWINDOW : WS_EX_TOOLWINDOW);
    if (!createWindow(kWindowClass, widen(layout_.caption).c_str(), style, exStyle, nullptr)) {
        return false;
    }
    platform::win32::markDialogWindow(hwnd_);

    if (!layout_.picture.empty()) {
        background_ = loadPicture(layout_.picture, GetSysColor(kDialogColour));
    }

    // The common controls' library takes a while to load. A window that shows none of them at
    // first (the start-up window: labels on its picture, Exit hidden until an error) is shown
    // without it, and makes its hidden buttons when they are first used.
    const bool commonControlsLater =
        !platform::win32::commonControlsInUse() &&
        std::none_of(layout_.controls.begin(), layout_.controls.end(),
                     [](const ControlLayout& c) { return c.visible && commonControl(c.kind); });
    if (!commonControlsLater) {
        platform::win32::useCommonControls();
    }

    controls_.reserve(layout_.controls.size());
    for (const auto& layout : layout_.controls) {
        Control control;
        control.layout = &layout;
        control.id = kFirstControlId + static_cast<int>(controls_.size());
        control.points = layout.ownFont ? layout.font.points : layout_.font.points;
        control.later = commonControlsLater && commonControl(layout.kind);
        controls_.push_back(control);
    }
    for (auto& control : controls_) {
        if (control.later) {
            continue;
        }
        createControl(control);
        if (control.layout->kind != ControlKind::Line && control.handle == nullptr) {
            return false;
        }
    }
    describeWindow(hwnd_, layout_);
    for (const auto& control : controls_) {
        if (control.handle != nullptr) {
            describeControl(control.handle, *control.layout);
        }
    }
    stackControls();
    placeAll(windowDpi(hwnd_), nullptr);
    const auto order = focusOrder(layout_);
    if (!order.empty()) {
        savedFocus_ = find(order.front()->name).handle;
    }
    return true;
}

void LayoutWindow::createControl(Control& control) {
    const ControlLayout& layout = *control.layout;
    control.container = hwnd_;
    if (!layout.container.empty()) {
        const Control& container = find(layout.container);
        if (container.handle != nullptr) {
            control.container = container.handle;
        }
    }
    DWORD style = WS_CHILD | (layout.visible ? WS_VISIBLE : 0) | (layout.tabStop ? WS_TABSTOP : 0);
    DWORD exStyle = 0;
    const wchar_t* className = nullptr;
    std::wstring text = widen(layout.caption);
    switch (layout.kind) {
        case ControlKind::Label:
            // Without SS_NOTIFY a label answers HTTRANSPARENT: clicks go to what lies below.
            className = L"STATIC";
            style |= SS_NOPREFIX | alignmentStyle(layout);
            text = widen(displayText(layout.caption));
            break;
        case ControlKind::Button:
            className = L"BUTTON";
            // A caption that wraps is drawn in NM_CUSTOMDRAW (drawWrappingButton).
            style |= (layout.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) |
                     (layout.wordWrap ? BS_MULTILINE : 0);
            break;
        case ControlKind::CheckBox:
            className = L"BUTTON";
            style |= BS_AUTOCHECKBOX;
            break;
        case ControlKind::List:
            className = L"LISTBOX";
            style |=
                WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | (layout.sorted ? LBS_SORT : 0);
            exStyle |= WS_EX_CLIENTEDGE;
            text.clear();
            break;
        case ControlKind::Picture:
            control.picture = PictureBox::create(layout, control.container);
            control.handle = control.picture != nullptr ? control.picture->handle() : nullptr;
            return;
        case ControlKind::Line:
            return;  // drawn by its container
    }
    control.handle =
        CreateWindowExW(exStyle, className, text.c_str(), style, 0, 0, 0, 0, control.container,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)),
                        GetModuleHandleW(nullptr), nullptr);
    if (control.handle != nullptr && layout.kind == ControlKind::CheckBox) {
        SendMessageW(control.handle, BM_SETCHECK, layout.value == 1 ? BST_CHECKED : BST_UNCHECKED,
                     0);
    }
}

void LayoutWindow::makeLaterControls() {
    bool madeAny = false;
    for (auto& control : controls_) {
        if (!control.later) {
            continue;
        }
        control.later = false;
        platform::win32::useCommonControls();
        createControl(control);
        if (control.handle != nullptr) {
            describeControl(control.handle, *control.layout);
            placeControl(control);
            madeAny = true;
        }
    }
    if (madeAny) {
        stackControls();
    }
}

// Dialog navigation follows the stacking order, so the controls that take the focus lie on top in
// tab order; every other control that lies above the labels comes next, then the labels.
void LayoutWindow::stackControls() {
    std::vector<HWND> topFirst;
    for (const ControlLayout* layout : focusOrder(layout_)) {
        topFirst.push_back(find(layout->name).handle);
    }
    for (const bool above : {true, false}) {
        for (const auto& control : controls_) {
            if (liesAboveLabels(control.layout->kind) == above && !control.layout->tabStop &&
                control.handle != nullptr) {
                topFirst.push_back(control.handle);
            }
        }
    }
    std::erase(topFirst, nullptr);  // left for later
    for (HWND handle : topFirst) {
        SetWindowPos(handle, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
}

SIZE LayoutWindow::outerSize(int dpi) const {
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE));
    const RECT outer = outerRect(pixels(layout_.clientWidth, dpi),
                                 pixels(layout_.clientHeight, dpi), style, exStyle, dpi);
    return {outer.right - outer.left, outer.bottom - outer.top};
}

// The icons drawn at the sizes the system uses at dpi; the ones they replace are destroyed once
// the window no longer shows them.
void LayoutWindow::loadIcons(int dpi) {
    if (layout_.icon.empty()) {
        return;
    }
    HICON big = loadIcon(layout_.icon, metricForDpi(SM_CXICON, dpi));
    HICON small = loadIcon(layout_.icon, metricForDpi(SM_CXSMICON, dpi));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    for (HICON old : {bigIcon_, smallIcon_}) {
        if (old != nullptr) {
            DestroyIcon(old);
        }
    }
    bigIcon_ = big;
    smallIcon_ = small;
}

void LayoutWindow::placeAll(int dpi, const RECT* suggested) {
    const bool dpiChanged = dpi != dpi_ || bigIcon_ == nullptr;
    dpi_ = dpi;
    if (dpiChanged) {
        loadIcons(dpi);
    }
    for (auto& control : controls_) {
        placeControl(control);
    }
    if (suggested != nullptr) {
        // The system's rectangle whole: it keeps the window under the pointer while dragged
        // across monitors, and it is the size WM_GETDPISCALEDSIZE asked for.
        placed_ = true;
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        InvalidateRect(hwnd_, nullptr, TRUE);
        return;
    }
    const SIZE size = outerSize(dpi);
    const int width = size.cx;
    const int height = size.cy;
    int left = 0;
    int top = 0;
    if (layout_.centred && !placed_) {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor);
        const RECT& work = monitor.rcWork;
        left = work.left + (work.right - work.left - width) / 2;
        top = work.top + (work.bottom - work.top - height) / 2;
    } else {
        RECT now;
        GetWindowRect(hwnd_, &now);
        left = now.left;
        top = now.top;
    }
    placed_ = true;
    SetWindowPos(hwnd_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void LayoutWindow::placeControl(Control& control) {
    if (control.handle == nullptr) {
        return;
    }
    const ControlLayout& layout = *control.layout;
    if (layout.kind != ControlKind::Picture) {
        HFONT font = acquireFont(layout.ownFont ? layout.font : layout_.font, control.points, dpi_);
        SendMessageW(control.handle, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        releaseFont(control.font);
        control.font = font;
    } else if (control.picture != nullptr) {
        control.picture->setDpi(dpi_);
    }
    Rect rect = pixelBounds(layout, dpi_);
    if (layout.autoSize) {
        // A self-sizing label keeps its text on one line at its own font.
        HDC dc = GetDC(control.handle);
        HGDIOBJ previous = SelectObject(dc, control.font);
        const std::wstring text = windowText(control.handle);
        RECT needed{0, 0, 0, 0};
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
                  DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, previous);
        ReleaseDC(control.handle, dc);
        rect.width = needed.right - needed.left;
        rect.height = needed.bottom - needed.top;
    }
    SetWindowPos(control.handle, nullptr, rect.left, rect.top, rect.width, rect.height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    redrawUnder(control);
}

// A transparent label draws no background, so its container repaints what lies under it first.
void LayoutWindow::redrawUnder(const Control& control) {
    if (control.handle == nullptr || !control.layout->transparent) {
        return;
    }
    RECT rect;
    GetWindowRect(control.handle, &rect);
    MapWindowPoints(HWND_DESKTOP, control.container, reinterpret_cast<POINT*>(&rect), 2);
    RedrawWindow(control.container, &rect, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

LayoutWindow::Control& LayoutWindow::find(std::string_view name) {
    for (auto& control : controls_) {
        if (control.layout->name == name) {
            return control;
        }
    }
    throw std::out_of_range("No control named " + std::string(name));
}

const LayoutWindow::Control* LayoutWindow::findByHandle(HWND handle) const {
    for (const auto& control : controls_) {
        if (control.handle == handle) {
            return &control;
        }
    }
    return nullptr;
}

LayoutWindow::Control& LayoutWindow::made(std::string_view name) {
    Control& control = find(name);
    if (control.later) {
        makeLaterControls();
    }
    return control;
}

HWND LayoutWindow::controlHandle(std::string_view control) {
    for (auto& c : controls_) {
        if (c.layout->name == control) {
            if (c.later) {
                makeLaterControls();
            }
            return c.handle;
        }
    }
    return nullptr;
}

void LayoutWindow::onButtonClick(std::string_view control, std::function<void()> handler) {
    buttonHandlers_[find(control).id] = std::move(handler);
}

void LayoutWindow::setCaption(std::string_view name, const std::string& text) {
    Control& control = made(name);
    switch (control.layout->kind) {
        case ControlKind::Label:
            SetWindowTextW(control.handle, widen(displayText(text)).c_str());
            if (control.layout->autoSize) {
                placeControl(control);
            }
            redrawUnder(control);
            return;
        case ControlKind::Button:
        case ControlKind::CheckBox:
            SetWindowTextW(control.handle, widen(text).c_str());
            return;
        case ControlKind::List:
        case ControlKind::Picture:
        case ControlKind::Line:
            break;
    }
    throw std::invalid_argument("Control " + std::string(name) + " has no caption");
}

void LayoutWindow::setFontSize(std::string_view name, double points) {
    Control& control = made(name);
    if (control.handle == nullptr || control.layout->kind == ControlKind::Picture) {
        throw std::invalid_argument("Control " + std::string(name) + " has no font");
    }
    control.points = points;
    placeControl(control);
    InvalidateRect(control.handle, nullptr, TRUE);
}

void LayoutWindow::setVisible(std::string_view name, bool visible) {
    Control& control = made(name);
    if (control.handle == nullptr) {
        return;
    }
    if (!visible && GetFocus() == control.handle) {
        // The focus moves on to the next control rather than vanish with this one.
        HWND next = GetNextDlgTabItem(hwnd_, control.handle, FALSE);
        SetFocus(next != control.handle ? next : hwnd_);
    }
    ShowWindow(control.handle, visible ? SW_SHOWNA : SW_HIDE);
}

void LayoutWindow::listClear(std::string_view name) {
    Control& control = made(name);
    if (control.layout->kind != ControlKind::List) {
        throw std::invalid_argument("Control " + std::string(name) + " is not a list");
    }
    SendMessageW(control.handle, LB_RESETCONTENT, 0, 0);
}

void LayoutWindow::listAddItem(std::string_view name, const std::string& text) {
    Control& control = made(name);
    if (control.layout->kind != ControlKind::List) {
        throw std::invalid_argument("Control " + std::string(name) + " is not a list");
    }
    const std::wstring item = widen(text);
    SendMessageW(control.handle, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

int LayoutWindow::checkValue(std::string_view name) {
    Control& control = made(name);
    if (control.layout->kind != ControlKind::CheckBox) {
        throw std::invalid_argument("Control " + std::string(name) + " is not a check box");
    }
    switch (SendMessageW(control.handle, BM_GETCHECK, 0, 0)) {
        case BST_CHECKED:
            return 1;
        case BST_INDETERMINATE:
            return 2;
        default:
            return 0;
    }
}

void LayoutWindow::show() {
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    UpdateWindow(hwnd_);
}

void LayoutWindow::hide() {
    ShowWindow(hwnd_, SW_HIDE);
}

void LayoutWindow::destroyLater() {
    ShowWindow(hwnd_, SW_HIDE);
    PostMessageW(hwnd_, kDestroyMessage, 0, 0);
}

void LayoutWindow::windowGone() {
    GoneHandler onGone = std::move(onGone_);
    delete this;
    if (onGone) {
        onGone();
    }
}

void LayoutWindow::pressButton(bool cancel) {
    // Enter presses the push button that has the focus, as in a dialog; the window's default
    // button where the focus is on another kind of control.
    const Control* focused = findByHandle(GetFocus());
    if (!cancel && focused != nullptr && focused->layout->kind == ControlKind::Button) {
        SendMessageW(focused->handle, BM_CLICK, 0, 0);
        return;
    }
    for (const auto& control : controls_) {
        const bool wanted = cancel ? control.layout->cancelButton : control.layout->defaultButton;
        if (wanted && IsWindowVisible(control.handle) && IsWindowEnabled(control.handle)) {
            SendMessageW(control.handle, BM_CLICK, 0, 0);
            return;
        }
    }
}

// The bare surface: no control and no label under the point.
bool LayoutWindow::onSurface(POINT at) const {
    RECT client;
    GetClientRect(hwnd_, &client);
    return PtInRect(&client, at) && ChildWindowFromPointEx(hwnd_, at, CWP_SKIPINVISIBLE) == hwnd_;
}

LRESULT LayoutWindow::colourStatic(HDC dc, HWND handle) {
    const Control* control = findByHandle(handle);
    if (control == nullptr) {
        return DefWindowProcW(hwnd_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                              reinterpret_cast<LPARAM>(handle));
    }
    if (HBRUSH scheme = highContrastLabelColours(dc, layout_, *control->layout)) {
        return reinterpret_cast<LRESULT>(scheme);
    }
    SetTextColor(dc, colourOf(control->layout->foreColour));
    if (control->layout->transparent) {
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
    }
    SetBkColor(dc, GetSysColor(kDialogColour));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(kDialogColour));
}

void LayoutWindow::paint() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd_, &paint);
    drawPicture(dc, background_, 0, 0, dpi_);
    for (const auto& control : controls_) {
        if (control.layout->kind == ControlKind::Line && control.layout->visible) {
            const Rect r = pixelBounds(*control.layout, dpi_);
            const RECT line{r.left, r.top, r.left + r.width, r.top + r.height};
            HBRUSH brush = CreateSolidBrush(colourOf(control.layout->foreColour));
            FillRect(dc, &line, brush);
            DeleteObject(brush);
        }
    }
    EndPaint(hwnd_, &paint);
}

LRESULT LayoutWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            paint();
            return 0;
        case WM_CTLCOLORSTATIC:
            return colourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            const Control* control = findByHandle(header->hwndFrom);
            if (header->code == NM_CUSTOMDRAW && control != nullptr &&
                control->layout->kind == ControlKind::Button && control->layout->wordWrap) {
                return drawWrappingButton(*reinterpret_cast<const NMCUSTOMDRAW*>(lParam));
            }
            break;
        }
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (lParam == 0 || id == IDCANCEL || id == IDOK) {
                // Esc and Enter, as dialog navigation reports them.
                if (id == IDCANCEL || id == IDOK) {
                    pressButton(id == IDCANCEL);
                }
                return 0;
            }
            if (HIWORD(wParam) == BN_CLICKED) {
                const auto handler = buttonHandlers_.find(id);
                if (handler != buttonHandlers_.end() && handler->second) {
                    const auto call = handler->second;  // survives the window's destruction
                    call();
                }
            }
            return 0;
        }
        case WM_LBUTTONDOWN: {
            const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            pressedOnSurface_ = onSurface(at);
            if (pressedOnSurface_) {
                SetCapture(hwnd_);
            }
            return 0;
        }
        case WM_LBUTTONUP: {
            const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            const bool click = pressedOnSurface_ && onSurface(at);
            pressedOnSurface_ = false;
            if (GetCapture() == hwnd_) {
                ReleaseCapture();
            }
            if (click && onSurfaceClick_) {
                const auto call = onSurfaceClick_;
                call();
            }
            return 0;
        }
        case WM_CAPTURECHANGED:
            pressedOnSurface_ = false;
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus != nullptr && IsChild(hwnd_, focus)) {
                    savedFocus_ = focus;
                }
            } else {
                HWND focus = savedFocus_;
                if (focus == nullptr || !IsWindowVisible(focus)) {
                    focus = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
                }
                if (focus != nullptr && IsWindowVisible(focus)) {
                    SetFocus(focus);
                    return 0;
                }
            }
            break;
        case WM_SYSCOLORCHANGE:
            // Only top-level windows hear of it; the controls draw with the new colours too.
            for (const auto& control : controls_) {
                if (control.handle != nullptr) {
                    SendMessageW(control.handle, message, wParam, lParam);
                }
            }
            InvalidateRect(hwnd_, nullptr, TRUE);
            break;
        case WM_GETDPISCALEDSIZE:
            // Asked before WM_DPICHANGED: the size the layout takes at the new dpi.
            *reinterpret_cast<SIZE*>(lParam) = outerSize(static_cast<int>(wParam));
            return TRUE;
        case WM_DPICHANGED:
            placeAll(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_DESTROY:
            platform::win32::unmarkDialogWindow(hwnd_);
            break;
        case WM_CLOSE: {
            // A close always closes: the logic unloads the window; it is hidden in any case.
            const auto call = onCloseRequest_;
            if (call) {
                call();
            }
            ShowWindow(hwnd_, SW_HIDE);
            return 0;
        }
        case WM_ENDSESSION:
            if (wParam != 0 && onCloseRequest_) {
                const auto call = onCloseRequest_;
                call();
            }
            return 0;
        case kDestroyMessage:
            DestroyWindow(hwnd_);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

}  // namespace quorna::ui::win32
