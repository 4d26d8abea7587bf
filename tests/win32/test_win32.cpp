// The Win32 services and views on the system itself (under wine on the build machines): timers
// through the trampoline, the Unicode clipboard, the session mutex, and windows whose buttons,
// check box and list lie above the labels, take the clicks at their centres and the focus in tab
// order, while a click on a label is no click on the window surface; and what MSAA tells a screen
// reader of them.
#include <windows.h>

#include <aclapi.h>
#include <oleacc.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "onewire/SerialLine.h"
#include "packaging/windows/SettingsFolderPolicy.h"
#include "platform/win32/Win32Services.h"
#include "platform/win32/Win32TimerService.h"
#include "tests/fakes/FakeUiPlatform.h"
#include "ui/Layout.h"
#include "ui/LayoutAccessibility.h"
#include "ui/LayoutGeometry.h"
#include "ui/LayoutKeys.h"
#include "ui/win32/Accessibility.h"
#include "ui/win32/Pictures.h"
#include "ui/win32/Win32Views.h"

namespace {

using namespace quorna;
using namespace quorna::ui;
using platform::win32::Win32EventPump;

// Handles messages until done() or a generous deadline; nothing here measures time.
template <typename Done>
bool pumpUntil(Done done) {
    Win32EventPump pump;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!done() && GetTickCount64() < deadline) {
        pump.processPendingEvents();
        Sleep(5);
    }
    return done();
}

std::vector<std::int32_t> ticks;
void recordTick(std::intptr_t window, std::uint32_t message, std::int32_t id, std::uint32_t) {
    EXPECT_EQ(window, 0);
    EXPECT_EQ(message, static_cast<std::uint32_t>(WM_TIMER));
    ticks.push_back(id);
}
void failingTick(std::intptr_t, std::uint32_t, std::int32_t, std::uint32_t) {
    throw std::runtime_error("tick failed");
}

TEST(Win32TimerService, TicksReachTheCallbackWithTheirIdUntilKilled) {
    platform::win32::Win32TimerService timers;
    EXPECT_EQ(timers.setTimer(0, recordTick), 0);
    const std::int32_t first = timers.setTimer(10, recordTick);
    const std::int32_t failing = timers.setTimer(10, failingTick);  // must not unwind the loop
    ASSERT_NE(first, 0);
    ASSERT_NE(failing, 0);
    EXPECT_NE(first, failing);
    ticks.clear();
    EXPECT_TRUE(pumpUntil([] { return ticks.size() >= 3; }));
    for (const auto id : ticks) {
        EXPECT_EQ(id, first);
    }
    timers.killTimer(first);
    timers.killTimer(failing);
    EXPECT_EQ(timers.liveCount(), 0);
    ticks.clear();
    Win32EventPump().processPendingEvents();
    Sleep(50);
    Win32EventPump().processPendingEvents();
    EXPECT_TRUE(ticks.empty());
}

TEST(Win32Clipboard, UnicodeTextRoundTripAndClear) {
    platform::win32::Win32Clipboard clipboard;
    const std::string text = "01000001FE0000CB \xC3\xA9\xE2\x82\xAC";  // é and € in UTF-8
    clipboard.setText(text);
    EXPECT_EQ(clipboard.text(), text);
    clipboard.clear();
    EXPECT_EQ(clipboard.text(), "");
}

// The SDDL text of an object's owner and access list.
std::wstring securityOf(HANDLE object) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return L"(unreadable)";
    }
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
        nullptr);
    std::wstring result = text ? text : L"";
    LocalFree(text);
    LocalFree(descriptor);
    return result;
}

// Whether another instance runs, and what the check said on standard error.
std::pair<bool, std::string> askInstance(const std::wstring& name, DWORD windowWait = 0) {
    platform::win32::SingleInstanceMutex check(name, windowWait);
    testing::internal::CaptureStderr();
    const bool another = check.anotherInstanceRunning();
    return {another, testing::internal::GetCapturedStderr()};
}

