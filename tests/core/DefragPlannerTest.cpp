#include "defrag/Planner.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "defrag/Batch.h"
#include "defrag/ExitCodes.h"
#include "defrag/ProcessNames.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;

struct FakeProcess {
    std::uint32_t id;
    std::wstring name;
    std::int64_t workingSet;
    std::int64_t reclaim;  // bytes that become available when it is trimmed
    ActionStatus trim = ActionStatus::asDone;
    bool unreadable = false;
};

struct CommandEffect {
    ActionStatus status = ActionStatus::asDone;
    std::int64_t available = 0;  // gains
    std::int64_t free = 0;
};

// A machine whose memory moves the way the steps move it, with a log of every
// action in order. `shrinks` false models a platform whose trims succeed but
// change nothing (Wine).
class FakeMachine : public MemoryActions {
public:
    std::int64_t total = 8192 * MB;
    std::int64_t available = 1000 * MB;
    std::int64_t free = 100 * MB;  // -1: not known
    std::vector<FakeProcess> processes;
    bool listFails = false;
    bool shrinks = true;
    std::uint32_t foreground = 0;
    std::uint32_t self = 777;
    std::map<MemoryCommand, CommandEffect> commands;
    // The last resort: holding takes from available; under pressure (below
    // `pressureLine`) the memory manager gives back what others can spare.
    std::int64_t othersTrimmable = 0;
    std::int64_t pressureLine = 0;
    std::int64_t held = 0;
    int refuseChunkAfter = -1;  // chunks accepted before refusing; -1 never
    std::vector<std::int64_t> chunks;
    std::uint64_t clock = 0;
    std::uint64_t msPerTrim = 1;
    std::vector<std::wstring> log;

    MemoryReading Read() override { return {total, available, free}; }
    std::optional<std::vector<ProcessInfo>> Processes() override {
        if (listFails) return std::nullopt;
        std::vector<ProcessInfo> list;
        for (const FakeProcess& p : processes) list.push_back({p.id, p.name, p.unreadable ? -1 : p.workingSet});
        return list;
    }
    std::uint32_t ForegroundProcessId() override { return foreground; }
    std::uint32_t CurrentProcessId() override { return self; }
    TrimOutcome Trim(std::uint32_t id) override {
        clock += msPerTrim;
        log.push_back(L"trim " + std::to_wstring(id));
        for (FakeProcess& p : processes) {
            if (p.id != id) continue;
            if (p.trim != ActionStatus::asDone) return {p.trim, -1, -1};
            const std::int64_t before = p.workingSet;
            if (shrinks) {
                available += p.reclaim;
                p.reclaim = 0;
                p.workingSet /= 10;
            }
            return {ActionStatus::asDone, before, p.workingSet};
        }
        return {ActionStatus::asFailed, -1, -1};
    }
    ActionStatus Run(MemoryCommand command) override {
        log.push_back(L"run " + std::to_wstring(static_cast<int>(command)));
        const auto it = commands.find(command);
        if (it == commands.end()) return ActionStatus::asNotAvailable;
        if (it->second.status == ActionStatus::asDone) {
            available += it->second.available;
            if (free >= 0) free += it->second.free;
        }
        return it->second.status;
    }
    bool HoldChunk(std::int64_t bytes) override {
        if (refuseChunkAfter >= 0 && static_cast<int>(chunks.size()) >= refuseChunkAfter) return false;
        chunks.push_back(bytes);
        held += bytes;
        available -= bytes;
        if (available < pressureLine) {
            const std::int64_t give = std::min(othersTrimmable, pressureLine - available);
            othersTrimmable -= give;
            available += give;
        }
        return true;
    }
    void ReleaseChunks() override {
        if (held > 0) log.push_back(L"release " + std::to_wstring(held / MB));
        available += held;
        if (free >= 0) free += held;
        held = 0;
    }
    std::uint64_t Milliseconds() override { return clock; }

    std::vector<std::wstring> Trims() const {
        std::vector<std::wstring> trims;
        for (const std::wstring& entry : log)
            if (entry.rfind(L"trim ", 0) == 0) trims.push_back(entry);
        return trims;
    }
    bool Logged(const std::wstring& entry) const {
        for (const std::wstring& e : log)
            if (e == entry) return true;
        return false;
    }
};

std::wstring RunOf(MemoryCommand command) { return L"run " + std::to_wstring(static_cast<int>(command)); }

