// The planner against the model of the page lists: what it trims, in which
// order, when it stops, and what it never touches.

#include "defrag/Planner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "defrag/Batch.h"
#include "defrag/ExitCodes.h"
#include "defrag/MemoryModel.h"
#include "defrag/ProcessNames.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;

// A desktop machine with 8 GiB: 1000 MB available, the user in session 1
// with a browser in the foreground, a busy IDE, and idle background programs.
MemoryModel Desktop() {
    MemoryModel m;
    m.free = 200 * MB;
    m.zeroed = 56 * MB;
    m.standby = 644 * MB;
    m.standbyLowPriority = 100 * MB;
    m.modified = 100 * MB;
    m.processes = {
        {4, L"System", 0, 20 * MB, 0, false, false, 1},
        {500, L"csrss.exe", 1, 40 * MB, 0, false, false, 1},
        {600, L"explorer.exe", 1, 300 * MB, 0, false, false, 1},
        {700, L"dwm.exe", 1, 200 * MB, 0, false, false, 1},
        {800, L"ctfmon.exe", 1, 30 * MB, 0, false, false, 1},
        {1000, L"browser.exe", 1, 1500 * MB, 0, false, false, 1},
        {1001, L"browser.exe", 1, 400 * MB, 0, false, false, 1},
        {1100, L"ide.exe", 1, 900 * MB, 0, true, false, 1},
        {1200, L"backup.exe", 0, 800 * MB, 0, false, false, 1},
        {1300, L"chat.exe", 1, 600 * MB, 100 * MB, false, false, 1},
        {1400, L"updater.exe", 1, 300 * MB, 0, false, false, 1},
        {1500, L"editor.exe", 1, 50 * MB, 700 * MB, false, false, 1},
        {1600, L"game.exe", 1, 1000 * MB, 0, false, false, 1},
        {1700, L"locked.exe", 1, 500 * MB, 0, false, true, 1},
        {9999, L"NimboraDefrag.exe", 0, 3 * MB, 0, false, false, 1},
        {9998, L"NimboraDefrag.exe", 0, 3 * MB, 0, false, false, 1},
    };
    m.other = 8192 * MB - m.Total();
    m.foreground = {true, 1000, 1};
    return m;
}

// Never trimmed on Desktop(), whatever is asked: system, shell and input,
// the foreground image, the busy, the excluded, this program and its peers.
const std::set<std::uint32_t> kUntouchable = {4, 500, 600, 700, 800, 1000, 1001, 1100, 1600, 9999, 9998};

DefragOptions GameExcluded() {
    DefragOptions options;
    options.exclusions = ParseExclusions(L"game");
    return options;
}

struct Case {
    const char* name;
    std::int64_t askedMb;
    void (*tweak)(MemoryModel&, DefragOptions&);
    std::vector<std::uint32_t> trimmed;  // in order
    DefragOutcome outcome;
    std::vector<MemoryCommand> commands;
};

void None(MemoryModel&, DefragOptions&) {}

