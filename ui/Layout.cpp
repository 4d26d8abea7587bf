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
     // Below the picture's status panel, right of the reader: on the panel's frame it would cover
     // the error text's corner.
     .rect = {6075, 2250, 855, 495},
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

const ControlLayout* findControl(const WindowLayout& window, std::string_view name) {
    for (const auto& control : window.controls) {
        if (control.name == name) {
            return &control;
        }
    }
    return nullptr;
}

}  // namespace quorna::ui
