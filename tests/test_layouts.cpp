#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ui/Layout.h"
#include "ui/LayoutAccessibility.h"
#include "ui/LayoutGeometry.h"
#include "ui/LayoutKeys.h"

using namespace quorna::ui;

namespace {

struct Pixels {
    int left, top, width, height;
};

const ControlLayout& control(const WindowLayout& window, std::string_view name) {
    const ControlLayout* found = findControl(window, name);
    if (found == nullptr) {
        throw std::runtime_error("missing control " + std::string(name));
    }
    return *found;
}

std::vector<std::string> names(const WindowLayout& window) {
    std::vector<std::string> result;
    for (const auto& c : window.controls) {
        result.emplace_back(c.name);
    }
    return result;
}

// The designer's pixel values at 96 dots per inch, written down independently of the twips.
void expectPixels(const WindowLayout& window, const std::map<std::string, Pixels>& expected) {
    for (const auto& [name, px] : expected) {
        const auto& r = control(window, name).rect;
        EXPECT_EQ(pixels(r.left), px.left) << name;
        EXPECT_EQ(pixels(r.top), px.top) << name;
        EXPECT_EQ(pixels(r.width), px.width) << name;
        EXPECT_EQ(pixels(r.height), px.height) << name;
        // Every value is a whole number of pixels.
        EXPECT_EQ(r.left % kTwipsPerPixel, 0) << name;
        EXPECT_EQ(r.top % kTwipsPerPixel, 0) << name;
        EXPECT_EQ(r.width % kTwipsPerPixel, 0) << name;
        EXPECT_EQ(r.height % kTwipsPerPixel, 0) << name;
    }
}

// Names of the controls that take the focus, in tab order.
std::vector<std::string> focusNames(const WindowLayout& window) {
    std::vector<std::string> result;
    for (const auto* c : focusOrder(window)) {
        result.emplace_back(c->name);
    }
    return result;
}

}  // namespace

TEST(AccessKeyNotation, DoubledAmpersandShowsOneAndMarksNoKey) {
    EXPECT_EQ(displayText("Searching for Fobit Adapter && Reader"),
              "Searching for Fobit Adapter & Reader");
    EXPECT_EQ(accessKey("Searching for Fobit Adapter && Reader"), 0);
    EXPECT_EQ(displayText("E&xit"), "Exit");
    EXPECT_EQ(accessKey("E&xit"), 'x');
    EXPECT_EQ(accessKey("a && b &Go"), 'G');
    EXPECT_EQ(displayText("no marker"), "no marker");
    EXPECT_EQ(displayText("trailing &"), "trailing &");
}

TEST(SplashLayout, WindowIsBorderlessCentredAndFixed) {
    const auto& w = frmSplashLayout();
    EXPECT_EQ(w.name, "frmSplash");
    EXPECT_EQ(w.caption, "Quorna key reader");
    EXPECT_EQ(w.border, BorderStyle::None);
    EXPECT_EQ(pixels(w.clientWidth), 473);
    EXPECT_EQ(pixels(w.clientHeight), 347);
    EXPECT_EQ(w.clientWidth % kTwipsPerPixel, 0);
    EXPECT_EQ(w.clientHeight % kTwipsPerPixel, 0);
    EXPECT_TRUE(w.centred);
    EXPECT_EQ(w.font.face, "Tahoma");
    EXPECT_DOUBLE_EQ(w.font.points, 8.25);
    EXPECT_EQ(w.font.weight, 400);
    EXPECT_EQ(w.font.charset, 0);
    EXPECT_EQ(w.picture, "splash.bmp");
    EXPECT_EQ(w.icon, "quorna.ico");
    EXPECT_EQ(w.icon, frmMainLayout().icon);
}

TEST(SplashLayout, ControlsInStoredOrderWithDesignPixels) {
    const auto& w = frmSplashLayout();
    EXPECT_EQ(names(w), (std::vector<std::string>{"cmdExit", "lblDriverInfo", "lblStatus",
                                                  "lblVersion", "lblLicense"}));
    expectPixels(w, {{"cmdExit", {405, 150, 57, 33}},
                     {"lblDriverInfo", {109, 318, 345, 25}},
                     {"lblStatus", {16, 32, 439, 101}},
                     {"lblVersion", {19, 318, 78, 13}},
                     {"lblLicense", {24, 272, 423, 53}}});
    for (const auto& c : w.controls) {
        EXPECT_TRUE(c.container.empty()) << c.name;
        EXPECT_LE(c.rect.left + c.rect.width, w.clientWidth) << c.name;
        EXPECT_LE(c.rect.top + c.rect.height, w.clientHeight) << c.name;
    }
    // The bottom 105 twips of the licence notice overlap the version and driver labels.
    EXPECT_EQ(control(w, "lblLicense").rect.top + control(w, "lblLicense").rect.height -
                  control(w, "lblVersion").rect.top,
              105);
}

