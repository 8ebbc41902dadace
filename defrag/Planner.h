#pragma once
// The worker's plan for one batch: bring available memory (free, zeroed and
// standby pages, what the service measures) back above the level at which
// the service starts a batch, with a margin, never by more than the batch
// asked, touching as little as possible and nothing the user is using.
//
//   0. Nothing to do when available memory is already at the aim. Nothing is
//      trimmed while a full-screen program runs in any active session (when
//      the full-screen check is on).
//   1. Trim idle background processes of the users' sessions, largest private
//      working set first, one at a time, letting memory settle before judging
//      each trim by its own effect, and stop as soon as the goal is met, no
//      candidate is left, or a few trims in a row raised nothing. Never the
//      system, shell, input, accessibility and lock processes, the foreground
//      program of any session with its process tree and every process of its
//      image, the app a frame host shows, the services of session 0 (unless
//      asked), this program and the service, an excluded name, a process that
//      used processor time while it was sampled, or one trimmed within its
//      back-off. A session whose foreground is not known is left alone whole.
//      Trimming moves clean pages to the standby list (available at once) and
//      dirty ones to the modified list (available only once written).
//   2. Flush the modified list (only when enabled), while the goal is unmet
//      after trimming: writes the dirty pages so they become standby.
//   3. Purge the low-priority standby list (only when enabled and the goal is
//      still unmet): the user's explicit choice, reported on its own, since
//      standby pages already count as available.
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
    std::int64_t modified = -1;  // the modified page list in bytes; -1 when not known
};

enum class ActionStatus {
    asDone,
    asNotAvailable,      // the platform does not implement it, or there was nothing to act on
    asPrivilegeMissing,  // the privilege it needs could not be enabled
    asAccessDenied,
    asFailed,
};

inline constexpr std::uint32_t kUnknownSession = 0xFFFFFFFF;

// One process as listed, without opening it.
struct ProcessInfo {
    std::uint32_t id = 0;
    std::uint32_t parentId = 0;             // the creator's id when listed; it may have ended since
    std::wstring name;                      // image file name
    std::int64_t workingSet = -1;           // bytes; -1 when it could not be read
    std::int64_t privateWorkingSet = -1;    // bytes no other process maps; -1 when not known
    bool idle = false;                      // used no processor time while sampled
    std::uint32_t session = kUnknownSession;
    std::uint64_t created = 0;              // creation time: with the id, names the process for good
};

struct TrimOutcome {
    ActionStatus status = ActionStatus::asFailed;
    // The process's working set right before and right after the trim, bytes;
    // -1 when not read. The difference is what the trim took out of it.
    std::int64_t before = -1;
    std::int64_t after = -1;
};

// What the probe found on one interactive session's desktop.
struct SessionDesktop {
    std::uint32_t session = kUnknownSession;
    bool active = true;             // a user is connected (console or remote); false: disconnected
    bool known = false;             // false: the foreground is not known, the whole session is protected
    std::uint32_t foregroundId = 0; // owner of the foreground window (0 counts as not known)
    std::uint32_t hostedAppId = 0;  // the app a frame host window shows; 0 when none
    bool fullScreen = false;        // a full-screen program or presentation mode holds the session
};

// Every interactive session (not the services' session 0).
struct DesktopState {
    bool listed = false;  // false: the sessions could not be listed, every interactive session is protected
    std::vector<SessionDesktop> sessions;

    const SessionDesktop* Find(std::uint32_t session) const noexcept;
    bool AnyFullScreen() const noexcept;
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
    // Every process, listed without opening any, each sampled for processor
    // use; nothing when the list cannot be read.
    virtual std::optional<std::vector<ProcessInfo>> Processes() = 0;
    // Probes every interactive session afresh.
    virtual DesktopState Desktops() = 0;
    virtual std::uint32_t CurrentProcessId() = 0;
    // Opens the process listed by the last Processes() call and trims it,
    // never another one that took its id since (id and creation time).
    virtual TrimOutcome Trim(const ProcessInfo& process) = 0;
    virtual ActionStatus Run(MemoryCommand command) = 0;
    // Lets memory settle: waits `milliseconds`.
    virtual void Pause(std::uint64_t milliseconds) = 0;
    // A monotonic clock.
    virtual std::uint64_t Milliseconds() = 0;
};

// How long a trimmed process is left alone: the first time, and at most after
// doubling for each time it grew back and was trimmed again.
inline constexpr std::uint32_t kBaseHoldMinutes = 10;
inline constexpr std::uint32_t kLongestHoldMinutes = 160;

// A process trimmed earlier, remembered across batches (TrimMarks.h).
struct TrimMark {
    std::uint32_t id = 0;
    std::uint64_t created = 0;
    std::uint64_t trimmedUtc = 0;  // FILETIME units
    std::uint32_t holdMinutes = 10;  // left alone this long after the trim
    bool operator==(const TrimMark&) const = default;
};

struct DefragOptions {
    std::vector<std::wstring> exclusions;   // folded names (ParseExclusions)
    std::vector<TrimMark> remembered;       // marks of earlier trims (RememberedTrimMarks)
    std::uint64_t nowUtc = 0;               // FILETIME, to judge the marks
    bool flushModified = false;
    bool purgeStandby = false;
    bool trimServices = false;              // session-0 processes are candidates too
    bool fullScreenCheck = true;            // a full-screen program in any active session: trim nothing
    // Time for all steps together; trimming stops when it runs out.
    std::uint64_t budgetMilliseconds = 15000;
    std::uint64_t settleMilliseconds = 200;
    // Trimming stops after this many trims in a row that each raised
    // available memory by less than kFruitlessBytes.
    int fruitlessLimit = 3;
    // Polled between trims: what the batch asks by now (instances that handed
    // their amount over late raise it). Empty: the goal's amount stays.
    std::function<std::int64_t()> askedNow;
};

