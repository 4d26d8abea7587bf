// quorna-fobit-reader: the Qt 6 front-end of the Quorna Fobit Reader.
#include <cstdlib>
#include <memory>

#include <QApplication>

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

    bool windowsLeft = true;
    const DriveFactory newDrive = [&events, &sleeper]() -> std::shared_ptr<ReaderDrive> {
        return std::make_shared<TMexDrive>(tmexapi::bindLibrary(), events, sleeper);
    };

    ui::Application program(ui::PlatformServices{events, clipboard, messageBox, instances, process,
                                                 timers, platform::kProgramVersion},
                            newDrive, ui::qt::splashViewFactory(messageBox),
                            ui::qt::mainViewFactory(messageBox), [&windowsLeft] {
                                windowsLeft = false;
                                QCoreApplication::quit();
                            });

    // The start-up window loads before the event loop runs: what the loop does when it starts
    // (the accessibility bridge connects to the session bus) then waits until the window is on
    // screen. Quitting does nothing before the loop runs, so a start-up that already left no
    // window ends here.
    ui::runTopLevel(messageBox, [&program] { program.start(); });
    return windowsLeft ? QApplication::exec() : EXIT_SUCCESS;
}
