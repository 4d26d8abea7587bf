#pragma once

#include <map>
#include <string>
#include <string_view>

#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>

#include "ui/Layout.h"

class QWidget;

// Qt widgets placed from the window layouts: every control gets the layout's rectangle
// (twips / 15 pixels), font, alignment, colour, visibility and tab order. The widgets carry the
// layout name of their control as their object name.
namespace quorna::ui::qt {

// The face used where a layout names no font: the platform's default dialog font.
inline constexpr const char* kDefaultDialogFace = "Tahoma";

// The palette roles standing in for the system colours that the layouts name:
// application workspace -> Dark, 3-D highlight -> Light, 3-D dark shadow -> Shadow.
QPalette::ColorRole paletteRoleFor(int systemColourIndex);

QFont fontFor(const Font& font);

// A caption in access-key notation with CR LF breaks, as a label shows it: "&&" is one "&", a
// single "&" is dropped (labels here have no access keys), CR LF is one line break.
QString labelText(const std::string& caption);
// As a button or check box takes it: the access-key notation is Qt's own; CR LF is one break.
QString buttonText(const std::string& caption);

// A label: transparent over its container, text from the top, wrapping at word boundaries and cut
// at its height, or sizing itself to a single line when the layout says so.
class CaptionLabel : public QLabel {
public:
    CaptionLabel(const ControlLayout& layout, QWidget* parent);
    void setCaption(const std::string& caption);
    void setCaptionFont(const QFont& font);
    // A polite live region: every new text is announced to assistive technology.
    bool announces() const { return announces_; }

private:
    void fitToText();
    bool autoSize_;
    bool announces_;
};

// A push button whose caption wraps onto several lines when it is wider than the button.
class CaptionButton : public QPushButton {
public:
    CaptionButton(const ControlLayout& layout, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    // Enter presses the button that has the focus, as Space does.
    void keyPressEvent(QKeyEvent* event) override;
};

// A picture box: shows its picture unscaled from the top-left corner and contains other controls.
class PictureBox : public QFrame {
public:
    PictureBox(const ControlLayout& layout, QWidget* parent);
    const QPixmap& picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap picture_;
};

// A straight line drawn one pixel wide in its colour.
class RuleLine : public QWidget {
public:
    RuleLine(const ControlLayout& layout, QWidget* parent);
};

// The resource path of a file from resources/.
QString resourcePath(std::string_view fileName);

// A picture from resources/, read in the format its file name gives.
QPixmap loadPicture(std::string_view fileName);

// The pixel rectangle of a control relative to its container's client area.
QRect pixelRect(const ControlLayout& layout);

// Creates every control of the window layout on window, in the layout's order, and sets the tab
// order, the first focus and the stacking (buttons, check boxes, lists and pictures above the
// labels). Returns the widgets by control name.
std::map<std::string, QWidget*, std::less<>> buildControls(const WindowLayout& layout,
                                                           QWidget& window);

// Window font, fixed client size, icon and title; centres the window on its screen.
void applyWindowSettings(const WindowLayout& layout, QWidget& window);

// Makes the window fonts available: where no Tahoma is installed, Wine's metric-compatible
// Tahoma (Debian's fonts-wine) is loaded for this process.
void installWindowFonts();

}  // namespace quorna::ui::qt
