#include "defrag/SystemCalls.h"

#include <aclapi.h>

#include <algorithm>

#include "defrag/ProbeReport.h"
#include "probes/LateBound.h"
#include "probes/RAM.h"

namespace nimbora {

namespace {

using NtQuerySystemInformationProc = NtStatus(NTAPI*)(ULONG infoClass, void* buffer, ULONG length, ULONG* returned);
using NtSetSystemInformationProc = NtStatus(NTAPI*)(ULONG infoClass, void* buffer, ULONG length);

// Calls `name` from ntdll with `args`; the library is loaded and released
// around every call, nothing is cached.
template <typename Proc, typename... Args>
NtStatus CallNtdll(const char* name, Args... args) {
    return CallLateBound<Proc>(L"ntdll.dll", name, kStatusProcedureNotFound, args...);
}

CallResult Result(BOOL ok) {
    const DWORD error = GetLastError();
    return {ok != FALSE, error};
}

std::uint64_t Join(const FILETIME& t) {
    return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

inline void FreeWtsMemory(WTS_SESSION_INFOW* memory) noexcept { WTSFreeMemory(memory); }
using UniqueWtsMemory = UniqueHandle<HandleTraits<WTS_SESSION_INFOW*, &FreeWtsMemory>>;

std::vector<unsigned char> SidBytes(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) return {};
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

// The token rights the probe's token needs: duplicated from ours, given the
// console session, used as a primary token.
constexpr DWORD kProbeTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                                    TOKEN_ADJUST_SESSIONID;

}  // namespace

std::wstring OwnExecutablePath() {
    std::wstring path(MAX_PATH + 1, L'\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
        if (length == 0) return L"";
        if (length < size) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
    return L"";
}

Win32SystemCalls::Win32SystemCalls() : probeExe_(OwnExecutablePath()) {}

bool Win32SystemCalls::MemoryStatus(MEMORYSTATUSEX& status) { return QueryMemoryStatus(status); }

NtStatus Win32SystemCalls::QuerySystemInformation(ULONG infoClass, void* buffer, ULONG length) {
    ULONG returned = 0;
    return CallNtdll<NtQuerySystemInformationProc>("NtQuerySystemInformation", infoClass, buffer, length, &returned);
}

NtStatus Win32SystemCalls::SetSystemInformation(ULONG infoClass, void* buffer, ULONG length) {
    return CallNtdll<NtSetSystemInformationProc>("NtSetSystemInformation", infoClass, buffer, length);
}

CallResult Win32SystemCalls::OpenOwnToken(DWORD access, UniqueHandleObject& token) {
    return Result(OpenProcessToken(GetCurrentProcess(), access, token.put()));
}

CallResult Win32SystemCalls::LookupPrivilege(const wchar_t* name, LUID& luid) {
    return Result(LookupPrivilegeValueW(nullptr, name, &luid));
}

CallResult Win32SystemCalls::AdjustPrivileges(HANDLE token, TOKEN_PRIVILEGES& privileges) {
    SetLastError(ERROR_SUCCESS);
    return Result(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
}

CallResult Win32SystemCalls::OpenProcess(DWORD access, DWORD processId, UniqueHandleObject& process) {
    process.reset(::OpenProcess(access, FALSE, processId));
    const DWORD error = GetLastError();
    return {static_cast<bool>(process), error};
}

CallResult Win32SystemCalls::MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS& counters) {
    counters = PROCESS_MEMORY_COUNTERS{};
    counters.cb = sizeof counters;
    return Result(GetProcessMemoryInfo(process, &counters, sizeof counters));
}

CallResult Win32SystemCalls::ProcessTimes(HANDLE process, std::uint64_t& created, std::uint64_t& processorTime) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    const CallResult r = Result(GetProcessTimes(process, &creation, &exit, &kernel, &user));
    created = Join(creation);
    processorTime = Join(kernel) + Join(user);
    return r;
}

CallResult Win32SystemCalls::ProcessSession(DWORD processId, DWORD& session) {
    return Result(ProcessIdToSessionId(processId, &session));
}

CallResult Win32SystemCalls::EmptyWorkingSet(HANDLE process) { return Result(::EmptyWorkingSet(process)); }

DWORD Win32SystemCalls::ConsoleSession() { return WTSGetActiveConsoleSessionId(); }

CallResult Win32SystemCalls::Sessions(std::vector<SessionEntry>& sessions) {
    sessions.clear();
    WTS_SESSION_INFOW* info = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) return Result(FALSE);
    const UniqueWtsMemory held(info);
    for (DWORD i = 0; i < count && info != nullptr; ++i) sessions.push_back({info[i].SessionId, info[i].State});
    return {true, ERROR_SUCCESS};
}

CallResult Win32SystemCalls::RunDesktopProbe(DWORD session, bool ownSession, DWORD timeoutMs, DWORD& exitCode,
                                             std::string& output) {
    exitCode = 0;
    output.clear();
    if (probeExe_.empty()) return {false, ERROR_FILE_NOT_FOUND};
    UniqueHandleObject readEnd, writeEnd;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    // N.B. a pipe buffer far larger than the line: the probe's write never
    // waits for this side, which reads only after the probe exited.
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 4096)) return Result(FALSE);
    if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) return Result(FALSE);

    std::wstring commandLine = L"\"" + probeExe_ + L"\" " + kDesktopProbeSwitch;
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    // No app-starting cursor on the user's desktop while the probe starts.
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_FORCEOFFFEEDBACK;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = nullptr;
    PROCESS_INFORMATION info{};
    const DWORD flags = CREATE_NO_WINDOW;
    if (ownSession) {
        if (!CreateProcessW(probeExe_.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                            &startup, &info))
            return Result(FALSE);
    } else {
        UniqueHandleObject own;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.put())) return Result(FALSE);
        UniqueHandleObject probeToken;
        if (!DuplicateTokenEx(own.get(), kProbeTokenAccess, nullptr, SecurityIdentification, TokenPrimary,
                              probeToken.put()))
            return Result(FALSE);
        // N.B. setting the session id needs the TCB privilege, which
        // LocalSystem holds enabled.
        if (!SetTokenInformation(probeToken.get(), TokenSessionId, &session, sizeof session)) return Result(FALSE);
        if (!CreateProcessAsUserW(probeToken.get(), probeExe_.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                  flags, nullptr, nullptr, &startup, &info))
            return Result(FALSE);
    }
    const UniqueHandleObject process(info.hProcess);
    const UniqueHandleObject thread(info.hThread);
    // N.B. only the probe holds the write end now: its exit ends the pipe.
    writeEnd.reset();
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 1000);
        return {false, WAIT_TIMEOUT};
    }
    const CallResult exited = Result(GetExitCodeProcess(process.get(), &exitCode));
    char buffer[kProbeReportMax + 1];
    DWORD waiting = 0;
    while (output.size() <= kProbeReportMax &&
           PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, waiting));
        if (!ReadFile(readEnd.get(), buffer, want, &got, nullptr) || got == 0) break;
        output.append(buffer, got);
    }
    return exited;
}

