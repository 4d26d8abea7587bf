// The Qt front-end against the layout data: every control of both windows where the layout puts
// it, with its font, alignment, colours, visibility, caption, focus order and access keys.
#include <cmath>
#include <memory>
#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include "QtResources.h"
#include "tests/fakes/FakeUiPlatform.h"
#include "ui/Layout.h"
#include "ui/qt/LayoutWidgets.h"
#include "ui/qt/QtViews.h"

namespace {

using namespace quorna::ui;
using quorna::ui::qt::QtLayoutWindow;

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The rectangle in pixels as the layout states it: twips / 15.
QRect expectedRect(const ControlLayout& control) {
    if (control.kind == ControlKind::Line) {
        const auto& l = control.line;
        EXPECT_EQ(l.y1, l.y2) << "only horizontal rules are laid out";
        return {l.x1 / 15, l.y1 / 15, (l.x2 - l.x1) / 15, 1};
    }
    return {control.rect.left / 15, control.rect.top / 15, control.rect.width / 15,
            control.rect.height / 15};
}

Qt::Alignment expectedHorizontal(TextAlign align) {
    switch (align) {
        case TextAlign::Centre:
            return Qt::AlignHCenter;
        case TextAlign::Right:
            return Qt::AlignRight;
        default:
            return Qt::AlignLeft;
    }
}

void expectCentred(const QWidget& window) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint offset = window.geometry().center() - screen.center();
    EXPECT_LE(std::abs(offset.x()), 1);  // odd sizes round either way
    EXPECT_LE(std::abs(offset.y()), 1);
}

class QtLayoutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        loadProgramResources();
        quorna::ui::qt::installWindowFonts();
    }

    // Checks every control of the window against its layout entry.
    void checkControls(const WindowLayout& layout, QtLayoutWindow& window) {
        const QFont windowFont = window.font();
        EXPECT_EQ(window.controls().size(), layout.controls.size());
        for (const auto& control : layout.controls) {
            SCOPED_TRACE(std::string(control.name));
            QWidget* widget = window.control(control.name);
            ASSERT_NE(widget, nullptr);
            EXPECT_EQ(widget->objectName(), qs(control.name));

            // Container and geometry.
            const QWidget* container =
                control.container.empty() ? &window : window.control(control.container);
            EXPECT_EQ(widget->parentWidget(), container);
            if (control.autoSize) {
                EXPECT_EQ(widget->pos(), expectedRect(control).topLeft());
                auto* label = qobject_cast<QLabel*>(widget);
                ASSERT_NE(label, nullptr);
                EXPECT_FALSE(label->wordWrap());
                EXPECT_GE(widget->width(), label->fontMetrics().horizontalAdvance(label->text()));
                EXPECT_LE(widget->height(), 2 * label->fontMetrics().height() - 1);
            } else {
                EXPECT_EQ(widget->geometry(), expectedRect(control));
            }

            // Font: its own, or the window's.
            if (control.ownFont) {
                EXPECT_EQ(widget->font().family(), qs(control.font.face));
                EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), control.font.points);
                EXPECT_EQ(widget->font().weight(), control.font.weight);
            } else if (control.kind != ControlKind::Line && control.kind != ControlKind::Picture) {
                EXPECT_EQ(widget->font().family(), windowFont.family());
                EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), windowFont.pointSizeF());
            }
            EXPECT_FALSE(widget->font().italic());
            EXPECT_FALSE(widget->font().underline());

            // Visibility at design time, and whether it takes the focus.
            EXPECT_EQ(widget->isVisibleTo(&window), control.visible);
            EXPECT_EQ((widget->focusPolicy() & Qt::TabFocus) != 0, control.tabStop);

            switch (control.kind) {
                case ControlKind::Label: {
                    auto* label = qobject_cast<QLabel*>(widget);
                    ASSERT_NE(label, nullptr);
                    EXPECT_EQ(label->alignment(), expectedHorizontal(control.align) | Qt::AlignTop);
                    EXPECT_EQ(label->autoFillBackground(), !control.transparent);
                    EXPECT_EQ(label->textFormat(), Qt::PlainText);
                    break;
                }
                case ControlKind::Button:
                case ControlKind::CheckBox: {
                    auto* button = qobject_cast<QAbstractButton*>(widget);
                    ASSERT_NE(button, nullptr);
                    EXPECT_EQ(button->text(), qs(control.caption));
                    if (control.kind == ControlKind::CheckBox) {
                        EXPECT_EQ(qobject_cast<QCheckBox*>(widget)->isChecked(),
                                  control.value == 1);
                    }
                    break;
                }
                case ControlKind::List:
                    ASSERT_NE(qobject_cast<QListWidget*>(widget), nullptr);
                    EXPECT_EQ(qobject_cast<QListWidget*>(widget)->isSortingEnabled(),
                              control.sorted);
                    break;
                case ControlKind::Picture: {
                    auto* picture = dynamic_cast<quorna::ui::qt::PictureBox*>(widget);
                    ASSERT_NE(picture, nullptr);
                    EXPECT_FALSE(picture->picture().isNull());
                    EXPECT_EQ(picture->frameWidth(), control.border ? 2 : 0);
                    break;
                }
                case ControlKind::Line:
                    EXPECT_TRUE(widget->autoFillBackground());
                    break;
            }
        }
    }

    quorna::fakes::FakeMessageBox messageBox;
};