DefragGoal Goal(std::int64_t availableTarget, std::int64_t ownBytes = 1024 * MB, std::int64_t freeTarget = -1) {
    return {availableTarget, freeTarget, ownBytes};
}

// Four background processes that each give back half their working set.
FakeMachine Desktop() {
    FakeMachine m;
    m.processes = {
        {10, L"chrome.exe", 900 * MB, 450 * MB},
        {11, L"code.exe", 300 * MB, 150 * MB},
        {12, L"steam.exe", 1200 * MB, 600 * MB},
        {13, L"spotify.exe", 200 * MB, 100 * MB},
    };
    return m;
}

TEST(DefragPlanner, TrimsLargestFirstAndStopsAtTheTarget) {
    FakeMachine m = Desktop();
    m.commands[MemoryCommand::mcFlushModifiedList] = {ActionStatus::asDone, 500 * MB, 0};
    DefragOptions options;
    options.flushModified = true;
    const DefragReport r = Defragmenter(m, options).Run(Goal(1000 * MB + 1024 * MB));

    EXPECT_EQ(m.Trims(), (std::vector<std::wstring>{L"trim 12", L"trim 10"}));
    EXPECT_FALSE(m.Logged(RunOf(MemoryCommand::mcFlushModifiedList)));  // the target was met by trimming
    EXPECT_TRUE(m.chunks.empty());
    EXPECT_EQ(r.outcome, DefragOutcome::ocTargetMet);
    EXPECT_EQ(ExitCodeFor(r.outcome), kExitDone);
    ASSERT_EQ(r.steps.size(), 1u);
    EXPECT_EQ(r.steps[0].kind, StepKind::skTrimProcesses);
    EXPECT_EQ(r.steps[0].trimmed, 2);
    EXPECT_TRUE(r.steps[0].acted);
    EXPECT_EQ(r.steps[0].availableGain, 1050 * MB);
    EXPECT_EQ(r.Freed(), 1050 * MB);
}

TEST(DefragPlanner, MemoryAlreadyFreeEnoughRunsNoStep) {
    FakeMachine m = Desktop();
    const DefragReport r = Defragmenter(m, {}).Run(Goal(900 * MB));
    EXPECT_EQ(r.outcome, DefragOutcome::ocAlreadyFree);
    EXPECT_EQ(ExitCodeFor(r.outcome), kExitDone);
    EXPECT_TRUE(r.steps.empty());
    EXPECT_TRUE(m.log.empty());
}

TEST(DefragPlanner, NeverTrimsProtectedProcesses) {
    FakeMachine m = Desktop();
    m.self = 50;
    m.foreground = 10;  // chrome in front: its helpers share its name
    m.processes.push_back({4, L"System", 5000 * MB, 5000 * MB});
    m.processes.push_back({20, L"chrome.exe", 800 * MB, 400 * MB});
    m.processes.push_back({21, L"dwm.exe", 700 * MB, 350 * MB});
    m.processes.push_back({22, L"OBS64.EXE", 600 * MB, 300 * MB});
    m.processes.push_back({50, L"NimboraDefrag.exe", 900 * MB, 450 * MB});
    m.processes.push_back({51, L"nimbodefrag.exe", 1 * MB, 0});
    m.processes.push_back({52, L"NIMBORADEFRAG.EXE", 900 * MB, 450 * MB});  // a peer of the batch
    DefragOptions options;
    options.exclusions = {L"obs64"};
    const DefragReport r = Defragmenter(m, options).Run(Goal(100000 * MB));

    EXPECT_EQ(m.Trims(), (std::vector<std::wstring>{L"trim 12", L"trim 11", L"trim 13", L"trim 51"}));
    ASSERT_NE(r.Find(StepKind::skTrimProcesses), nullptr);
    EXPECT_EQ(r.Find(StepKind::skTrimProcesses)->protectedCount, 7);
    EXPECT_EQ(r.outcome, DefragOutcome::ocNotMet);
    EXPECT_EQ(ExitCodeFor(r.outcome), kExitNotAvailable);
    // Trimming worked, so the last resort does not page out what was protected.
    EXPECT_EQ(r.Find(StepKind::skLastResort), nullptr);
}