TEST(SplashLayout, CaptionsFontsAndSettings) {
    const auto& w = frmSplashLayout();
    const auto& exit = control(w, "cmdExit");
    EXPECT_EQ(exit.kind, ControlKind::Button);
    EXPECT_EQ(exit.caption, "E&xit");
    EXPECT_FALSE(exit.visible);
    EXPECT_FALSE(exit.defaultButton);
    EXPECT_FALSE(exit.cancelButton);
    EXPECT_FALSE(exit.ownFont);

    const auto& status = control(w, "lblStatus");
    EXPECT_EQ(status.caption, "Searching for Fobit Adapter && Reader");
    EXPECT_TRUE(status.ownFont);
    EXPECT_EQ(status.font.face, "Tahoma");
    EXPECT_DOUBLE_EQ(status.font.points, 14.25);
    EXPECT_EQ(status.font.weight, 400);
    EXPECT_EQ(status.font.charset, 0);
    EXPECT_EQ(status.align, TextAlign::Centre);

    EXPECT_EQ(control(w, "lblDriverInfo").caption, "driver info");
    EXPECT_EQ(control(w, "lblDriverInfo").align, TextAlign::Right);
    EXPECT_EQ(control(w, "lblVersion").caption, "Version Label");
    EXPECT_EQ(control(w, "lblVersion").align, TextAlign::Left);
    EXPECT_TRUE(control(w, "lblVersion").autoSize);

    const auto& license = control(w, "lblLicense");
    EXPECT_EQ(license.align, TextAlign::Centre);
    EXPECT_EQ(license.foreColour.kind, ColourKind::Rgb);
    EXPECT_EQ(license.foreColour.rgb, 0x000000u);
    EXPECT_NE(license.caption.find("Copyright"), std::string_view::npos);

    for (const auto& c : w.controls) {
        if (c.kind == ControlKind::Label) {
            EXPECT_TRUE(c.transparent) << c.name;
            EXPECT_FALSE(c.tabStop) << c.name;
            // A label that keeps its design size wraps its text; the version label grows instead.
            EXPECT_NE(c.autoSize, c.wordWrap) << c.name;
        }
    }
}

TEST(SplashLayout, TabIndicesAndFocus) {
    const auto& w = frmSplashLayout();
    std::vector<int> indices;
    for (const auto& c : w.controls) {
        indices.push_back(c.tabIndex);
    }
    EXPECT_EQ(indices, (std::vector<int>{4, 3, 2, 1, 0}));
    EXPECT_EQ(focusNames(w), (std::vector<std::string>{"cmdExit"}));
}

TEST(MainLayout, WindowSettings) {
    const auto& w = frmMainLayout();
    EXPECT_EQ(w.name, "frmMain");
    EXPECT_EQ(w.caption, "Quorna Fobit Reader");
    EXPECT_EQ(w.border, BorderStyle::FixedSingle);
    EXPECT_EQ(w.clientWidth, 6495);
    EXPECT_EQ(w.clientHeight, 6315);
    EXPECT_EQ(pixels(w.clientWidth), 433);
    EXPECT_EQ(pixels(w.clientHeight), 421);
    EXPECT_TRUE(w.centred);
    EXPECT_TRUE(w.font.face.empty());  // the platform's dialog font
    EXPECT_DOUBLE_EQ(w.font.points, 8.25);
    // Exactly two title-bar options are off, and the close box stays: every close runs the unload.
    EXPECT_TRUE(w.controlBox);
    EXPECT_EQ(int(!w.controlBox) + int(!w.minButton) + int(!w.maxButton), 2);
}

