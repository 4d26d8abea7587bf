// quorna-fobit-reader: the Qt 6 front-end of the Quorna Fobit Reader.
#include <memory>

#include <QApplication>
#include <QMetaObject>

#include "ProgramVersionRecord.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/QtTimerService.h"
#include "platform/qt/SingleInstanceLock.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"
#include "ui/Application.h"
#include "ui/TopLevel.h"
#include "ui/qt/LayoutWidgets.h"
#include "ui/qt/QtViews.h"

int main(int argc, char** argv) {
    using namespace quorna;
    using namespace quorna::platform::qt;

    QApplication application(argc, argv);
    // Desktops match the window to its menu entry and icon by this name (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("com.quorna.FobitReader"));
    // The window logic says when the program ends: when no window is left, not when the last
    // visible one closes (a message box may be the only window while the start-up window loads).
    QApplication::setQuitOnLastWindowClosed(false);
    Q_INIT_RESOURCE(resources);
    ui::qt::installWindowFonts();

    QtEventPump events;
    QtSleeper sleeper;
    QtClipboard clipboard;
    QtMessageBox messageBox;
    SingleInstanceLock instances;
    QtProcessControl process;
    // The timer registry is module state that lives until the very end; so does its service.
    auto* timers = new QtTimerService;

    const DriveFactory newDrive = [&events, &sleeper]() -> std::shared_ptr<ReaderDrive> {
        return std::make_shared<TMexDrive>(tmexapi::bindLibrary(), events, sleeper);
    };

    ui::Application program(ui::PlatformServices{events, clipboard, messageBox, instances, process,
                                                 timers, platform::kProgramVersion},
                            newDrive, ui::qt::splashViewFactory(messageBox),
                            ui::qt::mainViewFactory(messageBox), [] { QCoreApplication::quit(); });

    // The start-up window loads from inside the event loop, so that its end can stop the loop.
    QMetaObject::invokeMethod(
        &application,
        [&program, &messageBox] { ui::runTopLevel(messageBox, [&program] { program.start(); }); },
        Qt::QueuedConnection);
    return QApplication::exec();
}
