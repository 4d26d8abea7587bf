#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The pictures of resources/, compiled into the program by resources/quorna.rc. A resource is
// named after its file: "splash.bmp" is SPLASH_BMP.
namespace quorna::ui::win32 {

std::wstring resourceName(std::string_view fileName);

// The program icon at the given size in pixels, or nullptr.
HICON loadIcon(std::string_view fileName, int size);

// A picture as an opaque bitmap (nullptr when it cannot be loaded): a BITMAP resource as it is,
// any other picture (the GIF) decoded with GDI+ and laid over background where it is transparent.
HBITMAP loadPicture(std::string_view fileName, COLORREF background);

// Draws the bitmap from (x, y), at its own size on a screen of the design density and scaled
// with the layout on any other.
void drawPicture(HDC dc, HBITMAP picture, int x, int y, int dpi);

}  // namespace quorna::ui::win32
