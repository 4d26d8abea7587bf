#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ui/DesignTexts.h"

// The static design of the two windows as data: every front-end places its controls from these
// tables, and the window logic takes the design captions from them. Positions and sizes are in
// twips (1/1440 inch); at 96 dots per inch 15 twips make one pixel (LayoutGeometry.h). What the
// front-ends derive from the tables is beside them by job: LayoutGeometry.h (pixels and
// stacking), LayoutAccessibility.h (screen readers and high contrast), LayoutKeys.h (focus order
// and access keys).
namespace quorna::ui {

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

// The status panel that the start-up window's picture draws behind lblStatus, frame included, in
// pixels (resources/generate.py draws it): no control but the status text may sit on it.
inline constexpr Rect kSplashStatusPanelPixels{7, 23, 459, 120};

// The control of that name, or nullptr.
const ControlLayout* findControl(const WindowLayout& window, std::string_view name);

}  // namespace quorna::ui