// Below this rise, a trim counts as fruitless.
inline constexpr std::int64_t kFruitlessBytes = 1024 * 1024;
// A process whose private working set is below this is not worth a trim.
inline constexpr std::int64_t kSmallestCandidate = 2 * 1024 * 1024;

struct DefragGoal {
    std::int64_t asked = 0;              // bytes the batch asks for, at most
    std::int64_t triggerLevel = -1;      // available bytes at which the service starts a batch; -1 not known
    std::int64_t baselineAvailable = 0;  // available memory when the batch began (for the record only)
};

// The available memory the batch aims at: the trigger level plus a margin
// (AimMargin), at most the total; without a trigger level, the batch's ask
// decides alone.
std::int64_t AimMargin(std::int64_t total) noexcept;
std::int64_t AimLevel(std::int64_t triggerLevel, std::int64_t total) noexcept;

enum class StepKind {
    skTrimProcesses,
    skFlushModifiedList,
    skPurgeLowPriorityStandby,
};

struct StepRecord {
    StepKind kind = StepKind::skTrimProcesses;
    ActionStatus status = ActionStatus::asDone;
    std::int64_t availableGain = 0;          // may be negative
    std::optional<std::int64_t> freeGain;    // not known when the free count is not
    std::uint64_t milliseconds = 0;
};

// Why processes were left alone, and what the trims did.
struct TrimCounts {
    int trimmed = 0;
    int refused = 0;         // could not be opened, read or trimmed
    int protectedCount = 0;  // system, shell, input, foreground and its tree, excluded, this program, the service
    int unknownSession = 0;  // in a session whose foreground is not known
    int services = 0;        // session 0, not asked for
    int busy = 0;            // used processor time while sampled
    int recent = 0;          // within the back-off of an earlier trim
    int small = 0;           // too little private memory to be worth a trim
    int fruitless = 0;       // trims that raised available memory by less than kFruitlessBytes
};

// What trimming moved, summed over the trims.
struct TrimEffect {
    std::int64_t moved = 0;                  // bytes taken out of working sets
    std::optional<std::int64_t> toModified;  // of which onto the modified list; not known without the list counts
    std::int64_t raised = 0;                 // the sum of each trim's own rise of available memory (may be < 0)
};

enum class DefragOutcome {
    ocNothingToDo,  // available memory was at the aim already: nothing touched
    ocFullScreen,   // a full-screen program runs in a session: nothing touched
    ocGoalMet,
    ocPartial,      // the steps allowed ran out before the goal
    ocUnmeasured,   // memory could not be read: nothing was done
};

// Why trimming ended before the goal.
enum class StopReason {
    srNone,        // the goal was met, or trimming did not run
    srNoCandidate, // every candidate was tried
    srFruitless,   // several trims in a row raised nothing
    srOutOfTime,   // the time allowed ran out
    srNoList,      // the processes could not be listed
};

struct DefragReport {
    DefragGoal goal;
    std::int64_t aim = 0;      // available memory aimed at, bytes
    std::int64_t needed = 0;   // the rise the batch set out to make: min(asked, aim - start)
    MemoryReading start;       // right before the first trim (or the reading that decided nothing was needed)
    MemoryReading after;
    std::vector<StepRecord> steps;
    TrimCounts counts;
    TrimEffect effect;
    StopReason stop = StopReason::srNone;
    int sessionsProtected = 0;   // sessions left alone whole: foreground not known
    int fullScreenSessions = 0;
    std::vector<std::uint32_t> trimmedIds;  // in the order trimmed
    std::vector<TrimMark> newMarks;         // stamped with options.nowUtc
    DefragOutcome outcome = DefragOutcome::ocUnmeasured;
    std::uint64_t milliseconds = 0;

    // The rise of available memory since `start`, never negative.
    std::int64_t Rise() const noexcept;
    const StepRecord* Find(StepKind kind) const noexcept;
};

int ExitCodeFor(DefragOutcome outcome) noexcept;

// The processes to trim, in order, and what was left out.
struct TrimSelection {
    std::vector<ProcessInfo> order;  // largest private working set first
    TrimCounts counts;
    int sessionsProtected = 0;
};

struct SelectionRules {
    std::uint32_t self = 0;
    std::vector<std::wstring> exclusions;
    std::vector<TrimMark> remembered;
    std::uint64_t nowUtc = 0;
    bool trimServices = false;
};

TrimSelection SelectForTrimming(std::vector<ProcessInfo> processes, const DesktopState& desktops,
                                const SelectionRules& rules);

// The hold of a new mark for `process`: the base hold, or twice the hold of a
// still-remembered earlier mark of the same process (it grew back after its
// last trim), at most kLongestHoldMinutes.
std::uint32_t NextHoldMinutes(const ProcessInfo& process, const std::vector<TrimMark>& remembered) noexcept;

class Defragmenter {
public:
    Defragmenter(MemoryActions& actions, DefragOptions options);
    DefragReport Run(const DefragGoal& goal);

private:
    bool OutOfTime();
    std::int64_t Needed(const MemoryReading& start);
    void TrimProcesses(DefragReport& report, std::vector<ProcessInfo> order);
    void Command(DefragReport& report, StepKind kind, MemoryCommand command);

    MemoryActions& actions_;
    DefragOptions options_;
    DefragGoal goal_;
    std::int64_t aim_ = 0;
    MemoryReading current_;
    std::uint64_t started_ = 0;
};

const wchar_t* StepName(StepKind kind) noexcept;
const wchar_t* StatusName(ActionStatus status) noexcept;

}  // namespace nimbora