TEST(MainLayout, ThirteenControlsInCreationOrderWithDesignPixels) {
    const auto& w = frmMainLayout();
    EXPECT_EQ(names(w), (std::vector<std::string>{"cmdScanOnce", "cmdExit", "cmdScanning",
                                                  "picScanner", "lblVersion", "lblLicense",
                                                  "chkAutoCopy", "lstROMIDs", "lblDriverInfo",
                                                  "lblStatus", "Line2", "line1", "lblHelp"}));
    expectPixels(w, {{"cmdScanOnce", {328, 48, 81, 56}},
                     {"cmdExit", {352, 376, 66, 24}},
                     {"cmdScanning", {200, 48, 81, 56}},
                     {"picScanner", {8, 8, 177, 385}},
                     {"lblVersion", {32, 360, 78, 13}},
                     {"lblLicense", {16, 16, 151, 37}},
                     {"chkAutoCopy", {200, 112, 145, 17}},
                     {"lstROMIDs", {192, 8, 225, 36}},
                     {"lblDriverInfo", {200, 384, 145, 25}},
                     {"lblStatus", {192, 336, 225, 29}},
                     {"lblHelp", {192, 136, 224, 180}}});

    const auto& pic = control(w, "picScanner");
    for (const auto& c : w.controls) {
        if (c.kind == ControlKind::Line) {
            continue;
        }
        if (c.container == "picScanner") {
            EXPECT_LE(c.rect.left + c.rect.width, pic.rect.width) << c.name;
            EXPECT_LE(c.rect.top + c.rect.height, pic.rect.height) << c.name;
        } else {
            EXPECT_TRUE(c.container.empty()) << c.name;
            EXPECT_LE(c.rect.left + c.rect.width, w.clientWidth) << c.name;
            EXPECT_LE(c.rect.top + c.rect.height, w.clientHeight) << c.name;
        }
    }
    EXPECT_EQ(control(w, "lblVersion").container, "picScanner");
    EXPECT_EQ(control(w, "lblLicense").container, "picScanner");
    EXPECT_EQ(pic.picture, "reader.gif");
    // The 176 by 381 picture fits the box.
    EXPECT_GE(pic.rect.width, 176 * kTwipsPerPixel);
    EXPECT_GE(pic.rect.height, 381 * kTwipsPerPixel);
}

TEST(MainLayout, EtchedRuleIsTwoLinesOnePixelApart) {
    const auto& w = frmMainLayout();
    const auto& dark = control(w, "line1");
    const auto& light = control(w, "Line2");
    EXPECT_EQ(dark.kind, ControlKind::Line);
    EXPECT_EQ(light.kind, ControlKind::Line);
    EXPECT_EQ(pixels(dark.line.x1), 192);
    EXPECT_EQ(pixels(dark.line.y1), 368);
    EXPECT_EQ(pixels(dark.line.x2), 416);
    EXPECT_EQ(pixels(dark.line.y2), 368);
    EXPECT_EQ(pixels(light.line.x1), 192);
    EXPECT_EQ(pixels(light.line.y1), 369);
    EXPECT_EQ(pixels(light.line.x2), 416);
    EXPECT_EQ(light.foreColour.kind, ColourKind::System);
    EXPECT_EQ(light.line.y2 - dark.line.y2, kTwipsPerPixel);
    EXPECT_EQ(dark.line.x2 - dark.line.x1, 3360);
    EXPECT_EQ(light.line.x2 - light.line.x1, 3360);
    EXPECT_EQ(dark.foreColour.kind, ColourKind::System);
    EXPECT_EQ(dark.foreColour.systemIndex, 21);
    EXPECT_EQ(light.foreColour.systemIndex, 20);
    EXPECT_EQ(dark.tabIndex, kNoTabIndex);
    EXPECT_FALSE(dark.tabStop);
    // The rule lies between the status line and the bottom row.
    const auto& status = control(w, "lblStatus").rect;
    EXPECT_GE(dark.line.y1, status.top + status.height);
    EXPECT_LE(light.line.y1, control(w, "cmdExit").rect.top);
}