// The mutex is the user's alone (bound to the SID by the namespace, or named by it), the first
// holder runs; a holder without its window (here the same process) keeps nobody from running.
TEST(SingleInstanceMutex, TheUsersOwnMutexAndAHolderWithoutAWindow) {
    using platform::win32::SingleInstanceMutex;
    const std::wstring name = L"quorna-test-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring sid = SingleInstanceMutex::currentUserSid();
    ASSERT_EQ(sid.rfind(L"S-1-", 0), 0u);
    auto first = std::make_unique<SingleInstanceMutex>(name, 0);
    EXPECT_FALSE(first->anotherInstanceRunning());
    EXPECT_FALSE(first->anotherInstanceRunning());  // asking again changes nothing
    if (!first->inPrivateNamespace()) {
        EXPECT_EQ(first->objectName(), SingleInstanceMutex::sessionObjectName(name, sid));
        HANDLE mutex = OpenMutexW(READ_CONTROL, FALSE, first->objectName().c_str());
        ASSERT_NE(mutex, nullptr);
        EXPECT_EQ(securityOf(mutex), L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")");
        CloseHandle(mutex);
    }

    auto [another, said] = askInstance(name, 200);
    EXPECT_FALSE(another);
    EXPECT_NE(said.find("its window was not found; running this one as well"), std::string::npos)
        << said;

    first.reset();
    std::tie(another, said) = askInstance(name);
    EXPECT_FALSE(another);
    EXPECT_EQ(said, "");
}

TEST(Win32Resources, VersionRecordReadsOnePointThreeRevisionSeventeen) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::vector<char> info(GetFileVersionInfoSizeW(path, nullptr));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* numbers = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&numbers), &size));
    EXPECT_EQ(numbers->dwFileVersionMS, MAKELONG(3, 1));
    EXPECT_EQ(numbers->dwFileVersionLS, MAKELONG(17, 0));
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<void**>(&text), &size));
    EXPECT_STREQ(text, L"1.03.0017");
}

// The start-up window's bitmap as it is; the main window's GIF through GDI+, which the program
// looks up only when a GIF is first decoded.
TEST(Win32Resources, PicturesLoadAtTheirOwnSize) {
    const auto sizeOf = [](HBITMAP picture) {
        BITMAP info{};
        GetObjectW(picture, sizeof info, &info);
        return std::make_pair(info.bmWidth, info.bmHeight);
    };
    for (const auto& [name, width, height] :
         {std::tuple{"splash.bmp", 473L, 346L}, std::tuple{"reader.gif", 176L, 381L}}) {
        HBITMAP picture = ui::win32::loadPicture(name, GetSysColor(COLOR_BTNFACE));
        ASSERT_NE(picture, nullptr) << name;
        EXPECT_EQ(sizeOf(picture), std::make_pair(width, height)) << name;
        DeleteObject(picture);
    }
    EXPECT_EQ(ui::win32::loadPicture("missing.gif", 0), nullptr);
}

struct RecordingSplash : SplashEvents {
    std::vector<std::string> calls;
    void Form_Click() override { calls.push_back("Form_Click"); }
    void cmdExit_Click() override { calls.push_back("cmdExit_Click"); }
    void Form_Close() override { calls.push_back("Form_Close"); }
    void viewGone() override { calls.push_back("viewGone"); }
};

struct RecordingMain : MainEvents {
    std::vector<std::string> calls;
    void cmdScanning_Click() override { calls.push_back("cmdScanning_Click"); }
    void cmdScanOnce_Click() override { calls.push_back("cmdScanOnce_Click"); }
    void cmdExit_Click() override { calls.push_back("cmdExit_Click"); }
    void Form_Close() override { calls.push_back("Form_Close"); }
    void viewGone() override { calls.push_back("viewGone"); }
};

// The control under the centre of a layout rectangle, as the system finds it for a click.
HWND windowAtCentre(HWND window, const ControlLayout& control) {
    const Rect r = pixelBounds(control);
    POINT at{r.left + r.width / 2, r.top + r.height / 2};
    ClientToScreen(window, &at);
    return WindowFromPoint(at);
}

void click(HWND window, const ControlLayout& control) {
    const Rect r = pixelBounds(control);
    const LPARAM at = MAKELPARAM(r.left + r.width / 2, r.top + r.height / 2);
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(window, WM_LBUTTONUP, 0, at);
}

