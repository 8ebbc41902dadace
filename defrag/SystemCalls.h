#pragma once
// Every platform call of the companion's Win32 layer, one virtual each, so a
// test can stand in for what Wine does not really do (the memory-list
// commands, sessions, private namespaces, a token without the profile
// privilege) and for what a hostile or broken machine does (processes that
// refuse to be opened, named objects squatted by another account, a desktop
// probe that fails, hangs or writes nonsense).
// The methods are thin: they make the call and hand back what it said; the
// meaning is decided by WinMemoryActions and BatchCoordinator.

#include <windows.h>
#include <psapi.h>
#include <wtsapi32.h>

#include <cstddef>
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


// The process-information class of NtQuerySystemInformation: one record per
// process, none opened.
inline constexpr ULONG kSystemProcessInformation = 5;

// The head of one record of that class, as Microsoft documents
// SYSTEM_PROCESS_INFORMATION (the image name is a UNICODE_STRING pointing
// into the same buffer; Vista and later fill workingSetPrivateSize).
struct ProcessInformationRecord {
    ULONG nextEntryOffset;
    ULONG numberOfThreads;
    LONGLONG workingSetPrivateSize;
    ULONG hardFaultCount;
    ULONG numberOfThreadsHighWatermark;
    ULONGLONG cycleTime;
    LONGLONG createTime;
    LONGLONG userTime;
    LONGLONG kernelTime;
    USHORT imageNameLength;  // bytes
    USHORT imageNameMaximumLength;
    const wchar_t* imageNameBuffer;
    LONG basePriority;
    HANDLE uniqueProcessId;
    HANDLE inheritedFromUniqueProcessId;
    ULONG handleCount;
    ULONG sessionId;
    ULONG_PTR uniqueProcessKey;
    SIZE_T peakVirtualSize;
    SIZE_T virtualSize;
    ULONG pageFaultCount;
    SIZE_T peakWorkingSetSize;
    SIZE_T workingSetSize;
};
#ifdef _WIN64
static_assert(offsetof(ProcessInformationRecord, uniqueProcessId) == 80 &&
              offsetof(ProcessInformationRecord, sessionId) == 100 &&
              offsetof(ProcessInformationRecord, workingSetSize) == 144);
#else
static_assert(offsetof(ProcessInformationRecord, uniqueProcessId) == 68 &&
              offsetof(ProcessInformationRecord, sessionId) == 80 &&
              offsetof(ProcessInformationRecord, workingSetSize) == 104);
#endif

// One interactive session as WTSEnumerateSessionsW lists it.
struct SessionEntry {
    DWORD id = 0;
    WTS_CONNECTSTATE_CLASS state = WTSDown;
};

// SHQueryUserNotificationState's answer when the shell cannot give one.
inline constexpr int kNotificationStateUnknown = 0;

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

    virtual CallResult OpenProcess(DWORD access, DWORD processId, UniqueHandleObject& process) = 0;
    virtual CallResult MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS& counters) = 0;
    // GetProcessTimes: creation time and kernel plus user time, FILETIME units.
    virtual CallResult ProcessTimes(HANDLE process, std::uint64_t& created, std::uint64_t& processorTime) = 0;
    virtual CallResult ProcessSession(DWORD processId, DWORD& session) = 0;
    virtual CallResult EmptyWorkingSet(HANDLE process) = 0;

    // WTSGetActiveConsoleSessionId: 0xFFFFFFFF when no session is attached.
    virtual DWORD ConsoleSession() = 0;
    // WTSEnumerateSessionsW on this machine.
    virtual CallResult Sessions(std::vector<SessionEntry>& sessions) = 0;
    // Starts this program with kDesktopProbeSwitch on the interactive desktop
    // (winsta0\default) of `session`, its standard output an anonymous pipe,
    // waits at most `timeoutMs` for its exit (then ends it) and hands back its
    // exit code and what it wrote (at most kProbeReportMax bytes).
    // `ownSession`: the session is this process's own, a plain start
    // suffices; otherwise this process's token is duplicated with the
    // session id set (a LocalSystem service may do so).
    virtual CallResult RunDesktopProbe(DWORD session, bool ownSession, DWORD timeoutMs, DWORD& exitCode,
                                       std::string& output) = 0;

    // The probe's own view of its desktop.
    virtual HWND ForegroundWindow() = 0;
    // The process owning `window`; 0 when it cannot be read.
    virtual DWORD WindowProcess(HWND window) = 0;
    virtual std::wstring WindowClass(HWND window) = 0;
    // The image file name (no folder) of a process, opened for limited
    // query only; empty when it cannot be read.
    virtual std::wstring ProcessImageName(DWORD processId) = 0;
    virtual std::vector<HWND> ChildWindows(HWND window) = 0;
    virtual bool WindowRect(HWND window, RECT& rect) = 0;
    // The rectangle of the monitor that holds most of `window`.
    virtual bool MonitorRect(HWND window, RECT& rect) = 0;
    // SHQueryUserNotificationState, late-bound from shell32;
    // kNotificationStateUnknown when it is not there or fails.
    virtual int NotificationState() = 0;
    // Writes `text` to this process's standard output handle.
    virtual bool WriteStandardOutput(const std::string& text) = 0;

    // The private namespace the batch's objects live in, named by a boundary
    // that holds the Administrators' SID (which LocalSystem and an elevated
    // administrator hold enabled, a standard user's or a UAC-filtered token
    // does not): created with `security`, or opened when it exists.
    // ERROR_CALL_NOT_IMPLEMENTED when the platform has no private namespaces
    // (Wine).
    virtual CallResult OpenBatchNamespace(const std::wstring& boundary, const std::wstring& alias,
                                          SECURITY_ATTRIBUTES* security, UniqueNamespace& space) = 0;
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

// The platform itself. The desktop probe starts `probeExe` (by default this
// process's own executable).
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
    CallResult OpenProcess(DWORD access, DWORD processId, UniqueHandleObject& process) override;
    CallResult MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS& counters) override;
    CallResult ProcessTimes(HANDLE process, std::uint64_t& created, std::uint64_t& processorTime) override;
    CallResult ProcessSession(DWORD processId, DWORD& session) override;
    CallResult EmptyWorkingSet(HANDLE process) override;
    DWORD ConsoleSession() override;
    CallResult Sessions(std::vector<SessionEntry>& sessions) override;
    CallResult RunDesktopProbe(DWORD session, bool ownSession, DWORD timeoutMs, DWORD& exitCode,
                               std::string& output) override;
    HWND ForegroundWindow() override;
    DWORD WindowProcess(HWND window) override;
    std::wstring WindowClass(HWND window) override;
    std::wstring ProcessImageName(DWORD processId) override;
    std::vector<HWND> ChildWindows(HWND window) override;
    bool WindowRect(HWND window, RECT& rect) override;
    bool MonitorRect(HWND window, RECT& rect) override;
    int NotificationState() override;
    bool WriteStandardOutput(const std::string& text) override;
    CallResult OpenBatchNamespace(const std::wstring& boundary, const std::wstring& alias,
                                  SECURITY_ATTRIBUTES* security, UniqueNamespace& space) override;
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
