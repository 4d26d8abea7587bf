/* quorna-bench-bare-window.exe: the yardstick for the Windows program's start-up. A plain Win32
 * window with one line of text and nothing else, of a given client size, centred like the
 * program's windows.
 * Usage: quorna-bench-bare-window.exe WIDTH HEIGHT TITLE [frameless] */

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
            SetBkMode(dc, TRANSPARENT);
            DrawTextW(dc, L"bare window", -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
    (void)previous;
    (void)commandLine;
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == NULL || count < 4) {
        return 2;
    }
    const int width = _wtoi(args[1]);
    const int height = _wtoi(args[2]);
    const BOOL frameless = count > 4 && wcscmp(args[4], L"frameless") == 0;

    WNDCLASSW windowClass = {0};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"QuornaBenchBareWindow";
    RegisterClassW(&windowClass);

    const DWORD style = frameless ? WS_POPUP : (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU);
    RECT frame = {0, 0, width, height};
    AdjustWindowRect(&frame, style, FALSE);
    const int outerWidth = frame.right - frame.left;
    const int outerHeight = frame.bottom - frame.top;
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, args[3], style,
                                  work.left + (work.right - work.left - outerWidth) / 2,
                                  work.top + (work.bottom - work.top - outerHeight) / 2,
                                  outerWidth, outerHeight, NULL, NULL, instance, NULL);
    LocalFree(args);
    if (window == NULL) {
        return 1;
    }
    ShowWindow(window, show == SW_HIDE ? SW_SHOW : show);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return (int)message.wParam;
}