TEST(Win32Views, ButtonsLieAboveLabelsAndTakeTheClicksAtTheirCentres) {
    fakes::FakeMessageBox messageBox;
    auto splashEvents = std::make_shared<RecordingSplash>();
    auto splash = win32::splashViewFactory(messageBox)(splashEvents);
    ASSERT_NE(splash, nullptr);
    splash->setVisible("cmdExit", true);
    splash->show();
    auto* splashWindow = static_cast<win32::Win32SplashView&>(*splash).window();
    EXPECT_NE(SendMessageW(splashWindow->handle(), WM_GETICON, ICON_BIG, 0), 0);
    const WindowLayout& splashLayout = frmSplashLayout();
    // The status label overlaps Exit; Exit lies above it and takes the click.
    EXPECT_EQ(windowAtCentre(splashWindow->handle(), *findControl(splashLayout, "cmdExit")),
              splashWindow->controlHandle("cmdExit"));
    SendMessageW(splashWindow->controlHandle("cmdExit"), BM_CLICK, 0, 0);
    // A click on a label is not a click on the window surface; a click beside them is.
    click(splashWindow->handle(), *findControl(splashLayout, "lblLicense"));
    SendMessageW(splashWindow->handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(splashWindow->handle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(splashEvents->calls, (std::vector<std::string>{"cmdExit_Click", "Form_Click"}));

    auto mainEvents = std::make_shared<RecordingMain>();
    auto main = win32::mainViewFactory(messageBox)(mainEvents);
    ASSERT_NE(main, nullptr);
    main->show();
    auto* mainWindow = static_cast<win32::Win32MainView&>(*main).window();
    for (const auto& control : frmMainLayout().controls) {
        if (liesAboveLabels(control.kind) && control.container.empty()) {
            EXPECT_EQ(windowAtCentre(mainWindow->handle(), control),
                      mainWindow->controlHandle(control.name))
                << control.name;
        }
    }
    main->listAddItem("lstROMIDs", "01000001FE0000CB");
    EXPECT_EQ(SendMessageW(mainWindow->controlHandle("lstROMIDs"), LB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(main->checkValue("chkAutoCopy"), 1);
    main->unload();
    splash->unload();
    EXPECT_TRUE(pumpUntil([&] {
        return static_cast<win32::Win32MainView&>(*main).window() == nullptr &&
               static_cast<win32::Win32SplashView&>(*splash).window() == nullptr;
    }));
}

// A key as the message loop hands it on: through dialog navigation, to the focused control.
void key(UINT message, WPARAM code) {
    MSG keyMessage{GetFocus(), message, code, 0, 0, {}};
    platform::win32::deliverMessage(keyMessage);
}

void press(WPARAM code) {
    key(WM_KEYDOWN, code);
    key(WM_KEYUP, code);
}

std::string focusedName(win32::LayoutWindow& window, const WindowLayout& layout) {
    for (const auto& control : layout.controls) {
        if (window.controlHandle(control.name) == GetFocus()) {
            return std::string(control.name);
        }
    }
    return "(none)";
}

// Tab walks the controls in tab order and round again; Enter and Space press the focused button,
// Esc the cancel button, Alt and a letter the control of that access key.
TEST(Win32Views, TheKeyboardReachesEveryButtonOfBothWindows) {
    fakes::FakeMessageBox messageBox;
    auto mainEvents = std::make_shared<RecordingMain>();
    auto main = win32::mainViewFactory(messageBox)(mainEvents);
    ASSERT_NE(main, nullptr);
    main->show();
    auto* mainWindow = static_cast<win32::Win32MainView&>(*main).window();
    const WindowLayout& mainLayout = frmMainLayout();
    std::vector<std::string> order;
    for (const auto* control : focusOrder(mainLayout)) {
        order.emplace_back(control->name);
    }
    order.push_back(order.front());
    std::vector<std::string> visited{focusedName(*mainWindow, mainLayout)};
    for (std::size_t i = 1; i < order.size(); ++i) {
        press(VK_TAB);
        visited.push_back(focusedName(*mainWindow, mainLayout));
    }
    EXPECT_EQ(visited, order);

    for (const char* name : {"cmdScanning", "cmdScanOnce", "cmdExit"}) {
        SetFocus(mainWindow->controlHandle(name));
        press(VK_RETURN);
        press(VK_SPACE);
    }
    SetFocus(mainWindow->controlHandle("lstROMIDs"));
    press(VK_RETURN);  // no default button: nothing
    press(VK_ESCAPE);
    key(WM_SYSCHAR, 's');
    key(WM_SYSCHAR, 'x');
    key(WM_SYSCHAR, 'c');
    EXPECT_EQ(mainEvents->calls, (std::vector<std::string>{
                                     "cmdScanning_Click", "cmdScanning_Click", "cmdScanOnce_Click",
                                     "cmdScanOnce_Click", "cmdExit_Click", "cmdExit_Click",
                                     "cmdExit_Click", "cmdScanning_Click", "cmdExit_Click"}));
    EXPECT_EQ(main->checkValue("chkAutoCopy"), 0) << "Alt+C unticks Auto Copy";

    auto splashEvents = std::make_shared<RecordingSplash>();
    auto splash = win32::splashViewFactory(messageBox)(splashEvents);
    ASSERT_NE(splash, nullptr);
    splash->setVisible("cmdExit", true);
    splash->show();
    auto* splashWindow = static_cast<win32::Win32SplashView&>(*splash).window();
    press(VK_TAB);
    EXPECT_EQ(GetFocus(), splashWindow->controlHandle("cmdExit"));
    press(VK_RETURN);
    press(VK_SPACE);
    press(VK_ESCAPE);  // the start-up window has no cancel button
    key(WM_SYSCHAR, 'x');
    EXPECT_EQ(splashEvents->calls,
              (std::vector<std::string>{"cmdExit_Click", "cmdExit_Click", "cmdExit_Click"}));

    main->unload();
    splash->unload();
    EXPECT_TRUE(pumpUntil([&] {
        return static_cast<win32::Win32MainView&>(*main).window() == nullptr &&
               static_cast<win32::Win32SplashView&>(*splash).window() == nullptr;
    }));
}

// A control's window rectangle in its container's client pixels, as "left,top widthxheight".
std::string placedRect(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

std::string text(const Rect& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.width) +
           "x" + std::to_string(r.height);
}

// Moved to monitors of 144, 120 and 96 dpi, the window takes the rectangle the system suggests
// and every control the layout's rectangle at that dpi; the fonts and icons of the other
// densities are gone afterwards, and caption changes make no GDI object (GetGuiResources where
// the system counts them; wine does not).
TEST(Win32Views, EveryControlFollowsTheDpiAndNoGdiObjectIsLeftBehind) {
    fakes::FakeMessageBox messageBox;
    auto events = std::make_shared<RecordingMain>();
    auto main = win32::mainViewFactory(messageBox)(events);
    ASSERT_NE(main, nullptr);
    main->show();
    auto* view = static_cast<win32::Win32MainView&>(*main).window();
    HWND window = view->handle();
    const WindowLayout& layout = frmMainLayout();
    const auto gdiObjects = [] { return GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS); };
    const DWORD before = gdiObjects();

    std::vector<HGDIOBJ> otherFonts;  // the fonts and icons shown at 144 and 120 dpi
    std::vector<HICON> otherIcons;
    for (const int dpi : {144, 120, kDesignDpi}) {
        SIZE size{};
        EXPECT_TRUE(
            SendMessageW(window, WM_GETDPISCALEDSIZE, dpi, reinterpret_cast<LPARAM>(&size)));
        EXPECT_GE(size.cx, pixels(layout.clientWidth, dpi));
        EXPECT_GE(size.cy, pixels(layout.clientHeight, dpi));
        const RECT suggested{20 + dpi, 10, 20 + dpi + size.cx, 10 + size.cy};
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        RECT now;
        GetWindowRect(window, &now);
        EXPECT_TRUE(EqualRect(&now, &suggested)) << dpi << " dpi";
        for (const auto& control : layout.controls) {
            HWND handle = view->controlHandle(control.name);
            if (handle == nullptr) {
                continue;  // a line: drawn by its container
            }
            const Rect expected = pixelBounds(control, dpi);
            std::string placed = placedRect(handle);
            if (control.autoSize) {  // its size is its text's
                placed.erase(placed.find(' '));
                EXPECT_EQ(placed, text(expected).substr(0, text(expected).find(' ')))
                    << control.name << " at " << dpi << " dpi";
            } else {
                EXPECT_EQ(placed, text(expected)) << control.name << " at " << dpi << " dpi";
            }
            if (dpi != kDesignDpi && control.kind != ControlKind::Picture) {
                otherFonts.push_back(
                    reinterpret_cast<HGDIOBJ>(SendMessageW(handle, WM_GETFONT, 0, 0)));
            }
        }
        if (dpi != kDesignDpi) {
            for (const WPARAM which : {ICON_BIG, ICON_SMALL}) {
                otherIcons.push_back(
                    reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, which, 0)));
                EXPECT_NE(otherIcons.back(), nullptr);
            }
        }
    }
    HWND label = view->controlHandle("lblVersion");
    const auto labelFont = SendMessageW(label, WM_GETFONT, 0, 0);
    for (int i = 0; i < 50; ++i) {
        main->setCaption("lblVersion", "Version 1." + std::to_string(i));
        main->setCaption("cmdScanOnce", "Read " + std::to_string(i));
    }
    EXPECT_EQ(SendMessageW(label, WM_GETFONT, 0, 0), labelFont) << "the label keeps its font";
    for (HGDIOBJ font : otherFonts) {
        EXPECT_EQ(GetObjectType(font), 0u) << "a font of another dpi left behind";
    }
    for (HICON icon : otherIcons) {
        ICONINFO info{};
        EXPECT_FALSE(GetIconInfo(icon, &info)) << "an icon of another dpi left behind";
    }
    if (before != 0) {
        EXPECT_EQ(gdiObjects(), before);
    }

    main->unload();
    EXPECT_TRUE(
        pumpUntil([&] { return static_cast<win32::Win32MainView&>(*main).window() == nullptr; }));
}

// A quick second click on a button arrives as a double-click; it is a click all the same.
TEST(Win32Views, TheSecondClickOfADoubleClickIsAClick) {
    fakes::FakeMessageBox messageBox;
    auto events = std::make_shared<RecordingMain>();
    auto main = win32::mainViewFactory(messageBox)(events);
    ASSERT_NE(main, nullptr);
    auto* window = static_cast<win32::Win32MainView&>(*main).window();
    for (const char* name : {"cmdScanOnce", "cmdScanning", "cmdExit"}) {
        HWND button = window->controlHandle(name);
        const LPARAM at = MAKELPARAM(4, 4);
        for (const UINT press : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK}) {
            SendMessageW(button, press, MK_LBUTTON, at);
            SendMessageW(button, WM_LBUTTONUP, 0, at);
        }
    }
    EXPECT_EQ(events->calls, (std::vector<std::string>{"cmdScanOnce_Click", "cmdScanOnce_Click",
                                                       "cmdScanning_Click", "cmdScanning_Click",
                                                       "cmdExit_Click", "cmdExit_Click"}));
    main->unload();
    EXPECT_TRUE(
        pumpUntil([&] { return static_cast<win32::Win32MainView&>(*main).window() == nullptr; }));
}

}  // namespace