const Case kCases[] = {
    {"largest idle process first, one trim when it suffices", 700, None, {1200}, DefragOutcome::ocGoalMet, {}},
    {"stops as soon as the goal is met", 1300, None, {1200, 1500, 1300}, DefragOutcome::ocGoalMet, {}},
    {"only dirty pages left: a partial result", 2500, None, {1200, 1500, 1300, 1400}, DefragOutcome::ocPartial, {}},
    {"nothing asked beyond what is free", 0, None, {}, DefragOutcome::ocAlreadyFree, {}},
    {"flush when trimming left the goal unmet",
     2500,
     [](MemoryModel&, DefragOptions& o) { o.flushModified = true; },
     {1200, 1500, 1300, 1400},
     DefragOutcome::ocGoalMet,
     {MemoryCommand::mcFlushModifiedList}},
    {"no flush when trimming met the goal",
     700,
     [](MemoryModel&, DefragOptions& o) { o.flushModified = true; },
     {1200},
     DefragOutcome::ocGoalMet,
     {}},
    {"purge only when asked, after the rest",
     700,
     [](MemoryModel&, DefragOptions& o) { o.purgeStandby = true; },
     {1200},
     DefragOutcome::ocGoalMet,
     {MemoryCommand::mcPurgeLowPriorityStandbyList}},
    {"foreground unknown: nothing in the console session",
     1300,
     [](MemoryModel& m, DefragOptions&) { m.foreground = {false, 0, 1}; },
     {1200},
     DefragOutcome::ocPartial,
     {}},
    {"foreground and console session unknown: only session 0",
     1300,
     [](MemoryModel& m, DefragOptions&) { m.foreground = {false, 0, kUnknownSession}; },
     {1200},
     DefragOutcome::ocPartial,
     {}},
    {"a process trimmed in the window is skipped",
     700,
     [](MemoryModel&, DefragOptions& o) { o.recentlyTrimmed = {{1200, 1, 5}}; },
     {1500, 1300, 1400},
     DefragOutcome::ocGoalMet,
     {}},
    {"a reused id is not the process trimmed before",
     700,
     [](MemoryModel&, DefragOptions& o) { o.recentlyTrimmed = {{1200, 77, 5}}; },
     {1200},
     DefragOutcome::ocGoalMet,
     {}},
    {"no process list: no system-wide command, a partial result",
     700,
     [](MemoryModel& m, DefragOptions&) { m.listFails = true; },
     {},
     DefragOutcome::ocPartial,
     {}},
    {"all memory asked: every candidate once, never the protected",
     8192,
     [](MemoryModel&, DefragOptions& o) { o.flushModified = true; },
     {1200, 1500, 1300, 1400},
     DefragOutcome::ocPartial,
     {MemoryCommand::mcFlushModifiedList}},
    {"out of time: trimming stops",
     2500,
     [](MemoryModel&, DefragOptions& o) { o.budgetMilliseconds = 300; },
     {1200, 1500},
     DefragOutcome::ocPartial,
     {}},
};

class PlannerOnModel : public ::testing::TestWithParam<Case> {};

TEST_P(PlannerOnModel, TrimsWhatTheCaseExpects) {
    const Case& c = GetParam();
    MemoryModel m = Desktop();
    DefragOptions options = GameExcluded();
    c.tweak(m, options);
    const std::int64_t total = m.Total();
    const std::int64_t baseline = m.Available();
    const std::int64_t standbyBefore = m.standbyLowPriority;

    const DefragReport r = Defragmenter(m, options).Run({baseline, c.askedMb * MB});

    EXPECT_EQ(m.trimmedIds, c.trimmed);
    EXPECT_EQ(r.trimmedIds, c.trimmed);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(m.commands, c.commands);
    EXPECT_EQ(m.Total(), total) << "a page was lost or counted twice";
    for (const std::uint32_t id : m.trimmedIds) EXPECT_EQ(kUntouchable.count(id), 0u) << "trimmed " << id;
    EXPECT_EQ(r.Freed(), std::max<std::int64_t>(0, m.Available() - baseline));
    if (c.outcome == DefragOutcome::ocGoalMet) {
        EXPECT_GE(m.Available() - baseline, c.askedMb * MB);
    }
    if (const StepRecord* purge = r.Find(StepKind::skPurgeLowPriorityStandby)) {
        EXPECT_EQ(purge->availableGain, 0) << "purging cannot raise available memory";
        EXPECT_EQ(purge->freeGain, standbyBefore);
    }
    EXPECT_EQ(r.newMarks.size(), c.trimmed.size());
}

// Shown by its description, not its bytes, in failures and test lists.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// A test name from the description: letters and digits, words joined.
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
    std::string name;
    bool capital = true;
    for (const char* p = param.param.name; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p)) == 0) {
            capital = true;
            continue;
        }
        name += capital ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : *p;
        capital = false;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, PlannerOnModel, ::testing::ValuesIn(kCases), CaseName);

TEST(PlannerOnModel, ExitCodesFollowTheOutcome) {
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocAlreadyFree), kExitDone);
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocGoalMet), kExitDone);
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocPartial), kExitPartial);
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocUnmeasured), kExitInternalError);
}

