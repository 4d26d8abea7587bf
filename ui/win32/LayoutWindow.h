#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Layout.h"
#include "ui/LayoutGeometry.h"
#include "ui/win32/BaseWindow.h"
#include "ui/win32/Controls.h"
#include "ui/win32/Dpi.h"

// Win32 windows placed from the window layouts: every control gets the layout's rectangle, font,
// alignment, colour, visibility and tab order, scaled from twips to the monitor's density and
// placed again when the window moves to a monitor of another density.
namespace quorna::ui::win32 {

// A top-level window built from a layout, owned by its HWND. It paints the background picture
// and the lines, keeps labels transparent, reports clicks on its bare surface (not on a control or
// label), button clicks, Esc/Enter on its cancel/default button, and every close request.
class LayoutWindow : public BaseWindow<LayoutWindow> {
public:
    // Tells the owner that the window is gone (WM_NCDESTROY); the owner stops using it then.
    using GoneHandler = std::function<void()>;

    // The window, hidden, with every control; nullptr when the system refuses to create it.
    static LayoutWindow* create(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                                std::function<void()> onCloseRequest, GoneHandler onGone);

    void onButtonClick(std::string_view control, std::function<void()> handler);

    void setCaption(std::string_view control, const std::string& text);
    void setFontSize(std::string_view control, double points);
    void setVisible(std::string_view control, bool visible);
    void listClear(std::string_view control);
    void listAddItem(std::string_view control, const std::string& text);
    int checkValue(std::string_view control);
    // The control's window (made now if it was left for later), or nullptr when it has none (a
    // line) or there is no such control.
    HWND controlHandle(std::string_view control);

    void show();
    void hide();
    // Hides the window and destroys it once control is back in the message loop: the request may
    // come from inside one of the window's own handlers.
    void destroyLater();

    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void windowGone();

private:
    struct Control {
        const ControlLayout* layout = nullptr;
        HWND handle = nullptr;  // none for a line
        HWND container = nullptr;
        PictureBox* picture = nullptr;
        double points = 0;     // current font size
        HFONT font = nullptr;  // shared (acquireFont)
        int id = 0;
        bool later = false;  // a hidden common control, made when first used (build())
    };

    LayoutWindow(const WindowLayout& layout, std::function<void()> onSurfaceClick,
                 std::function<void()> onCloseRequest, GoneHandler onGone);
    ~LayoutWindow();

    bool build();
    void createControl(Control& control);
    void makeLaterControls();
    void stackControls();
    // Places the window and every control for dpi; the window keeps its centre, or goes to the
    // rectangle the system suggests when it moves to another monitor.
    void placeAll(int dpi, const RECT* suggested);
    void placeControl(Control& control);
    // The window's size around the layout's client area at dpi.
    SIZE outerSize(int dpi) const;
    void loadIcons(int dpi);
    void redrawUnder(const Control& control);
    void pressButton(bool cancel);
    bool onSurface(POINT at) const;
    LRESULT colourStatic(HDC dc, HWND control);
    void paint();

    Control& find(std::string_view name);
    // The control, made first if it was left for later.
    Control& made(std::string_view name);
    const Control* findByHandle(HWND handle) const;

    const WindowLayout& layout_;
    std::function<void()> onSurfaceClick_;
    std::function<void()> onCloseRequest_;
    GoneHandler onGone_;
    std::vector<Control> controls_;
    std::map<int, std::function<void()>> buttonHandlers_;
    HBITMAP background_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    int dpi_ = kDesignDpi;
    bool placed_ = false;
    bool pressedOnSurface_ = false;
    HWND savedFocus_ = nullptr;
};

}  // namespace quorna::ui::win32