namespace {

struct Described {
    long role = -1;
    std::wstring name = L"(no object)";
};

// What a screen reader learns of a window through MSAA.
Described describe(HWND window, LONG objectId) {
    Described result;
    IAccessible* object = nullptr;
    if (FAILED(AccessibleObjectFromWindow(window, static_cast<DWORD>(objectId),
                                          __uuidof(IAccessible),
                                          reinterpret_cast<void**>(&object))) ||
        object == nullptr) {
        return result;
    }
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    VARIANT role;
    VariantInit(&role);
    if (SUCCEEDED(object->get_accRole(self, &role)) && role.vt == VT_I4) {
        result.role = role.lVal;
    }
    BSTR name = nullptr;
    result.name = SUCCEEDED(object->get_accName(self, &name)) && name != nullptr ? name : L"";
    SysFreeString(name);
    object->Release();
    return result;
}

std::vector<HWND> liveRegionChanges;
void CALLBACK recordLiveRegionChange(HWINEVENTHOOK, DWORD, HWND window, LONG, LONG, DWORD, DWORD) {
    liveRegionChanges.push_back(window);
}

void expectDescribedFromLayout(const WindowLayout& layout, win32::LayoutWindow& window) {
    const Described described = describe(window.handle(), OBJID_WINDOW);
    EXPECT_EQ(described.role, ROLE_SYSTEM_WINDOW) << layout.name;
    EXPECT_EQ(described.name, platform::widen(layout.caption));
    for (const auto& control : layout.controls) {
        HWND handle = window.controlHandle(control.name);
        if (control.kind == ControlKind::Line) {
            EXPECT_EQ(handle, nullptr);  // drawn by the window: nothing to describe
            continue;
        }
        SCOPED_TRACE(std::string(layout.name) + "." + std::string(control.name));
        const Described client = describe(handle, OBJID_CLIENT);
        EXPECT_EQ(client.role, win32::msaaRole(accessibleRole(control)));
        EXPECT_EQ(client.name, platform::widen(accessibleName(control)));
        EXPECT_FALSE(client.name.empty());
    }
}

}  // namespace

