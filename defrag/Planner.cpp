#include "defrag/Planner.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "defrag/ExitCodes.h"
#include "defrag/ProcessNames.h"
#include "defrag/TrimMarks.h"

namespace nimbora {

namespace {

const TrimMark* MarkOf(const ProcessInfo& p, const std::vector<TrimMark>& marks) {
    const TrimMark* found = nullptr;
    for (const TrimMark& m : marks)
        if (m.id == p.id && m.created == p.created && (found == nullptr || m.trimmedUtc > found->trimmedUtc))
            found = &m;
    return found;
}

// What a trim can take: the private working set when known, else the whole.
std::int64_t Trimmable(const ProcessInfo& p) { return p.privateWorkingSet >= 0 ? p.privateWorkingSet : p.workingSet; }

// The processes of the foreground's tree in each session: the foreground
// process and the app a frame host shows, everything they started (down the
// parent links, a child never older than its parent, so a reused parent id
// is not followed), and every process of their images in that session.
std::set<std::uint32_t> ForegroundTrees(const std::vector<ProcessInfo>& processes, const DesktopState& desktops) {
    std::map<std::uint32_t, const ProcessInfo*> byId;
    for (const ProcessInfo& p : processes) byId[p.id] = &p;

    std::set<std::uint32_t> roots;
    std::set<std::pair<std::uint32_t, std::wstring>> images;  // session, folded name
    for (const SessionDesktop& d : desktops.sessions) {
        if (!d.known) continue;
        for (const std::uint32_t id : {d.foregroundId, d.hostedAppId}) {
            const auto it = byId.find(id);
            if (id == 0 || it == byId.end() || it->second->session != d.session) continue;
            roots.insert(id);
            images.insert({d.session, FoldName(it->second->name)});
        }
    }
    std::set<std::uint32_t> tree = roots;
    for (const ProcessInfo& p : processes)
        if (images.count({p.session, FoldName(p.name)}) != 0) tree.insert(p.id);
    // N.B. a few passes reach any depth a real tree has; each pass adds the
    // children of what the last one found.
    for (bool grew = true; grew;) {
        grew = false;
        for (const ProcessInfo& p : processes) {
            if (tree.count(p.id) != 0 || tree.count(p.parentId) == 0 || p.parentId == p.id) continue;
            const auto parent = byId.find(p.parentId);
            if (parent == byId.end() || parent->second->created > p.created) continue;
            tree.insert(p.id);
            grew = true;
        }
    }
    return tree;
}

}  // namespace

const SessionDesktop* DesktopState::Find(std::uint32_t session) const noexcept {
    for (const SessionDesktop& d : sessions)
        if (d.session == session) return &d;
    return nullptr;
}

bool DesktopState::AnyFullScreen() const noexcept {
    return std::any_of(sessions.begin(), sessions.end(),
                       [](const SessionDesktop& d) { return d.active && d.fullScreen; });
}

std::int64_t AimMargin(std::int64_t total) noexcept {
    // N.B. 5 % of the memory, at least 256 MB: under a steady allocation load
    // the next period's ticks stay quiet, while the batch still asks far less
    // than the ask of a whole batch would.
    constexpr std::int64_t kLeast = 256ll * 1024 * 1024;
    return std::max(kLeast, std::max<std::int64_t>(total, 0) / 20);
}

std::int64_t AimLevel(std::int64_t triggerLevel, std::int64_t total) noexcept {
    if (triggerLevel < 0 || total <= 0) return total > 0 ? total : 0;
    const std::int64_t margin = AimMargin(total);
    return triggerLevel > total - margin ? total : triggerLevel + margin;
}

std::int64_t DefragReport::Rise() const noexcept { return std::max<std::int64_t>(0, after.available - start.available); }

const StepRecord* DefragReport::Find(StepKind kind) const noexcept {
    for (const StepRecord& step : steps)
        if (step.kind == kind) return &step;
    return nullptr;
}

int ExitCodeFor(DefragOutcome outcome) noexcept {
    switch (outcome) {
        case DefragOutcome::ocNothingToDo:
        case DefragOutcome::ocFullScreen:
        case DefragOutcome::ocGoalMet: return kExitDone;
        case DefragOutcome::ocPartial: return kExitPartial;
        case DefragOutcome::ocUnmeasured: return kExitInternalError;
    }
    return kExitInternalError;
}

std::uint32_t NextHoldMinutes(const ProcessInfo& process, const std::vector<TrimMark>& remembered) noexcept {
    const TrimMark* mark = MarkOf(process, remembered);
    if (mark == nullptr) return kBaseHoldMinutes;
    const std::uint32_t hold = std::max(mark->holdMinutes, kBaseHoldMinutes);
    return hold >= kLongestHoldMinutes / 2 ? kLongestHoldMinutes : hold * 2;
}

TrimSelection SelectForTrimming(std::vector<ProcessInfo> processes, const DesktopState& desktops,
                                const SelectionRules& rules) {
    const std::set<std::uint32_t> foreground = ForegroundTrees(processes, desktops);
    std::set<std::uint32_t> unknownSessions;

    TrimSelection selection;
    for (ProcessInfo& p : processes) {
        const bool isProtected = p.id == rules.self || IsSystemProcess(p.id, p.name) || IsShellProcess(p.name) ||
                                 IsOwnProcess(p.name) || foreground.count(p.id) != 0 ||
                                 IsExcluded(p.name, rules.exclusions);
        if (isProtected) {
            ++selection.counts.protectedCount;
            continue;
        }
        if (p.session == 0 || p.session == kUnknownSession) {
            // N.B. a process whose session could not be read is treated as a
            // service: never the user's by guess.
            if (!rules.trimServices || p.session == kUnknownSession) {
                ++selection.counts.services;
                continue;
            }
        } else {
            const SessionDesktop* desktop = desktops.listed ? desktops.Find(p.session) : nullptr;
            if (desktop == nullptr || (desktop->active && (!desktop->known || desktop->foregroundId == 0))) {
                ++selection.counts.unknownSession;
                unknownSessions.insert(p.session);
                continue;
            }
        }
        const TrimMark* mark = MarkOf(p, rules.remembered);
        if (mark != nullptr && MarkHolds(*mark, rules.nowUtc))
            ++selection.counts.recent;
        else if (p.workingSet < 0)
            ++selection.counts.refused;
        else if (!p.idle)
            ++selection.counts.busy;
        else if (Trimmable(p) < kSmallestCandidate)
            ++selection.counts.small;
        else
            selection.order.push_back(std::move(p));
    }
    selection.sessionsProtected = static_cast<int>(unknownSessions.size());
    std::stable_sort(selection.order.begin(), selection.order.end(), [](const ProcessInfo& a, const ProcessInfo& b) {
        if (Trimmable(a) != Trimmable(b)) return Trimmable(a) > Trimmable(b);
        return a.id < b.id;
    });
    return selection;
}

Defragmenter::Defragmenter(MemoryActions& actions, DefragOptions options)
    : actions_(actions), options_(std::move(options)) {}

bool Defragmenter::OutOfTime() { return actions_.Milliseconds() - started_ >= options_.budgetMilliseconds; }

std::int64_t Defragmenter::Needed(const MemoryReading& start) {
    if (options_.askedNow) goal_.asked = std::max(goal_.asked, options_.askedNow());
    const std::int64_t toAim = aim_ - start.available;
    return std::max<std::int64_t>(0, std::min(goal_.asked, toAim));
}

DefragReport Defragmenter::Run(const DefragGoal& goal) {
    goal_ = goal;
    started_ = actions_.Milliseconds();
    DefragReport report;
    const auto finish = [&](DefragOutcome outcome) {
        report.goal = goal_;
        report.aim = aim_;
        report.after = current_;
        report.outcome = outcome;
        report.milliseconds = actions_.Milliseconds() - started_;
        return report;
    };

    current_ = actions_.Read();
    report.start = current_;
    if (current_.total <= 0) return finish(DefragOutcome::ocUnmeasured);
    aim_ = AimLevel(goal_.triggerLevel, current_.total);
    report.needed = Needed(current_);
    // N.B. the cheap answer first: no listing and no probe when the pressure
    // is gone already.
    if (report.needed == 0) return finish(DefragOutcome::ocNothingToDo);

    std::optional<std::vector<ProcessInfo>> processes = actions_.Processes();
    // N.B. the desktops are probed after the processor sample, right before
    // the first trim: the foreground is as fresh as it can be.
    const DesktopState desktops = actions_.Desktops();
    for (const SessionDesktop& d : desktops.sessions) report.fullScreenSessions += d.active && d.fullScreen ? 1 : 0;
    if (options_.fullScreenCheck && desktops.AnyFullScreen()) return finish(DefragOutcome::ocFullScreen);

    std::vector<ProcessInfo> order;
    if (processes) {
        SelectionRules rules{actions_.CurrentProcessId(), options_.exclusions, options_.remembered, options_.nowUtc,
                             options_.trimServices};
        TrimSelection selection = SelectForTrimming(std::move(*processes), desktops, rules);
        report.counts = selection.counts;
        report.sessionsProtected = selection.sessionsProtected;
        order = std::move(selection.order);
    }
    // N.B. judged from a reading taken right before the first trim, not from
    // the batch's start seconds ago: what others freed or took meanwhile is
    // not the companion's doing.
    current_ = actions_.Read();
    if (current_.total <= 0) current_ = report.start;
    report.start = current_;
    report.needed = Needed(current_);
    if (report.needed == 0) return finish(DefragOutcome::ocNothingToDo);

    if (!processes) {
        report.stop = StopReason::srNoList;
        report.steps.push_back({StepKind::skTrimProcesses, ActionStatus::asNotAvailable, 0, std::nullopt, 0});
    } else {
        TrimProcesses(report, std::move(order));
    }
    const auto met = [&] { return current_.available - report.start.available >= report.needed; };
    if (options_.flushModified && !met() && !OutOfTime())
        Command(report, StepKind::skFlushModifiedList, MemoryCommand::mcFlushModifiedList);
    // N.B. purging leaves available memory where it is (standby pages already
    // count) and throws cache away: only as the user's choice, and only while
    // the goal is unmet.
    if (options_.purgeStandby && !met())
        Command(report, StepKind::skPurgeLowPriorityStandby, MemoryCommand::mcPurgeLowPriorityStandbyList);
    return finish(met() ? DefragOutcome::ocGoalMet : DefragOutcome::ocPartial);
}

void Defragmenter::TrimProcesses(DefragReport& report, std::vector<ProcessInfo> order) {
    const MemoryReading start = current_;
    const std::uint64_t stepStarted = actions_.Milliseconds();
    StepRecord record;
    record.kind = StepKind::skTrimProcesses;
    ActionStatus lastRefusal = ActionStatus::asNotAvailable;
    bool modifiedKnown = start.modified >= 0;
    std::int64_t toModified = 0;
    int fruitlessInRow = 0;

    report.stop = StopReason::srNoCandidate;
    for (const ProcessInfo& process : order) {
        // N.B. an amount handed over late raises the goal only while trimming
        // goes on; once met, the batch is met.
        if (current_.available - report.start.available >= report.needed) {
            report.stop = StopReason::srNone;
            break;
        }
        if (OutOfTime()) {
            report.stop = StopReason::srOutOfTime;
            break;
        }
        const MemoryReading before = current_;
        const TrimOutcome outcome = actions_.Trim(process);
        if (outcome.status != ActionStatus::asDone) {
            ++report.counts.refused;
            lastRefusal = outcome.status;
            continue;
        }
        ++report.counts.trimmed;
        report.trimmedIds.push_back(process.id);
        report.newMarks.push_back({process.id, process.created, options_.nowUtc,
                                   NextHoldMinutes(process, options_.remembered)});
        const std::int64_t moved =
            outcome.before >= 0 && outcome.after >= 0 ? std::max<std::int64_t>(0, outcome.before - outcome.after) : 0;
        report.effect.moved += moved;

        // Dirty pages reach available memory only once written: judge the
        // trim after a pause, not at once.
        actions_.Pause(options_.settleMilliseconds);
        const MemoryReading reading = actions_.Read();
        if (reading.total > 0) current_ = reading;
        const std::int64_t raised = current_.available - before.available;
        report.effect.raised += raised;
        if (before.modified >= 0 && current_.modified >= 0)
            toModified += std::clamp<std::int64_t>(current_.modified - before.modified, 0, moved);
        else
            modifiedKnown = false;
        report.needed = Needed(report.start);

        if (raised < kFruitlessBytes) {
            ++report.counts.fruitless;
            if (++fruitlessInRow >= options_.fruitlessLimit) {
                report.stop = current_.available - report.start.available >= report.needed ? StopReason::srNone
                                                                                             : StopReason::srFruitless;
                break;
            }
        } else {
            fruitlessInRow = 0;
        }
    }
    if (current_.available - report.start.available >= report.needed) report.stop = StopReason::srNone;
    if (modifiedKnown) report.effect.toModified = toModified;
    record.status = report.counts.trimmed > 0 ? ActionStatus::asDone : lastRefusal;
    record.availableGain = current_.available - start.available;
    if (start.free >= 0 && current_.free >= 0) record.freeGain = current_.free - start.free;
    record.milliseconds = actions_.Milliseconds() - stepStarted;
    report.steps.push_back(record);
}

void Defragmenter::Command(DefragReport& report, StepKind kind, MemoryCommand command) {
    const MemoryReading start = current_;
    const std::uint64_t stepStarted = actions_.Milliseconds();
    StepRecord record;
    record.kind = kind;
    record.status = actions_.Run(command);
    if (record.status == ActionStatus::asDone) actions_.Pause(options_.settleMilliseconds);
    const MemoryReading reading = actions_.Read();
    if (reading.total > 0) current_ = reading;
    record.availableGain = current_.available - start.available;
    if (start.free >= 0 && current_.free >= 0) record.freeGain = current_.free - start.free;
    record.milliseconds = actions_.Milliseconds() - stepStarted;
    report.steps.push_back(record);
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
