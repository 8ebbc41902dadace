#pragma once
// The planner's MemoryActions on Windows, over the SystemCalls seam.
//
// Processes are opened while they are listed, with only the rights reading
// and trimming a working set need (PROCESS_QUERY_LIMITED_INFORMATION and
// PROCESS_SET_QUOTA), and the handles are held until the next listing: a
// process id cannot be reused while its process is open, so a trim always
// reaches the process that was listed. Processor time is read twice, a
// sampling window apart; a process whose time moved is busy.
//
// The memory-list commands need the profile privilege
// (SeProfileSingleProcessPrivilege). It is enabled on first need, and a token
// that lacks it is caught by ERROR_NOT_ALL_ASSIGNED after AdjustTokenPrivileges,
// which otherwise reports success: the command is then reported as
// privilege-missing and never sent.

#include <windows.h>

#include <map>
#include <optional>
#include <vector>

#include "defrag/DefragHandles.h"
#include "defrag/Planner.h"
#include "defrag/SystemCalls.h"

namespace nimbora {

inline constexpr DWORD kTrimAccess = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_QUOTA;

class WinMemoryActions final : public MemoryActions {
public:
    explicit WinMemoryActions(SystemCalls& calls, DWORD sampleMs = 500, DWORD probeTimeoutMs = 15000)
        : calls_(calls), sampleMs_(sampleMs), probeTimeoutMs_(probeTimeoutMs) {}

    MemoryReading Read() override;
    std::optional<std::vector<ProcessInfo>> Processes() override;
    // Runs the probe once; later calls give the same answer, so the worker
    // can ask early (while it gathers) and the planner later.
    ForegroundInfo Foreground() override;
    std::uint32_t CurrentProcessId() override { return calls_.CurrentProcessId(); }
    TrimOutcome Trim(const ProcessInfo& process) override;
    ActionStatus Run(MemoryCommand command) override;
    void Pause(std::uint64_t milliseconds) override;
    std::uint64_t Milliseconds() override { return calls_.TickCount(); }

    // asDone when the profile privilege is enabled, asPrivilegeMissing when the
    // token does not hold it, asFailed when the token could not be adjusted.
    ActionStatus ProfilePrivilege();

private:
    struct Opened {
        UniqueHandleObject handle;
        std::uint64_t created = 0;
    };
    std::int64_t WorkingSetOf(HANDLE process);
    ForegroundInfo ProbeForeground();

    SystemCalls& calls_;
    DWORD sampleMs_;
    DWORD probeTimeoutMs_;
    std::optional<ActionStatus> privilege_;
    std::optional<ForegroundInfo> foreground_;
    std::map<std::uint32_t, Opened> opened_;  // by process id, from the last listing
};

// What a Win32 error or an NTSTATUS means for a step.
ActionStatus StatusForError(DWORD error) noexcept;
ActionStatus StatusForNtStatus(NtStatus status) noexcept;

// The foreground probe's exit code: a process id, 0 for no foreground window;
// a code with the top bit set is a crash's status, not an answer.
std::optional<std::uint32_t> ProbeAnswer(DWORD exitCode) noexcept;

}  // namespace nimbora