// Through MSAA, as a screen reader asks: every control with its layout role and name, and the
// status label's changes reported as live-region changes, once per new text.
TEST(Win32Accessibility, EveryControlAnswersWithItsLayoutRoleAndName) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    fakes::FakeMessageBox messageBox;
    auto splash = win32::splashViewFactory(messageBox)(std::make_shared<RecordingSplash>());
    auto main = win32::mainViewFactory(messageBox)(std::make_shared<RecordingMain>());
    ASSERT_NE(splash, nullptr);
    ASSERT_NE(main, nullptr);
    auto* splashWindow = static_cast<win32::Win32SplashView&>(*splash).window();
    auto* mainWindow = static_cast<win32::Win32MainView&>(*main).window();
    expectDescribedFromLayout(frmSplashLayout(), *splashWindow);
    expectDescribedFromLayout(frmMainLayout(), *mainWindow);

    // A caption set later names the control from then on.
    main->setCaption("cmdScanning", "Stop &Scanning");
    EXPECT_EQ(describe(mainWindow->controlHandle("cmdScanning"), OBJID_CLIENT).name,
              L"Stop Scanning");

    liveRegionChanges.clear();
    HWINEVENTHOOK hook =
        SetWinEventHook(0x8019 /* EVENT_OBJECT_LIVEREGIONCHANGED */, 0x8019, nullptr,
                        recordLiveRegionChange, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    ASSERT_NE(hook, nullptr);
    HWND status = mainWindow->controlHandle("lblStatus");
    main->setCaption("lblDriverInfo", "not announced");
    main->setCaption("lblStatus", "Copied to clipboard : 01000001FE0000CB");
    EXPECT_TRUE(pumpUntil([] { return !liveRegionChanges.empty(); }));
    main->setCaption("lblStatus", "Copied to clipboard : 01000001FE0000CB");  // no news
    main->setCaption("lblStatus", "Copied to clipboard : 01A1B2C3D40000D1");
    EXPECT_TRUE(pumpUntil([] { return liveRegionChanges.size() >= 2; }));
    EXPECT_EQ(liveRegionChanges, (std::vector<HWND>{status, status}));
    EXPECT_EQ(describe(status, OBJID_CLIENT).name, L"Copied to clipboard : 01A1B2C3D40000D1");
    UnhookWinEvent(hook);

    main->unload();
    splash->unload();
    EXPECT_TRUE(pumpUntil([&] {
        return static_cast<win32::Win32MainView&>(*main).window() == nullptr &&
               static_cast<win32::Win32SplashView&>(*splash).window() == nullptr;
    }));
}