TEST(DefragPlanner, ProcessesThatCannotBeOpenedOrTrimmedAreSkipped) {
    FakeMachine m = Desktop();
    m.processes[2].unreadable = true;                   // steam: cannot be opened at all
    m.processes[0].trim = ActionStatus::asAccessDenied;  // chrome: opened for reading, not for trimming
    const DefragReport r = Defragmenter(m, {}).Run(Goal(1000 * MB + 200 * MB));

    EXPECT_EQ(m.Trims(), (std::vector<std::wstring>{L"trim 10", L"trim 11", L"trim 13"}));
    const StepRecord* trim = r.Find(StepKind::skTrimProcesses);
    ASSERT_NE(trim, nullptr);
    EXPECT_EQ(trim->refused, 2);
    EXPECT_EQ(trim->trimmed, 2);
    EXPECT_EQ(trim->status, ActionStatus::asDone);
    EXPECT_EQ(r.outcome, DefragOutcome::ocTargetMet);
}

TEST(DefragPlanner, StepsRunCheapestFirstOnlyWhileTheTargetIsUnmet) {
    FakeMachine m = Desktop();
    m.commands[MemoryCommand::mcFlushModifiedList] = {ActionStatus::asDone, 300 * MB, 0};
    m.commands[MemoryCommand::mcPurgeLowPriorityStandbyList] = {ActionStatus::asDone, 0, 200 * MB};
    m.commands[MemoryCommand::mcPurgeStandbyList] = {ActionStatus::asDone, 0, 900 * MB};
    DefragOptions options;
    options.flushModified = true;
    options.purgeStandby = true;
    const DefragReport r = Defragmenter(m, options).Run(Goal(1000 * MB + 1500 * MB, 1024 * MB, 100 * MB + 1000 * MB));

    std::vector<StepKind> kinds;
    for (const StepRecord& s : r.steps) kinds.push_back(s.kind);
    EXPECT_EQ(kinds, (std::vector<StepKind>{StepKind::skTrimProcesses, StepKind::skFlushModifiedList,
                                            StepKind::skPurgeLowPriorityStandby, StepKind::skPurgeStandby}));
    EXPECT_EQ(m.Trims().size(), 4u);
    EXPECT_EQ(r.Find(StepKind::skFlushModifiedList)->availableGain, 300 * MB);
    // Purging turns cache into free pages: the free count rises, available memory does not.
    EXPECT_EQ(r.Find(StepKind::skPurgeStandby)->freeGain, 900 * MB);
    EXPECT_EQ(r.Find(StepKind::skPurgeStandby)->availableGain, 0);
    EXPECT_EQ(r.outcome, DefragOutcome::ocTargetMet);
}

TEST(DefragPlanner, FlushAndPurgeAreOffByDefault) {
    FakeMachine m = Desktop();
    m.commands[MemoryCommand::mcFlushModifiedList] = {ActionStatus::asDone, 300 * MB, 0};
    m.commands[MemoryCommand::mcPurgeLowPriorityStandbyList] = {ActionStatus::asDone, 0, 200 * MB};
    const DefragReport r = Defragmenter(m, {}).Run(Goal(1000 * MB + 1500 * MB, 1024 * MB, 5000 * MB));
    for (const std::wstring& entry : m.log) EXPECT_EQ(entry.rfind(L"run ", 0), std::wstring::npos) << entry;
    EXPECT_EQ(r.outcome, DefragOutcome::ocNotMet);
}

TEST(DefragPlanner, PurgeStopsAfterTheLowPriorityListWhenThatIsEnough) {
    FakeMachine m = Desktop();
    m.commands[MemoryCommand::mcPurgeLowPriorityStandbyList] = {ActionStatus::asDone, 0, 600 * MB};
    m.commands[MemoryCommand::mcPurgeStandbyList] = {ActionStatus::asDone, 0, 900 * MB};
    DefragOptions options;
    options.purgeStandby = true;
    Defragmenter(m, options).Run(Goal(900 * MB, 1024 * MB, 100 * MB + 500 * MB));
    EXPECT_TRUE(m.Logged(RunOf(MemoryCommand::mcPurgeLowPriorityStandbyList)));
    EXPECT_FALSE(m.Logged(RunOf(MemoryCommand::mcPurgeStandbyList)));

    // With the free count unknown nothing shows the low priority part fell
    // short: the whole standby list is left alone.
    FakeMachine blind = Desktop();
    blind.free = -1;
    blind.commands = m.commands;
    Defragmenter(blind, options).Run(Goal(900 * MB, 1024 * MB, -1));
    EXPECT_TRUE(blind.Logged(RunOf(MemoryCommand::mcPurgeLowPriorityStandbyList)));
    EXPECT_FALSE(blind.Logged(RunOf(MemoryCommand::mcPurgeStandbyList)));
}

