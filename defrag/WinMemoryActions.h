#pragma once
// The planner's MemoryActions on Windows, over the SystemCalls seam.
//
// The memory-list commands need the profile privilege
// (SeProfileSingleProcessPrivilege). It is enabled on first need, and a token
// that lacks it is caught by ERROR_NOT_ALL_ASSIGNED after AdjustTokenPrivileges,
// which otherwise reports success: the command is then reported as
// privilege-missing and never sent.

#include <windows.h>

#include <optional>
#include <vector>

#include "defrag/DefragHandles.h"
#include "defrag/Planner.h"
#include "defrag/SystemCalls.h"

namespace nimbora {

class WinMemoryActions final : public MemoryActions {
public:
    explicit WinMemoryActions(SystemCalls& calls) : calls_(calls) {}

    MemoryReading Read() override;
    std::optional<std::vector<ProcessInfo>> Processes() override;
    std::uint32_t ForegroundProcessId() override { return calls_.ForegroundProcessId(); }
    std::uint32_t CurrentProcessId() override { return calls_.CurrentProcessId(); }
    TrimOutcome Trim(std::uint32_t processId) override;
    ActionStatus Run(MemoryCommand command) override;
    bool HoldChunk(std::int64_t bytes) override;
    void ReleaseChunks() override { chunks_.clear(); }
    std::uint64_t Milliseconds() override { return calls_.TickCount(); }

    // asDone when the profile privilege is enabled, asPrivilegeMissing when the
    // token does not hold it, asFailed when the token could not be adjusted.
    ActionStatus ProfilePrivilege();
    // This process's peak working set in bytes; -1 when it cannot be read.
    std::int64_t PeakWorkingSet();

private:
    std::int64_t WorkingSetOf(HANDLE process);

    SystemCalls& calls_;
    std::optional<ActionStatus> privilege_;
    std::vector<UniqueRegion> chunks_;
};

// What a Win32 error or an NTSTATUS means for a step.
ActionStatus StatusForError(DWORD error) noexcept;
ActionStatus StatusForNtStatus(NtStatus status) noexcept;

}  // namespace nimbora
