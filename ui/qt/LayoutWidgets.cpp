#include "ui/qt/LayoutWidgets.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QKeyEvent>
#include <QListWidget>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "ui/LayoutAccessibility.h"
#include "ui/LayoutGeometry.h"
#include "ui/LayoutKeys.h"
#include "ui/qt/Accessibility.h"

namespace quorna::ui::qt {

QPalette::ColorRole paletteRoleFor(int systemColourIndex) {
    switch (systemColourIndex) {
        case kSysColourAppWorkspace:
            return QPalette::Dark;  // what Qt paints an MDI workspace with
        case kSysColour3DHighlight:
            return QPalette::Light;
        case kSysColour3DDarkShadow:
            return QPalette::Shadow;
        default:
            return QPalette::WindowText;
    }
}

QFont fontFor(const Font& font) {
    QFont result(font.face.empty() ? QString::fromLatin1(kDefaultDialogFace)
                                   : QString::fromUtf8(font.face.data(),
                                                       static_cast<qsizetype>(font.face.size())));
    result.setPointSizeF(font.points);
    result.setWeight(static_cast<QFont::Weight>(std::clamp(font.weight, 100, 900)));
    result.setItalic(false);
    result.setUnderline(false);
    result.setStrikeOut(false);
    return result;
}

namespace {

QString withQtBreaks(const std::string& caption) {
    QString text = QString::fromStdString(caption);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

Qt::Alignment horizontal(TextAlign align, Qt::Alignment fallback) {
    switch (align) {
        case TextAlign::Left:
            return Qt::AlignLeft;
        case TextAlign::Centre:
            return Qt::AlignHCenter;
        case TextAlign::Right:
            return Qt::AlignRight;
        case TextAlign::Default:
            break;
    }
    return fallback;
}

void applyForeColour(const Colour& colour, QWidget& widget) {
    if (colour.kind == ColourKind::Rgb) {
        QPalette palette = widget.palette();
        const QColor rgb(QRgb(colour.rgb));
        palette.setColor(QPalette::WindowText, rgb);
        palette.setColor(QPalette::Text, rgb);
        palette.setColor(QPalette::ButtonText, rgb);
        widget.setPalette(palette);
    } else if (colour.kind == ColourKind::System) {
        widget.setForegroundRole(paletteRoleFor(colour.systemIndex));
    }
}

void applyCommon(const ControlLayout& layout, QWidget& widget) {
    widget.setObjectName(
        QString::fromUtf8(layout.name.data(), static_cast<qsizetype>(layout.name.size())));
    if (layout.ownFont) {
        widget.setFont(fontFor(layout.font));
    }
    widget.setFocusPolicy(layout.tabStop ? Qt::StrongFocus : Qt::NoFocus);
    widget.setVisible(layout.visible);
    applyAccessibleName(layout, widget);
}

}  // namespace

QString labelText(const std::string& caption) {
    const QString text = withQtBreaks(caption);
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) {
            ++i;  // "&&" shows one "&"; "&x" shows x
        }
        shown += text[i];
    }
    return shown;
}

QString buttonText(const std::string& caption) {
    return withQtBreaks(caption);
}

QRect pixelRect(const ControlLayout& layout) {
    const Rect r = pixelBounds(layout);
    return {r.left, r.top, r.width, r.height};
}

QString resourcePath(std::string_view fileName) {
    return QStringLiteral(":/resources/") +
           QString::fromUtf8(fileName.data(), static_cast<qsizetype>(fileName.size()));
}

