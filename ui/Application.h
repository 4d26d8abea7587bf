#pragma once

#include <functional>
#include <memory>

#include "platform/Services.h"
#include "reader/ReaderDrive.h"
#include "ui/Views.h"
#include "ui/frmMain.h"
#include "ui/frmSplash.h"

namespace quorna::ui {

struct PlatformServices {
    platform::EventPump& events;
    platform::Clipboard& clipboard;
    platform::MessageDialog& messageBox;
    platform::InstanceCheck& instances;
    platform::ProcessControl& process;
    // Installed as the timer registry's service when not null.
    platform::TimerService* timers = nullptr;
    platform::ProgramVersion version;  // the program's version record (kProgramVersion)
};

// Wires the two windows together. A front-end's main() creates its platform services, a driver
// factory and the two view factories, creates this object, calls start() and runs its event
// loop until onAllWindowsGone is called. The front-end only places controls and forwards events.
class Application {
public:
    Application(PlatformServices services, DriveFactory newDrive, SplashViewFactory makeSplashView,
                MainViewFactory makeMainView, std::function<void()> onAllWindowsGone);
    ~Application();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Loads the start-up window (its load sequence runs now). Never throws.
    void start();

    // The windows while loaded; empty before and after.
    std::shared_ptr<frmSplash> splash() const { return splash_; }
    std::shared_ptr<frmMain> mainWindow() const { return main_; }

private:
    std::shared_ptr<frmMain> mainWindowInstance();
    void windowUnloaded();

    PlatformServices services_;
    DriveFactory newDrive_;
    SplashViewFactory makeSplashView_;
    MainViewFactory makeMainView_;
    std::function<void()> onAllWindowsGone_;
    std::shared_ptr<frmSplash> splash_;
    std::shared_ptr<frmMain> main_;
    bool mainCreated_ = false;
};

}  // namespace quorna::ui
