#include "defrag/Batch.h"

#include <gtest/gtest.h>

#include <limits>

#include "defrag/Report.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;

MemoryReading Reading(std::int64_t available, std::int64_t free = 100 * MB) { return {8192 * MB, available, free}; }

TEST(DefragBatch, InstancesStartedTogetherShareOneBaselineAndAddUpTheirRequests) {
    BatchState state{};
    const BatchTiming timing;
    const BatchShare a = JoinBatch(state, 5000, Reading(1000 * MB), 1024 * MB, false, timing);
    const BatchShare b = JoinBatch(state, 5040, Reading(1300 * MB), 1024 * MB, false, timing);
    const BatchShare c = JoinBatch(state, 5090, Reading(1500 * MB), 300 * MB, false, timing);

    EXPECT_EQ(a.id, 1u);
    EXPECT_EQ(b.id, a.id);
    EXPECT_EQ(c.id, a.id);
    EXPECT_EQ((std::vector<std::uint32_t>{a.position, b.position, c.position}), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(c.baselineAvailable, 1000 * MB);  // the first instance's reading
    EXPECT_EQ(c.startMs, 5000u);
    EXPECT_EQ(a.cumulativeBytes, 1024 * MB);
    EXPECT_EQ(b.cumulativeBytes, 2048 * MB);
    EXPECT_EQ(c.cumulativeBytes, 2348 * MB);
    EXPECT_EQ(c.ownBytes, 300 * MB);

    const DefragGoal goal = GoalFor(b, 8192 * MB);
    EXPECT_EQ(goal.availableTarget, 1000 * MB + 2048 * MB);
    EXPECT_EQ(goal.freeTarget, 100 * MB + 2048 * MB);
    EXPECT_EQ(goal.ownBytes, 1024 * MB);
}

TEST(DefragBatch, ANewBatchBeginsWhenTheRecordCannotBeContinued) {
    const BatchTiming timing;  // join window 2 s, span 20 s
    struct Case {
        const char* what;
        std::uint64_t now;
        bool suspect;
        std::uint32_t magic;
        bool newBatch;
    };
    // The record: batch 7 began at 100000 ms, last joined at 101000 ms.
    const Case cases[] = {
        {"within the join window", 102900, false, kBatchMagic, false},
        {"just past the join window", 103001, false, kBatchMagic, true},
        {"the last writer died holding the lock", 101100, true, kBatchMagic, true},
        {"a record that is not ours", 101100, false, 0, true},
        {"a clock behind the record", 100500, false, kBatchMagic, true},
    };
    for (const Case& c : cases) {
        BatchState state{};
        state.magic = c.magic;
        state.id = 7;
        state.joined = 2;
        state.startMs = 100000;
        state.lastJoinMs = 101000;
        state.baselineAvailable = 500 * MB;
        state.baselineFree = 10 * MB;
        state.requested = 2048 * MB;
        const BatchShare share = JoinBatch(state, c.now, Reading(900 * MB, -1), 1024 * MB, c.suspect, timing);
        if (c.newBatch) {
            EXPECT_EQ(share.id, c.magic == kBatchMagic ? 8u : 1u) << c.what;
            EXPECT_EQ(share.position, 1u) << c.what;
            EXPECT_EQ(share.baselineAvailable, 900 * MB) << c.what;
            EXPECT_EQ(share.baselineFree, -1) << c.what;
            EXPECT_EQ(share.cumulativeBytes, 1024 * MB) << c.what;
            EXPECT_EQ(share.startMs, c.now) << c.what;
        } else {
            EXPECT_EQ(share.id, 7u) << c.what;
            EXPECT_EQ(share.position, 3u) << c.what;
            EXPECT_EQ(share.baselineAvailable, 500 * MB) << c.what;
            EXPECT_EQ(share.cumulativeBytes, 3072 * MB) << c.what;
        }
    }
}

TEST(DefragBatch, ABatchEndsAtItsSpanEvenWhileInstancesKeepJoining) {
    BatchState state{};
    const BatchTiming timing;
    std::uint64_t id = 0;
    std::uint64_t now = 1000;
    for (; now <= 1000 + timing.spanMs; now += 1000) id = JoinBatch(state, now, Reading(MB), MB, false, timing).id;
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(JoinBatch(state, now, Reading(MB), MB, false, timing).id, 2u);
}

TEST(DefragBatch, GoalsAreCappedAtThePhysicalMemoryAndNeverOverflow) {
    BatchShare share;
    share.baselineAvailable = 7000 * MB;
    share.baselineFree = 50 * MB;
    share.ownBytes = 1024 * MB;
    share.cumulativeBytes = 4096 * MB;
    const DefragGoal capped = GoalFor(share, 8192 * MB);
    EXPECT_EQ(capped.availableTarget, 8192 * MB);
    EXPECT_EQ(capped.freeTarget, 4146 * MB);

    share.cumulativeBytes = std::numeric_limits<std::int64_t>::max();
    share.baselineFree = -1;
    const DefragGoal huge = GoalFor(share, 8192 * MB);
    EXPECT_EQ(huge.availableTarget, 8192 * MB);
    EXPECT_EQ(huge.freeTarget, -1);

    BatchState state{};
    state.magic = kBatchMagic;
    state.joined = 1;
    state.startMs = state.lastJoinMs = 10;
    state.requested = std::numeric_limits<std::int64_t>::max() - MB;
    EXPECT_EQ(JoinBatch(state, 20, Reading(MB), 1024 * MB, false, BatchTiming{}).cumulativeBytes,
              std::numeric_limits<std::int64_t>::max());
}

TEST(DefragBatch, WorkBudgetIsCutAtTheBatchSpan) {
    const BatchTiming timing;  // 5 s per instance, 20 s per batch
    BatchShare share;
    share.startMs = 1000;
    EXPECT_EQ(WorkBudget(share, 1000, timing), 5000u);
    EXPECT_EQ(WorkBudget(share, 18000, timing), 3000u);
    EXPECT_EQ(WorkBudget(share, 21000, timing), 0u);
    EXPECT_EQ(WorkBudget(share, 90000, timing), 0u);
    EXPECT_GT(TurnTimeout(timing), timing.spanMs);
}

TEST(DefragReport, RecordLineCarriesTheFiguresTheTestsRead) {
    RunSummary run;
    run.askedMegabytes = 1024;
    run.share.id = 3;
    run.share.position = 2;
    run.share.cumulativeBytes = 2048 * MB;
    run.share.baselineAvailable = 952 * MB;
    run.exitCode = 3;
    run.peakWorkingSet = 1100 * MB;
    run.report.goal.availableTarget = 3000 * MB;
    run.report.before = {8192 * MB, 1000 * MB, -1};
    run.report.after = {8192 * MB, 998 * MB, -1};
    run.report.outcome = DefragOutcome::ocNotMet;
    run.report.milliseconds = 640;
    StepRecord trim;
    trim.kind = StepKind::skTrimProcesses;
    trim.availableGain = 3 * MB;
    trim.milliseconds = 12;
    StepRecord last;
    last.kind = StepKind::skLastResort;
    last.held = 1024 * MB;
    last.availableGain = -5 * MB;
    last.milliseconds = 600;
    run.report.steps = {trim, last};

    EXPECT_EQ(RecordLine(run),
              "exit=3 asked_mb=1024 batch=3 position=2 share_mb=2048 baseline_mb=952 target_mb=3000 before_mb=1000 after_mb=998 "
              "freed_mb=-2 free_before_mb=unknown free_after_mb=unknown ms=640 held=1073741824 peak_ws=1153433600 "
              "steps=trim:done:+3mb:12ms,last-resort:done:-5mb:600ms");
    const std::wstring text = EventText(run);
    EXPECT_NE(text.find(L"not available"), std::wstring::npos);
    EXPECT_NE(text.find(L"last-resort done, held 1024 MB"), std::wstring::npos);
}

TEST(DefragReport, RejectedArgumentIsQuotedAndCut) {
    EXPECT_EQ(ArgumentEventText(ArgumentKind::akMalformed, L"12x"),
              L"Nothing was freed: the argument is not a decimal megabyte count (\"12x\"). NimboraDefrag.exe takes "
              L"one argument, the number of megabytes to free.");
    const std::wstring longText = ArgumentEventText(ArgumentKind::akOutOfRange, std::wstring(100, L'9'));
    EXPECT_NE(longText.find(std::wstring(64, L'9') + L"...\")"), std::wstring::npos);
    EXPECT_EQ(longText.find(std::wstring(65, L'9')), std::wstring::npos);
}

}  // namespace
}  // namespace nimbora
