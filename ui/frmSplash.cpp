#include "ui/frmSplash.h"

#include <functional>
#include <initializer_list>
#include <optional>
#include <utility>

#include "platform/ComponentError.h"
#include "reader/tmexapi.h"
#include "timer/CTimer.h"
#include "ui/Captions.h"
#include "ui/TopLevel.h"

namespace quorna::ui {

namespace {

constexpr double kResultFontPoints = 8;
constexpr const char* kLoadingEnding = ". Loading application...";
constexpr const char* kHandOverRefusedEnding =
    ". The application could not be started.\r\n"
    "Click anywhere on the screen to close the application.";

enum class Outcome { Done, Failed, Gone };

}  // namespace

std::string splashFailureText(const std::string& description, const char* procedure, int line) {
    return description + "\r\n" + "in QuornaWeb.frmSplash." + procedure + " " + "at line " +
           std::to_string(line);
}

frmSplash::frmSplash(SplashServices services, SplashViewFactory makeView,
                     MainWindowProvider mainWindow, std::function<void()> onUnloaded)
    : services_(std::move(services)),
      makeView_(std::move(makeView)),
      mainWindow_(std::move(mainWindow)),
      onUnloaded_(std::move(onUnloaded)),
      driverInfoCaption_("driver info") {}

frmSplash::~frmSplash() {
    if (oTimer) {
        oTimer->Timer.unbind(timerBinding_);
        try {
            oTimer->Interval(0);
        } catch (...) {
        }
    }
}

void frmSplash::Load() {
    if (view_ || unloaded_) {
        return;
    }
    auto self = shared_from_this();
    // A second instance ends before anything is created or shown; the running one comes to the
    // front instead.
    if (services_.instances.anotherInstanceRunning()) {
        services_.instances.showRunningInstance();
        services_.process.endNow();
        return;
    }
    view_ = makeView_ ? makeView_(weak_from_this()) : nullptr;
    if (!view_) {
        throw ComponentError(kNoViewNumber, "QuornaWeb.frmSplash.Load",
                             "The window could not be created");
    }
    Form_Load();
}

void frmSplash::Form_Load() {
    // Runs one statement: a failure is reported with its line and the sequence goes on. Gone means
    // the window was unloaded meanwhile (a hand-over inside a failure message box or a driver
    // call), so no further statement may touch it.
    std::exception_ptr failure;
    auto step = [&](int line, const std::function<void()>& action) -> Outcome {
        failure = nullptr;
        if (unloaded_) {
            return Outcome::Gone;
        }
        try {
            action();
        } catch (...) {
            failure = std::current_exception();
            report("Form_Load", line, failure);
        }
        if (unloaded_) {
            return Outcome::Gone;
        }
        return failure ? Outcome::Failed : Outcome::Done;
    };
    // Statements that simply follow one another; false once the window is gone.
    auto steps = [&](std::initializer_list<std::pair<int, std::function<void()>>> statements) {
        for (const auto& [line, action] : statements) {
            if (step(line, action) == Outcome::Gone) {
                return false;
            }
        }
        return true;
    };

    if (!steps({{100, [this] { createTimer(); }},
                {100, [this] { view_->show(); }},
                {100, [this] { services_.events.processPendingEvents(); }},
                {102,
                 [this] {
                     if (!services_.newDrive) {
                         throw ComponentError(kNoDriverNumber, "QuornaWeb.frmSplash.Form_Load",
                                              kNoDriverDescription);
                     }
                     oTMexCheck = services_.newDrive();
                 }},
                {104, [this] { setCaption("lblVersion", versionCaption(services_.version)); }},
                {104, [this] { view_->show(); }},
                {104, [this] { services_.events.processPendingEvents(); }}})) {
        return;
    }

    bool found = false;
    std::optional<std::string> testFailure;
    switch (step(106, [&] { found = requireDriver()->Found(); })) {
        case Outcome::Gone:
            return;
        case Outcome::Failed:
            // A test that could not be made never counts as found; its failure stands in for the
            // adapter's error text.
            found = false;
            testFailure = describeFailure(failure);
            break;
        case Outcome::Done:
            break;
    }

    if (found) {
        bool handOverRefused = false;
        switch (step(108, [this] {
            if (!oTimer) {
                throw ComponentError(kNoDriverNumber, "QuornaWeb.frmSplash.Form_Load",
                                     "No hand-over timer");
            }
            oTimer->Interval(kHandOverMilliseconds);
        })) {
            case Outcome::Gone:
                return;
            case Outcome::Failed:
                // No tick will come: leave the user the Exit button and the click to end, and
                // do not promise an application that will never load.
                blnNotFound = true;
                handOverRefused = true;
                break;
            case Outcome::Done:
                break;
        }
        const bool usb = tmexapi::intFoundPortType == tmexapi::kPortTypeUsb;
        const std::string foundText =
            (usb ? std::string("Fobit reader found on USB Port")
                 : "Fobit reader found on COMM " + std::to_string(tmexapi::intFoundPortNum)) +
            (handOverRefused ? kHandOverRefusedEnding : kLoadingEnding);
        if (step(usb ? 110 : 111, [&] { setCaption("lblStatus", foundText); }) == Outcome::Gone) {
            return;
        }
    } else {
        blnNotFound = true;
        if (step(114, [&] {
                const std::string reason =
                    testFailure ? *testFailure : requireDriver()->ErrorText();
                setCaption("lblStatus",
                           "ERROR : Fobit Reader not found on any COMM or USB port.\r\n"
                           "Click anywhere on the screen to close the application.\r\n\r\n" +
                               reason);
            }) == Outcome::Gone) {
            return;
        }
    }

    if (!steps({{114, [this] { view_->setFontSize("lblStatus", kResultFontPoints); }},
                {114, [this] { view_->setVisible("cmdExit", blnNotFound); }},
                {114, [this] {
                     setCaption("lblDriverInfo", driverLine(tmexapi::strDriverVersion));
                 }}})) {
        return;
    }
    bool registrySet = false;
    // A settings test that fails counts as no settings.
    if (step(114, [&] { registrySet = requireDriver()->RegistrySet(); }) == Outcome::Gone) {
        return;
    }
    step(114, [this, registrySet] {
        setCaption("lblDriverInfo",
                   registrySet
                       ? registryValuesLine(tmexapi::intFoundPortType, tmexapi::intFoundPortNum) +
                             "   " + driverInfoCaption_
                       : std::string(kRegistryValuesNotFound) + "  " + driverInfoCaption_);
    });
}

void frmSplash::createTimer() {
    auto timer = std::make_shared<CTimer>();
    std::weak_ptr<frmSplash> weak = weak_from_this();
    timerBinding_ = timer->Timer.bind([weak] {
        if (auto self = weak.lock()) {
            self->oTimer_Timer();
        }
    });
    oTimer = std::move(timer);
}

void frmSplash::Form_Click() {
    if (unloaded_) {
        return;
    }
    auto self = shared_from_this();
    try {
        if (blnNotFound) {
            services_.process.endNow();
        }
    } catch (...) {
        report("Form_Click", 100, std::current_exception());
    }
}

void frmSplash::cmdExit_Click() {
    auto self = shared_from_this();
    unloadWindow();
    services_.process.endNow();
}

void frmSplash::Form_Close() {
    unloadWindow();
}

void frmSplash::viewGone() {
    if (unloaded_) {
        return;
    }
    auto self = shared_from_this();
    view_.reset();
    unloadWindow();
}

void frmSplash::oTimer_Timer() {
    if (handedOver_ || unloaded_) {
        return;
    }
    handedOver_ = true;
    // Both stay alive until this handler returns, though the unload below releases them.
    auto self = shared_from_this();
    auto timer = oTimer;
    try {
        if (timer) {
            timer->Interval(0);
        }
    } catch (...) {
    }
    std::shared_ptr<frmMain> main;
    try {
        main = mainWindow_ ? mainWindow_() : nullptr;
        if (main) {
            main->Load();
        }
    } catch (...) {
        // The main window's load step fails on its own; it is still shown.
    }
    try {
        if (main) {
            main->Show();
        }
    } catch (...) {
    }
    try {
        if (view_ && !unloaded_) {
            view_->hide();
        }
    } catch (...) {
    }
    unloadWindow();
}

void frmSplash::unloadWindow() {
    if (unloaded_) {
        return;
    }
    auto self = shared_from_this();
    unloaded_ = true;
    Form_Unload();
    if (auto view = std::move(view_)) {
        try {
            view->unload();
        } catch (...) {
        }
    }
    if (auto unloaded = std::move(onUnloaded_)) {
        unloaded();
    }
}

void frmSplash::Form_Unload() {
    try {
        if (oTimer) {
            oTimer->Interval(0);
        }
    } catch (...) {
        report("Form_Unload", 100, std::current_exception());
    }
    try {
        if (oTimer) {
            oTimer->Timer.unbind(timerBinding_);
        }
        oTimer.reset();
    } catch (...) {
        report("Form_Unload", 102, std::current_exception());
    }
    try {
        oTMexCheck.reset();
    } catch (...) {
        report("Form_Unload", 104, std::current_exception());
    }
}

void frmSplash::report(const char* procedure, int line, std::exception_ptr failure) {
    try {
        services_.messageBox.showWarning(
            splashFailureText(describeFailure(failure), procedure, line), kErrorTitle);
    } catch (...) {
    }
}

std::shared_ptr<ReaderDrive> frmSplash::requireDriver() {
    if (!oTMexCheck) {
        throw ComponentError(kNoDriverNumber, "QuornaWeb.frmSplash.Form_Load",
                             kNoDriverDescription);
    }
    return oTMexCheck;
}

void frmSplash::setCaption(std::string_view control, const std::string& text) {
    if (!view_ || unloaded_) {
        return;
    }
    view_->setCaption(control, text);
    if (control == "lblDriverInfo") {
        driverInfoCaption_ = text;
    }
}

}  // namespace quorna::ui