HWND Win32SystemCalls::ForegroundWindow() { return GetForegroundWindow(); }

DWORD Win32SystemCalls::WindowProcess(HWND window) {
    DWORD processId = 0;
    if (window == nullptr || GetWindowThreadProcessId(window, &processId) == 0) return 0;
    return processId;
}

std::wstring Win32SystemCalls::WindowClass(HWND window) {
    wchar_t name[256];
    const int length = GetClassNameW(window, name, 256);
    return length > 0 ? std::wstring(name, static_cast<std::size_t>(length)) : std::wstring();
}

std::wstring Win32SystemCalls::ProcessImageName(DWORD processId) {
    const UniqueHandleObject process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return L"";
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) return L"";
    path.resize(length);
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

namespace {

BOOL CALLBACK CollectChild(HWND child, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
    return TRUE;
}

}  // namespace

std::vector<HWND> Win32SystemCalls::ChildWindows(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

bool Win32SystemCalls::WindowRect(HWND window, RECT& rect) { return GetWindowRect(window, &rect) != FALSE; }

bool Win32SystemCalls::MonitorRect(HWND window, RECT& rect) {
    const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) return false;
    rect = info.rcMonitor;
    return true;
}

int Win32SystemCalls::NotificationState() {
    using Proc = HRESULT(WINAPI*)(int* state);
    int state = kNotificationStateUnknown;
    // N.B. late-bound: the entry point came with Vista's shell32.
    if (CallLateBound<Proc>(L"shell32.dll", "SHQueryUserNotificationState", E_NOTIMPL, &state) != S_OK)
        return kNotificationStateUnknown;
    return state;
}

