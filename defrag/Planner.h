#pragma once
// The worker's plan for one batch: raise available memory (free, zeroed and
// standby pages, what the service measures) by the amount the batch asks,
// touching as little as possible.
//
//   1. Trim idle background processes, largest working set first, one at a
//      time, letting memory settle before judging each trim, and stop as soon
//      as the goal is met. Never the system, shell and input processes, the
//      foreground program (and every process of its image), this program, an
//      excluded name, a process that used processor time while it was sampled,
//      or one trimmed within the last minutes. When the foreground program is
//      not known, nothing in the console session is trimmed.
//      Trimming moves clean pages to the standby list (available at once) and
//      dirty ones to the modified list (available only once written).
//   2. Flush the modified list (only when enabled), while the goal is unmet
//      after trimming: writes the dirty pages so they become standby.
//   3. Purge the low-priority standby list (only when enabled): the user's
//      explicit choice, reported on its own, since standby pages already count
//      as available.
//
// Portable: the platform is reached through MemoryActions only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimbora {

struct MemoryReading {
    std::int64_t total = 0;      // physical memory in bytes; 0 when the reading failed
    std::int64_t available = 0;  // free + zeroed + standby, as the service measures it
    std::int64_t free = -1;      // zeroed and free pages in bytes; -1 when not known
};

enum class ActionStatus {
    asDone,
    asNotAvailable,      // the platform does not implement it, or there was nothing to act on
    asPrivilegeMissing,  // the privilege it needs could not be enabled
    asAccessDenied,
    asFailed,
};

inline constexpr std::uint32_t kUnknownSession = 0xFFFFFFFF;

struct ProcessInfo {
    std::uint32_t id = 0;
    std::wstring name;               // image file name
    std::int64_t workingSet = -1;    // bytes; -1 when it could not be read
    bool idle = false;               // used no processor time while sampled
    std::uint32_t session = kUnknownSession;
    std::uint64_t created = 0;       // creation time: with the id, names the process for good
};

struct TrimOutcome {
    ActionStatus status = ActionStatus::asFailed;
    std::int64_t before = -1;  // the process's working set around the trim; -1 when not read
    std::int64_t after = -1;
};

// The foreground program of the console session, as far as it could be found.
struct ForegroundInfo {
    bool known = false;                         // false: protect the whole console session
    std::uint32_t processId = 0;                // 0 when known: there is no foreground window
    std::uint32_t consoleSession = kUnknownSession;
};

enum class MemoryCommand {
    mcFlushModifiedList,
    mcPurgeLowPriorityStandbyList,
};

// What the planner asks of the platform.
class MemoryActions {
public:
    virtual ~MemoryActions() = default;
    virtual MemoryReading Read() = 0;
    // Every process, each opened and sampled for processor use; nothing when
    // the list cannot be read.
    virtual std::optional<std::vector<ProcessInfo>> Processes() = 0;
    virtual ForegroundInfo Foreground() = 0;
    virtual std::uint32_t CurrentProcessId() = 0;
    // Trims the process listed by the last Processes() call, never another
    // one that took its id since.
    virtual TrimOutcome Trim(const ProcessInfo& process) = 0;
    virtual ActionStatus Run(MemoryCommand command) = 0;
    // Lets memory settle: waits `milliseconds`.
    virtual void Pause(std::uint64_t milliseconds) = 0;
    // A monotonic clock.
    virtual std::uint64_t Milliseconds() = 0;
};

// A process trimmed earlier, remembered across batches.
struct TrimMark {
    std::uint32_t id = 0;
    std::uint64_t created = 0;
    std::uint64_t trimmedUtc = 0;  // FILETIME units
    bool operator==(const TrimMark&) const = default;
};

struct DefragOptions {
    std::vector<std::wstring> exclusions;  // folded names (ParseExclusions)
    std::vector<TrimMark> recentlyTrimmed;  // never trimmed again in this batch
    bool flushModified = false;
    bool purgeStandby = false;
    // Time for all steps together; trimming stops when it runs out.
    std::uint64_t budgetMilliseconds = 15000;
    std::uint64_t settleMilliseconds = 200;
    // Polled between trims: what the batch asks by now (instances that handed
    // their amount over late raise it). Empty: the goal's amount stays.
    std::function<std::int64_t()> askedNow;
};

struct DefragGoal {
    std::int64_t baselineAvailable = 0;  // available memory when the batch began
    std::int64_t asked = 0;              // bytes the batch asks for
};

enum class StepKind {
    skTrimProcesses,
    skFlushModifiedList,
    skPurgeLowPriorityStandby,
};

struct StepRecord {
    StepKind kind = StepKind::skTrimProcesses;
    ActionStatus status = ActionStatus::asDone;
    std::int64_t availableGain = 0;  // may be negative
    std::int64_t freeGain = 0;       // 0 when the free count is not known
    std::uint64_t milliseconds = 0;
};

// Why processes were left alone.
struct TrimCounts {
    int trimmed = 0;
    int refused = 0;        // could not be opened, read or trimmed
    int protectedCount = 0; // system, shell, foreground, console session, excluded, this program
    int busy = 0;           // used processor time while sampled
    int recent = 0;         // trimmed within the window
};

enum class DefragOutcome {
    ocAlreadyFree,  // the goal was met before any step
    ocGoalMet,
    ocPartial,      // the steps allowed ran out before the goal
    ocUnmeasured,   // memory could not be read: nothing was done
};

struct DefragReport {
    DefragGoal goal;
    std::int64_t target = 0;  // available memory aimed at, bytes
    MemoryReading before;
    MemoryReading after;
    std::vector<StepRecord> steps;
    TrimCounts counts;
    ForegroundInfo foreground;
    std::wstring foregroundName;            // image of the foreground process, when listed
    std::vector<std::uint32_t> trimmedIds;  // in the order trimmed
    std::vector<TrimMark> newMarks;         // trimmedUtc left 0: the caller stamps them
    DefragOutcome outcome = DefragOutcome::ocUnmeasured;
    std::uint64_t milliseconds = 0;

    // The rise of available memory since the batch began, never negative.
    std::int64_t Freed() const noexcept;
    const StepRecord* Find(StepKind kind) const noexcept;
};

int ExitCodeFor(DefragOutcome outcome) noexcept;

// The processes to trim, in order, and what was left out.
struct TrimSelection {
    std::vector<ProcessInfo> order;  // largest working set first
    TrimCounts counts;
};

TrimSelection SelectForTrimming(std::vector<ProcessInfo> processes, std::uint32_t self, const ForegroundInfo& foreground,
                                const std::vector<std::wstring>& exclusions, const std::vector<TrimMark>& recent);

class Defragmenter {
public:
    Defragmenter(MemoryActions& actions, DefragOptions options);
    DefragReport Run(const DefragGoal& goal);

private:
    bool Met() const noexcept { return current_.available >= target_; }
    void UpdateTarget();
    bool OutOfTime();
    void TrimProcesses(DefragReport& report);
    void Command(StepKind kind, MemoryCommand command);

    MemoryActions& actions_;
    DefragOptions options_;
    DefragGoal goal_;
    std::int64_t target_ = 0;
    MemoryReading current_;
    std::uint64_t started_ = 0;
    std::vector<StepRecord> steps_;
};

const wchar_t* StepName(StepKind kind) noexcept;
const wchar_t* StatusName(ActionStatus status) noexcept;

}  // namespace nimbora
