#pragma once
// The defragmenter's plan: free memory up to a target by the cheapest means
// first, re-reading memory after every step and stopping as soon as the target
// is met.
//
//   1. Trim background processes, largest working set first, never the system
//      processes, the foreground program, this program or an excluded name.
//      Clean pages go to the standby list and count as available at once.
//      When the process list cannot be read, the system-wide command empties
//      every working set instead, but only when there is nobody to protect.
//   2. Flush the modified list (only when enabled): writes pages to disk, the
//      step that stalls machines, so it comes after trimming and only while the
//      target is unmet.
//   3. Purge the standby lists, low priority first (only when enabled): turns
//      cache into free pages. It raises the free count, not available memory,
//      so it has its own target on the free count.
//   4. The last resort, when trimming could not act here: commit and touch the
//      missing amount in bounded chunks, never pushing available memory below
//      a floor, and release it at once, so the memory manager trims others.
//
// Portable: the platform is reached through MemoryActions only.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbora {

struct MemoryReading {
    std::int64_t total = 0;      // physical memory in bytes; 0 when the reading failed
    std::int64_t available = 0;  // available physical memory, as the service measures it
    std::int64_t free = -1;      // zeroed and free pages in bytes; -1 when not known
};

enum class ActionStatus {
    asDone,
    asNotAvailable,      // the platform does not implement it, or there was nothing to act on
    asPrivilegeMissing,  // the privilege it needs could not be enabled
    asAccessDenied,
    asFailed,
};

struct ProcessInfo {
    std::uint32_t id = 0;
    std::wstring name;             // image file name
    std::int64_t workingSet = -1;  // bytes; -1 when the process could not be opened to read it
};

struct TrimOutcome {
    ActionStatus status = ActionStatus::asFailed;
    std::int64_t before = -1;  // the process's working set around the trim; -1 when not read
    std::int64_t after = -1;
};

enum class MemoryCommand {
    mcEmptyWorkingSets,
    mcFlushModifiedList,
    mcPurgeLowPriorityStandbyList,
    mcPurgeStandbyList,
};

// What the planner asks of the platform.
class MemoryActions {
public:
    virtual ~MemoryActions() = default;
    virtual MemoryReading Read() = 0;
    // Every process, or nothing when the list cannot be read.
    virtual std::optional<std::vector<ProcessInfo>> Processes() = 0;
    // The process owning the foreground window; 0 when there is none or it is
    // not visible from here.
    virtual std::uint32_t ForegroundProcessId() = 0;
    virtual std::uint32_t CurrentProcessId() = 0;
    virtual TrimOutcome Trim(std::uint32_t processId) = 0;
    virtual ActionStatus Run(MemoryCommand command) = 0;
    // Commits and touches `bytes` more and holds them; false when refused.
    virtual bool HoldChunk(std::int64_t bytes) = 0;
    // Releases everything HoldChunk holds.
    virtual void ReleaseChunks() = 0;
    // A monotonic clock.
    virtual std::uint64_t Milliseconds() = 0;
};

struct DefragOptions {
    std::vector<std::wstring> exclusions;  // folded names (ParseExclusions)
    bool flushModified = false;
    bool purgeStandby = false;
    // Time for all steps together; a step that would start later is skipped
    // and the loops of trimming and of the last resort stop.
    std::uint64_t budgetMilliseconds = 5000;
    std::int64_t chunkBytes = 32 * 1024 * 1024;
};

struct DefragGoal {
    std::int64_t availableTarget = 0;  // available memory to reach, bytes
    std::int64_t freeTarget = -1;      // free pages the purge aims at; -1 when not known
    std::int64_t ownBytes = 0;         // this run's share: the most the last resort holds
};

enum class StepKind {
    skTrimProcesses,
    skEmptyWorkingSets,
    skFlushModifiedList,
    skPurgeLowPriorityStandby,
    skPurgeStandby,
    skLastResort,
};

struct StepRecord {
    StepKind kind = StepKind::skTrimProcesses;
    ActionStatus status = ActionStatus::asDone;
    std::int64_t availableGain = 0;  // may be negative
    std::int64_t freeGain = 0;       // 0 when the free count is not known
    std::uint64_t milliseconds = 0;
    // Trimming.
    int trimmed = 0;          // processes whose working set was emptied
    int refused = 0;          // could not be opened or trimmed
    int protectedCount = 0;   // left alone: system, foreground, excluded, this program
    std::int64_t workingSetsBefore = 0;  // of the trimmed processes
    std::int64_t workingSetsAfter = 0;
    bool acted = false;       // some working set visibly emptied
    // The last resort.
    std::int64_t held = 0;    // bytes committed and touched at the peak
};

enum class DefragOutcome {
    ocAlreadyFree,  // the target was met before any step
    ocTargetMet,
    ocNotMet,
    ocUnmeasured,   // memory could not be read: nothing was done
};

struct DefragReport {
    DefragGoal goal;
    MemoryReading before;
    MemoryReading after;
    std::vector<StepRecord> steps;
    DefragOutcome outcome = DefragOutcome::ocUnmeasured;
    std::uint64_t milliseconds = 0;

    std::int64_t Freed() const noexcept { return after.available - before.available; }
    const StepRecord* Find(StepKind kind) const noexcept;
};

int ExitCodeFor(DefragOutcome outcome) noexcept;

// The processes to trim, in order, and what was left out.
struct TrimSelection {
    std::vector<ProcessInfo> order;  // largest working set first
    int protectedCount = 0;
    int unreadable = 0;              // working set unknown: the process cannot be opened
};

// Leaves out the system processes, this program (`self`) and its peers, the
// foreground process and every process of the same image name (a browser's or
// a game's helpers), and the excluded names.
TrimSelection SelectForTrimming(std::vector<ProcessInfo> processes, std::uint32_t self, std::uint32_t foreground,
                                const std::vector<std::wstring>& exclusions);

// The lowest available memory the last resort lets the machine fall to.
std::int64_t LastResortFloor(std::int64_t totalPhysical) noexcept;

class Defragmenter {
public:
    Defragmenter(MemoryActions& actions, DefragOptions options);
    DefragReport Run(const DefragGoal& goal);

private:
    bool AvailableMet() const noexcept { return current_.available >= goal_.availableTarget; }
    bool FreeMet() const noexcept;
    bool OutOfTime();
    StepRecord Begin(StepKind kind);
    void Finish(StepRecord& record, const MemoryReading& start);
    void TrimProcesses();
    void Command(StepKind kind, MemoryCommand command);
    void Purge();
    void LastResort();
    bool TrimmingActed() const noexcept;

    MemoryActions& actions_;
    DefragOptions options_;
    DefragGoal goal_;
    MemoryReading current_;
    std::uint64_t started_ = 0;
    std::uint64_t stepStarted_ = 0;
    std::vector<StepRecord> steps_;
};

const wchar_t* StepName(StepKind kind) noexcept;
const wchar_t* StatusName(ActionStatus status) noexcept;

}  // namespace nimbora
