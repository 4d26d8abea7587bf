#include "ui/qt/Accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>
#include <QPalette>

#include "ui/LayoutAccessibility.h"
#include "ui/qt/LayoutWidgets.h"
#include "ui/qt/QtViews.h"

namespace quorna::ui::qt {
namespace {

// A status label: a status bar to the screen reader, named by the text it shows.
class StatusAccessible : public QAccessibleWidget {
public:
    explicit StatusAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StatusBar) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            return static_cast<QLabel*>(widget())->text();
        }
        return QAccessibleWidget::text(kind);
    }
};

// Asked with the most derived Qt class name first; the widgets of this program are told apart
// by their C++ class, which Qt's meta-object system does not know.
QAccessibleInterface* layoutAccessible(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget == nullptr) {
        return nullptr;
    }
    if (dynamic_cast<QtLayoutWindow*>(widget) != nullptr) {
        return new QAccessibleWidget(widget, QAccessible::Window);  // named by its title
    }
    if (dynamic_cast<PictureBox*>(widget) != nullptr) {
        return new QAccessibleWidget(widget, QAccessible::Graphic);
    }
    if (dynamic_cast<RuleLine*>(widget) != nullptr) {
        return new QAccessibleWidget(widget, QAccessible::Separator);
    }
    if (auto* label = dynamic_cast<CaptionLabel*>(widget); label != nullptr && label->announces()) {
        return new StatusAccessible(label);
    }
    return nullptr;
}

}  // namespace

void installAccessibleRoles() {
    static const bool installed = [] {
        QAccessible::installFactory(layoutAccessible);
        return true;
    }();
    (void)installed;
}

void applyAccessibleName(const ControlLayout& layout, QWidget& widget) {
    if (!layout.accessibleName.empty()) {
        widget.setAccessibleName(QString::fromUtf8(
            layout.accessibleName.data(), static_cast<qsizetype>(layout.accessibleName.size())));
    }
}

bool darkPalette(const QPalette& palette) {
    return palette.color(QPalette::WindowText).lightness() >
           palette.color(QPalette::Window).lightness();
}

void applyContrastLook(const WindowLayout& window, const ControlLayout& layout, QWidget& label) {
    if (!darkPalette(label.palette())) {
        return;
    }
    switch (contrastLook(window, layout)) {
        case ContrastLook::SchemeTextOnSchemeBackground:
            label.setAutoFillBackground(true);  // the palette's window colour behind the text
            label.setBackgroundRole(QPalette::Window);
            label.setForegroundRole(QPalette::WindowText);
            break;
        case ContrastLook::SchemeText:
            label.setForegroundRole(QPalette::WindowText);
            break;
        case ContrastLook::AsDesigned:
            break;
    }
}

}  // namespace quorna::ui::qt