TEST(MainLayout, CaptionsFontsColoursAndSettings) {
    const auto& w = frmMainLayout();
    EXPECT_EQ(control(w, "cmdScanOnce").caption, "Read Inserted Fobit and copy to clipboard");
    EXPECT_TRUE(control(w, "cmdScanOnce").wordWrap);
    EXPECT_EQ(control(w, "cmdExit").caption, "E&xit");
    EXPECT_NE(control(w, "cmdExit").defaultButton, control(w, "cmdExit").cancelButton);
    EXPECT_EQ(control(w, "cmdScanning").caption, "&Start Continuous Scanning");
    EXPECT_EQ(control(w, "lblVersion").caption, "Version Label");
    EXPECT_TRUE(control(w, "lblVersion").autoSize);
    EXPECT_EQ(control(w, "chkAutoCopy").caption, "Auto &Copy to clipboard");
    EXPECT_EQ(control(w, "chkAutoCopy").value, 1);
    EXPECT_EQ(control(w, "lblDriverInfo").caption, "driver info");
    EXPECT_EQ(control(w, "lblDriverInfo").align, TextAlign::Right);
    EXPECT_EQ(control(w, "lblStatus").caption, "Status Messages will appear here.");
    EXPECT_EQ(control(w, "lblStatus").align, TextAlign::Centre);
    EXPECT_EQ(control(w, "lblStatus").foreColour.kind, ColourKind::System);
    EXPECT_EQ(control(w, "lblStatus").foreColour.systemIndex, 12);

    const auto& license = control(w, "lblLicense");
    EXPECT_EQ(license.foreColour.kind, ColourKind::Rgb);
    EXPECT_EQ(license.foreColour.rgb, 0x000000u);
    EXPECT_EQ(license.align, TextAlign::Centre);
    EXPECT_EQ(license.caption.find('\r'), std::string_view::npos);  // one line at design time

    const auto& list = control(w, "lstROMIDs");
    EXPECT_EQ(list.kind, ControlKind::List);
    EXPECT_TRUE(list.ownFont);
    EXPECT_EQ(list.font.face, "Courier New");
    EXPECT_DOUBLE_EQ(list.font.points, 9.75);
    EXPECT_EQ(list.font.weight, 400);
    EXPECT_EQ(list.font.charset, 0);
    EXPECT_FALSE(list.sorted);
    EXPECT_TRUE(list.caption.empty());

    const auto& help = control(w, "lblHelp");
    EXPECT_TRUE(help.ownFont);
    EXPECT_EQ(help.font.face, "Tahoma");
    EXPECT_DOUBLE_EQ(help.font.points, 8.25);
    EXPECT_EQ(help.font.weight, 400);
    EXPECT_EQ(help.font.charset, 0);
    EXPECT_EQ(help.align, TextAlign::Centre);
    EXPECT_TRUE(help.wordWrap);

    for (const auto& c : w.controls) {
        EXPECT_TRUE(c.visible) << c.name;
        if (c.kind == ControlKind::Label) {
            EXPECT_TRUE(c.transparent) << c.name;
            EXPECT_FALSE(c.tabStop) << c.name;
        }
    }
}

TEST(MainLayout, HelpTextIsThreeParagraphs) {
    const std::string help(control(frmMainLayout(), "lblHelp").caption);
    EXPECT_EQ(help,
              "This program allows you to use your QuornaWeb Fobit Reader to get the ID number "
              "from each Fobit you give out to your customers.\r\n\r\nWhen the 'Auto Copy' box "
              "is checked, the ID of the Fobit on the Reader will be automatically copied to the "
              "clipboard. You can then paste the information into the Customer Setup page on "
              "QuornaWeb.\r\n\r\nNOTE: Auto copy will only work when ONE key is on the Reader.");
    // No lone CR or LF anywhere: every break is a CR LF pair.
    for (std::size_t i = 0; i < help.size(); ++i) {
        if (help[i] == '\r') {
            ASSERT_LT(i + 1, help.size());
            EXPECT_EQ(help[i + 1], '\n');
        }
        if (help[i] == '\n') {
            EXPECT_EQ(help[i - 1], '\r');
        }
    }
}