TEST_F(QtLayoutTest, StartUpWindow) {
    quorna::ui::qt::QtSplashView view({}, messageBox);
    QtLayoutWindow& window = *view.window();
    const WindowLayout& layout = frmSplashLayout();

    EXPECT_EQ(window.windowTitle(), "Quorna key reader");
    EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(window.minimumSize(), QSize(473, 347));
    EXPECT_EQ(window.maximumSize(), QSize(473, 347));
    EXPECT_FALSE(window.windowIcon().isNull());
    EXPECT_EQ(window.font().family(), "Tahoma");
    EXPECT_DOUBLE_EQ(window.font().pointSizeF(), 8.25);
    EXPECT_EQ(window.font().weight(), QFont::Normal);

    expectCentred(window);
    checkControls(layout, window);

    // Design captions as shown: one ampersand where two are written.
    auto* status = qobject_cast<QLabel*>(window.control("lblStatus"));
    EXPECT_EQ(status->text(), "Searching for Fobit Adapter & Reader");
    EXPECT_DOUBLE_EQ(status->font().pointSizeF(), 14.25);
    EXPECT_EQ(status->wordWrap(), true);
    EXPECT_EQ(
        qobject_cast<QLabel*>(window.control("lblLicense"))->palette().color(QPalette::WindowText),
        QColor(Qt::black));
    EXPECT_EQ(qobject_cast<QAbstractButton*>(window.control("cmdExit"))->shortcut(),
              QKeySequence(Qt::ALT | Qt::Key_X));

    view.show();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.windowHandle()->isExposed());  // shown means on screen
    EXPECT_FALSE(window.control("cmdExit")->isVisible());
    // The background picture, read as the bitmap its name says, is what the window paints.
    const QImage shown = window.grab().toImage();
    const QImage picture(quorna::ui::qt::resourcePath("splash.bmp"));
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(shown.pixel(2, 2), picture.pixel(2, 2));
    EXPECT_EQ(shown.pixel(470, 340), picture.pixel(470, 340));
}

