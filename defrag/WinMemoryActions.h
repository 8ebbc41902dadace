#pragma once
// The planner's MemoryActions on Windows, over the SystemCalls seam.
//
// Processes are listed without opening any, from the kernel's process
// information (NtQuerySystemInformation): id, creator, session, image name,
// working set, private working set, creation time and processor time, read
// twice a sampling window apart (a process whose time moved is busy). Only
// Trim() opens a process, the one chosen, with only the rights reading and
// trimming a working set need, and checks its creation time against the
// listing first: a process that took a listed id since is never trimmed.
//
// The desktops: every interactive session (not session 0); each active one is
// probed afresh on every call by this program started into it with
// kDesktopProbeSwitch (defrag/ProbeReport.h).
//
// The memory-list commands need the profile privilege
// (SeProfileSingleProcessPrivilege). It is enabled on first need, and a token
// that lacks it is caught by ERROR_NOT_ALL_ASSIGNED after AdjustTokenPrivileges,
// which otherwise reports success: the command is then reported as
// privilege-missing and never sent.

#include <windows.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "defrag/Planner.h"
#include "defrag/ProbeReport.h"
#include "defrag/SystemCalls.h"

namespace nimbora {

inline constexpr DWORD kTrimAccess = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_QUOTA;

class WinMemoryActions final : public MemoryActions {
public:
    explicit WinMemoryActions(SystemCalls& calls, DWORD sampleMs = 500, DWORD probeTimeoutMs = 15000)
        : calls_(calls), sampleMs_(sampleMs), probeTimeoutMs_(probeTimeoutMs) {}

    MemoryReading Read() override;
    std::optional<std::vector<ProcessInfo>> Processes() override;
    DesktopState Desktops() override;
    std::uint32_t CurrentProcessId() override { return calls_.CurrentProcessId(); }
    TrimOutcome Trim(const ProcessInfo& process) override;
    ActionStatus Run(MemoryCommand command) override;
    void Pause(std::uint64_t milliseconds) override;
    std::uint64_t Milliseconds() override { return calls_.TickCount(); }

    // asDone when the profile privilege is enabled, asPrivilegeMissing when the
    // token does not hold it, asFailed when the token could not be adjusted.
    ActionStatus ProfilePrivilege();

private:
    std::int64_t WorkingSetOf(HANDLE process);

    SystemCalls& calls_;
    DWORD sampleMs_;
    DWORD probeTimeoutMs_;
    std::optional<ActionStatus> privilege_;
};

// One process as the process-information class lists it.
struct ListedProcess {
    ProcessInfo info;
    std::uint64_t processorTime = 0;  // kernel plus user time, FILETIME units
};

// The records of a process-information buffer of `size` bytes; nothing when a
// record runs past the buffer or an offset does not move on. An image name
// that does not lie inside the buffer is left empty.
std::optional<std::vector<ListedProcess>> DecodeProcessInformation(const void* buffer, std::size_t size);

// The probe's answer about its own desktop: the foreground window's owner,
// the app a frame host (ApplicationFrameHost.exe) shows, and whether a
// full-screen program holds the desktop (the shell says so, or the foreground
// window covers its monitor; the desktop and taskbar windows do not count).
ProbeReport ProbeDesktop(SystemCalls& calls);

// What a Win32 error or an NTSTATUS means for a step.
ActionStatus StatusForError(DWORD error) noexcept;
ActionStatus StatusForNtStatus(NtStatus status) noexcept;

}  // namespace nimbora
