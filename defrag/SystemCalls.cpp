#include "defrag/SystemCalls.h"

#include <aclapi.h>
#include <tlhelp32.h>

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

CallResult Win32SystemCalls::ListProcesses(std::vector<ProcessEntry>& processes) {
    processes.clear();
    const UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return Result(FALSE);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) return Result(FALSE);
    do {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        processes.push_back({entry.th32ProcessID, entry.szExeFile});
        entry.dwSize = sizeof entry;
    } while (Process32NextW(snapshot.get(), &entry));
    return {true, ERROR_SUCCESS};
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

CallResult Win32SystemCalls::RunForegroundProbe(DWORD session, bool ownSession, DWORD timeoutMs, DWORD& exitCode) {
    exitCode = 0;
    if (probeExe_.empty()) return {false, ERROR_FILE_NOT_FOUND};
    std::wstring commandLine = L"\"" + probeExe_ + L"\" " + kForegroundProbeSwitch;
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION info{};
    if (ownSession) {
        if (!CreateProcessW(probeExe_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
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
        if (!CreateProcessAsUserW(probeToken.get(), probeExe_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &info))
            return Result(FALSE);
    }
    const UniqueHandleObject process(info.hProcess);
    const UniqueHandleObject thread(info.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        return {false, WAIT_TIMEOUT};
    }
    return Result(GetExitCodeProcess(process.get(), &exitCode));
}

DWORD Win32SystemCalls::ForegroundProcessId() {
    const HWND window = GetForegroundWindow();
    if (window == nullptr) return 0;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId;
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
