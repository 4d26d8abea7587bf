#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "platform/ProgramConstants.h"
#include "platform/Services.h"
#include "reader/ReaderDrive.h"
#include "ui/Views.h"
#include "ui/frmMain.h"

namespace quorna {
class CTimer;
}

namespace quorna::ui {

struct SplashServices {
    platform::EventPump& events;
    platform::MessageDialog& messageBox;
    platform::InstanceCheck& instances;
    platform::ProcessControl& process;
    platform::ProgramVersion version;
    DriveFactory newDrive;
};

using SplashViewFactory = std::function<std::shared_ptr<SplashView>(std::weak_ptr<SplashEvents>)>;

// The program's single main-window instance, created (not loaded) on the first call; may throw.
using MainWindowProvider = std::function<std::shared_ptr<frmMain>()>;

// The start-up window: single-instance test, adapter check with its status texts, and the
// hand-over to the main window. Reports its own failures with the line of the failing statement
// and goes on. Always held through std::shared_ptr.
class frmSplash : public SplashEvents, public std::enable_shared_from_this<frmSplash> {
public:
    static constexpr int kHandOverMilliseconds = 3000;
    static constexpr const char* kErrorTitle = program::kErrorTitle;

    // onUnloaded runs once, after the window has been unloaded.
    frmSplash(SplashServices services, SplashViewFactory makeView, MainWindowProvider mainWindow,
              std::function<void()> onUnloaded);
    ~frmSplash() override;

    frmSplash(const frmSplash&) = delete;
    frmSplash& operator=(const frmSplash&) = delete;

    // Creates the view and runs the load sequence (Form_Load), whose failures are reported in
    // message boxes. When another instance runs, ends the process before any view exists. Throws
    // only what the instance test or the view factory throws (for the top level).
    void Load();

    bool Loaded() const { return view_ != nullptr; }
    bool Unloaded() const { return unloaded_; }
    bool NotFound() const { return blnNotFound; }
    bool HandedOver() const { return handedOver_; }
    std::shared_ptr<CTimer> Timer() const { return oTimer; }
    std::shared_ptr<ReaderDrive> CheckDriver() const { return oTMexCheck; }

    void Form_Click() override;
    void cmdExit_Click() override;
    void Form_Close() override;
    void viewGone() override;

    // The hand-over to the main window, on the first tick of oTimer.
    void oTimer_Timer();

private:
    void Form_Load();
    void createTimer();
    void Form_Unload();
    void unloadWindow();
    void report(const char* procedure, int line, std::exception_ptr failure);
    // The driver, held by the caller for the call: a hand-over inside the call releases ours.
    std::shared_ptr<ReaderDrive> requireDriver();
    void setCaption(std::string_view control, const std::string& text);

    SplashServices services_;
    SplashViewFactory makeView_;
    MainWindowProvider mainWindow_;
    std::function<void()> onUnloaded_;
    std::shared_ptr<SplashView> view_;
    bool unloaded_ = false;
    bool handedOver_ = false;
    std::string driverInfoCaption_;  // what lblDriverInfo shows now

    std::shared_ptr<CTimer> oTimer;
    std::size_t timerBinding_ = 0;
    std::shared_ptr<ReaderDrive> oTMexCheck;
    bool blnNotFound = false;
};

// The text of the start-up window's failure message: description, CR LF,
// "in QuornaWeb.frmSplash.<procedure> at line <line>".
std::string splashFailureText(const std::string& description, const char* procedure, int line);

}  // namespace quorna::ui