QPixmap loadPicture(std::string_view fileName) {
    // The file's own format only: guessing from the content would load every image plugin first.
    QImageReader reader(resourcePath(fileName));
    reader.setFormat(QFileInfo(reader.fileName()).suffix().toLatin1());
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

CaptionLabel::CaptionLabel(const ControlLayout& layout, QWidget* parent)
    : QLabel(parent), autoSize_(layout.autoSize), announces_(layout.announces) {
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setAlignment(horizontal(layout.align, Qt::AlignLeft) | Qt::AlignTop);
    // Labels that keep their design size wrap at word boundaries and are cut at their height.
    setWordWrap(!layout.autoSize);
    setAutoFillBackground(!layout.transparent);
    setMargin(0);
    setIndent(0);
    applyForeColour(layout.foreColour, *this);
    setGeometry(pixelRect(layout));
    setCaption(std::string(layout.caption));
}

// QLabel tells assistive technology of every new text (a name change); the same text set again
// (each scan copies the same ID again) is no change and is not announced again.
void CaptionLabel::setCaption(const std::string& caption) {
    setText(labelText(caption));
    fitToText();
}

void CaptionLabel::setCaptionFont(const QFont& font) {
    setFont(font);
    fitToText();
}

void CaptionLabel::fitToText() {
    if (autoSize_) {
        resize(sizeHint());
    }
}

CaptionButton::CaptionButton(const ControlLayout& layout, QWidget* parent) : QPushButton(parent) {
    setText(buttonText(std::string(layout.caption)));
    setAutoDefault(false);
    applyForeColour(layout.foreColour, *this);
    setGeometry(pixelRect(layout));
}

void CaptionButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);

    QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    if (isDown()) {
        area.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                       style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
    }
    int flags = Qt::AlignCenter | Qt::TextWordWrap;
    flags |= style()->styleHint(QStyle::SH_UnderlineShortcut, &option, this) ? Qt::TextShowMnemonic
                                                                             : Qt::TextHideMnemonic;
    painter.drawItemText(area, flags, palette(), isEnabled(), caption, QPalette::ButtonText);
}

void CaptionButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        animateClick();
        return;
    }
    QPushButton::keyPressEvent(event);
}

PictureBox::PictureBox(const ControlLayout& layout, QWidget* parent) : QFrame(parent) {
    if (layout.border) {
        setFrameStyle(QFrame::Panel | QFrame::Sunken);
        setLineWidth(2);
    } else {
        setFrameStyle(QFrame::NoFrame);
    }
    if (!layout.picture.empty()) {
        picture_ = loadPicture(layout.picture);
    }
    setGeometry(pixelRect(layout));
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    painter.drawPixmap(contentsRect().topLeft(), picture_);
}

RuleLine::RuleLine(const ControlLayout& layout, QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAutoFillBackground(true);
    if (layout.foreColour.kind == ColourKind::System) {
        setBackgroundRole(paletteRoleFor(layout.foreColour.systemIndex));
    } else if (layout.foreColour.kind == ColourKind::Rgb) {
        QPalette palette = this->palette();
        palette.setColor(QPalette::Window, QColor(QRgb(layout.foreColour.rgb)));
        setPalette(palette);
    } else {
        setBackgroundRole(QPalette::WindowText);
    }
    setGeometry(pixelRect(layout));
}

