#include "platform/win32/Win32Services.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <utility>
#include <vector>

namespace quorna::platform::win32 {

namespace {

// The account this process runs as: its token's user.
class UserIdentity {
public:
    UserIdentity() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            error_ = GetLastError();
            return;
        }
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        buffer_.resize(size);
        if (size == 0 || !GetTokenInformation(token, TokenUser, buffer_.data(), size, &size)) {
            error_ = GetLastError();
            buffer_.clear();
        }
        CloseHandle(token);
        wchar_t* text = nullptr;
        if (!buffer_.empty() && ConvertSidToStringSidW(sid(), &text)) {
            text_ = text;
            LocalFree(text);
        }
    }
    explicit operator bool() const { return !text_.empty(); }
    PSID sid() const { return reinterpret_cast<const TOKEN_USER*>(buffer_.data())->User.Sid; }
    const std::wstring& text() const { return text_; }
    DWORD error() const { return error_; }

private:
    std::vector<BYTE> buffer_;
    std::wstring text_;
    DWORD error_ = ERROR_SUCCESS;
};

// A security descriptor that makes the user the owner and lets nobody else in.
class UserOnlyDescriptor {
public:
    explicit UserOnlyDescriptor(const UserIdentity& user) {
        const std::wstring text = L"O:" + user.text() + L"D:P(A;;GA;;;" + user.text() + L")";
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                  &descriptor_, nullptr)) {
            descriptor_ = nullptr;
        }
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    ~UserOnlyDescriptor() { LocalFree(descriptor_); }
    UserOnlyDescriptor(const UserOnlyDescriptor&) = delete;
    UserOnlyDescriptor& operator=(const UserOnlyDescriptor&) = delete;
    explicit operator bool() const { return descriptor_ != nullptr; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

// Whether the object's owner is the user; false when the owner cannot be read.
bool ownedBy(HANDLE object, const UserIdentity& user) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool same = owner != nullptr && EqualSid(owner, user.sid());
    LocalFree(descriptor);
    return same;
}

std::string narrowName(const std::wstring& name) {
    return narrow(name);
}

std::string errorText(DWORD error) {
    return "system error " + std::to_string(error);
}

// The private namespace calls are Vista's; wine has them as stubs that fail. Looked up, so that
// the program still starts where they are missing.
using CreateBoundaryDescriptorFunction = HANDLE(WINAPI*)(LPCWSTR, ULONG);
using AddSidFunction = BOOL(WINAPI*)(HANDLE*, PSID);
using DeleteBoundaryDescriptorFunction = VOID(WINAPI*)(HANDLE);
using CreatePrivateNamespaceFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
using OpenPrivateNamespaceFunction = HANDLE(WINAPI*)(LPVOID, LPCWSTR);

template <typename Function>
Function kernelFunction(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

// The namespace named prefix, bound to the user's SID: made, or opened where a copy of the
// program made it. Null where the system offers none.
HANDLE openUserNamespace(const UserIdentity& user, UserOnlyDescriptor& descriptor,
                         const std::wstring& prefix) {
    const auto createBoundary =
        kernelFunction<CreateBoundaryDescriptorFunction>("CreateBoundaryDescriptorW");
    const auto addSid = kernelFunction<AddSidFunction>("AddSIDToBoundaryDescriptor");
    const auto deleteBoundary =
        kernelFunction<DeleteBoundaryDescriptorFunction>("DeleteBoundaryDescriptor");
    const auto createNamespace =
        kernelFunction<CreatePrivateNamespaceFunction>("CreatePrivateNamespaceW");
    const auto openNamespace =
        kernelFunction<OpenPrivateNamespaceFunction>("OpenPrivateNamespaceW");
    if (!createBoundary || !addSid || !deleteBoundary || !createNamespace || !openNamespace) {
        return nullptr;
    }
    HANDLE boundary = createBoundary(prefix.c_str(), 0);
    if (boundary == nullptr) {
        return nullptr;
    }
    HANDLE result = nullptr;
    if (addSid(&boundary, user.sid())) {
        result = createNamespace(descriptor.attributes(), boundary, prefix.c_str());
        if (result == nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
            result = openNamespace(boundary, prefix.c_str());
        }
    }
    deleteBoundary(boundary);
    return result;
}

// The file name of a process's program, or empty when it cannot be read.
std::wstring programFileName(DWORD processId) {
    std::wstring name;
    HANDLE process = processId == GetCurrentProcessId()
                         ? GetCurrentProcess()
                         : OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return name;
    }
    wchar_t path[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    if (QueryFullProcessImageNameW(process, 0, path, &length)) {
        name.assign(path, length);
        name.erase(0, name.find_last_of(L"\\/") + 1);
        CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
    }
    if (processId != GetCurrentProcessId()) {
        CloseHandle(process);
    }
    return name;
}

struct RunningWindowSearch {
    std::wstring program;
    HWND found = nullptr;
};

BOOL CALLBACK findRunningWindow(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<RunningWindowSearch*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == GetCurrentProcessId() || !IsWindowVisible(window) ||
        GetWindow(window, GW_OWNER) != nullptr || programFileName(processId) != search.program) {
        return TRUE;
    }
    search.found = window;
    return FALSE;
}

