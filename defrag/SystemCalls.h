#pragma once
// Every platform call of the defragmenter's Win32 layer, one virtual each, so
// a test can stand in for what Wine does not really do (the memory-list
// commands, a token without the profile privilege) and for processes that
// refuse to be opened.
// The methods are thin: they make the call and hand back what it said; the
// meaning is decided by WinMemoryActions.

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "svchost/UniqueHandle.h"

namespace nimbora {

using NtStatus = LONG;
inline constexpr NtStatus kStatusSuccess = 0;
inline constexpr NtStatus kStatusNotImplemented = static_cast<NtStatus>(0xC0000002);
inline constexpr NtStatus kStatusInvalidInfoClass = static_cast<NtStatus>(0xC0000003);
inline constexpr NtStatus kStatusInfoLengthMismatch = static_cast<NtStatus>(0xC0000004);
inline constexpr NtStatus kStatusAccessDenied = static_cast<NtStatus>(0xC0000022);
inline constexpr NtStatus kStatusPrivilegeNotHeld = static_cast<NtStatus>(0xC0000061);
inline constexpr NtStatus kStatusProcedureNotFound = static_cast<NtStatus>(0xC000007A);
inline constexpr NtStatus kStatusNotSupported = static_cast<NtStatus>(0xC00000BB);

// The system information class of the memory lists: queried, it gives the
// page counts of each list; set, it takes one command.
inline constexpr ULONG kSystemMemoryListInformation = 80;

// The commands of the memory-list class.
enum MemoryListCommand : int {
    mlEmptyWorkingSets = 2,
    mlFlushModifiedList = 3,
    mlPurgeStandbyList = 4,
    mlPurgeLowPriorityStandbyList = 5,
};

// The record the memory-list class is queried into: page counts, each a
// pointer-sized number.
struct MemoryListInformation {
    ULONG_PTR zeroPageCount;
    ULONG_PTR freePageCount;
    ULONG_PTR modifiedPageCount;
    ULONG_PTR modifiedNoWritePageCount;
    ULONG_PTR badPageCount;
    ULONG_PTR pageCountByPriority[8];
    ULONG_PTR repurposedPagesByPriority[8];
    ULONG_PTR modifiedPageCountPageFile;
};

// Whether the call succeeded, and GetLastError() read right after it.
struct CallResult {
    bool ok = false;
    DWORD error = ERROR_SUCCESS;
};

struct ProcessEntry {
    DWORD id = 0;
    std::wstring exeName;
};

class SystemCalls {
public:
    virtual ~SystemCalls() = default;
    // GlobalMemoryStatusEx; `status.dwLength` is set by the caller.
    virtual bool MemoryStatus(MEMORYSTATUSEX& status) = 0;
    // NtQuerySystemInformation and NtSetSystemInformation, late-bound from
    // ntdll; kStatusProcedureNotFound when ntdll has no such entry point.
    virtual NtStatus QuerySystemInformation(ULONG infoClass, void* buffer, ULONG length) = 0;
    virtual NtStatus SetSystemInformation(ULONG infoClass, void* buffer, ULONG length) = 0;
    // OpenProcessToken on this process.
    virtual CallResult OpenOwnToken(DWORD access, UniqueHandleObject& token) = 0;
    virtual CallResult LookupPrivilege(const wchar_t* name, LUID& luid) = 0;
    // AdjustTokenPrivileges. N.B. `error` is read on success too: the call
    // succeeds with ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege.
    virtual CallResult AdjustPrivileges(HANDLE token, TOKEN_PRIVILEGES& privileges) = 0;
    // A snapshot of the running processes.
    virtual CallResult ListProcesses(std::vector<ProcessEntry>& processes) = 0;
    virtual CallResult OpenProcess(DWORD access, DWORD processId, UniqueHandleObject& process) = 0;
    virtual CallResult MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS& counters) = 0;
    virtual CallResult EmptyWorkingSet(HANDLE process) = 0;
    // The owner of the foreground window; 0 when there is none.
    virtual DWORD ForegroundProcessId() = 0;
    virtual DWORD CurrentProcessId() = 0;
    virtual DWORD PageSize() = 0;
    virtual std::uint64_t TickCount() = 0;
};

// The platform itself.
class Win32SystemCalls final : public SystemCalls {
public:
    bool MemoryStatus(MEMORYSTATUSEX& status) override;
    NtStatus QuerySystemInformation(ULONG infoClass, void* buffer, ULONG length) override;
    NtStatus SetSystemInformation(ULONG infoClass, void* buffer, ULONG length) override;
    CallResult OpenOwnToken(DWORD access, UniqueHandleObject& token) override;
    CallResult LookupPrivilege(const wchar_t* name, LUID& luid) override;
    CallResult AdjustPrivileges(HANDLE token, TOKEN_PRIVILEGES& privileges) override;
    CallResult ListProcesses(std::vector<ProcessEntry>& processes) override;
    CallResult OpenProcess(DWORD access, DWORD processId, UniqueHandleObject& process) override;
    CallResult MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS& counters) override;
    CallResult EmptyWorkingSet(HANDLE process) override;
    DWORD ForegroundProcessId() override;
    DWORD CurrentProcessId() override;
    DWORD PageSize() override;
    std::uint64_t TickCount() override;
};

// True under Wine (ntdll exports wine_get_version), where trimming a working
// set and the memory-list commands report success and do nothing.
bool RunningUnderWine();

}  // namespace nimbora
