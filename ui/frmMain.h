#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Services.h"
#include "reader/ReaderDrive.h"
#include "ui/Views.h"

namespace quorna::ui {

struct MainServices {
    platform::Clipboard& clipboard;
    platform::MessageDialog& messageBox;  // the top level's, for a failure met while closing
    platform::ProgramVersion version;
    DriveFactory newDrive;
};

using MainViewFactory = std::function<std::shared_ptr<MainView>(std::weak_ptr<MainEvents>)>;

// The working window: owns the reader driver, reads once or scans continuously, lists the ROM
// IDs and copies a single one to the clipboard. None of its steps catches a failure: each goes
// to whoever triggered the step. Always held through std::shared_ptr.
class frmMain : public MainEvents, public std::enable_shared_from_this<frmMain> {
public:
    // onUnloaded runs once, after the window has been unloaded (the driver is released then).
    frmMain(MainServices services, MainViewFactory makeView, std::function<void()> onUnloaded);
    ~frmMain() override;

    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    // Creates the view and runs the load step; later calls do nothing. A failure of the load step
    // is thrown after the view exists, and the window stays loaded.
    void Load();
    // Loads the window first when needed (then throws what the load step threw), then shows it.
    void Show();

    bool Loaded() const { return view_ != nullptr; }
    bool Unloaded() const { return unloaded_; }
    bool Scanning() const { return blnScanning; }
    std::shared_ptr<ReaderDrive> Driver() const { return oTMexDrive; }

    void cmdScanning_Click() override;
    void cmdScanOnce_Click() override;
    void cmdExit_Click() override;
    // Runs the unload step and unloads the view. Never throws: the close always completes, and a
    // failure of the unload step (a failing StopScanning, or no driver) is then shown by the top
    // level's report.
    void Form_Close() override;
    void viewGone() override;

    void oTMexDrive_NewROMIDs();

private:
    void Form_Load();
    void Form_Unload();
    // Runs the unload step and lets the close complete whatever it met.
    void closeWindow(bool reportFailure);
    std::shared_ptr<ReaderDrive> requireDriver(const char* step);
    void setCaption(std::string_view control, const std::string& text);

    MainServices services_;
    MainViewFactory makeView_;
    std::function<void()> onUnloaded_;
    std::shared_ptr<MainView> view_;
    bool loadStarted_ = false;
    bool unloaded_ = false;

    std::shared_ptr<ReaderDrive> oTMexDrive;
    std::size_t newROMIDsBinding_ = 0;
    bool blnScanning = false;
};

}  // namespace quorna::ui
