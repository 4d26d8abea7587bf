#pragma once

#include <windows.h>

// A window object tied to its HWND, after the pattern of the Windows samples: the object passed
// to CreateWindowExW arrives with WM_NCCREATE and is kept in GWLP_USERDATA; every later message
// goes to Derived::handleMessage. After WM_NCDESTROY, the last message, the HWND is gone and
// Derived::windowGone() runs (a window object owned by its HWND deletes itself there), unless
// the window never came into being: then createWindow() fails and its caller still owns the object.
namespace quorna::ui::win32 {

template <typename Derived>
class BaseWindow {
public:
    HWND handle() const { return hwnd_; }

protected:
    BaseWindow() = default;
    ~BaseWindow() = default;
    BaseWindow(const BaseWindow&) = delete;
    BaseWindow& operator=(const BaseWindow&) = delete;

    // Registers the class once per process; a second registration is harmless.
    static void registerClass(const wchar_t* className, HBRUSH background) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &BaseWindow::windowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = background;
        windowClass.lpszClassName = className;
        RegisterClassExW(&windowClass);
    }

    bool createWindow(const wchar_t* className, const wchar_t* title, DWORD style, DWORD exStyle,
                      HWND parent) {
        creating_ = true;
        HWND made = CreateWindowExW(exStyle, className, title, style, 0, 0, 0, 0, parent, nullptr,
                                    GetModuleHandleW(nullptr), static_cast<Derived*>(this));
        creating_ = false;
        return made != nullptr;
    }

    HWND hwnd_ = nullptr;

private:
    bool creating_ = false;

    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        Derived* self = nullptr;
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            self = static_cast<Derived*>(create->lpCreateParams);
            self->hwnd_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        } else {
            self = reinterpret_cast<Derived*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        }
        if (self == nullptr) {
            return DefWindowProcW(hwnd, message, wParam, lParam);
        }
        // No failure may unwind through the system's dispatch; the window logic's own events
        // are already reported under the top level where they are forwarded.
        if (message == WM_NCDESTROY) {
            LRESULT result = 0;
            try {
                result = self->handleMessage(message, wParam, lParam);
            } catch (...) {
            }
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            self->hwnd_ = nullptr;
            if (!self->creating_) {
                self->windowGone();
            }
            return result;
        }
        try {
            return self->handleMessage(message, wParam, lParam);
        } catch (...) {
            return DefWindowProcW(hwnd, message, wParam, lParam);
        }
    }
};

}  // namespace quorna::ui::win32