TEST(DefragPlanner, AFailingStepDoesNotStopTheLaterOnes) {
    FakeMachine m = Desktop();
    m.commands[MemoryCommand::mcFlushModifiedList] = {ActionStatus::asPrivilegeMissing, 0, 0};
    m.commands[MemoryCommand::mcPurgeLowPriorityStandbyList] = {ActionStatus::asFailed, 0, 0};
    m.commands[MemoryCommand::mcPurgeStandbyList] = {ActionStatus::asDone, 0, 700 * MB};
    DefragOptions options;
    options.flushModified = true;
    options.purgeStandby = true;
    const DefragReport r = Defragmenter(m, options).Run(Goal(1000 * MB + 1500 * MB, 1024 * MB, 100 * MB + 500 * MB));
    EXPECT_EQ(r.Find(StepKind::skFlushModifiedList)->status, ActionStatus::asPrivilegeMissing);
    EXPECT_EQ(r.Find(StepKind::skPurgeLowPriorityStandby)->status, ActionStatus::asFailed);
    ASSERT_NE(r.Find(StepKind::skPurgeStandby), nullptr);
    EXPECT_EQ(r.Find(StepKind::skPurgeStandby)->freeGain, 700 * MB);
}

TEST(DefragPlanner, LastResortStandsInWhenTrimmingFreesNothing) {
    FakeMachine m = Desktop();
    m.shrinks = false;                // trims "succeed" and change nothing
    // Available memory is already low: the memory manager gives back from
    // other processes whatever is taken.
    m.pressureLine = 1000 * MB;
    m.othersTrimmable = 2000 * MB;
    m.available = 1000 * MB;
    DefragOptions options;
    options.chunkBytes = 64 * MB;
    const DefragReport r = Defragmenter(m, options).Run(Goal(1000 * MB + 500 * MB, 500 * MB));

    const StepRecord* trim = r.Find(StepKind::skTrimProcesses);
    ASSERT_NE(trim, nullptr);
    EXPECT_FALSE(trim->acted);
    const StepRecord* last = r.Find(StepKind::skLastResort);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->status, ActionStatus::asDone);
    EXPECT_EQ(last->held, 500 * MB);  // the missing amount, no more
    for (const std::int64_t chunk : m.chunks) EXPECT_LE(chunk, 64 * MB);
    EXPECT_EQ(m.held, 0);             // released
    EXPECT_EQ(r.after.available, 1500 * MB);
    EXPECT_EQ(r.outcome, DefragOutcome::ocTargetMet);
    EXPECT_EQ(m.log.back(), L"release 500");
}

TEST(DefragPlanner, LastResortNeverPushesAvailableMemoryBelowTheFloor) {
    FakeMachine m;
    m.total = 4096 * MB;  // floor: 128 MB
    m.available = 300 * MB;
    m.listFails = true;
    m.foreground = 99;    // someone to protect: no system-wide command
    DefragOptions options;
    options.chunkBytes = 64 * MB;
    const DefragReport r = Defragmenter(m, options).Run(Goal(300 * MB + 1024 * MB, 1024 * MB));

    EXPECT_EQ(LastResortFloor(m.total), 128 * MB);
    EXPECT_FALSE(m.Logged(RunOf(MemoryCommand::mcEmptyWorkingSets)));
    const StepRecord* last = r.Find(StepKind::skLastResort);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->held, 172 * MB);  // 300 - 128: the machine is never pressed further
    EXPECT_EQ(r.outcome, DefragOutcome::ocNotMet);
    EXPECT_EQ(r.after.available, 300 * MB);
}

TEST(DefragPlanner, LastResortStopsAtARefusedChunkAndReleasesWhatItHeld) {
    FakeMachine m = Desktop();
    m.shrinks = false;
    m.refuseChunkAfter = 3;
    DefragOptions options;
    options.chunkBytes = 32 * MB;
    const DefragReport r = Defragmenter(m, options).Run(Goal(1000 * MB + 1024 * MB));
    EXPECT_EQ(r.Find(StepKind::skLastResort)->held, 96 * MB);
    EXPECT_EQ(r.Find(StepKind::skLastResort)->status, ActionStatus::asDone);
    EXPECT_EQ(m.held, 0);

    FakeMachine none = Desktop();
    none.shrinks = false;
    none.refuseChunkAfter = 0;
    const DefragReport r2 = Defragmenter(none, options).Run(Goal(1000 * MB + 1024 * MB));
    EXPECT_EQ(r2.Find(StepKind::skLastResort)->status, ActionStatus::asFailed);
    EXPECT_EQ(ExitCodeFor(r2.outcome), kExitNotAvailable);
}