namespace {

constexpr const wchar_t* kShowTargetVariable = L"QUORNA_SHOW_TARGET";
constexpr const wchar_t* kSquatterVariable = L"QUORNA_SQUATTER";
constexpr const wchar_t* kForeignOwner = L"S-1-5-21-1-2-3-1001";

std::wstring showTargetTitle(DWORD processId) {
    return L"quorna show target " + std::to_wstring(processId);
}

std::wstring variable(const wchar_t* name) {
    wchar_t value[256];
    const DWORD length = GetEnvironmentVariableW(name, value, 256);
    return length > 0 && length < 256 ? std::wstring(value, length) : std::wstring();
}

// Another process of this program (this test program) started with `name` set to `value`,
// running the case `test`; its window, titled showTargetTitle, is up when this returns.
struct ChildProcess {
    PROCESS_INFORMATION process{};
    HWND window = nullptr;

    ChildProcess(const wchar_t* name, const std::wstring& value, const wchar_t* test) {
        wchar_t program[MAX_PATH];
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        std::wstring commandLine =
            L"\"" + std::wstring(program) + L"\" --gtest_filter=SingleInstanceMutex." + test;
        SetEnvironmentVariableW(name, value.c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        const bool started = CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                            nullptr, nullptr, &startup, &process);
        SetEnvironmentVariableW(name, nullptr);
        EXPECT_TRUE(started);
        if (started) {
            EXPECT_TRUE(pumpUntil([&] {
                window = FindWindowW(nullptr, showTargetTitle(process.dwProcessId).c_str());
                return window != nullptr;
            }));
        }
    }
    ~ChildProcess() {
        if (process.hProcess == nullptr) {
            return;
        }
        if (window != nullptr) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            ADD_FAILURE() << "the child process did not end";
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
};

// A visible window titled for this process that waits until it is closed (or `seconds` pass).
void showTargetUntilClosed(ULONGLONG seconds = 10) {
    HWND window = CreateWindowExW(0, L"STATIC", showTargetTitle(GetCurrentProcessId()).c_str(),
                                  WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    Win32EventPump pump;
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000;
    while (IsWindow(window) && GetTickCount64() < deadline) {  // closed, or ends by itself
        pump.processPendingEvents();
        Sleep(5);
    }
}

}  // namespace

// Started by the case below as a second process of this program: the running copy, holding the
// mutex named by the variable, with a window that waits.
TEST(SingleInstanceMutex, ShowTargetWindow) {
    const std::wstring name = variable(kShowTargetVariable);
    if (name.empty()) {
        GTEST_SKIP() << "only as the running copy of the case below";
    }
    platform::win32::SingleInstanceMutex mutex(name, 0);
    ASSERT_FALSE(mutex.anotherInstanceRunning());
    showTargetUntilClosed();
}

// A second start sees the running copy and passes the foreground to its window (found by its
// program file name), away from the window that had it; once the copy ends, its name is free.
TEST(SingleInstanceMutex, ASecondStartPassesTheForegroundToTheRunningWindow) {
    const std::wstring name = L"quorna-test-show-" + std::to_wstring(GetCurrentProcessId());
    HWND target = nullptr;
    {
        ChildProcess running(kShowTargetVariable, name, L"ShowTargetWindow");
        ASSERT_NE(running.window, nullptr);
        target = running.window;
        HWND mine = CreateWindowExW(0, L"STATIC", L"the second start's own window",
                                    WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                    nullptr, nullptr, nullptr);
        SetForegroundWindow(mine);
        EXPECT_TRUE(pumpUntil([&] { return GetForegroundWindow() == mine; }));
        DestroyWindow(mine);  // the second start has no window of its own

        platform::win32::SingleInstanceMutex second(name, 0);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(second.anotherInstanceRunning());
        second.showRunningInstance();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_TRUE(pumpUntil([&] { return GetForegroundWindow() == target; }));
    }
    auto [another, said] = askInstance(name);
    EXPECT_FALSE(another);
    EXPECT_EQ(said, "");

    // With no running copy's window to show, the second start says so.
    testing::internal::CaptureStderr();
    platform::win32::SingleInstanceMutex(name).showRunningInstance();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("window was not found"),
              std::string::npos);
}

// Started by the case below: a squatter that makes what another account could make first,
// for the base name in the variable, and shows a window as a running copy would.
TEST(SingleInstanceMutex, SquatterProcess) {
    const std::wstring base = variable(kSquatterVariable);
    if (base.empty()) {
        GTEST_SKIP() << "only as the squatter of the case below";
    }
    using platform::win32::SingleInstanceMutex;
    const std::wstring sid = SingleInstanceMutex::currentUserSid();
    // The name every copy once used (also with a suffix, whose own name stays free); the user's
    // own name, owned by someone else and open to all; and one shutting everyone out.
    const std::vector<std::pair<std::wstring, std::wstring>> squats{
        {L"Local\\" + base, L""},
        {L"Local\\" + base + L"-old", L""},
        {SingleInstanceMutex::sessionObjectName(base, sid),
         L"O:" + std::wstring(kForeignOwner) + L"D:(A;;GA;;;WD)"},
        {SingleInstanceMutex::sessionObjectName(base + L"-shut", sid),
         L"O:" + std::wstring(kForeignOwner) + L"D:P(D;;GA;;;WD)"}};
    std::vector<HANDLE> held;
    for (const auto& [name, security] : squats) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!security.empty()) {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
                security.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        }
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        held.push_back(CreateMutexW(&attributes, FALSE, name.c_str()));
        ASSERT_NE(held.back(), nullptr);
        LocalFree(descriptor);
    }
    showTargetUntilClosed(120);  // the end-to-end case starts the program meanwhile
    for (HANDLE handle : held) {
        CloseHandle(handle);
    }
}