TEST(MainLayout, TabOrderAndAccessKeys) {
    const auto& w = frmMainLayout();
    const std::map<std::string, int> designed{
        {"cmdScanOnce", 6},   {"cmdExit", 5},    {"cmdScanning", 4},     {"picScanner", 2},
        {"lblVersion", 10},   {"lblLicense", 8}, {"chkAutoCopy", 1},     {"lstROMIDs", 0},
        {"lblDriverInfo", 9}, {"lblStatus", 7},  {"Line2", kNoTabIndex}, {"line1", kNoTabIndex},
        {"lblHelp", 3}};
    for (const auto& c : w.controls) {
        EXPECT_EQ(c.tabIndex, designed.at(std::string(c.name))) << c.name;
    }

    std::vector<std::string> order = focusNames(w);
    if (control(w, "picScanner").tabStop) {
        EXPECT_EQ(order, (std::vector<std::string>{"lstROMIDs", "chkAutoCopy", "picScanner",
                                                   "cmdScanning", "cmdExit", "cmdScanOnce"}));
    } else {
        EXPECT_EQ(order, (std::vector<std::string>{"lstROMIDs", "chkAutoCopy", "cmdScanning",
                                                   "cmdExit", "cmdScanOnce"}));
    }

    EXPECT_EQ(accessKey(control(w, "cmdScanning").caption), 'S');
    EXPECT_EQ(accessKey("Stop &Scanning"), 'S');
    EXPECT_EQ(accessKey("Start &Scanning"), 'S');
    EXPECT_EQ(accessKey(control(w, "chkAutoCopy").caption), 'C');
    EXPECT_EQ(accessKey(control(w, "cmdExit").caption), 'x');
    EXPECT_EQ(accessKey(control(w, "cmdScanOnce").caption), 0);
}

// Whatever the table's order, every label and line lies below every other control, such as the
// start-up window's Exit button, which is stored first.
TEST(Layouts, ButtonsCheckBoxesListsAndPicturesLieAboveLabels) {
    for (const WindowLayout* w : {&frmSplashLayout(), &frmMainLayout()}) {
        SCOPED_TRACE(std::string(w->name));
        std::vector<std::string> order;
        bool aboveSeen = false;
        for (const ControlLayout* c : stackingOrder(*w)) {
            order.emplace_back(c->name);
            const bool above = liesAboveLabels(c->kind);
            EXPECT_TRUE(above || !aboveSeen) << c->name << " lies above a button";
            aboveSeen = aboveSeen || above;
        }
        EXPECT_EQ(order.size(), w->controls.size());
    }
    EXPECT_EQ(stackingOrder(frmSplashLayout()).back()->name, "cmdExit");
    EXPECT_FALSE(liesAboveLabels(ControlKind::Label));
    EXPECT_FALSE(liesAboveLabels(ControlKind::Line));
}

TEST(LayoutScaling, ControlsAndLinesFollowTheScreenDensity) {
    const auto& w = frmMainLayout();
    const auto same = [](const Rect& a, const Rect& b) {
        return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height;
    };
    // At the design density the pixel columns of the layout tables; the rule's end is not drawn.
    EXPECT_TRUE(same(pixelBounds(control(w, "cmdExit")), {352, 376, 66, 24}));
    EXPECT_TRUE(same(pixelBounds(control(w, "line1")), {192, 368, 224, 1}));
    EXPECT_TRUE(same(pixelBounds(control(w, "Line2")), {192, 369, 224, 1}));
    // At 150 % and 200 % everything grows with the screen, the rules stay one pixel apart at
    // 150 % (rounded) and two at 200 %, each as thick as a design pixel.
    EXPECT_TRUE(same(pixelBounds(control(w, "cmdExit"), 144), {528, 564, 99, 36}));
    EXPECT_TRUE(same(pixelBounds(control(w, "line1"), 192), {384, 736, 448, 2}));
    EXPECT_TRUE(same(pixelBounds(control(w, "Line2"), 192), {384, 738, 448, 2}));
    EXPECT_EQ(pixels(w.clientWidth, 120), 541);  // 433 px * 1.25, rounded
    EXPECT_EQ(pixels(-15, 144), -2);
}