TEST(PlannerOnModel, UnreadableMemoryDoesNothing) {
    MemoryModel m = Desktop();
    m.readFails = true;
    const DefragReport r = Defragmenter(m, {}).Run({1000 * MB, 700 * MB});
    EXPECT_EQ(r.outcome, DefragOutcome::ocUnmeasured);
    EXPECT_TRUE(m.trimmedIds.empty());
}

TEST(PlannerOnModel, AmountsHandedOverLateRaiseTheGoal) {
    MemoryModel m = Desktop();
    DefragOptions options = GameExcluded();
    std::int64_t asked = 700 * MB;
    // A late instance adds its amount once the first trim is done.
    options.askedNow = [&] {
        if (m.trims >= 1) asked = 1300 * MB;
        return asked;
    };
    const DefragReport r = Defragmenter(m, options).Run({m.Available(), 700 * MB});
    EXPECT_EQ(m.trimmedIds, (std::vector<std::uint32_t>{1200, 1500, 1300}));
    EXPECT_EQ(r.goal.asked, 1300 * MB);
    EXPECT_EQ(r.outcome, DefragOutcome::ocGoalMet);
}

TEST(PlannerOnModel, TheGoalIsTheRiseOverTheBatchBaseline) {
    // Memory freed by others since the batch began counts: nothing to trim.
    MemoryModel m = Desktop();
    const DefragReport r = Defragmenter(m, {}).Run({m.Available() - 800 * MB, 700 * MB});
    EXPECT_EQ(r.outcome, DefragOutcome::ocAlreadyFree);
    EXPECT_TRUE(m.trimmedIds.empty());
    EXPECT_EQ(r.Freed(), 800 * MB);
}

TEST(PlannerOnModel, ABatchOfFifteenAmountsIsWorkedOnce) {
    MemoryModel m = Desktop();
    BatchState state{};
    const MemoryReading reading = m.Read();
    const BatchTiming timing;
    int workers = 0;
    for (std::uint32_t i = 0; i < 15; ++i) {
        // Only the first finds the worker's lock free.
        const BatchRole role = EnterBatch(state, i == 0, 10 + i, reading, (i < 14 ? 1024 : 400) * MB, 2000 + i, 0, timing);
        workers += role == BatchRole::brWorker;
        if (i > 0) {
            EXPECT_EQ(role, BatchRole::brHandedOver);
        }
    }
    EXPECT_EQ(workers, 1);
    ASSERT_TRUE(CloseGathering(state, 10 + 14 + timing.quietMs, timing));
    const std::int64_t asked = BatchAsked(state, reading.total);
    EXPECT_EQ(asked, std::min<std::int64_t>((14 * 1024 + 400) * MB, reading.total));

    const DefragReport r = Defragmenter(m, GameExcluded()).Run({state.baselineAvailable, asked});
    std::vector<std::uint32_t> sorted = m.trimmedIds;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a process was trimmed twice";
    EXPECT_EQ(m.trimmedIds, (std::vector<std::uint32_t>{1200, 1500, 1300, 1400}));
    EXPECT_EQ(r.outcome, DefragOutcome::ocPartial);
}

TEST(PlannerSelection, ForegroundImageSharesItsProtection) {
    std::vector<ProcessInfo> list = {
        {1000, L"Browser.exe", 100 * MB, true, 1, 1},
        {1001, L"browser.EXE", 300 * MB, true, 1, 1},
        {1002, L"other.exe", 50 * MB, true, 1, 1},
        {1003, L"sihost.exe", 60 * MB, true, 1, 1},
        {1004, L"StartMenuExperienceHost.exe", 60 * MB, true, 1, 1},
        {1005, L"TextInputHost.exe", 60 * MB, true, 1, 1},
        {1006, L"empty.exe", 0, true, 1, 1},
    };
    const TrimSelection s = SelectForTrimming(list, 1, {true, 1000, 1}, {}, {});
    ASSERT_EQ(s.order.size(), 1u);
    EXPECT_EQ(s.order[0].id, 1002u);
    EXPECT_EQ(s.counts.protectedCount, 5);
}

}  // namespace
}  // namespace nimbora
