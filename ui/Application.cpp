#include "ui/Application.h"

#include <utility>

#include "timer/MTimer.h"
#include "ui/TopLevel.h"

namespace quorna::ui {

Application::Application(PlatformServices services, DriveFactory newDrive,
                         SplashViewFactory makeSplashView, MainViewFactory makeMainView,
                         std::function<void()> onAllWindowsGone)
    : services_(services),
      newDrive_(std::move(newDrive)),
      makeSplashView_(std::move(makeSplashView)),
      makeMainView_(std::move(makeMainView)),
      onAllWindowsGone_(std::move(onAllWindowsGone)) {
    if (services_.timers != nullptr) {
        MTimer::useTimerService(services_.timers);
    }
}

Application::~Application() = default;

void Application::start() {
    if (splash_ || mainCreated_) {
        return;
    }
    splash_ = std::make_shared<frmSplash>(
        SplashServices{services_.events, services_.messageBox, services_.instances,
                       services_.process, services_.version, newDrive_},
        makeSplashView_, [this] { return mainWindowInstance(); }, [this] { windowUnloaded(); });
    auto splash = splash_;
    runTopLevel(services_.messageBox, [&] { splash->Load(); });
    // A second instance, or a window that could not be built: nothing is left to run.
    if (!splash->Loaded() && !splash->Unloaded()) {
        splash_.reset();
        windowUnloaded();
    }
}

std::shared_ptr<frmMain> Application::mainWindowInstance() {
    if (!mainCreated_) {
        mainCreated_ = true;
        main_ = std::make_shared<frmMain>(
            MainServices{services_.clipboard, services_.messageBox, services_.version, newDrive_},
            makeMainView_, [this] { windowUnloaded(); });
    }
    return main_;
}

void Application::windowUnloaded() {
    if (splash_ && splash_->Unloaded()) {
        splash_.reset();
    }
    // A main window whose view could not be built never shows and never unloads.
    if (main_ && (main_->Unloaded() || !main_->Loaded())) {
        main_.reset();
    }
    if (!splash_ && !main_ && onAllWindowsGone_) {
        onAllWindowsGone_();
    }
}

}  // namespace quorna::ui