std::map<std::string, QWidget*, std::less<>> buildControls(const WindowLayout& layout,
                                                           QWidget& window) {
    std::map<std::string, QWidget*, std::less<>> widgets;
    for (const auto& control : layout.controls) {
        QWidget* parent = &window;
        QPoint origin;
        if (!control.container.empty()) {
            const auto found = widgets.find(control.container);
            if (found != widgets.end()) {
                parent = found->second;
                if (auto* frame = qobject_cast<QFrame*>(parent)) {
                    origin = frame->contentsRect().topLeft();
                }
            }
        }

        QWidget* widget = nullptr;
        switch (control.kind) {
            case ControlKind::Label:
                widget = new CaptionLabel(control, parent);
                break;
            case ControlKind::Button:
                widget = new CaptionButton(control, parent);
                break;
            case ControlKind::CheckBox: {
                auto* box = new QCheckBox(buttonText(std::string(control.caption)), parent);
                box->setChecked(control.value == 1);
                applyForeColour(control.foreColour, *box);
                box->setGeometry(pixelRect(control));
                widget = box;
                break;
            }
            case ControlKind::List: {
                auto* list = new QListWidget(parent);
                list->setSortingEnabled(control.sorted);
                list->setSelectionMode(QAbstractItemView::SingleSelection);
                list->setGeometry(pixelRect(control));
                widget = list;
                break;
            }
            case ControlKind::Picture:
                widget = new PictureBox(control, parent);
                break;
            case ControlKind::Line:
                widget = new RuleLine(control, parent);
                break;
        }
        applyCommon(control, *widget);
        if (auto* label = dynamic_cast<CaptionLabel*>(widget)) {
            label->setCaptionFont(label->font());  // a self-sizing label fits its own font
            applyContrastLook(layout, control, *label);
        }
        widget->move(widget->pos() + origin);
        widgets.emplace(std::string(control.name), widget);

        if (control.cancelButton || control.defaultButton) {
            auto* button = qobject_cast<QAbstractButton*>(widget);
            std::vector<QKeySequence> keys;
            if (control.cancelButton) {
                keys.emplace_back(Qt::Key_Escape);
            }
            if (control.defaultButton) {
                keys.emplace_back(Qt::Key_Return);
                keys.emplace_back(Qt::Key_Enter);
            }
            for (const auto& key : keys) {
                auto* shortcut = new QShortcut(key, &window);
                QObject::connect(shortcut, &QShortcut::activated, button, [button] {
                    if (button->isVisible() && button->isEnabled()) {
                        button->click();
                    }
                });
            }
        }
    }

    for (const ControlLayout* control : stackingOrder(layout)) {
        widgets.find(control->name)->second->raise();
    }

    const std::vector<const ControlLayout*> order = focusOrder(layout);
    for (std::size_t i = 1; i < order.size(); ++i) {
        QWidget::setTabOrder(widgets.find(order[i - 1]->name)->second,
                             widgets.find(order[i]->name)->second);
    }
    if (!order.empty()) {
        widgets.find(order.front()->name)->second->setFocus(Qt::OtherFocusReason);
    }
    return widgets;
}

void applyWindowSettings(const WindowLayout& layout, QWidget& window) {
    window.setObjectName(
        QString::fromUtf8(layout.name.data(), static_cast<qsizetype>(layout.name.size())));
    window.setWindowTitle(
        QString::fromUtf8(layout.caption.data(), static_cast<qsizetype>(layout.caption.size())));
    Qt::WindowFlags flags = Qt::Window;
    if (layout.border == BorderStyle::None) {
        flags |= Qt::FramelessWindowHint;
    } else {
        flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        if (layout.controlBox) {
            flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        }
        if (layout.minButton) {
            flags |= Qt::WindowMinimizeButtonHint;
        }
        if (layout.maxButton) {
            flags |= Qt::WindowMaximizeButtonHint;
        }
    }
    window.setWindowFlags(flags);
    window.setFont(fontFor(layout.font));
    window.setFixedSize(pixels(layout.clientWidth), pixels(layout.clientHeight));
    if (!layout.icon.empty()) {
        window.setWindowIcon(QIcon(resourcePath(layout.icon)));
    }
    if (layout.centred) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            window.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.size(),
                                                   screen->availableGeometry()));
        }
    }
}

void installWindowFonts() {
    const QStringList families = QFontDatabase::families();
    // Only the regular face: no window uses bold, and each font file read here is read before
    // the start-up window's first paint.
    const QString wineTahoma = QStringLiteral("/usr/share/wine/fonts/tahoma.ttf");
    if (!families.contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive) &&
        QFile::exists(wineTahoma)) {
        QFontDatabase::addApplicationFont(wineTahoma);
    }
    if (!families.contains(QStringLiteral("Courier New"), Qt::CaseInsensitive) &&
        families.contains(QStringLiteral("Liberation Mono"), Qt::CaseInsensitive)) {
        QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"));
    }
}

}  // namespace quorna::ui::qt
