#include "defrag/Planner.h"

#include <algorithm>
#include <utility>

#include "defrag/ExitCodes.h"
#include "defrag/ProcessNames.h"

namespace nimbora {

namespace {

constexpr std::int64_t kMegabyte = 1024 * 1024;
// A trim shows that it works here when it at least halves a working set and
// takes a measurable amount off it; drift in the figures of a process that
// the platform did not really trim never does both.
constexpr std::int64_t kVisibleShrink = 64 * 1024;

bool Halved(const TrimOutcome& outcome) {
    return outcome.before > 0 && outcome.after >= 0 && outcome.after * 2 <= outcome.before &&
           outcome.before - outcome.after >= kVisibleShrink;
}

// Releases what the last resort holds however the step ends.
class HeldChunks {
public:
    explicit HeldChunks(MemoryActions& actions) : actions_(actions) {}
    ~HeldChunks() { actions_.ReleaseChunks(); }
    HeldChunks(const HeldChunks&) = delete;
    HeldChunks& operator=(const HeldChunks&) = delete;

private:
    MemoryActions& actions_;
};

}  // namespace

const StepRecord* DefragReport::Find(StepKind kind) const noexcept {
    for (const StepRecord& step : steps)
        if (step.kind == kind) return &step;
    return nullptr;
}

int ExitCodeFor(DefragOutcome outcome) noexcept {
    switch (outcome) {
        case DefragOutcome::ocAlreadyFree:
        case DefragOutcome::ocTargetMet: return kExitDone;
        case DefragOutcome::ocNotMet: return kExitNotAvailable;
        case DefragOutcome::ocUnmeasured: return kExitInternalError;
    }
    return kExitInternalError;
}

TrimSelection SelectForTrimming(std::vector<ProcessInfo> processes, std::uint32_t self, std::uint32_t foreground,
                                const std::vector<std::wstring>& exclusions) {
    std::wstring foregroundName;
    if (foreground != 0) {
        for (const ProcessInfo& p : processes)
            if (p.id == foreground) foregroundName = FoldName(p.name);
    }

    TrimSelection selection;
    for (ProcessInfo& p : processes) {
        const bool isProtected = p.id == self || p.id == foreground || IsSystemProcess(p.id, p.name) ||
                                 NameMatches(p.name, FoldName(kDefragImageName)) ||
                                 (!foregroundName.empty() && FoldName(p.name) == foregroundName) ||
                                 IsExcluded(p.name, exclusions);
        if (isProtected)
            ++selection.protectedCount;
        else if (p.workingSet < 0)
            ++selection.unreadable;
        else
            selection.order.push_back(std::move(p));
    }
    std::stable_sort(selection.order.begin(), selection.order.end(), [](const ProcessInfo& a, const ProcessInfo& b) {
        if (a.workingSet != b.workingSet) return a.workingSet > b.workingSet;
        return a.id < b.id;
    });
    return selection;
}

std::int64_t LastResortFloor(std::int64_t totalPhysical) noexcept {
    return std::max<std::int64_t>(64 * kMegabyte, totalPhysical / 32);
}

Defragmenter::Defragmenter(MemoryActions& actions, DefragOptions options)
    : actions_(actions), options_(std::move(options)) {}

DefragReport Defragmenter::Run(const DefragGoal& goal) {
    goal_ = goal;
    steps_.clear();
    started_ = actions_.Milliseconds();
    current_ = actions_.Read();

    DefragReport report;
    report.goal = goal;
    report.before = current_;
    if (current_.total <= 0) {
        report.after = current_;
        report.outcome = DefragOutcome::ocUnmeasured;
        return report;
    }

    const bool alreadyFree = AvailableMet();
    if (!AvailableMet() && !OutOfTime()) TrimProcesses();
    if (options_.flushModified && !AvailableMet() && !OutOfTime())
        Command(StepKind::skFlushModifiedList, MemoryCommand::mcFlushModifiedList);
    if (options_.purgeStandby && !FreeMet() && !OutOfTime()) Purge();
    if (!AvailableMet() && !TrimmingActed() && !OutOfTime()) LastResort();

    report.after = current_;
    report.steps = std::move(steps_);
    report.outcome = alreadyFree     ? DefragOutcome::ocAlreadyFree
                     : AvailableMet() ? DefragOutcome::ocTargetMet
                                      : DefragOutcome::ocNotMet;
    report.milliseconds = actions_.Milliseconds() - started_;
    return report;
}

bool Defragmenter::FreeMet() const noexcept {
    // N.B. an unknown free count is never met: the purge then runs its low
    // priority part only (see Purge).
    return goal_.freeTarget >= 0 && current_.free >= 0 && current_.free >= goal_.freeTarget;
}

bool Defragmenter::OutOfTime() { return actions_.Milliseconds() - started_ >= options_.budgetMilliseconds; }

StepRecord Defragmenter::Begin(StepKind kind) {
    stepStarted_ = actions_.Milliseconds();
    StepRecord record;
    record.kind = kind;
    return record;
}

void Defragmenter::Finish(StepRecord& record, const MemoryReading& start) {
    record.availableGain = current_.available - start.available;
    record.freeGain = start.free >= 0 && current_.free >= 0 ? current_.free - start.free : 0;
    record.milliseconds = actions_.Milliseconds() - stepStarted_;
    steps_.push_back(record);
}

bool Defragmenter::TrimmingActed() const noexcept {
    for (const StepRecord& step : steps_) {
        if (step.kind == StepKind::skTrimProcesses && step.acted) return true;
        if (step.kind == StepKind::skEmptyWorkingSets && step.status == ActionStatus::asDone) return true;
    }
    return false;
}

void Defragmenter::TrimProcesses() {
    const MemoryReading start = current_;
    StepRecord record = Begin(StepKind::skTrimProcesses);
    std::optional<std::vector<ProcessInfo>> processes = actions_.Processes();
    const std::uint32_t foreground = actions_.ForegroundProcessId();
    if (!processes) {
        record.status = ActionStatus::asNotAvailable;
        Finish(record, start);
        // N.B. the system-wide command empties the protected working sets too:
        // only when there is no foreground program and no excluded name.
        if (foreground == 0 && options_.exclusions.empty())
            Command(StepKind::skEmptyWorkingSets, MemoryCommand::mcEmptyWorkingSets);
        return;
    }

    TrimSelection selection =
        SelectForTrimming(std::move(*processes), actions_.CurrentProcessId(), foreground, options_.exclusions);
    record.protectedCount = selection.protectedCount;
    record.refused = selection.unreadable;
    ActionStatus lastRefusal = selection.unreadable > 0 ? ActionStatus::asAccessDenied : ActionStatus::asNotAvailable;
    for (const ProcessInfo& process : selection.order) {
        if (OutOfTime()) break;
        const TrimOutcome outcome = actions_.Trim(process.id);
        if (outcome.status == ActionStatus::asDone) {
            ++record.trimmed;
            if (outcome.before >= 0 && outcome.after >= 0) {
                record.workingSetsBefore += outcome.before;
                record.workingSetsAfter += outcome.after;
            }
            if (Halved(outcome)) record.acted = true;
        } else {
            ++record.refused;
            lastRefusal = outcome.status;
        }
        current_ = actions_.Read();
        if (AvailableMet()) break;
    }
    record.status = record.trimmed > 0 ? ActionStatus::asDone : lastRefusal;
    Finish(record, start);
}

void Defragmenter::Command(StepKind kind, MemoryCommand command) {
    const MemoryReading start = current_;
    StepRecord record = Begin(kind);
    record.status = actions_.Run(command);
    current_ = actions_.Read();
    Finish(record, start);
}

void Defragmenter::Purge() {
    Command(StepKind::skPurgeLowPriorityStandby, MemoryCommand::mcPurgeLowPriorityStandbyList);
    // The whole standby list only when the free count shows that the low
    // priority part was not enough.
    if (goal_.freeTarget < 0 || current_.free < 0 || FreeMet() || OutOfTime()) return;
    Command(StepKind::skPurgeStandby, MemoryCommand::mcPurgeStandbyList);
}

void Defragmenter::LastResort() {
    const MemoryReading start = current_;
    StepRecord record = Begin(StepKind::skLastResort);
    const std::int64_t wanted = std::min(goal_.availableTarget - current_.available, goal_.ownBytes);
    const std::int64_t floor = LastResortFloor(current_.total);
    std::int64_t held = 0;
    bool refused = false;
    {
        HeldChunks release(actions_);
        while (held < wanted && !OutOfTime()) {
            const std::int64_t room = current_.available - floor;
            const std::int64_t chunk = std::min({options_.chunkBytes, wanted - held, room});
            if (chunk <= 0) break;
            if (!actions_.HoldChunk(chunk)) {
                refused = true;
                break;
            }
            held += chunk;
            current_ = actions_.Read();
            // What is held comes back as free pages on release.
            if (current_.available + held >= goal_.availableTarget) break;
        }
    }
    current_ = actions_.Read();
    record.held = held;
    record.status = held > 0 ? ActionStatus::asDone : refused ? ActionStatus::asFailed : ActionStatus::asNotAvailable;
    Finish(record, start);
}

const wchar_t* StepName(StepKind kind) noexcept {
    switch (kind) {
        case StepKind::skTrimProcesses: return L"trim";
        case StepKind::skEmptyWorkingSets: return L"empty-working-sets";
        case StepKind::skFlushModifiedList: return L"flush-modified";
        case StepKind::skPurgeLowPriorityStandby: return L"purge-low-priority-standby";
        case StepKind::skPurgeStandby: return L"purge-standby";
        case StepKind::skLastResort: return L"last-resort";
    }
    return L"";
}

const wchar_t* StatusName(ActionStatus status) noexcept {
    switch (status) {
        case ActionStatus::asDone: return L"done";
        case ActionStatus::asNotAvailable: return L"not-available";
        case ActionStatus::asPrivilegeMissing: return L"privilege-missing";
        case ActionStatus::asAccessDenied: return L"access-denied";
        case ActionStatus::asFailed: return L"failed";
    }
    return L"";
}

}  // namespace nimbora
