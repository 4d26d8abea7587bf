#include "ui/win32/Pictures.h"

#include <objidl.h>
// GDI+ after the COM declarations it builds on.
#include <gdiplus.h>

#include <cctype>
#include <cstring>

#include "ui/Layout.h"
#include "ui/LayoutGeometry.h"

namespace quorna::ui::win32 {

namespace {

constexpr std::string_view kBitmapExtension = ".bmp";

// GDI+ and COM's stream are looked up with the first picture that needs them (the main window's
// GIF) rather than imported: importing them loaded gdiplus.dll, ole32.dll and the DLLs they use
// before wWinMain, which the start-up window (a BITMAP resource) does not need.
template <typename Function>
Function systemFunction(const wchar_t* library, const char* name) {
    HMODULE module = GetModuleHandleW(library);
    if (module == nullptr) {
        module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        module = LoadLibraryW(library);  // a Windows without the system-folder-only search
    }
    const FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

struct GdiPlusFunctions {
    decltype(&Gdiplus::GdiplusStartup) startup;
    decltype(&Gdiplus::GdiplusShutdown) shutdown;
    decltype(&Gdiplus::DllExports::GdipCreateBitmapFromStream) bitmapFromStream;
    decltype(&Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap) hbitmapFromBitmap;
    decltype(&Gdiplus::DllExports::GdipDisposeImage) disposeImage;
    decltype(&CreateStreamOnHGlobal) streamOnHGlobal;

    bool complete() const {
        return startup != nullptr && shutdown != nullptr && bitmapFromStream != nullptr &&
               hbitmapFromBitmap != nullptr && disposeImage != nullptr &&
               streamOnHGlobal != nullptr;
    }
};

const GdiPlusFunctions& gdiPlusFunctions() {
    static const GdiPlusFunctions functions{
        systemFunction<decltype(&Gdiplus::GdiplusStartup)>(L"gdiplus.dll", "GdiplusStartup"),
        systemFunction<decltype(&Gdiplus::GdiplusShutdown)>(L"gdiplus.dll", "GdiplusShutdown"),
        systemFunction<decltype(&Gdiplus::DllExports::GdipCreateBitmapFromStream)>(
            L"gdiplus.dll", "GdipCreateBitmapFromStream"),
        systemFunction<decltype(&Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap)>(
            L"gdiplus.dll", "GdipCreateHBITMAPFromBitmap"),
        systemFunction<decltype(&Gdiplus::DllExports::GdipDisposeImage)>(L"gdiplus.dll",
                                                                         "GdipDisposeImage"),
        systemFunction<decltype(&CreateStreamOnHGlobal)>(L"ole32.dll", "CreateStreamOnHGlobal"),
    };
    return functions;
}

// GDI+ for the duration of one decode.
class GdiPlusSession {
public:
    GdiPlusSession() : functions_(gdiPlusFunctions()) {
        Gdiplus::GdiplusStartupInput input;
        ok_ = functions_.complete() && functions_.startup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiPlusSession() {
        if (ok_) {
            functions_.shutdown(token_);
        }
    }
    const GdiPlusFunctions& functions() const { return functions_; }
    GdiPlusSession(const GdiPlusSession&) = delete;
    GdiPlusSession& operator=(const GdiPlusSession&) = delete;
    bool ok() const { return ok_; }

private:
    const GdiPlusFunctions& functions_;
    ULONG_PTR token_ = 0;
    bool ok_ = false;
};

// The resource's bytes as a stream of its own, or nullptr.
IStream* resourceStream(const std::wstring& name, const GdiPlusFunctions& functions) {
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
    if (FAILED(functions.streamOnHGlobal(copy, TRUE, &stream))) {
        GlobalFree(copy);
        return nullptr;
    }
    return stream;
}

HBITMAP decodeWithGdiPlus(const std::wstring& name, COLORREF background) {
    GdiPlusSession gdiPlus;
    const GdiPlusFunctions& gdip = gdiPlus.functions();
    IStream* stream = gdiPlus.ok() ? resourceStream(name, gdip) : nullptr;
    if (stream == nullptr) {
        return nullptr;
    }
    HBITMAP result = nullptr;
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (gdip.bitmapFromStream(stream, &bitmap) == Gdiplus::Ok) {
        const Gdiplus::ARGB argb = 0xFF000000u | (GetRValue(background) << 16) |
                                   (GetGValue(background) << 8) | GetBValue(background);
        gdip.hbitmapFromBitmap(bitmap, &result, argb);
        gdip.disposeImage(bitmap);
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
