#pragma once

// What the Windows installer does with the machine's settings folder (%ProgramData%\onewire)
// and the settings file in it, decided from what the helper found there. Ordinary users may
// create folders and files under %ProgramData%, so a folder or file there that someone other
// than an administrator made could map ports for every user of the machine: such a file is
// moved aside and the example installed instead, and the folder is made the administrators'.

namespace quorna::packaging {

// Who owns a file or folder, as far as trust goes.
enum class Owner {
    Administrators,           // the Administrators group, SYSTEM or TrustedInstaller
    InstallingAdministrator,  // the account running the installer, itself an administrator
    Other,                    // anyone else: an ordinary user
    Unknown,                  // the owner could not be read
};

struct FolderFacts {
    bool exists = false;
    bool isFolder = false;
    bool reparsePoint = false;  // a junction or link leading somewhere else
};

enum class FolderAction {
    Create,      // nothing there: make it
    Secure,      // a real folder: take it over for the administrators
    RemoveLink,  // a junction or link: remove the link (not its target), then make it
    MoveAside,   // a file of that name: move it aside, then make the folder
};

FolderAction decideFolder(const FolderFacts& facts);

struct SettingsFileFacts {
    bool exists = false;
    bool regularFile = false;  // not a folder, device or reparse point
    unsigned long links = 1;   // hard links to the same file
    Owner owner = Owner::Unknown;
};

enum class SettingsFileAction {
    InstallExample,              // none there
    Keep,                        // an administrator's: kept as edited, its access list reset
    MoveAsideAndInstallExample,  // anyone else's, or one that may lead elsewhere
};

SettingsFileAction decideSettingsFile(const SettingsFileFacts& facts);

// The helper's exit statuses, which the installer reads.
constexpr int kSettingsKept = 0;
constexpr int kSettingsFailed = 1;
constexpr int kSettingsMissing = 10;
constexpr int kSettingsMovedAside = 11;

}  // namespace quorna::packaging