TEST_F(QtLayoutTest, MainWindow) {
    quorna::ui::qt::QtMainView view({}, messageBox);
    QtLayoutWindow& window = *view.window();
    const WindowLayout& layout = frmMainLayout();

    EXPECT_EQ(window.windowTitle(), "Quorna Fobit Reader");
    const auto flags = window.windowFlags();
    EXPECT_FALSE(flags & Qt::FramelessWindowHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_EQ(bool(flags & Qt::WindowCloseButtonHint), layout.controlBox);
    EXPECT_EQ(bool(flags & Qt::WindowMinimizeButtonHint), layout.minButton);
    EXPECT_EQ(bool(flags & Qt::WindowMaximizeButtonHint), layout.maxButton);
    EXPECT_EQ(window.minimumSize(), QSize(433, 421));
    EXPECT_EQ(window.maximumSize(), QSize(433, 421));
    EXPECT_FALSE(window.windowIcon().isNull());
    EXPECT_DOUBLE_EQ(window.font().pointSizeF(), 8.25);

    expectCentred(window);
    checkControls(layout, window);

    // The system colours follow the palette: workspace grey, 3-D highlight and dark shadow.
    EXPECT_EQ(window.control("lblStatus")->foregroundRole(), QPalette::Dark);
    EXPECT_EQ(window.control("Line2")->backgroundRole(), QPalette::Light);
    EXPECT_EQ(window.control("line1")->backgroundRole(), QPalette::Shadow);
    EXPECT_EQ(window.control("lblLicense")->palette().color(QPalette::WindowText),
              QColor(Qt::black));

    // The help text: three paragraphs, one empty line between them.
    auto* help = qobject_cast<QLabel*>(window.control("lblHelp"));
    EXPECT_EQ(help->text().count(QStringLiteral("\n\n")), 2);
    EXPECT_FALSE(help->text().contains(QLatin1Char('\r')));
    EXPECT_TRUE(help->wordWrap());

    // The reader picture fills the box from its top-left corner.
    auto* picture = dynamic_cast<quorna::ui::qt::PictureBox*>(window.control("picScanner"));
    EXPECT_EQ(picture->picture().size(), QSize(176, 381));

    // Access keys.
    auto shortcutOf = [&](const char* name) {
        return qobject_cast<QAbstractButton*>(window.control(name))->shortcut();
    };
    EXPECT_EQ(shortcutOf("cmdScanning"), QKeySequence(Qt::ALT | Qt::Key_S));
    EXPECT_EQ(shortcutOf("chkAutoCopy"), QKeySequence(Qt::ALT | Qt::Key_C));
    EXPECT_EQ(shortcutOf("cmdExit"), QKeySequence(Qt::ALT | Qt::Key_X));
    EXPECT_TRUE(shortcutOf("cmdScanOnce").isEmpty());

    // Focus order: the list first, then the tab indices; labels, lines and the picture never.
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QStringList order;
    QWidget* focus = window.control("lstROMIDs");
    EXPECT_EQ(QApplication::focusWidget(), focus);
    for (int i = 0; i < 5; ++i) {
        order << focus->objectName();
        do {
            focus = focus->nextInFocusChain();
        } while (!(focus->focusPolicy() & Qt::TabFocus) || !focus->isVisibleTo(&window));
    }
    EXPECT_EQ(order,
              QStringList({"lstROMIDs", "chkAutoCopy", "cmdScanning", "cmdExit", "cmdScanOnce"}));
    EXPECT_EQ(focus->objectName(), "lstROMIDs");

    // Esc presses the Exit button (it is the cancel button).
    QSignalSpy exitClicks(qobject_cast<QAbstractButton*>(window.control("cmdExit")),
                          &QAbstractButton::clicked);
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_EQ(exitClicks.count(), 1);
}

// Fonts actually found: Tahoma (installed or Wine's) and a fixed-pitch face for Courier New.
TEST_F(QtLayoutTest, DesignFontsAreAvailable) {
    const QFontInfo tahoma(quorna::ui::qt::fontFor({"Tahoma", 8.25, 400, 0}));
    EXPECT_EQ(tahoma.family(), "Tahoma");
    const QFontInfo courier(quorna::ui::qt::fontFor({"Courier New", 9.75, 400, 0}));
    EXPECT_TRUE(courier.fixedPitch()) << courier.family().toStdString();
}

// Run-time captions: CR LF is one line break, a doubled ampersand one ampersand; a label that
// sizes itself keeps its text on one line; the error text of the start-up window is cut at the
// status label's height.
TEST_F(QtLayoutTest, RunTimeCaptions) {
    quorna::ui::qt::QtSplashView view({}, messageBox);
    QtLayoutWindow& window = *view.window();
    auto* status = qobject_cast<QLabel*>(window.control("lblStatus"));
    view.setCaption("lblStatus", "first\r\nsecond && third");
    EXPECT_EQ(status->text(), "first\nsecond & third");

    view.setFontSize("lblStatus", 8);
    EXPECT_DOUBLE_EQ(status->font().pointSizeF(), 8.0);
    EXPECT_EQ(status->font().family(), "Tahoma");
    EXPECT_EQ(status->geometry(), QRect(16, 32, 439, 101));

    auto* version = qobject_cast<QLabel*>(window.control("lblVersion"));
    view.setCaption("lblVersion", "Version : 1.3.17 and a much longer text than before");
    EXPECT_GE(version->width(), version->fontMetrics().horizontalAdvance(version->text()));
    EXPECT_EQ(version->pos(), QPoint(19, 318));

    view.setVisible("cmdExit", true);
    EXPECT_TRUE(window.control("cmdExit")->isVisibleTo(&window));
    EXPECT_THROW(view.setCaption("noSuchControl", "x"), std::exception);
}

// A dark palette (as dark and high-contrast schemes have): the texts on the pictures get the
// palette's own background, the status line its text colour; the licence stays black on the
// picture as the layout fixes it. A light palette changes nothing.
TEST_F(QtLayoutTest, DarkPaletteKeepsEveryTextReadable) {
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(0, 0, 0));
    dark.setColor(QPalette::WindowText, QColor(255, 255, 255));
    dark.setColor(QPalette::Dark, QColor(40, 40, 40));  // the workspace grey, dark
    QApplication::setPalette(dark);
    {
        quorna::ui::qt::QtSplashView splash({}, messageBox);
        quorna::ui::qt::QtMainView main({}, messageBox);
        for (QtLayoutWindow* window : {splash.window(), main.window()}) {
            QWidget* license = window->control("lblLicense");
            EXPECT_FALSE(license->autoFillBackground());
            EXPECT_EQ(license->palette().color(license->foregroundRole()), QColor(Qt::black));
            QWidget* version = window->control("lblVersion");
            EXPECT_TRUE(version->autoFillBackground());
            EXPECT_EQ(version->palette().color(version->backgroundRole()), QColor(0, 0, 0));
        }
        EXPECT_TRUE(splash.window()->control("lblStatus")->autoFillBackground());
        QWidget* status = main.window()->control("lblStatus");
        EXPECT_FALSE(status->autoFillBackground());
        EXPECT_EQ(status->palette().color(status->foregroundRole()), QColor(255, 255, 255));
    }
    QApplication::setPalette(light);
    quorna::ui::qt::QtMainView main({}, messageBox);
    EXPECT_EQ(main.window()->control("lblStatus")->foregroundRole(), QPalette::Dark);
    EXPECT_FALSE(main.window()->control("lblVersion")->autoFillBackground());
}

}  // namespace
