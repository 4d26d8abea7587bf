#include "platform/win32/Win32Services.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "platform/ComponentError.h"
#include "platform/ExecutableName.h"

namespace quorna::platform::win32 {

namespace {
constexpr const wchar_t* kDialogWindowProperty = L"QuornaDialogWindow";
bool commonControlsLoaded = false;
}  // namespace

void useCommonControls() {
    if (commonControlsLoaded) {
        return;
    }
    commonControlsLoaded = true;
    ACTCTXW manifest{};
    manifest.cbSize = sizeof manifest;
    manifest.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    manifest.hModule = GetModuleHandleW(nullptr);
    manifest.lpResourceName = ISOLATIONAWARE_MANIFEST_RESOURCE_ID;
    HANDLE context = CreateActCtxW(&manifest);
    ULONG_PTR cookie = 0;
    if (context != INVALID_HANDLE_VALUE && !ActivateActCtx(context, &cookie)) {
        ReleaseActCtx(context);
    }
    // Activated, the manifest redirects the name to the version 6 library; the system folder
    // holds the default one, and no other folder is searched.
    HMODULE library = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        library = LoadLibraryW(L"comctl32.dll");  // a Windows without the system-folder-only search
    }
    using InitCommonControlsExFunction = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    const auto initialise =
        library == nullptr
            ? nullptr
            : reinterpret_cast<InitCommonControlsExFunction>(
                  reinterpret_cast<void (*)()>(GetProcAddress(library, "InitCommonControlsEx")));
    if (initialise != nullptr) {
        const INITCOMMONCONTROLSEX classes{sizeof classes, ICC_STANDARD_CLASSES};
        initialise(&classes);
    }
}

bool commonControlsInUse() {
    return commonControlsLoaded;
}

void markDialogWindow(HWND window) {
    SetPropW(window, kDialogWindowProperty, reinterpret_cast<HANDLE>(1));
}

void unmarkDialogWindow(HWND window) {
    RemovePropW(window, kDialogWindowProperty);
}

void deliverMessage(MSG& message) {
    if (message.hwnd != nullptr) {
        HWND root = GetAncestor(message.hwnd, GA_ROOT);
        if (root != nullptr && GetPropW(root, kDialogWindowProperty) != nullptr &&
            IsDialogMessageW(root, &message)) {
            return;
        }
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

void Win32EventPump::processPendingEvents() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The main loop must still see it.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        deliverMessage(message);
    }
}

void Win32Sleeper::sleep(std::int32_t milliseconds) {
    if (milliseconds > 0) {
        Sleep(static_cast<DWORD>(milliseconds));
    }
}

// The clipboard open for the lifetime of the object.
class Win32Clipboard::Session {
public:
    explicit Session(HWND owner) {
        for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
            if (OpenClipboard(owner)) {
                return;
            }
            Sleep(kOpenRetryMilliseconds);
        }
        throw ComponentError(kClipboardCantOpenNumber, executableName(),
                             kClipboardCantOpenDescription);
    }
    ~Session() { CloseClipboard(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

Win32Clipboard::Win32Clipboard()
    : owner_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleW(nullptr), nullptr)) {}

Win32Clipboard::~Win32Clipboard() {
    if (owner_ != nullptr) {
        DestroyWindow(owner_);
    }
}

void Win32Clipboard::clear() {
    Session open(owner_);
    EmptyClipboard();
}

void Win32Clipboard::setText(const std::string& text) {
    const std::wstring wide = widen(text);
    const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
    Session open(owner_);
    EmptyClipboard();  // makes owner_ the owner, which SetClipboardData needs
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(GlobalLock(memory), wide.c_str(), bytes);
    GlobalUnlock(memory);
    if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
        GlobalFree(memory);  // not taken by the system
    }
}

std::string Win32Clipboard::text() {
    Session open(owner_);
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    if (data == nullptr) {
        return {};
    }
    const auto* chars = static_cast<const wchar_t*>(GlobalLock(data));
    if (chars == nullptr) {
        return {};
    }
    // The text ends at its terminator, but never beyond the block.
    const std::size_t capacity = GlobalSize(data) / sizeof(wchar_t);
    std::size_t length = 0;
    while (length < capacity && chars[length] != L'\0') {
        ++length;
    }
    std::string result = narrow(std::wstring_view(chars, length));
    GlobalUnlock(data);
    return result;
}

void Win32MessageBox::showWarning(const std::string& text, const std::string& title) {
    useCommonControls();  // its buttons look like the program's
    // Task-modal: every window of the program waits; a window made while the box is open (the
    // hand-over can run meanwhile) stays usable.
    MessageBoxW(nullptr, widen(text).c_str(), widen(title).c_str(),
                MB_OK | MB_ICONWARNING | MB_TASKMODAL | MB_SETFOREGROUND);
}

void Win32ProcessControl::endNow() {
    ExitProcess(0);
}

}  // namespace quorna::platform::win32
