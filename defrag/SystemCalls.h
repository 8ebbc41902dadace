#pragma once
// Every platform call of the companion's Win32 layer, one virtual each, so a
// test can stand in for what Wine does not really do (the memory-list
// commands, sessions, a token without the profile privilege) and for what a
// hostile or broken machine does (processes that refuse to be opened, named
// objects squatted by another account, a foreground probe that fails).
// The methods are thin: they make the call and hand back what it said; the
// meaning is decided by WinMemoryActions and BatchCoordinator.

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "defrag/DefragHandles.h"
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

// The commands of the memory-list class the companion sends.
enum MemoryListCommand : int {
    mlFlushModifiedList = 3,
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

// The hidden switch that turns the companion into the foreground probe: it
// exits with the process id owning the foreground window (0 for none).
inline constexpr wchar_t kForegroundProbeSwitch[] = L"--report-foreground";

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
    // GetProcessTimes: creation time and kernel plus user time, FILETIME units.
    virtual CallResult ProcessTimes(HANDLE process, std::uint64_t& created, std::uint64_t& processorTime) = 0;
    virtual CallResult ProcessSession(DWORD processId, DWORD& session) = 0;
    virtual CallResult EmptyWorkingSet(HANDLE process) = 0;

    // WTSGetActiveConsoleSessionId: 0xFFFFFFFF when no session is attached.
    virtual DWORD ConsoleSession() = 0;
    // Starts this program with kForegroundProbeSwitch on the interactive
    // desktop (winsta0\default) of `session` and waits for its exit code.
    // `ownSession`: the session is this process's own, a plain start
    // suffices; otherwise this process's token is duplicated with the
    // session id set (a LocalSystem service may do so).
    virtual CallResult RunForegroundProbe(DWORD session, bool ownSession, DWORD timeoutMs, DWORD& exitCode) = 0;
    // The owner of the foreground window; 0 when there is none.
    virtual DWORD ForegroundProcessId() = 0;

    // CreateMutexW and CreateFileMappingW (paging file) with a name; on
    // success `error` is ERROR_ALREADY_EXISTS when the object was there.
    virtual CallResult CreateNamedMutex(const std::wstring& name, SECURITY_ATTRIBUTES* security,
                                        UniqueHandleObject& mutex) = 0;
    virtual CallResult CreateNamedSection(const std::wstring& name, SECURITY_ATTRIBUTES* security, DWORD size,
                                          UniqueHandleObject& section) = 0;
    virtual CallResult MapSection(HANDLE section, DWORD size, UniqueView& view) = 0;
    // GetSecurityInfo's owner of a kernel object, as SID bytes.
    virtual CallResult ObjectOwner(HANDLE object, std::vector<unsigned char>& sid) = 0;
    // The user SID of this process's token.
    virtual CallResult OwnUserSid(std::vector<unsigned char>& sid) = 0;
    // WaitForSingleObject.
    virtual DWORD Wait(HANDLE object, DWORD timeoutMs) = 0;

    virtual DWORD CurrentProcessId() = 0;
    virtual DWORD PageSize() = 0;
    virtual std::uint64_t TickCount() = 0;
    // GetSystemTimeAsFileTime.
    virtual std::uint64_t SystemTimeUtc() = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
};

// The platform itself. The foreground probe starts `probeExe` (by default
// this process's own executable).
class Win32SystemCalls final : public SystemCalls {
public:
    Win32SystemCalls();
    explicit Win32SystemCalls(std::wstring probeExe) : probeExe_(std::move(probeExe)) {}

    bool MemoryStatus(MEMORYSTATUSEX& status) override;
    NtStatus QuerySystemInformation(ULONG infoClass, void* buffer, ULONG length) override;
    NtStatus SetSystemInformation(ULONG infoClass, void* buffer, ULONG length) override;
    CallResult OpenOwnToken(DWORD access, UniqueHandleObject& token) override;
    CallResult LookupPrivilege(const wchar_t* name, LUID& luid) override;
    CallResult AdjustPrivileges(HANDLE token, TOKEN_PRIVILEGES& privileges) override;
    CallResult ListProcesses(std::vector<ProcessEntry>& processes) override;
    CallResult OpenProcess(DWORD access, DWORD processId, UniqueHandleObject& process) override;
    CallResult MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS& counters) override;
    CallResult ProcessTimes(HANDLE process, std::uint64_t& created, std::uint64_t& processorTime) override;
    CallResult ProcessSession(DWORD processId, DWORD& session) override;
    CallResult EmptyWorkingSet(HANDLE process) override;
    DWORD ConsoleSession() override;
    CallResult RunForegroundProbe(DWORD session, bool ownSession, DWORD timeoutMs, DWORD& exitCode) override;
    DWORD ForegroundProcessId() override;
    CallResult CreateNamedMutex(const std::wstring& name, SECURITY_ATTRIBUTES* security,
                                UniqueHandleObject& mutex) override;
    CallResult CreateNamedSection(const std::wstring& name, SECURITY_ATTRIBUTES* security, DWORD size,
                                  UniqueHandleObject& section) override;
    CallResult MapSection(HANDLE section, DWORD size, UniqueView& view) override;
    CallResult ObjectOwner(HANDLE object, std::vector<unsigned char>& sid) override;
    CallResult OwnUserSid(std::vector<unsigned char>& sid) override;
    DWORD Wait(HANDLE object, DWORD timeoutMs) override;
    DWORD CurrentProcessId() override;
    DWORD PageSize() override;
    std::uint64_t TickCount() override;
    std::uint64_t SystemTimeUtc() override;
    void Sleep(DWORD milliseconds) override;

private:
    std::wstring probeExe_;
};

// The full path of this process's executable; empty when it cannot be read.
std::wstring OwnExecutablePath();

// True under Wine (ntdll exports wine_get_version), where trimming a working
// set and the memory-list commands report success and do nothing.
bool RunningUnderWine();

}  // namespace nimbora
