#include "packaging/windows/SettingsFolderPolicy.h"

namespace quorna::packaging {

FolderAction decideFolder(const FolderFacts& facts) {
    if (!facts.exists) {
        return FolderAction::Create;
    }
    // A link is judged before what it leads to: the folder must be this one, not a target
    // someone else chose.
    if (facts.reparsePoint) {
        return FolderAction::RemoveLink;
    }
    return facts.isFolder ? FolderAction::Secure : FolderAction::MoveAside;
}

SettingsFileAction decideSettingsFile(const SettingsFileFacts& facts) {
    if (!facts.exists) {
        return SettingsFileAction::InstallExample;
    }
    // A second hard link lets whoever made it change the file from elsewhere.
    if (!facts.regularFile || facts.links != 1) {
        return SettingsFileAction::MoveAsideAndInstallExample;
    }
    switch (facts.owner) {
        case Owner::Administrators:
        case Owner::InstallingAdministrator:
            return SettingsFileAction::Keep;
        case Owner::Other:
        case Owner::Unknown:
            break;
    }
    return SettingsFileAction::MoveAsideAndInstallExample;
}

}  // namespace quorna::packaging
