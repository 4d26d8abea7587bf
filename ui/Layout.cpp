#include "ui/Layout.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <initializer_list>

namespace quorna::ui {
namespace {

constexpr Font kTahoma{"Tahoma", 8.25, 400, 0};

constexpr std::array<ControlLayout, 5> kSplashControls{{
    {.name = "cmdExit",
     .kind = ControlKind::Button,
     .rect = {6000, 360, 855, 495},
     .caption = "E&xit",
     .align = TextAlign::Centre,
     .visible = false,
     .tabIndex = 4,
     .tabStop = true},
    {.name = "lblDriverInfo",
     .kind = ControlKind::Label,
     .rect = {1635, 4770, 5175, 375},
     .caption = "driver info",
     .align = TextAlign::Right,
     .tabIndex = 3,
     .transparent = true,
     .wordWrap = true},
    {.name = "lblStatus",
     .kind = ControlKind::Label,
     .rect = {240, 480, 6585, 1515},
     .caption = "Searching for Fobit Adapter && Reader",
     .ownFont = true,
     .font = {"Tahoma", 14.25, 400, 0},
     .align = TextAlign::Centre,
     .tabIndex = 2,
     .transparent = true,
     .wordWrap = true,
     .announces = true},
    {.name = "lblVersion",
     .kind = ControlKind::Label,
     .rect = {285, 4770, 1170, 195},
     .caption = "Version Label",
     .align = TextAlign::Left,
     .tabIndex = 1,
     .transparent = true,
     .autoSize = true},
    {.name = "lblLicense",
     .kind = ControlKind::Label,
     .rect = {360, 4080, 6345, 795},
     .caption = kSplashLicenseText,
     .align = TextAlign::Centre,
     .foreColour = rgbColour(0x000000),
     .tabIndex = 0,
     .transparent = true,
     .wordWrap = true},
}};

constexpr WindowLayout kSplashWindow{
    .name = "frmSplash",
    .caption = "Quorna key reader",
    .border = BorderStyle::None,
    .clientWidth = 7095,
    .clientHeight = 5205,
    .centred = true,
    .font = kTahoma,
    .icon = kIconResource,
    .picture = kSplashPictureResource,
    .controlBox = false,
    .minButton = false,
    .maxButton = false,
    .showInTaskbar = true,
    .controls = kSplashControls,
};

constexpr std::array<ControlLayout, 13> kMainControls{{
    {.name = "cmdScanOnce",
     .kind = ControlKind::Button,
     .rect = {4920, 720, 1215, 840},
     .caption = "Read Inserted Fobit and copy to clipboard",
     .tabIndex = 6,
     .tabStop = true,
     .wordWrap = true},
    {.name = "cmdExit",
     .kind = ControlKind::Button,
     .rect = {5280, 5640, 990, 360},
     .caption = "E&xit",
     .tabIndex = 5,
     .tabStop = true,
     .cancelButton = true},
    {.name = "cmdScanning",
     .kind = ControlKind::Button,
     .rect = {3000, 720, 1215, 840},
     .caption = "&Start Continuous Scanning",
     .tabIndex = 4,
     .tabStop = true,
     .wordWrap = true},
    {.name = "picScanner",
     .kind = ControlKind::Picture,
     .rect = {120, 120, 2655, 5775},
     .tabIndex = 2,
     .tabStop = false,
     .border = false,
     .picture = kReaderPictureResource,
     .accessibleName = "Fobit reader"},
    {.name = "lblVersion",
     .kind = ControlKind::Label,
     .container = "picScanner",
     .rect = {480, 5400, 1170, 195},
     .caption = "Version Label",
     .tabIndex = 10,
     .transparent = true,
     .autoSize = true},
    {.name = "lblLicense",
     .kind = ControlKind::Label,
     .container = "picScanner",
     .rect = {240, 240, 2265, 555},
     .caption = kMainLicenseDesignText,
     .align = TextAlign::Centre,
     .foreColour = rgbColour(0x000000),
     .tabIndex = 8,
     .transparent = true,
     .wordWrap = true},
    {.name = "chkAutoCopy",
     .kind = ControlKind::CheckBox,
     .rect = {3000, 1680, 2175, 255},
     .caption = "Auto &Copy to clipboard",
     .tabIndex = 1,
     .tabStop = true,
     .value = 1},
    {.name = "lstROMIDs",
     .kind = ControlKind::List,
     .rect = {2880, 120, 3375, 540},
     .ownFont = true,
     .font = {"Courier New", 9.75, 400, 0},
     .tabIndex = 0,
     .tabStop = true,
     .sorted = false,
     .accessibleName = "Fobit IDs on the reader"},
    {.name = "lblDriverInfo",
     .kind = ControlKind::Label,
     .rect = {3000, 5760, 2175, 375},
     .caption = "driver info",
     .align = TextAlign::Right,
     .tabIndex = 9,
     .transparent = true,
     .wordWrap = true},
    {.name = "lblStatus",
     .kind = ControlKind::Label,
     .rect = {2880, 5040, 3375, 435},
     .caption = "Status Messages will appear here.",
     .align = TextAlign::Centre,
     .foreColour = systemColour(kSysColourAppWorkspace),
     .tabIndex = 7,
     .transparent = true,
     .wordWrap = true,
     .announces = true},
    {.name = "Line2",
     .kind = ControlKind::Line,
     .line = {2880, 5535, 6240, 5535},
     .foreColour = systemColour(kSysColour3DHighlight)},
    {.name = "line1",
     .kind = ControlKind::Line,
     .line = {2880, 5520, 6240, 5520},
     .foreColour = systemColour(kSysColour3DDarkShadow)},
    {.name = "lblHelp",
     .kind = ControlKind::Label,
     .rect = {2880, 2040, 3360, 2700},
     .caption = kMainHelpText,
     .ownFont = true,
     .font = {"Tahoma", 8.25, 400, 0},
     .align = TextAlign::Centre,
     .tabIndex = 3,
     .transparent = true,
     .wordWrap = true},
}};

// Minimise and maximise are off: the window has a fixed size and Exit or the close box ends it.
constexpr WindowLayout kMainWindow{
    .name = "frmMain",
    .caption = "Quorna Fobit Reader",
    .border = BorderStyle::FixedSingle,
    .clientWidth = 6495,
    .clientHeight = 6315,
    .centred = true,
    .font = {"", 8.25, 400, 0},
    .icon = kIconResource,
    .picture = "",
    .controlBox = true,
    .minButton = false,
    .maxButton = false,
    .showInTaskbar = true,
    .controls = kMainControls,
};

}  // namespace

const WindowLayout& frmSplashLayout() {
    return kSplashWindow;
}
const WindowLayout& frmMainLayout() {
    return kMainWindow;
}

std::vector<const ControlLayout*> stackingOrder(const WindowLayout& window) {
    std::vector<const ControlLayout*> order;
    for (const bool above : {false, true}) {
        for (const auto& control : window.controls) {
            if (liesAboveLabels(control.kind) == above) {
                order.push_back(&control);
            }
        }
    }
    return order;
}

Rect pixelBounds(const ControlLayout& control, int dpi) {
    if (control.kind == ControlKind::Line) {
        const auto& l = control.line;
        const int thickness = std::max(pixels(kTwipsPerPixel, dpi), 1);
        return {pixels(std::min(l.x1, l.x2), dpi), pixels(std::min(l.y1, l.y2), dpi),
                std::max(pixels(std::abs(l.x2 - l.x1), dpi), thickness),
                std::max(pixels(std::abs(l.y2 - l.y1), dpi), thickness)};
    }
    const auto& r = control.rect;
    return {pixels(r.left, dpi), pixels(r.top, dpi), pixels(r.width, dpi), pixels(r.height, dpi)};
}

AccessibleRole accessibleRole(const ControlLayout& control) {
    switch (control.kind) {
        case ControlKind::Label:
            return control.announces ? AccessibleRole::Status : AccessibleRole::Label;
        case ControlKind::Button:
            return AccessibleRole::PushButton;
        case ControlKind::CheckBox:
            return AccessibleRole::CheckBox;
        case ControlKind::List:
            return AccessibleRole::List;
        case ControlKind::Picture:
            return AccessibleRole::Graphic;
        case ControlKind::Line:
            break;
    }
    return AccessibleRole::Separator;
}

std::string accessibleName(const ControlLayout& control, std::string_view caption) {
    if (!control.accessibleName.empty()) {
        return std::string(control.accessibleName);
    }
    std::string name = displayText(caption);
    // A screen reader reads a line break as a pause; the CR of CR LF would be read as a character.
    std::erase(name, '\r');
    return name;
}

ContrastLook contrastLook(const WindowLayout& window, const ControlLayout& label) {
    if (label.kind != ControlKind::Label || label.foreColour.kind == ColourKind::Rgb) {
        return ContrastLook::AsDesigned;
    }
    const ControlLayout* container =
        label.container.empty() ? nullptr : findControl(window, label.container);
    const bool onPicture =
        container != nullptr ? !container->picture.empty() : !window.picture.empty();
    if (label.transparent && onPicture) {
        return ContrastLook::SchemeTextOnSchemeBackground;
    }
    return label.foreColour.kind == ColourKind::System ? ContrastLook::SchemeText
                                                       : ContrastLook::AsDesigned;
}

std::vector<const ControlLayout*> focusOrder(const WindowLayout& window) {
    std::vector<const ControlLayout*> order;
    for (const auto& control : window.controls) {
        if (control.tabStop) {
            order.push_back(&control);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto* a, const auto* b) { return a->tabIndex < b->tabIndex; });
    return order;
}

const ControlLayout* findControl(const WindowLayout& window, std::string_view name) {
    for (const auto& control : window.controls) {
        if (control.name == name) {
            return &control;
        }
    }
    return nullptr;
}

std::string displayText(std::string_view caption) {
    std::string text;
    text.reserve(caption.size());
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) {
            ++i;  // the marker goes; a doubled one leaves one ampersand
        }
        text.push_back(caption[i]);
    }
    return text;
}

char accessKey(std::string_view caption) {
    for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] == '&') {
            if (caption[i + 1] != '&') {
                return caption[i + 1];
            }
            ++i;
        }
    }
    return 0;
}

}  // namespace quorna::ui