// What a process of another account makes first keeps nobody from starting: the name every
// copy once used means nothing now, and a mutex of the user's own name that another account
// owns or that shuts the user out is not taken for a running copy (its window regardless).
TEST(SingleInstanceMutex, ASquattingProcessKeepsNobodyFromStarting) {
    const std::wstring base = L"quorna-test-squat-" + std::to_wstring(GetCurrentProcessId());
    ChildProcess squatter(kSquatterVariable, base, L"SquatterProcess");
    ASSERT_NE(squatter.window, nullptr);

    auto [another, said] = askInstance(base + L"-old", 2000);
    EXPECT_FALSE(another);
    EXPECT_EQ(said, "");
    for (const std::wstring& name : {base, base + L"-shut"}) {
        std::tie(another, said) = askInstance(name, 2000);
        EXPECT_FALSE(another);
        EXPECT_NE(said.find("was made by another account; running anyway"), std::string::npos)
            << said;
    }
}

// The runtime opens COM ports only: a named pipe in the settings (whose server could act as the
// user who connects) is refused before anything connects to it, whatever the spelling.
TEST(SerialLine, OnlyComPortsAreOpenedNeverAPipe) {
    const std::string pipeName = "quorna-test-pipe-" + std::to_string(GetCurrentProcessId());
    HANDLE pipe =
        CreateNamedPipeW(platform::widen("\\\\.\\pipe\\" + pipeName).c_str(), PIPE_ACCESS_DUPLEX,
                         PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 64, 64, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    for (const std::string& device :
         {"\\\\.\\pipe\\" + pipeName, "\\\\.\\PIPE\\" + pipeName, "//./pipe/" + pipeName,
          "\\\\?\\pipe\\" + pipeName, "\\\\127.0.0.1\\pipe\\" + pipeName,
          "\\\\.\\GLOBALROOT\\Device\\NamedPipe\\" + pipeName, std::string("COM0"),
          std::string("COM01"), std::string("COM257"), std::string("COM1:"), std::string("NUL"),
          std::string("C:\\onewire.conf"), std::string("\\\\.\\COM3\\..\\pipe\\x"),
          std::string("")}) {
        const auto opened = onewire::serial::openSerialLine(device);
        EXPECT_EQ(opened.line, nullptr) << device;
        EXPECT_EQ(opened.failure, onewire::serial::OpenFailure::NotSerial) << device;
        EXPECT_EQ(opened.message, device +
                                      ": not a COM port: name the adapter's port as COM1, "
                                      "COM2, ...; other devices, named pipes and files are "
                                      "not opened");
        // Nobody connected: the pipe still listens.
        EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING)) << device;
    }
    CloseHandle(pipe);
    for (const char* device : {"COM256", "com255", "\\\\.\\COM254", "\\\\.\\cOm253"}) {
        const auto opened = onewire::serial::openSerialLine(device);
        EXPECT_EQ(opened.line, nullptr) << device;
        EXPECT_EQ(opened.failure, onewire::serial::OpenFailure::NotFound)
            << device << ": " << opened.message;
    }
}