// What a screen reader hears, the same on both front-ends: every control but the rule has a name
// in the program's words, the captions without their access-key markers.
TEST(Accessibility, EveryControlHasARoleAndAName) {
    using R = AccessibleRole;
    const std::map<std::string, std::pair<R, std::string>> main{
        {"cmdScanOnce", {R::PushButton, "Read Inserted Fobit and copy to clipboard"}},
        {"cmdExit", {R::PushButton, "Exit"}},
        {"cmdScanning", {R::PushButton, "Start Continuous Scanning"}},
        {"picScanner", {R::Graphic, "Fobit reader"}},
        {"lblVersion", {R::Label, "Version Label"}},
        {"lblLicense", {R::Label, std::string(kMainLicenseDesignText)}},
        {"chkAutoCopy", {R::CheckBox, "Auto Copy to clipboard"}},
        {"lstROMIDs", {R::List, "Fobit IDs on the reader"}},
        {"lblDriverInfo", {R::Label, "driver info"}},
        {"lblStatus", {R::Status, "Status Messages will appear here."}},
        {"Line2", {R::Separator, ""}},
        {"line1", {R::Separator, ""}},
    };
    for (const auto& c : frmMainLayout().controls) {
        if (c.name == "lblHelp") {
            EXPECT_EQ(accessibleRole(c), R::Label);
            EXPECT_EQ(accessibleName(c).find('\r'), std::string::npos);  // LF breaks only
            continue;
        }
        SCOPED_TRACE(std::string(c.name));
        const auto& [role, name] = main.at(std::string(c.name));
        EXPECT_EQ(accessibleRole(c), role);
        EXPECT_EQ(accessibleName(c), name);
    }
    const auto& splash = frmSplashLayout();
    EXPECT_EQ(accessibleRole(control(splash, "lblStatus")), R::Status);
    EXPECT_EQ(accessibleName(control(splash, "lblStatus")), "Searching for Fobit Adapter & Reader");
    EXPECT_EQ(accessibleName(control(splash, "cmdExit")), "Exit");
    EXPECT_EQ(accessibleRole(control(splash, "lblLicense")), R::Label);
    // A caption the logic sets later names the control from then on; a fixed name stays.
    EXPECT_EQ(accessibleName(control(frmMainLayout(), "cmdScanning"), "Stop &Scanning"),
              "Stop Scanning");
    EXPECT_EQ(accessibleName(control(frmMainLayout(), "lstROMIDs"), "x"),
              "Fobit IDs on the reader");
    // Only the two status labels announce their changes.
    int announcing = 0;
    for (const WindowLayout* w : {&splash, &frmMainLayout()}) {
        for (const auto& c : w->controls) {
            announcing += c.announces ? 1 : 0;
        }
    }
    EXPECT_EQ(announcing, 2);
}

// Under a high-contrast or dark scheme: the licence texts keep their black on the light
// pictures, the other texts on pictures get the scheme's own background, the grey status line the
// scheme's text colour; the rest already is the scheme's text on the scheme's background.
TEST(Accessibility, HighContrastKeepsEveryTextReadable) {
    using L = ContrastLook;
    const auto& splash = frmSplashLayout();
    const auto& main = frmMainLayout();
    EXPECT_EQ(contrastLook(splash, control(splash, "lblLicense")), L::AsDesigned);
    EXPECT_EQ(contrastLook(main, control(main, "lblLicense")), L::AsDesigned);
    for (const char* name : {"lblStatus", "lblVersion", "lblDriverInfo"}) {
        EXPECT_EQ(contrastLook(splash, control(splash, name)), L::SchemeTextOnSchemeBackground)
            << name;
    }
    EXPECT_EQ(contrastLook(main, control(main, "lblVersion")), L::SchemeTextOnSchemeBackground);
    EXPECT_EQ(contrastLook(main, control(main, "lblStatus")), L::SchemeText);
    EXPECT_EQ(contrastLook(main, control(main, "lblHelp")), L::AsDesigned);
    EXPECT_EQ(contrastLook(main, control(main, "lblDriverInfo")), L::AsDesigned);
    EXPECT_EQ(contrastLook(main, control(main, "cmdExit")), L::AsDesigned);
}

// What holds for every control of both tables, whatever their numbers.
namespace {

bool overlap(const Rect& a, const Rect& b) {
    return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
           b.top < a.top + a.height;
}

bool showsCaption(ControlKind kind) {
    return kind == ControlKind::Label || kind == ControlKind::Button ||
           kind == ControlKind::CheckBox;
}

}  // namespace

