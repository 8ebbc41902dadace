#include "defrag/SystemCalls.h"

#include <tlhelp32.h>

#include "defrag/DefragHandles.h"
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

}  // namespace

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

CallResult Win32SystemCalls::EmptyWorkingSet(HANDLE process) { return Result(::EmptyWorkingSet(process)); }

DWORD Win32SystemCalls::ForegroundProcessId() {
    const HWND window = GetForegroundWindow();
    if (window == nullptr) return 0;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId;
}

DWORD Win32SystemCalls::CurrentProcessId() { return GetCurrentProcessId(); }

DWORD Win32SystemCalls::PageSize() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwPageSize;
}

std::uint64_t Win32SystemCalls::TickCount() { return GetTickCount64(); }

bool RunningUnderWine() {
    const UniqueModule ntdll(LoadLibraryW(L"ntdll.dll"));
    return ntdll && GetProcAddress(ntdll.get(), "wine_get_version") != nullptr;
}

}  // namespace nimbora
