#include "ui/win32/Dpi.h"

#include <cmath>
#include <compare>
#include <map>
#include <string>

#include "platform/WindowsText.h"
#include "ui/LayoutGeometry.h"

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

namespace {

struct FontKey {
    std::wstring face;
    int height = 0;
    int weight = 0;
    int charset = 0;
    auto operator<=>(const FontKey&) const = default;
};

struct SharedFont {
    HFONT handle = nullptr;
    int users = 0;
};

// The window thread's fonts; the program's windows all live on that one thread.
std::map<FontKey, SharedFont>& fonts() {
    static std::map<FontKey, SharedFont> shared;
    return shared;
}

}  // namespace

HFONT acquireFont(const Font& font, double points, int dpi) {
    FontKey key{font.face.empty() ? kDefaultDialogFace : platform::widen(font.face),
                fontHeight(points, dpi), font.weight, font.charset};
    SharedFont& shared = fonts()[key];
    if (shared.handle == nullptr) {
        LOGFONTW description{};
        description.lfHeight = key.height;
        description.lfWeight = key.weight;
        description.lfCharSet = static_cast<BYTE>(key.charset);
        description.lfQuality = DEFAULT_QUALITY;
        lstrcpynW(description.lfFaceName, key.face.c_str(), LF_FACESIZE);
        shared.handle = CreateFontIndirectW(&description);
        if (shared.handle == nullptr) {
            fonts().erase(key);
            return nullptr;
        }
    }
    ++shared.users;
    return shared.handle;
}

void releaseFont(HFONT font) {
    if (font == nullptr) {
        return;
    }
    auto& shared = fonts();
    for (auto entry = shared.begin(); entry != shared.end(); ++entry) {
        if (entry->second.handle == font) {
            if (--entry->second.users == 0) {
                DeleteObject(font);
                shared.erase(entry);
            }
            return;
        }
    }
}

}  // namespace quorna::ui::win32