TEST(LayoutTables, EveryControlLiesInsideItsContainerAtEveryDensity) {
    for (const WindowLayout* w : {&frmSplashLayout(), &frmMainLayout()}) {
        for (const ControlLayout& c : w->controls) {
            SCOPED_TRACE(std::string(w->name) + "." + std::string(c.name));
            const ControlLayout* container =
                c.container.empty() ? nullptr : findControl(*w, c.container);
            EXPECT_EQ(container == nullptr, c.container.empty());
            for (int dpi : {96, 120, 144, 192}) {
                const Rect box = pixelBounds(c, dpi);
                const int width = container != nullptr ? pixelBounds(*container, dpi).width
                                                       : pixels(w->clientWidth, dpi);
                const int height = container != nullptr ? pixelBounds(*container, dpi).height
                                                        : pixels(w->clientHeight, dpi);
                EXPECT_GE(box.left, 0) << dpi;
                EXPECT_GE(box.top, 0) << dpi;
                EXPECT_GT(box.width, 0) << dpi;
                EXPECT_GT(box.height, 0) << dpi;
                EXPECT_LE(box.left + box.width, width) << dpi;
                EXPECT_LE(box.top + box.height, height) << dpi;
            }
        }
    }
}

// A button, check box, list or picture is a window of its own: one that overlapped another, or a
// label, would hide part of it or catch its clicks. Labels may overlap each other (the start-up
// window's licence notice and the two labels under it are transparent and drawn together).
TEST(LayoutTables, NoControlThatTakesClicksOverlapsAnother) {
    for (const WindowLayout* w : {&frmSplashLayout(), &frmMainLayout()}) {
        for (const ControlLayout& a : w->controls) {
            for (const ControlLayout& b : w->controls) {
                if (&a == &b || a.container != b.container || !liesAboveLabels(a.kind) ||
                    b.kind == ControlKind::Line || (liesAboveLabels(b.kind) && &b < &a)) {
                    continue;
                }
                EXPECT_FALSE(overlap(pixelBounds(a), pixelBounds(b)))
                    << w->name << ": " << a.name << " overlaps " << b.name;
            }
        }
    }
}

TEST(LayoutTables, AccessKeysAreUniqueInEachWindowAndEveryTextControlHasACaption) {
    for (const WindowLayout* w : {&frmSplashLayout(), &frmMainLayout()}) {
        std::map<char, std::string> keys;
        for (const ControlLayout& c : w->controls) {
            SCOPED_TRACE(std::string(w->name) + "." + std::string(c.name));
            EXPECT_EQ(showsCaption(c.kind), !c.caption.empty());
            if (const char key = accessKey(c.caption); key != 0) {
                const char folded =
                    static_cast<char>(std::tolower(static_cast<unsigned char>(key)));
                EXPECT_TRUE(keys.emplace(folded, c.name).second)
                    << "access key " << key << " also on " << keys[folded];
                EXPECT_TRUE(c.tabStop) << "a key that reaches nothing";
            }
            // A marker that marks nothing would show as a stray ampersand.
            EXPECT_EQ(c.caption.ends_with('&') && !c.caption.ends_with("&&"), false);
        }
    }
}

// The error text shows in the picture's status panel; the Exit button shown beside it must not
// sit on the panel's frame. The panel is where the picture's generator draws it.
TEST(SplashLayout, TheExitButtonIsClearOfThePicturesStatusPanel) {
    std::ifstream script(std::string(QUORNA_SOURCE_DIR) + "/resources/generate.py");
    std::stringstream text;
    text << script.rdbuf();
    std::smatch match;
    const std::string source = text.str();
    ASSERT_TRUE(std::regex_search(source, match,
                                  std::regex(R"(STATUS_PANEL = \((\d+), (\d+), (\d+), (\d+)\))")));
    // The generator grows the panel by 3 pixels for its frame.
    const int x0 = std::stoi(match[1]) - 3, y0 = std::stoi(match[2]) - 3;
    const int x1 = std::stoi(match[3]) + 3, y1 = std::stoi(match[4]) + 3;
    const Rect panel = kSplashStatusPanelPixels;
    EXPECT_EQ(panel.left, x0);
    EXPECT_EQ(panel.top, y0);
    EXPECT_EQ(panel.left + panel.width, x1);
    EXPECT_EQ(panel.top + panel.height, y1);

    const auto& w = frmSplashLayout();
    for (const ControlLayout& c : w.controls) {
        if (c.name != "lblStatus") {
            EXPECT_FALSE(overlap(pixelBounds(c), panel)) << c.name;
        }
    }
    const Rect status = pixelBounds(control(w, "lblStatus"));
    EXPECT_TRUE(status.left >= panel.left && status.top >= panel.top &&
                status.left + status.width <= panel.left + panel.width &&
                status.top + status.height <= panel.top + panel.height);
}