// The running copy's window: the visible top-level window of another process started from a
// program file of this one's name; null when there is none.
HWND runningCopysWindow() {
    RunningWindowSearch search{programFileName(GetCurrentProcessId())};
    if (!search.program.empty()) {
        EnumWindows(findRunningWindow, reinterpret_cast<LPARAM>(&search));
    }
    return search.found;
}

}  // namespace

SingleInstanceMutex::SingleInstanceMutex(std::wstring name, DWORD windowWaitMilliseconds)
    : name_(std::move(name)), windowWaitMilliseconds_(windowWaitMilliseconds) {}

SingleInstanceMutex::~SingleInstanceMutex() {
    closeHandles();
}

void SingleInstanceMutex::closeHandles() {
    if (mutex_ != nullptr) {
        CloseHandle(mutex_);
        mutex_ = nullptr;
    }
    if (namespace_ != nullptr) {
        using CloseFunction = BOOLEAN(WINAPI*)(HANDLE, ULONG);
        if (const auto closeNamespace = kernelFunction<CloseFunction>("ClosePrivateNamespace")) {
            closeNamespace(namespace_, 0);
        }
        namespace_ = nullptr;
    }
}

std::wstring SingleInstanceMutex::sessionObjectName(const std::wstring& name,
                                                    const std::wstring& sid) {
    return L"Local\\" + name + L"-" + sid;
}

std::wstring SingleInstanceMutex::currentUserSid() {
    return UserIdentity().text();
}

bool SingleInstanceMutex::runAlone(const std::string& why) {
    std::fprintf(stderr,
                 "quorna-fobit-reader: cannot tell whether another instance runs: %s; running "
                 "anyway\n",
                 why.c_str());
    held_ = true;  // asked once, answered once
    return false;
}

bool SingleInstanceMutex::copyOfOursRuns() {
    // The running copy makes its window right after it took the mutex: a start just after it
    // waits for it.
    const ULONGLONG deadline = GetTickCount64() + windowWaitMilliseconds_;
    for (;;) {
        runningWindow_ = runningCopysWindow();
        if (runningWindow_ != nullptr) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            break;
        }
        Sleep(50);
    }
    std::fputs(
        "quorna-fobit-reader: another instance holds the single-instance mutex, but its window "
        "was not found; running this one as well\n",
        stderr);
    held_ = true;
    return false;
}

bool SingleInstanceMutex::anotherInstanceRunning() {
    if (held_) {
        return false;
    }
    closeHandles();
    const UserIdentity user;
    if (!user) {
        return runAlone("this account's identity cannot be read: " + errorText(user.error()));
    }
    UserOnlyDescriptor descriptor(user);
    if (!descriptor) {
        return runAlone("no security descriptor: " + errorText(GetLastError()));
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    namespace_ = openUserNamespace(user, descriptor, name_ + L"-" + std::to_wstring(session));
    objectName_ = namespace_ != nullptr ? name_ + L"-" + std::to_wstring(session) + L"\\" + name_
                                        : sessionObjectName(name_, user.text());

    SetLastError(ERROR_SUCCESS);
    mutex_ = CreateMutexW(descriptor.attributes(), FALSE, objectName_.c_str());
    const DWORD error = GetLastError();
    if (mutex_ == nullptr) {
        if (error != ERROR_ACCESS_DENIED) {
            return runAlone(narrowName(objectName_) + ": " + errorText(error));
        }
        // Either another account made it and shuts this one out, or an elevated copy of the
        // program made it (its integrity keeps others from full access): the owner tells.
        HANDLE peek = OpenMutexW(READ_CONTROL, FALSE, objectName_.c_str());
        const bool ours = peek != nullptr && ownedBy(peek, user);
        if (peek != nullptr) {
            CloseHandle(peek);
        }
        return ours ? copyOfOursRuns()
                    : runAlone(narrowName(objectName_) + " was made by another account");
    }
    if (error == ERROR_ALREADY_EXISTS) {
        const bool ours = ownedBy(mutex_, user);
        CloseHandle(mutex_);  // the first instance keeps it alive
        mutex_ = nullptr;
        return ours ? copyOfOursRuns()
                    : runAlone(narrowName(objectName_) + " was made by another account");
    }
    held_ = true;
    return false;
}

void SingleInstanceMutex::showRunningInstance() {
    HWND window = runningWindow_ != nullptr && IsWindow(runningWindow_) ? runningWindow_
                                                                        : runningCopysWindow();
    if (window == nullptr) {
        std::fputs(
            "quorna-fobit-reader: already running, but the running copy's window was not found "
            "to show it\n",
            stderr);
        return;
    }
    if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);
    }
    // A modal message box open in the running copy is what the user must see first.
    const HWND target = GetLastActivePopup(window);
    if (!SetForegroundWindow(target)) {
        std::fputs(
            "quorna-fobit-reader: already running, but the system did not let its window come "
            "to the front\n",
            stderr);
    }
}

}  // namespace quorna::platform::win32
