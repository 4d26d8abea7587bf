#include "ui/frmMain.h"

#include <utility>

#include "platform/ComponentError.h"
#include "platform/ProgramConstants.h"
#include "reader/tmexapi.h"
#include "ui/Captions.h"
#include "ui/Layout.h"
#include "ui/TopLevel.h"

namespace quorna::ui {

frmMain::frmMain(MainServices services, MainViewFactory makeView, std::function<void()> onUnloaded)
    : services_(std::move(services)),
      makeView_(std::move(makeView)),
      onUnloaded_(std::move(onUnloaded)) {}

frmMain::~frmMain() {
    if (oTMexDrive && newROMIDsBinding_ != 0) {
        oTMexDrive->NewROMIDs.unbind(newROMIDsBinding_);
    }
}

void frmMain::Load() {
    if (loadStarted_ || unloaded_) {
        return;
    }
    loadStarted_ = true;
    auto self = shared_from_this();
    view_ = makeView_ ? makeView_(weak_from_this()) : nullptr;
    if (!view_) {
        throw ComponentError(kNoViewNumber, "QuornaWeb.frmMain.Load",
                             "The window could not be created");
    }
    Form_Load();
}

void frmMain::Show() {
    if (!loadStarted_) {
        Load();
    }
    if (view_ && !unloaded_) {
        view_->show();
    }
}

void frmMain::Form_Load() {
    auto drive = services_.newDrive ? services_.newDrive() : nullptr;
    oTMexDrive = drive;
    if (drive) {
        std::weak_ptr<frmMain> weak = weak_from_this();
        newROMIDsBinding_ = drive->NewROMIDs.bind([weak] {
            if (auto self = weak.lock()) {
                self->oTMexDrive_NewROMIDs();
            }
        });
    }
    requireDriver("Form_Load")->DiscoveryType(0);
    requireDriver("Form_Load")->ScanMilliseconds(program::kScanMilliseconds);
    setCaption("lblLicense", std::string(kMainLicenseText));

    const std::string driverText = driverLine(tmexapi::strDriverVersion);
    setCaption("lblDriverInfo", driverText);
    const std::string settingsLine =
        requireDriver("Form_Load")->RegistrySet()
            ? registryValuesLine(tmexapi::intFoundPortType, tmexapi::intFoundPortNum)
            : std::string(kRegistryValuesNotFound);
    setCaption("lblDriverInfo", settingsLine + "\r\n" + driverText);

    setCaption("lblVersion", versionCaption(services_.version));
}

void frmMain::cmdScanning_Click() {
    auto drive = requireDriver("cmdScanning_Click");
    blnScanning = !blnScanning;
    setCaption("cmdScanning", blnScanning ? "Stop &Scanning" : "Start &Scanning");
    if (blnScanning) {
        drive->StartScanning();
    } else {
        drive->StopScanning();
    }
    if (view_ && !unloaded_) {
        view_->setVisible("cmdScanOnce", !blnScanning);
    }
}

void frmMain::cmdScanOnce_Click() {
    auto drive = requireDriver("cmdScanOnce_Click");
    drive->ScanOnce();
}

void frmMain::cmdExit_Click() {
    auto self = shared_from_this();
    if (view_ && !unloaded_) {
        view_->hide();
    }
    Form_Close();
}

void frmMain::Form_Close() {
    closeWindow(true);
}

void frmMain::viewGone() {
    if (unloaded_) {
        return;
    }
    view_.reset();
    // The toolkit is tearing the window down: nothing is left to show a failure on.
    closeWindow(false);
}

void frmMain::closeWindow(bool reportFailure) {
    if (unloaded_) {
        return;
    }
    auto self = shared_from_this();
    unloaded_ = true;
    std::exception_ptr failure;
    try {
        Form_Unload();
    } catch (...) {
        failure = std::current_exception();
    }
    // The close completes whatever the unload step met: the driver goes and the window goes.
    if (oTMexDrive) {
        oTMexDrive->NewROMIDs.unbind(newROMIDsBinding_);
        oTMexDrive.reset();
    }
    if (auto view = std::move(view_)) {
        try {
            view->unload();
        } catch (...) {
        }
    }
    if (reportFailure) {
        reportUnhandled(services_.messageBox, failure);
    }
    if (auto unloaded = std::move(onUnloaded_)) {
        unloaded();
    }
}

void frmMain::Form_Unload() {
    auto drive = requireDriver("Form_Unload");
    drive->StopScanning();
    drive->NewROMIDs.unbind(newROMIDsBinding_);
    oTMexDrive.reset();
}

void frmMain::oTMexDrive_NewROMIDs() {
    if (!view_ || unloaded_) {
        return;
    }
    auto drive = requireDriver("oTMexDrive_NewROMIDs");
    auto view = view_;
    view->listClear("lstROMIDs");
    const auto ids = drive->ROMIDs();
    if (ids) {
        for (const auto& id : *ids) {
            view->listAddItem("lstROMIDs", id);
        }
    }
    const std::int32_t count = ids ? ids->Count() : 0;
    const int autoCopy = view->checkValue("chkAutoCopy");
    if (count != 1 || autoCopy != 1) {
        return;
    }
    const std::string id = ids->Item(1);
    auto& clipboard = services_.clipboard;
    clipboard.clear();
    clipboard.setText(id);
    if (clipboard.text() != id) {
        return;  // another program took the clipboard meanwhile: nothing to confirm
    }
    setCaption("lblStatus", "Copied to clipboard : " + clipboard.text());
}

std::shared_ptr<ReaderDrive> frmMain::requireDriver(const char* step) {
    if (!oTMexDrive) {
        throw ComponentError(kNoDriverNumber, std::string("QuornaWeb.frmMain.") + step,
                             kNoDriverDescription);
    }
    return oTMexDrive;
}

void frmMain::setCaption(std::string_view control, const std::string& text) {
    if (view_ && !unloaded_) {
        view_->setCaption(control, text);
    }
}

}  // namespace quorna::ui
