#include "ui/win32/Dpi.h"

#include <cmath>
#include <string>

#include "platform/WindowsText.h"

namespace quorna::ui::win32 {

namespace {

constexpr int kPointsPerInch = 72;

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);
using AdjustWindowRectExForDpiFunction = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);

}  // namespace

int windowDpi(HWND window) {
    static const auto getDpiForWindow = user32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr) {
        return static_cast<int>(getDpiForWindow(window));
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kDesignDpi;
}

int metricForDpi(int index, int dpi) {
    static const auto forDpi =
        user32Function<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
    if (forDpi != nullptr) {
        return forDpi(index, static_cast<UINT>(dpi));
    }
    return MulDiv(GetSystemMetrics(index), dpi, windowDpi(nullptr));
}

int fontHeight(double points, int dpi) {
    return -static_cast<int>(std::lround(points * dpi / kPointsPerInch));
}

RECT outerRect(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi) {
    RECT rect{0, 0, clientWidth, clientHeight};
    static const auto adjustForDpi =
        user32Function<AdjustWindowRectExForDpiFunction>("AdjustWindowRectExForDpi");
    if (adjustForDpi != nullptr) {
        adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi));
    } else {
        AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    }
    return rect;
}

HFONT createFont(const Font& font, double points, int dpi) {
    LOGFONTW description{};
    description.lfHeight = fontHeight(points, dpi);
    description.lfWeight = font.weight;
    description.lfCharSet = static_cast<BYTE>(font.charset);
    description.lfQuality = DEFAULT_QUALITY;
    const std::wstring face = font.face.empty() ? kDefaultDialogFace : platform::widen(font.face);
    lstrcpynW(description.lfFaceName, face.c_str(), LF_FACESIZE);
    return CreateFontIndirectW(&description);
}

}  // namespace quorna::ui::win32