bool Win32SystemCalls::WriteStandardOutput(const std::string& text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    return WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

CallResult Win32SystemCalls::OpenBatchNamespace(const std::wstring& boundaryName, const std::wstring& alias,
                                                SECURITY_ATTRIBUTES* security, UniqueNamespace& space) {
    space.reset();
    UniqueBoundary boundary(CreateBoundaryDescriptorW(boundaryName.c_str(), 0));
    // N.B. Wine's boundary descriptor is a stub that gives nothing, and its
    // private namespace calls end the process: never reach them there.
    if (!boundary) return {false, RunningUnderWine() ? static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED) : GetLastError()};
    unsigned char administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return Result(FALSE);
    HANDLE descriptor = boundary.release();
    const BOOL added = AddSIDToBoundaryDescriptor(&descriptor, administrators);
    // N.B. the call may move the descriptor: own what it hands back.
    boundary.reset(descriptor);
    if (!added) return Result(FALSE);
    // N.B. two instances may race: the second finds the first's namespace,
    // which may go away again before it is opened.
    for (int attempt = 0; attempt < 4; ++attempt) {
        space.reset(CreatePrivateNamespaceW(security, boundary.get(), alias.c_str()));
        if (space) return {true, ERROR_SUCCESS};
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) return {false, error};
        space.reset(OpenPrivateNamespaceW(boundary.get(), alias.c_str()));
        if (space) return {true, ERROR_ALREADY_EXISTS};
        error = GetLastError();
        if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) return {false, error};
    }
    return {false, ERROR_BUSY};
}

CallResult Win32SystemCalls::CreateNamedMutex(const std::wstring& name, SECURITY_ATTRIBUTES* security,
                                              UniqueHandleObject& mutex) {
    mutex.reset(CreateMutexW(security, FALSE, name.c_str()));
    const DWORD error = GetLastError();
    return {static_cast<bool>(mutex), error};
}

CallResult Win32SystemCalls::CreateNamedSection(const std::wstring& name, SECURITY_ATTRIBUTES* security, DWORD size,
                                                UniqueHandleObject& section) {
    section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, 0, size, name.c_str()));
    const DWORD error = GetLastError();
    return {static_cast<bool>(section), error};
}

CallResult Win32SystemCalls::MapSection(HANDLE section, DWORD size, UniqueView& view) {
    view.reset(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
    const DWORD error = GetLastError();
    return {static_cast<bool>(view), error};
}

CallResult Win32SystemCalls::ObjectOwner(HANDLE object, std::vector<unsigned char>& sid) {
    sid.clear();
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                        nullptr, &descriptor);
    const UniqueLocal held(descriptor);
    if (error != ERROR_SUCCESS) return {false, error};
    sid = SidBytes(owner);
    return {!sid.empty(), static_cast<DWORD>(sid.empty() ? ERROR_INVALID_SID : ERROR_SUCCESS)};
}

CallResult Win32SystemCalls::OwnUserSid(std::vector<unsigned char>& sid) {
    sid.clear();
    UniqueHandleObject token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return Result(FALSE);
    DWORD length = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &length);
    if (length == 0) return Result(FALSE);
    std::vector<unsigned char> buffer(length);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), length, &length)) return Result(FALSE);
    sid = SidBytes(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    return {!sid.empty(), static_cast<DWORD>(sid.empty() ? ERROR_INVALID_SID : ERROR_SUCCESS)};
}

DWORD Win32SystemCalls::Wait(HANDLE object, DWORD timeoutMs) { return WaitForSingleObject(object, timeoutMs); }

DWORD Win32SystemCalls::CurrentProcessId() { return GetCurrentProcessId(); }

DWORD Win32SystemCalls::PageSize() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

std::uint64_t Win32SystemCalls::TickCount() { return GetTickCount64(); }

std::uint64_t Win32SystemCalls::SystemTimeUtc() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return Join(now);
}

void Win32SystemCalls::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

bool RunningUnderWine() {
    const UniqueModule ntdll(LoadLibraryW(L"ntdll.dll"));
    return ntdll && GetProcAddress(ntdll.get(), "wine_get_version") != nullptr;
}

}  // namespace nimbora