// What the installer does with %ProgramData%\onewire and the settings in it. (Under wine every
// file belongs to the one user, whatever is set, so the helper's reading of owners cannot be
// shown there: these cases check the decision on what it reads.)
TEST(SettingsFolderPolicy, OnlyAnAdministratorsPlainFileIsKept) {
    using namespace quorna::packaging;
    EXPECT_EQ(decideFolder({}), FolderAction::Create);
    EXPECT_EQ(decideFolder({true, true, false}), FolderAction::Secure);
    EXPECT_EQ(decideFolder({true, true, true}), FolderAction::RemoveLink);  // a junction
    EXPECT_EQ(decideFolder({true, false, true}), FolderAction::RemoveLink);
    EXPECT_EQ(decideFolder({true, false, false}), FolderAction::MoveAside);

    EXPECT_EQ(decideSettingsFile({}), SettingsFileAction::InstallExample);
    for (Owner owner : {Owner::Administrators, Owner::InstallingAdministrator}) {
        EXPECT_EQ(decideSettingsFile({true, true, 1, owner}), SettingsFileAction::Keep);
        // A second name elsewhere, or not a plain file: replaced whoever owns it.
        EXPECT_EQ(decideSettingsFile({true, true, 2, owner}),
                  SettingsFileAction::MoveAsideAndInstallExample);
        EXPECT_EQ(decideSettingsFile({true, false, 1, owner}),
                  SettingsFileAction::MoveAsideAndInstallExample);
    }
    for (Owner owner : {Owner::Other, Owner::Unknown}) {
        EXPECT_EQ(decideSettingsFile({true, true, 1, owner}),
                  SettingsFileAction::MoveAsideAndInstallExample);
    }
}

// Under a high-contrast scheme the texts on the pictures are drawn on the scheme's background in
// its text colour, the status line in the scheme's text colour; the licence keeps its black.
TEST(Win32Accessibility, HighContrastLabelColours) {
    HDC dc = CreateCompatibleDC(nullptr);
    const auto& splash = frmSplashLayout();
    const auto& main = frmMainLayout();
    EXPECT_EQ(win32::highContrastLabelColours(dc, main, *findControl(main, "lblStatus"), false),
              nullptr);
    EXPECT_EQ(win32::highContrastLabelColours(dc, main, *findControl(main, "lblLicense"), true),
              nullptr);
    EXPECT_EQ(win32::highContrastLabelColours(dc, main, *findControl(main, "lblHelp"), true),
              nullptr);

    EXPECT_EQ(win32::highContrastLabelColours(dc, splash, *findControl(splash, "lblStatus"), true),
              GetSysColorBrush(COLOR_BTNFACE));
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_BTNTEXT));
    EXPECT_EQ(GetBkMode(dc), OPAQUE);

    SetTextColor(dc, RGB(1, 2, 3));
    EXPECT_NE(win32::highContrastLabelColours(dc, main, *findControl(main, "lblStatus"), true),
              nullptr);
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_BTNTEXT));
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    DeleteDC(dc);
}
