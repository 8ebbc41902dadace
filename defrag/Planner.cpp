#include "defrag/Planner.h"

#include <algorithm>
#include <utility>

#include "defrag/ExitCodes.h"
#include "defrag/ProcessNames.h"

namespace nimbora {

namespace {

std::int64_t CappedSum(std::int64_t a, std::int64_t b, std::int64_t cap) {
    a = std::max<std::int64_t>(a, 0);
    b = std::max<std::int64_t>(b, 0);
    return a > cap - std::min(b, cap) ? cap : std::min(a + b, cap);
}

bool RecentlyTrimmed(const ProcessInfo& p, const std::vector<TrimMark>& recent) {
    return std::any_of(recent.begin(), recent.end(),
                       [&](const TrimMark& m) { return m.id == p.id && m.created == p.created; });
}

}  // namespace

std::int64_t DefragReport::Freed() const noexcept {
    return std::max<std::int64_t>(0, after.available - goal.baselineAvailable);
}

const StepRecord* DefragReport::Find(StepKind kind) const noexcept {
    for (const StepRecord& step : steps)
        if (step.kind == kind) return &step;
    return nullptr;
}

int ExitCodeFor(DefragOutcome outcome) noexcept {
    switch (outcome) {
        case DefragOutcome::ocAlreadyFree:
        case DefragOutcome::ocGoalMet: return kExitDone;
        case DefragOutcome::ocPartial: return kExitPartial;
        case DefragOutcome::ocUnmeasured: return kExitInternalError;
    }
    return kExitInternalError;
}

TrimSelection SelectForTrimming(std::vector<ProcessInfo> processes, std::uint32_t self, const ForegroundInfo& foreground,
                                const std::vector<std::wstring>& exclusions, const std::vector<TrimMark>& recent) {
    std::wstring foregroundName;
    if (foreground.known && foreground.processId != 0) {
        for (const ProcessInfo& p : processes)
            if (p.id == foreground.processId) foregroundName = FoldName(p.name);
    }
    // N.B. with the foreground unknown, every process of the console session
    // is the user's; with the console session unknown too, every process
    // outside the services' session 0 is.
    const auto inConsoleSession = [&](const ProcessInfo& p) {
        if (foreground.consoleSession != kUnknownSession) return p.session == foreground.consoleSession;
        return p.session != 0;
    };

    TrimSelection selection;
    for (ProcessInfo& p : processes) {
        const bool isProtected = p.id == self || IsSystemProcess(p.id, p.name) || IsShellProcess(p.name) ||
                                 NameMatches(p.name, FoldName(kDefragImageName)) ||
                                 (foreground.known && foreground.processId != 0 && p.id == foreground.processId) ||
                                 (!foregroundName.empty() && FoldName(p.name) == foregroundName) ||
                                 (!foreground.known && inConsoleSession(p)) || IsExcluded(p.name, exclusions);
        if (isProtected)
            ++selection.counts.protectedCount;
        else if (RecentlyTrimmed(p, recent))
            ++selection.counts.recent;
        else if (p.workingSet < 0)
            ++selection.counts.refused;
        else if (!p.idle)
            ++selection.counts.busy;
        else if (p.workingSet > 0)
            selection.order.push_back(std::move(p));
    }
    std::stable_sort(selection.order.begin(), selection.order.end(), [](const ProcessInfo& a, const ProcessInfo& b) {
        if (a.workingSet != b.workingSet) return a.workingSet > b.workingSet;
        return a.id < b.id;
    });
    return selection;
}

Defragmenter::Defragmenter(MemoryActions& actions, DefragOptions options)
    : actions_(actions), options_(std::move(options)) {}

void Defragmenter::UpdateTarget() {
    if (options_.askedNow) goal_.asked = std::max(goal_.asked, options_.askedNow());
    target_ = CappedSum(goal_.baselineAvailable, goal_.asked, std::max<std::int64_t>(current_.total, 0));
}

DefragReport Defragmenter::Run(const DefragGoal& goal) {
    goal_ = goal;
    steps_.clear();
    started_ = actions_.Milliseconds();
    current_ = actions_.Read();

    DefragReport report;
    report.before = current_;
    if (current_.total <= 0) {
        report.goal = goal_;
        report.after = current_;
        report.outcome = DefragOutcome::ocUnmeasured;
        return report;
    }
    UpdateTarget();

    const bool alreadyFree = Met();
    if (!Met() && !OutOfTime()) TrimProcesses(report);
    UpdateTarget();
    if (options_.flushModified && !Met() && !OutOfTime())
        Command(StepKind::skFlushModifiedList, MemoryCommand::mcFlushModifiedList);
    // N.B. purging leaves available memory where it is (standby pages already
    // count) and throws cache away: only as the user's choice, after the rest.
    if (options_.purgeStandby) Command(StepKind::skPurgeLowPriorityStandby, MemoryCommand::mcPurgeLowPriorityStandbyList);

    UpdateTarget();
    report.goal = goal_;
    report.target = target_;
    report.after = current_;
    report.steps = std::move(steps_);
    report.outcome = alreadyFree ? DefragOutcome::ocAlreadyFree
                     : Met()     ? DefragOutcome::ocGoalMet
                                 : DefragOutcome::ocPartial;
    report.milliseconds = actions_.Milliseconds() - started_;
    return report;
}

bool Defragmenter::OutOfTime() { return actions_.Milliseconds() - started_ >= options_.budgetMilliseconds; }

void Defragmenter::TrimProcesses(DefragReport& report) {
    const MemoryReading start = current_;
    const std::uint64_t stepStarted = actions_.Milliseconds();
    StepRecord record;
    record.kind = StepKind::skTrimProcesses;

    std::optional<std::vector<ProcessInfo>> processes = actions_.Processes();
    report.foreground = actions_.Foreground();
    if (!processes) {
        record.status = ActionStatus::asNotAvailable;
    } else {
        for (const ProcessInfo& p : *processes)
            if (report.foreground.known && report.foreground.processId != 0 && p.id == report.foreground.processId)
                report.foregroundName = p.name;
        TrimSelection selection = SelectForTrimming(std::move(*processes), actions_.CurrentProcessId(),
                                                    report.foreground, options_.exclusions, options_.recentlyTrimmed);
        report.counts = selection.counts;
        ActionStatus lastRefusal = ActionStatus::asNotAvailable;
        current_ = actions_.Read();
        UpdateTarget();
        for (const ProcessInfo& process : selection.order) {
            if (Met() || OutOfTime()) break;
            const TrimOutcome outcome = actions_.Trim(process);
            if (outcome.status == ActionStatus::asDone) {
                ++report.counts.trimmed;
                report.trimmedIds.push_back(process.id);
                report.newMarks.push_back({process.id, process.created, 0});
            } else {
                ++report.counts.refused;
                lastRefusal = outcome.status;
            }
            // Dirty pages reach available memory only once written: judge the
            // trim after a pause, not at once.
            actions_.Pause(options_.settleMilliseconds);
            const MemoryReading reading = actions_.Read();
            if (reading.total > 0) current_ = reading;
            UpdateTarget();
        }
        record.status = report.counts.trimmed > 0 ? ActionStatus::asDone : lastRefusal;
    }
    record.availableGain = current_.available - start.available;
    record.freeGain = start.free >= 0 && current_.free >= 0 ? current_.free - start.free : 0;
    record.milliseconds = actions_.Milliseconds() - stepStarted;
    steps_.push_back(record);
}

void Defragmenter::Command(StepKind kind, MemoryCommand command) {
    const MemoryReading start = current_;
    const std::uint64_t stepStarted = actions_.Milliseconds();
    StepRecord record;
    record.kind = kind;
    record.status = actions_.Run(command);
    if (record.status == ActionStatus::asDone) actions_.Pause(options_.settleMilliseconds);
    const MemoryReading reading = actions_.Read();
    if (reading.total > 0) current_ = reading;
    record.availableGain = current_.available - start.available;
    record.freeGain = start.free >= 0 && current_.free >= 0 ? current_.free - start.free : 0;
    record.milliseconds = actions_.Milliseconds() - stepStarted;
    steps_.push_back(record);
}

const wchar_t* StepName(StepKind kind) noexcept {
    switch (kind) {
        case StepKind::skTrimProcesses: return L"trim";
        case StepKind::skFlushModifiedList: return L"flush-modified";
        case StepKind::skPurgeLowPriorityStandby: return L"purge-low-priority-standby";
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
