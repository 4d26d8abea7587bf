#pragma once

#include "ui/Layout.h"
#include "ui/LayoutAccessibility.h"

class QPalette;
class QWidget;

// What assistive technology (a screen reader through AT-SPI) learns about the layout windows:
// the roles and names of the shared layout tables. An announcing label is a status bar, whose
// text changes (QLabel reports each as a name change) a screen reader speaks where the focus is.
namespace quorna::ui::qt {

// Makes Qt describe the program's own widget classes by their layout role: the windows as
// windows, picture boxes as named images, rules as separators, announcing labels as status bars.
// Qt's own descriptions serve labels, buttons, check boxes and lists. Idempotent; called before
// the first layout window is built.
void installAccessibleRoles();

// The control's accessible name where the layout fixes one (a list, a picture); otherwise the
// toolkit names it by its caption, following every change.
void applyAccessibleName(const ControlLayout& layout, QWidget& widget);

// Whether the palette is dark: light text on a dark background, as dark and high-contrast
// schemes have it.
bool darkPalette(const QPalette& palette);

// Keeps a label readable on a dark palette (contrastLook); nothing changes on a light one.
void applyContrastLook(const WindowLayout& window, const ControlLayout& layout, QWidget& label);

}  // namespace quorna::ui::qt
