// quorna-fobit-reader.exe: the Win32 front-end of the Quorna Fobit Reader.
#include <windows.h>

#include <memory>

#include "ProgramVersionRecord.h"
#include "platform/win32/Win32Services.h"
#include "platform/win32/Win32TimerService.h"
#include "reader/TMexDrive.h"
#include "reader/tmexapi.h"
#include "ui/Application.h"
#include "ui/TopLevel.h"
#include "ui/win32/Win32Views.h"

namespace {

// Every library the process loads by name, and every library those load, comes from the
// program's folder or the system's: never from the working folder or PATH, where anyone may put a
// file of that name. SetDefaultDllDirectories is Windows 8's (Windows 7's with KB2533623); where
// it is missing, at least the working folder leaves the search.
void restrictLibrarySearch() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefault =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
        SetDllDirectoryW(L"");
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace quorna;
    using namespace quorna::platform::win32;

    restrictLibrarySearch();  // before anything loads a library

    // The common controls are loaded with the first window that shows one (useCommonControls).

    Win32EventPump events;
    Win32Sleeper sleeper;
    Win32Clipboard clipboard;
    Win32MessageBox messageBox;
    SingleInstanceMutex instances;
    Win32ProcessControl process;
    // The timer registry is module state that lives until the very end; so does its service.
    auto* timers = new Win32TimerService;

    const DriveFactory newDrive = [&events, &sleeper]() -> std::shared_ptr<ReaderDrive> {
        return std::make_shared<TMexDrive>(tmexapi::bindLibrary(), events, sleeper);
    };

    ui::Application program(ui::PlatformServices{events, clipboard, messageBox, instances, process,
                                                 timers, platform::kProgramVersion},
                            newDrive, ui::win32::splashViewFactory(messageBox),
                            ui::win32::mainViewFactory(messageBox), [] { PostQuitMessage(0); });

    ui::runTopLevel(messageBox, [&program] { program.start(); });

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        deliverMessage(message);
    }
    return static_cast<int>(message.wParam);
}
