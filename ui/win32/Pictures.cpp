#include "ui/win32/Pictures.h"

#include <objidl.h>
// GDI+ after the COM declarations it builds on.
#include <gdiplus.h>

#include <cctype>
#include <cstring>

#include "ui/Layout.h"

namespace quorna::ui::win32 {

namespace {

constexpr std::string_view kBitmapExtension = ".bmp";

// GDI+ for the duration of one decode.
class GdiPlusSession {
public:
    GdiPlusSession() {
        Gdiplus::GdiplusStartupInput input;
        ok_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiPlusSession() {
        if (ok_) {
            Gdiplus::GdiplusShutdown(token_);
        }
    }
    GdiPlusSession(const GdiPlusSession&) = delete;
    GdiPlusSession& operator=(const GdiPlusSession&) = delete;
    bool ok() const { return ok_; }

private:
    ULONG_PTR token_ = 0;
    bool ok_ = false;
};

// The resource's bytes as a stream of its own, or nullptr.
IStream* resourceStream(const std::wstring& name) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, name.c_str(), RT_RCDATA);
    if (found == nullptr) {
        return nullptr;
    }
    const DWORD size = SizeofResource(module, found);
    const void* bytes = LockResource(LoadResource(module, found));
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (bytes == nullptr || copy == nullptr) {
        if (copy != nullptr) {
            GlobalFree(copy);
        }
        return nullptr;
    }
    std::memcpy(GlobalLock(copy), bytes, size);
    GlobalUnlock(copy);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) {
        GlobalFree(copy);
        return nullptr;
    }
    return stream;
}

HBITMAP decodeWithGdiPlus(const std::wstring& name, COLORREF background) {
    GdiPlusSession gdiPlus;
    IStream* stream = gdiPlus.ok() ? resourceStream(name) : nullptr;
    if (stream == nullptr) {
        return nullptr;
    }
    HBITMAP result = nullptr;
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromStream(stream, &bitmap) == Gdiplus::Ok) {
        const Gdiplus::ARGB argb = 0xFF000000u | (GetRValue(background) << 16) |
                                   (GetGValue(background) << 8) | GetBValue(background);
        Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(bitmap, &result, argb);
        Gdiplus::DllExports::GdipDisposeImage(bitmap);
    }
    stream->Release();
    return result;
}

}  // namespace

std::wstring resourceName(std::string_view fileName) {
    std::wstring name;
    for (const char c : fileName) {
        name.push_back(
            c == '.' ? L'_' : static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(c))));
    }
    return name;
}

HICON loadIcon(std::string_view fileName, int size) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), resourceName(fileName).c_str(),
                                         IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

HBITMAP loadPicture(std::string_view fileName, COLORREF background) {
    const std::wstring name = resourceName(fileName);
    if (fileName.ends_with(kBitmapExtension)) {
        return static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), name.c_str(),
                                               IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    }
    return decodeWithGdiPlus(name, background);
}

void drawPicture(HDC dc, HBITMAP picture, int x, int y, int dpi) {
    BITMAP info{};
    if (picture == nullptr || GetObjectW(picture, sizeof info, &info) == 0) {
        return;
    }
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(source, picture);
    if (dpi == kDesignDpi) {
        BitBlt(dc, x, y, info.bmWidth, info.bmHeight, source, 0, 0, SRCCOPY);
    } else {
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchBlt(dc, x, y, MulDiv(info.bmWidth, dpi, kDesignDpi),
                   MulDiv(info.bmHeight, dpi, kDesignDpi), source, 0, 0, info.bmWidth,
                   info.bmHeight, SRCCOPY);
    }
    SelectObject(source, previous);
    DeleteDC(source);
}

}  // namespace quorna::ui::win32
