#include "ui/win32/Accessibility.h"

#include <oleacc.h>

#include <algorithm>
#include <string>

#include "platform/WindowsText.h"
#include "ui/LayoutAccessibility.h"
#include "ui/win32/Controls.h"

namespace quorna::ui::win32 {
namespace {

// A described window's procedure and data, kept in a window property until WM_NCDESTROY. Not
// comctl32's subclasses: the start-up window is described before that library is loaded.
constexpr const wchar_t* kDescribedProperty = L"QuornaDescribed";
struct Described {
    WNDPROC previous;  // the class's procedure, or a subclass put there before
    DWORD_PTR data;
    bool liveRegionMarked = false;
};
// The data of a top-level window: no layout, and whether Esc closes it.
constexpr DWORD_PTR kEscapeCloses = 1;
#ifndef EVENT_OBJECT_LIVEREGIONCHANGED
constexpr DWORD EVENT_OBJECT_LIVEREGIONCHANGED = 0x8019;
#endif
// UI Automation's LiveSetting property, set on a window through IAccPropServices; 1 is polite.
constexpr GUID kLiveSettingProperty = {
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr int kLivePolite = 1;
// The annotation service's identifiers (oleacc.h), here so that no library has to supply them.
constexpr GUID kAccPropServicesClass = {
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr GUID kAccPropServicesInterface = {
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};

// The system's own description of a window, with the role and name given here: everything else
// (state, position, children, actions) stays the system's.
class DescribedAccessible final : public IAccessible {
public:
    DescribedAccessible(IAccessible* system, HWND window, long role, const ControlLayout* layout)
        : system_(system), window_(window), role_(role), layout_(layout) {}

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (id == __uuidof(IUnknown) || id == __uuidof(IDispatch) || id == __uuidof(IAccessible)) {
            *object = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        return system_->QueryInterface(id, object);  // children's enumeration, IOleWindow
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return system_->GetTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override {
        return system_->GetTypeInfo(index, locale, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID id, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override {
        return system_->GetIDsOfNames(id, names, count, locale, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID id, LCID locale, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argument) override {
        return system_->Invoke(member, id, locale, flags, params, result, exception, argument);
    }

    // IAccessible: the role and name of the object itself are the layout's.
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        if (!self(child)) {
            return system_->get_accName(child, name);
        }
        if (name == nullptr) {
            return E_INVALIDARG;
        }
        std::string text = platform::narrow(windowText(window_));
        std::wstring shown;
        if (layout_ == nullptr) {
            shown = platform::widen(text);
        } else {
            if (layout_->kind == ControlKind::Label) {
                // A label shows its text as is (SS_NOPREFIX): in access-key notation each "&"
                // is written "&&".
                std::string caption;
                for (const char c : text) {
                    caption += c == '&' ? "&&" : std::string(1, c);
                }
                text = std::move(caption);
            }
            shown = platform::widen(accessibleName(*layout_, text));
        }
        *name = SysAllocString(shown.c_str());
        return *name != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        if (!self(child)) {
            return system_->get_accRole(child, role);
        }
        if (role == nullptr) {
            return E_INVALIDARG;
        }
        VariantInit(role);
        role->vt = VT_I4;
        role->lVal = role_;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        return system_->get_accParent(parent);
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
        return system_->get_accChildCount(count);
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
        return system_->get_accChild(child, object);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        return system_->get_accValue(child, value);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
        return system_->get_accDescription(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        return system_->get_accState(child, state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* text) override {
        return system_->get_accHelp(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override {
        return system_->get_accHelpTopic(file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* keys) override {
        return system_->get_accKeyboardShortcut(child, keys);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override {
        return system_->get_accFocus(child);
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override {
        return system_->get_accSelection(children);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        return system_->get_accDefaultAction(child, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
        return system_->accSelect(flags, child);
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override {
        return system_->accLocation(left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
        return system_->accNavigate(direction, start, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long left, long top, VARIANT* child) override {
        return system_->accHitTest(left, top, child);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        return system_->accDoDefaultAction(child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
        return system_->put_accName(child, name);
    }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
        return system_->put_accValue(child, value);
    }

private:
    ~DescribedAccessible() { system_->Release(); }
    static bool self(const VARIANT& child) {
        return child.vt == VT_I4 && child.lVal == CHILDID_SELF;
    }

    IAccessible* system_;
    HWND window_;
    long role_;
    const ControlLayout* layout_;  // nullptr: a window, named by its title
    LONG references_ = 1;
};

// Answers WM_GETOBJECT for objectId with the system's object described by role and layout.
LRESULT describedObject(HWND window, WPARAM wParam, LONG objectId, long role,
                        const ControlLayout* layout) {
    IAccessible* system = nullptr;
    if (FAILED(CreateStdAccessibleObject(window, objectId, __uuidof(IAccessible),
                                         reinterpret_cast<void**>(&system))) ||
        system == nullptr) {
        return 0;
    }
    auto* described = new DescribedAccessible(system, window, role, layout);
    const LRESULT result = LresultFromObject(__uuidof(IAccessible), wParam, described);
    described->Release();
    return result;
}

void markPoliteLiveRegion(HWND window);

LRESULT CALLBACK describedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* described = static_cast<Described*>(GetPropW(window, kDescribedProperty));
    if (described == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    const WNDPROC previous = described->previous;
    const DWORD_PTR data = described->data;
    const bool topLevel = data == 0 || data == kEscapeCloses;
    const auto* layout = topLevel ? nullptr : reinterpret_cast<const ControlLayout*>(data);
    switch (message) {
        case WM_COMMAND:
            // Dialog navigation reports Esc as IDCANCEL.
            if (data == kEscapeCloses && LOWORD(wParam) == IDCANCEL) {
                PostMessageW(window, WM_CLOSE, 0, 0);
                return 0;
            }
            break;
        case WM_GETOBJECT: {
            const auto objectId = static_cast<LONG>(lParam);
            if (layout == nullptr && objectId == OBJID_WINDOW) {
                return describedObject(window, wParam, objectId, ROLE_SYSTEM_WINDOW, nullptr);
            }
            if (layout != nullptr && objectId == OBJID_CLIENT) {
                return describedObject(window, wParam, objectId, msaaRole(accessibleRole(*layout)),
                                       layout);
            }
            break;
        }
        case WM_SETTEXT:
            if (layout != nullptr && layout->announces && lParam != 0) {
                // The same text set again (each scan copies the same ID again) is not news.
                const bool changed = windowText(window) != reinterpret_cast<const wchar_t*>(lParam);
                if (changed && !described->liveRegionMarked) {
                    // Marked with its first news rather than when made: COM's start is no part
                    // of the start-up window's.
                    described->liveRegionMarked = true;
                    markPoliteLiveRegion(window);
                }
                const LRESULT result = CallWindowProcW(previous, window, message, wParam, lParam);
                if (changed) {
                    NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, window, OBJID_CLIENT,
                                   CHILDID_SELF);
                }
                return result;
            }
            break;
        case WM_NCDESTROY:
            // The last message: the window gets its own procedure back for it.
            if (GetWindowLongPtrW(window, GWLP_WNDPROC) ==
                reinterpret_cast<LONG_PTR>(&describedWindowProc)) {
                SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
            }
            RemovePropW(window, kDescribedProperty);
            delete described;
            break;
        default:
            break;
    }
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

void describe(HWND window, DWORD_PTR data) {
    if (auto* described = static_cast<Described*>(GetPropW(window, kDescribedProperty))) {
        described->data = data;  // described again: the new data
        return;
    }
    auto* described = new Described{nullptr, data};
    if (!SetPropW(window, kDescribedProperty, described)) {
        delete described;
        return;
    }
    const LONG_PTR previous =
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&describedWindowProc));
    if (previous == 0) {  // refused: the window stays as it was
        RemovePropW(window, kDescribedProperty);
        delete described;
        return;
    }
    described->previous = reinterpret_cast<WNDPROC>(previous);
}

// Marks the window as a polite live region for UI Automation. Where the system offers no
// annotation service, screen readers still get the live-region events.
void markPoliteLiveRegion(HWND window) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IAccPropServices* services = nullptr;
    if (SUCCEEDED(CoCreateInstance(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER,
                                   kAccPropServicesInterface,
                                   reinterpret_cast<void**>(&services))) &&
        services != nullptr) {
        VARIANT polite;
        VariantInit(&polite);
        polite.vt = VT_I4;
        polite.lVal = kLivePolite;
        services->SetHwndProp(window, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                              kLiveSettingProperty, polite);
        services->Release();
    }
    if (SUCCEEDED(com)) {
        CoUninitialize();  // the annotation lives with the window, not with COM
    }
}

}  // namespace

long msaaRole(AccessibleRole role) {
    switch (role) {
        case AccessibleRole::Window:
            return ROLE_SYSTEM_WINDOW;
        case AccessibleRole::Label:
            return ROLE_SYSTEM_STATICTEXT;
        case AccessibleRole::Status:
            return ROLE_SYSTEM_STATUSBAR;
        case AccessibleRole::PushButton:
            return ROLE_SYSTEM_PUSHBUTTON;
        case AccessibleRole::CheckBox:
            return ROLE_SYSTEM_CHECKBUTTON;
        case AccessibleRole::List:
            return ROLE_SYSTEM_LIST;
        case AccessibleRole::Graphic:
            return ROLE_SYSTEM_GRAPHIC;
        case AccessibleRole::Separator:
            break;
    }
    return ROLE_SYSTEM_SEPARATOR;
}

void describeWindow(HWND window, const WindowLayout& layout) {
    const bool hasCancelButton = std::any_of(layout.controls.begin(), layout.controls.end(),
                                             [](const auto& c) { return c.cancelButton; });
    describe(window, hasCancelButton ? 0 : kEscapeCloses);
}

void describeControl(HWND control, const ControlLayout& layout) {
    describe(control, reinterpret_cast<DWORD_PTR>(&layout));
}

bool highContrastScheme() {
    HIGHCONTRASTW scheme{};
    scheme.cbSize = sizeof scheme;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof scheme, &scheme, 0) &&
           (scheme.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

HBRUSH highContrastLabelColours(HDC dc, const WindowLayout& window, const ControlLayout& label,
                                bool highContrast) {
    if (!highContrast) {
        return nullptr;
    }
    switch (contrastLook(window, label)) {
        case ContrastLook::SchemeTextOnSchemeBackground:
            SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            SetBkMode(dc, OPAQUE);
            return GetSysColorBrush(COLOR_BTNFACE);
        case ContrastLook::SchemeText:
            SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
            SetBkMode(dc, TRANSPARENT);
            return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
        case ContrastLook::AsDesigned:
            break;
    }
    return nullptr;
}

}  // namespace quorna::ui::win32
