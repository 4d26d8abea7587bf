#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The static design of the two windows as data: every front-end places its controls from these
// tables, and the window logic takes the design captions from them. Positions and sizes are in
// twips (1/1440 inch); at 96 dots per inch 15 twips make one pixel.
namespace quorna::ui {

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int kDesignDpi = 96;
inline constexpr int kTwipsPerInch = kTwipsPerPixel * kDesignDpi;
constexpr int pixels(int twips) {
    return twips / kTwipsPerPixel;
}
// A length in twips as pixels on a screen of dpi dots per inch, rounded to the nearest pixel.
constexpr int pixels(int twips, int dpi) {
    const long long scaled = static_cast<long long>(twips) * dpi;
    return static_cast<int>((scaled + (scaled >= 0 ? kTwipsPerInch : -kTwipsPerInch) / 2) /
                            kTwipsPerInch);
}

enum class ControlKind { Label, Button, CheckBox, List, Picture, Line };

enum class TextAlign { Default, Left, Centre, Right };

enum class ColourKind { None, Rgb, System };

// A text or line colour: none (the toolkit's default for the control), a fixed RGB value, or a
// system colour that follows the operator's colour scheme (Windows GetSysColor index).
struct Colour {
    ColourKind kind = ColourKind::None;
    std::uint32_t rgb = 0;  // 0xRRGGBB, Rgb only
    int systemIndex = 0;    // System only
};

inline constexpr int kSysColourAppWorkspace = 12;  // COLOR_APPWORKSPACE
inline constexpr int kSysColour3DHighlight = 20;   // COLOR_3DHILIGHT
inline constexpr int kSysColour3DDarkShadow = 21;  // COLOR_3DDKSHADOW

constexpr Colour noColour() {
    return {};
}
constexpr Colour rgbColour(std::uint32_t rgb) {
    return {ColourKind::Rgb, rgb, 0};
}
constexpr Colour systemColour(int index) {
    return {ColourKind::System, 0, index};
}

// An empty face means the platform's default dialog font at the given size.
struct Font {
    std::string_view face{};
    double points = 8.25;
    int weight = 400;
    int charset = 0;
};

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct LineEnds {
    int x1 = 0;
    int y1 = 0;
    int x2 = 0;
    int y2 = 0;
};

inline constexpr int kNoTabIndex = -1;

struct ControlLayout {
    std::string_view name{};
    ControlKind kind = ControlKind::Label;
    std::string_view container{};  // empty: the window's client area; else the containing control
    Rect rect{};                   // all kinds but Line, relative to the container's client area
    LineEnds line{};               // Line only
    // Design caption in access-key notation: "&x" marks x as the access key, "&&" is one "&".
    // Labels are shown the same way, so "&&" in a label shows a single ampersand.
    std::string_view caption{};
    bool ownFont = false;  // false: the window's font
    Font font{};           // ownFont only
    TextAlign align = TextAlign::Default;
    Colour foreColour{};  // text colour, or the line's colour
    bool visible = true;
    int tabIndex = kNoTabIndex;
    bool tabStop = false;        // can take the keyboard focus
    bool transparent = false;    // background not painted: the container shows through
    bool autoSize = false;       // sizes itself to its caption (stays on one line)
    bool wordWrap = false;       // caption wraps at word boundaries inside the box; the rest is cut
    bool sorted = false;         // List only
    int value = 0;               // CheckBox: 0 unticked, 1 ticked
    bool defaultButton = false;  // Enter presses it
    bool cancelButton = false;   // Esc presses it
    bool border = false;         // Picture only
    std::string_view picture{};  // resource file name shown from the top-left corner, or empty
    // What a screen reader calls the control where its caption does not say it (a list, a
    // picture); empty: the caption as drawn, which follows every caption the logic sets.
    std::string_view accessibleName{};
    // A polite live region: a screen reader speaks each new caption without the focus moving.
    bool announces = false;
};

enum class BorderStyle { None, FixedSingle };

struct WindowLayout {
    std::string_view name{};
    std::string_view caption{};  // the title; for a borderless window, the name shown to the system
    BorderStyle border = BorderStyle::FixedSingle;
    int clientWidth = 0;  // twips
    int clientHeight = 0;
    bool centred = true;
    Font font{};                 // the window's font, used by controls without their own
    std::string_view icon{};     // resource file name
    std::string_view picture{};  // background picture drawn unscaled at the top-left, or empty
    bool controlBox = true;      // system menu with close box
    bool minButton = true;
    bool maxButton = true;
    bool showInTaskbar = true;
    std::span<const ControlLayout> controls;  // in the order the window creates them
};

const WindowLayout& frmSplashLayout();
const WindowLayout& frmMainLayout();

// Buttons, check boxes, lists and picture boxes are windows of their own and always lie above
// the labels and lines drawn on their container, whatever the table's order: a label whose
// rectangle overlaps a button never catches the button's clicks.
constexpr bool liesAboveLabels(ControlKind kind) {
    return kind != ControlKind::Label && kind != ControlKind::Line;
}

// The window's controls from the bottom of the stack to the top: labels and lines in table
// order, then the other controls in table order.
std::vector<const ControlLayout*> stackingOrder(const WindowLayout& window);

// The rectangle a control covers in pixels at dpi, relative to its container's client area. A line
// covers the box between its ends, at least one pixel thick; its end point itself is not drawn,
// as with the platform's line primitive.
Rect pixelBounds(const ControlLayout& control, int dpi = kDesignDpi);

// What a control is to assistive technology (a screen reader): the same on every front-end.
enum class AccessibleRole { Window, Label, Status, PushButton, CheckBox, List, Graphic, Separator };

AccessibleRole accessibleRole(const ControlLayout& control);
// The control's accessible name while it shows caption (access-key notation).
std::string accessibleName(const ControlLayout& control, std::string_view caption);
inline std::string accessibleName(const ControlLayout& control) {
    return accessibleName(control, control.caption);
}

// How a label stays readable under a high-contrast scheme (Windows) or a dark palette (Qt), where
// the scheme's text colour is light and its background dark: a fixed colour stays (the licence
// text is black on the light picture, which no scheme changes); a label drawn straight onto a
// picture gets the scheme's background behind the scheme's text; a label in a system colour that
// would not stand out (the status line's workspace grey) takes the scheme's text colour.
enum class ContrastLook { AsDesigned, SchemeText, SchemeTextOnSchemeBackground };
ContrastLook contrastLook(const WindowLayout& window, const ControlLayout& label);

// The controls that take the keyboard focus, in tab-index order (the first has the focus when
// the window opens).
std::vector<const ControlLayout*> focusOrder(const WindowLayout& window);

// The control of that name, or nullptr.
const ControlLayout* findControl(const WindowLayout& window, std::string_view name);

// A caption as drawn: access-key markers removed, "&&" shown as one "&".
std::string displayText(std::string_view caption);
// The caption's access key as written (e.g. 'x' for "E&xit"), or 0 when it has none.
char accessKey(std::string_view caption);

// Resource file names (in resources/).
inline constexpr std::string_view kIconResource = "quorna.ico";
inline constexpr std::string_view kSplashPictureResource = "splash.bmp";
inline constexpr std::string_view kReaderPictureResource = "reader.gif";

// The copyright notices: the design captions, and the two-line notice the main window sets at load.
inline constexpr std::string_view kSplashLicenseText =
    "Copyright (c) 2026 Quorna Ltd. All rights reserved.\r\n"
    "For support contact your QuornaWeb administrator.";
inline constexpr std::string_view kMainLicenseDesignText =
    "Copyright (c) 2026 Quorna Ltd. All rights reserved.";
inline constexpr std::string_view kMainLicenseText = "(c) 2026 Quorna Ltd.\r\nAll rights reserved.";

inline constexpr std::string_view kMainHelpText =
    "This program allows you to use your QuornaWeb Fobit Reader to get the ID number from each "
    "Fobit you give out to your customers.\r\n\r\n"
    "When the 'Auto Copy' box is checked, the ID of the Fobit on the Reader will be automatically "
    "copied to the clipboard. You can then paste the information into the Customer Setup page on "
    "QuornaWeb.\r\n\r\n"
    "NOTE: Auto copy will only work when ONE key is on the Reader.";

}  // namespace quorna::ui
