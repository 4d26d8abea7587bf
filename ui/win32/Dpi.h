#pragma once

#include <windows.h>

#include "ui/Layout.h"

// The window's pixel density and what depends on it: outer sizes and fonts. Functions of newer
// Windows are looked up at run time, so that the program still starts on older ones.
namespace quorna::ui::win32 {

// Where the layout names no font: the platform's default dialog font (Tahoma, or the system's
// stand-in for it).
inline constexpr const wchar_t* kDefaultDialogFace = L"MS Shell Dlg 2";

// A function of user32.dll, or nullptr where this Windows lacks it.
template <typename Function>
Function user32Function(const char* name) {
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// The window's pixel density (GetDpiForWindow where the system has it, else the screen's).
int windowDpi(HWND window);

// A system metric (GetSystemMetrics' index) at dpi, where the system can tell it for a given dpi
// (GetSystemMetricsForDpi); else the system's, scaled from the system's dpi.
int metricForDpi(int index, int dpi);

// A font's height in pixels (negative: the character height) at dpi.
int fontHeight(double points, int dpi);

// The window rectangle around a client area of the given size, at dpi.
RECT outerRect(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi);

// The one font for the layout's face, weight and character set at the given size and dpi, shared
// by every control that shows it: a caption change or a second window creates no GDI object.
// Each acquireFont is matched by a releaseFont; the last release deletes the font.
HFONT acquireFont(const Font& font, double points, int dpi);
void releaseFont(HFONT font);

}  // namespace quorna::ui::win32
