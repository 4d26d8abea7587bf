// quorna-settings-folder.exe FOLDER: run by the installer, as an administrator, before it writes
// the machine's settings. Makes FOLDER (%ProgramData%\onewire) a real folder that only
// administrators (and the system) may change and every user may read, and looks at the settings
// file in it: an administrator's is kept (its access list reset to the folder's), anyone else's
// is moved aside to onewire.conf.replaced for the installer to write the example instead.
// Exit status: 0 kept, 10 none there, 11 moved aside, 1 failed (why on standard error).
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "packaging/windows/SettingsFolderPolicy.h"

namespace {

using namespace quorna::packaging;

// Administrators full control, SYSTEM full control, Users read and run; nothing inherited from
// %ProgramData%, which lets users create files in its folders.
constexpr const wchar_t* kFolderSecurity =
    L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
constexpr const wchar_t* kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct Failed {
    std::wstring what;
    DWORD error;
};

[[noreturn]] void fail(const std::wstring& what, DWORD error = GetLastError()) {
    throw Failed{what, error};
}

class Sid {
public:
    explicit Sid(WELL_KNOWN_SID_TYPE type) : bytes_(SECURITY_MAX_SID_SIZE) {
        DWORD size = SECURITY_MAX_SID_SIZE;
        if (!CreateWellKnownSid(type, nullptr, bytes_.data(), &size)) {
            fail(L"well-known SID");
        }
    }
    explicit Sid(const wchar_t* text) {
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(text, &sid)) {
            fail(L"SID");
        }
        bytes_.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
        LocalFree(sid);
    }
    PSID get() const { return const_cast<BYTE*>(bytes_.data()); }

private:
    std::vector<BYTE> bytes_;
};

// The account running this program, and whether it is an administrator now.
struct Installer {
    std::vector<BYTE> user;
    bool administrator = false;
};

Installer installingAccount(const Sid& administrators) {
    Installer account;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        fail(L"this process's token");
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    account.user.resize(size);
    const bool read =
        size > 0 && GetTokenInformation(token, TokenUser, account.user.data(), size, &size);
    CloseHandle(token);
    if (!read) {
        fail(L"this process's account");
    }
    BOOL member = FALSE;
    account.administrator = CheckTokenMembership(nullptr, administrators.get(), &member) && member;
    return account;
}

Owner classify(PSID owner, const Installer& installer) {
    if (owner == nullptr) {
        return Owner::Unknown;
    }
    if (EqualSid(owner, Sid(WinBuiltinAdministratorsSid).get()) ||
        EqualSid(owner, Sid(WinLocalSystemSid).get()) ||
        EqualSid(owner, Sid(kTrustedInstaller).get())) {
        return Owner::Administrators;
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(installer.user.data());
    if (installer.administrator && EqualSid(owner, user->User.Sid)) {
        return Owner::InstallingAdministrator;
    }
    return Owner::Other;
}

FolderFacts folderFacts(const std::wstring& folder) {
    FolderFacts facts;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            fail(folder, error);
        }
        return facts;
    }
    facts.exists = true;
    facts.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparsePoint = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return facts;
}

void secureFolder(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        fail(L"security descriptor");
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    if (!CreateDirectoryW(folder.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
        const DWORD error = GetLastError();
        LocalFree(descriptor);
        fail(folder, error);
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    // The owner too: whoever owns the folder may change its access list.
    const DWORD error =
        SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              Sid(WinBuiltinAdministratorsSid).get(), nullptr, dacl, nullptr);
    LocalFree(descriptor);
    if (error != ERROR_SUCCESS) {
        fail(folder + L": access list", error);
    }
}

void prepareFolder(const std::wstring& folder) {
    const FolderFacts facts = folderFacts(folder);
    switch (decideFolder(facts)) {
        case FolderAction::RemoveLink:
            if (!(facts.isFolder ? RemoveDirectoryW(folder.c_str())
                                 : DeleteFileW(folder.c_str()))) {
                fail(folder + L": the link there");
            }
            break;
        case FolderAction::MoveAside:
            if (!MoveFileExW(folder.c_str(), (folder + L".moved-aside").c_str(),
                             MOVEFILE_REPLACE_EXISTING)) {
                fail(folder + L": the file there");
            }
            break;
        case FolderAction::Create:
        case FolderAction::Secure:
            break;
    }
    secureFolder(folder);
    const FolderFacts made = folderFacts(folder);
    if (!made.isFolder || made.reparsePoint) {
        fail(folder + L" is not a folder of its own", ERROR_DIRECTORY);
    }
}

SettingsFileFacts fileFacts(const std::wstring& file, const Installer& installer) {
    SettingsFileFacts facts;
    HANDLE handle =
        CreateFileW(file.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return facts;
        }
        facts.exists = true;  // there, but not to be looked at: not to be trusted either
        return facts;
    }
    facts.exists = true;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle, &information)) {
        facts.regularFile =
            (information.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ==
            0;
        facts.links = information.nNumberOfLinks;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
        facts.owner = classify(owner, installer);
        LocalFree(descriptor);
    }
    CloseHandle(handle);
    return facts;
}

// The kept file: the administrators' and with the folder's access list alone.
void resetFile(const std::wstring& file) {
    ACL empty;
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    const DWORD error =
        SetNamedSecurityInfoW(const_cast<wchar_t*>(file.c_str()), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  UNPROTECTED_DACL_SECURITY_INFORMATION,
                              Sid(WinBuiltinAdministratorsSid).get(), nullptr, &empty, nullptr);
    if (error != ERROR_SUCCESS) {
        fail(file + L": access list", error);
    }
}

int run(const std::wstring& folder) {
    const Sid administrators(WinBuiltinAdministratorsSid);
    const Installer installer = installingAccount(administrators);
    prepareFolder(folder);
    const std::wstring file = folder + L"\\onewire.conf";
    switch (decideSettingsFile(fileFacts(file, installer))) {
        case SettingsFileAction::InstallExample:
            return kSettingsMissing;
        case SettingsFileAction::Keep:
            resetFile(file);
            std::fwprintf(stdout, L"%ls: kept\n", file.c_str());
            return kSettingsKept;
        case SettingsFileAction::MoveAsideAndInstallExample:
            break;
    }
    const std::wstring aside = file + L".replaced";
    if (!MoveFileExW(file.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        fail(file + L": moving it aside");
    }
    std::fwprintf(
        stdout,
        L"%ls: not an administrator's own plain file; moved to %ls, the example installed "
        L"instead\n",
        file.c_str(), aside.c_str());
    return kSettingsMovedAside;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: quorna-settings-folder FOLDER\n", stderr);
        return kSettingsFailed;
    }
    try {
        return run(argv[1]);
    } catch (const Failed& failed) {
        std::fwprintf(stderr, L"quorna-settings-folder: %ls: system error %lu\n",
                      failed.what.c_str(), failed.error);
        return kSettingsFailed;
    }
}