TEST(DefragPlanner, UnreadableProcessListFallsBackToTheSystemWideCommandOnlyWithNobodyToProtect) {
    FakeMachine m;
    m.listFails = true;
    m.commands[MemoryCommand::mcEmptyWorkingSets] = {ActionStatus::asDone, 800 * MB, 0};
    const DefragReport r = Defragmenter(m, {}).Run(Goal(1000 * MB + 500 * MB));
    EXPECT_EQ(r.Find(StepKind::skTrimProcesses)->status, ActionStatus::asNotAvailable);
    EXPECT_EQ(r.Find(StepKind::skEmptyWorkingSets)->availableGain, 800 * MB);
    EXPECT_EQ(r.Find(StepKind::skLastResort), nullptr);
    EXPECT_EQ(r.outcome, DefragOutcome::ocTargetMet);

    FakeMachine excluded = m;
    excluded.log.clear();
    excluded.available = 1000 * MB;
    DefragOptions options;
    options.exclusions = {L"game.exe"};
    const DefragReport r2 = Defragmenter(excluded, options).Run(Goal(1000 * MB + 500 * MB, 100 * MB));
    EXPECT_FALSE(excluded.Logged(RunOf(MemoryCommand::mcEmptyWorkingSets)));
    EXPECT_NE(r2.Find(StepKind::skLastResort), nullptr);  // trimming could not act
}

TEST(DefragPlanner, TheTimeBudgetEndsTheLoops) {
    FakeMachine m = Desktop();
    m.shrinks = false;
    m.msPerTrim = 400;
    DefragOptions options;
    options.budgetMilliseconds = 1000;
    const DefragReport r = Defragmenter(m, options).Run(Goal(1000 * MB + 1024 * MB));
    EXPECT_EQ(m.Trims().size(), 3u);
    EXPECT_EQ(r.Find(StepKind::skLastResort), nullptr);  // no time left for it
    EXPECT_EQ(r.outcome, DefragOutcome::ocNotMet);
    EXPECT_EQ(r.milliseconds, 1200u);
}

TEST(DefragPlanner, NothingIsDoneWhenMemoryCannotBeRead) {
    FakeMachine m = Desktop();
    m.total = 0;
    m.available = 0;
    const DefragReport r = Defragmenter(m, {}).Run(Goal(1024 * MB));
    EXPECT_EQ(r.outcome, DefragOutcome::ocUnmeasured);
    EXPECT_EQ(ExitCodeFor(r.outcome), kExitInternalError);
    EXPECT_TRUE(m.log.empty());
}

// Three instances of one batch, one after the other as the work turn lets
// them, against one machine: together they free the batch's total and no
// more, and memory freed by the first counts for the later ones.
TEST(DefragPlanner, ABatchTogetherFreesItsTotal) {
    FakeMachine m;
    m.available = 1000 * MB;
    for (std::uint32_t i = 0; i < 20; ++i)
        m.processes.push_back({100 + i, L"app" + std::to_wstring(i) + L".exe", 500 * MB - i * MB, 250 * MB});
    BatchState state{};
    const BatchTiming timing;
    std::vector<BatchShare> shares;
    for (const std::int64_t asked : {1024, 1024, 300})
        shares.push_back(JoinBatch(state, 10, m.Read(), asked * MB, false, timing));

    std::int64_t freedByRuns = 0;
    std::vector<int> trimmedPerRun;
    for (const BatchShare& share : shares) {
        const DefragReport r = Defragmenter(m, {}).Run(GoalFor(share, m.total));
        EXPECT_EQ(ExitCodeFor(r.outcome), kExitDone);
        freedByRuns += r.Freed();
        trimmedPerRun.push_back(r.steps.empty() ? 0 : r.steps[0].trimmed);
    }
    // 2348 MB at 250 MB per process: ten processes in all, never thirty.
    EXPECT_EQ(m.Trims().size(), 10u);
    EXPECT_EQ(trimmedPerRun, (std::vector<int>{5, 4, 1}));
    EXPECT_EQ(freedByRuns, 2500 * MB);
    EXPECT_GE(m.available, 1000 * MB + 2348 * MB);
}

}  // namespace
}  // namespace nimbora
