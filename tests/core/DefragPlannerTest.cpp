// The planner against the model of the page lists: what it aims at, what it
// trims, in which order, when it stops, and what it never touches.

#include "defrag/Planner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "defrag/Batch.h"
#include "defrag/ExitCodes.h"
#include "defrag/MemoryModel.h"
#include "defrag/ProcessNames.h"
#include "defrag/TrimMarks.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;
constexpr std::uint64_t kNow = 133780000000000000ull;

// A desktop machine with 8 GiB: 1000 MB available, the user in session 1
// with a browser in the foreground (and a WebView child of it), a busy IDE,
// idle background programs, a backup service in session 0. The modified page
// writer is idle (its threshold far away) unless a case starts it.
MemoryModel Desktop() {
    MemoryModel m;
    m.free = 200 * MB;
    m.zeroed = 56 * MB;
    m.standby = 644 * MB;
    m.standbyLowPriority = 100 * MB;
    m.modified = 100 * MB;
    m.writerStart = 8192 * MB;
    m.processes = {
        {4, L"System", 0, 20 * MB, 0, false, false, 1},
        {500, L"csrss.exe", 1, 40 * MB, 0, false, false, 1},
        {600, L"explorer.exe", 1, 300 * MB, 0, false, false, 1},
        {700, L"dwm.exe", 1, 200 * MB, 0, false, false, 1},
        {800, L"ctfmon.exe", 1, 30 * MB, 0, false, false, 1},
        {900, L"NimboraService.exe", 0, 8 * MB, 0, false, false, 1},
        {1000, L"browser.exe", 1, 1500 * MB, 0, false, false, 5, 600},
        {1001, L"browser.exe", 1, 400 * MB, 0, false, false, 6, 1000},
        {1002, L"msedgewebview2.exe", 1, 350 * MB, 0, false, false, 7, 1000},
        {1100, L"ide.exe", 1, 900 * MB, 0, true, false, 1},
        {1200, L"backup.exe", 0, 800 * MB, 0, false, false, 1},
        {1300, L"chat.exe", 1, 600 * MB, 100 * MB, false, false, 1},
        {1400, L"updater.exe", 1, 300 * MB, 0, false, false, 1},
        {1500, L"editor.exe", 1, 50 * MB, 700 * MB, false, false, 1},
        {1600, L"game.exe", 1, 1000 * MB, 0, false, false, 1},
        {1700, L"locked.exe", 1, 500 * MB, 0, false, true, 1},
        {1800, L"office.exe", 1, 100 * MB, 0, false, false, 1, 0, 1},
        {1801, L"officehelper.exe", 1, 20 * MB, 0, true, false, 1, 0, 1},
        {9999, L"NimboraDefrag.exe", 0, 3 * MB, 0, false, false, 1},
        {9998, L"NimboraDefrag.exe", 0, 3 * MB, 0, false, false, 1},
    };
    m.segments = {{1, 400 * MB}};
    m.other = 8192 * MB - m.Total();
    m.SetForeground(1, 1000);
    return m;
}

// Never trimmed on Desktop(), whatever is asked: system, shell and input,
// the service, the foreground image and its child, the busy, the excluded,
// the session-0 service, this program and its peers.
const std::set<std::uint32_t> kUntouchable = {4,    500,  600,  700,  800,  900,  1000, 1001,
                                              1002, 1100, 1200, 1600, 1801, 9999, 9998};

DefragOptions GameExcluded() {
    DefragOptions options;
    options.exclusions = ParseExclusions(L"game");
    options.nowUtc = kNow;
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
    // Private working sets: editor 750 MB (700 dirty), chat 700, locked 500
    // (refuses), updater 300, office 100 (its 400 MB segment is shared).
    {"largest private working set first, stops as soon as the goal is met", 600, None, {1500, 1300},
     DefragOutcome::ocGoalMet, {}},
    {"a refusal is passed over", 900, None, {1500, 1300, 1400}, DefragOutcome::ocGoalMet, {}},
    {"every candidate once, never the protected: a partial result", 1500, None, {1500, 1300, 1400, 1800},
     DefragOutcome::ocPartial, {}},
    {"nothing asked: nothing touched", 0, None, {}, DefragOutcome::ocNothingToDo, {}},
    {"flush when trimming left the goal unmet",
     1500,
     [](MemoryModel&, DefragOptions& o) { o.flushModified = true; },
     {1500, 1300, 1400, 1800},
     DefragOutcome::ocGoalMet,
     {MemoryCommand::mcFlushModifiedList}},
    {"no flush when trimming met the goal",
     600,
     [](MemoryModel&, DefragOptions& o) { o.flushModified = true; },
     {1500, 1300},
     DefragOutcome::ocGoalMet,
     {}},
    {"no purge when the goal was met",
     600,
     [](MemoryModel&, DefragOptions& o) { o.purgeStandby = true; },
     {1500, 1300},
     DefragOutcome::ocGoalMet,
     {}},
    {"purge at the user's choice when the goal is unmet",
     1500,
     [](MemoryModel&, DefragOptions& o) { o.purgeStandby = true; },
     {1500, 1300, 1400, 1800},
     DefragOutcome::ocPartial,
     {MemoryCommand::mcPurgeLowPriorityStandbyList}},
    {"a process within its hold is skipped",
     600,
     [](MemoryModel&, DefragOptions& o) { o.remembered = {{1500, 1, kNow - 5 * kMinuteUtc, 10}}; },
     {1300},
     DefragOutcome::ocGoalMet,
     {}},
    {"a mark whose hold ended holds no more",
     600,
     [](MemoryModel&, DefragOptions& o) { o.remembered = {{1500, 1, kNow - 11 * kMinuteUtc, 10}}; },
     {1500, 1300},
     DefragOutcome::ocGoalMet,
     {}},
    {"a reused id is not the process trimmed before",
     600,
     [](MemoryModel&, DefragOptions& o) { o.remembered = {{1500, 77, kNow - kMinuteUtc, 10}}; },
     {1500, 1300},
     DefragOutcome::ocGoalMet,
     {}},
    {"session-0 services only when asked",
     600,
     [](MemoryModel&, DefragOptions& o) { o.trimServices = true; },
     {1200},
     DefragOutcome::ocGoalMet,
     {}},
    {"no process list: no system-wide command, a partial result",
     600,
     [](MemoryModel& m, DefragOptions&) { m.listFails = true; },
     {},
     DefragOutcome::ocPartial,
     {}},
    {"foreground not known: nothing in its session",
     600,
     [](MemoryModel& m, DefragOptions&) { m.desktops.sessions[0].known = false; },
     {},
     DefragOutcome::ocPartial,
     {}},
    {"no foreground window counts as not known",
     600,
     [](MemoryModel& m, DefragOptions&) { m.desktops.sessions[0].foregroundId = 0; },
     {},
     DefragOutcome::ocPartial,
     {}},
    {"a full-screen program in a session: nothing trimmed",
     600,
     [](MemoryModel& m, DefragOptions&) { m.desktops.sessions[0].fullScreen = true; },
     {},
     DefragOutcome::ocFullScreen,
     {}},
    {"full screen ignored when its check is off",
     600,
     [](MemoryModel& m, DefragOptions& o) {
         m.desktops.sessions[0].fullScreen = true;
         o.fullScreenCheck = false;
     },
     {1500, 1300},
     DefragOutcome::ocGoalMet,
     {}},
    {"out of time: trimming stops",
     1500,
     [](MemoryModel&, DefragOptions& o) { o.budgetMilliseconds = 300; },
     {1500, 1300},
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
    const std::int64_t standbyBefore = m.standbyLowPriority;

    const DefragReport r = Defragmenter(m, options).Run({c.askedMb * MB, -1, 0});

    EXPECT_EQ(m.trimmedIds, c.trimmed);
    EXPECT_EQ(r.trimmedIds, c.trimmed);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(m.commands, c.commands);
    EXPECT_EQ(m.Total(), total) << "a page was lost or counted twice";
    for (const std::uint32_t id : m.trimmedIds)
        if (id != 1200 || !options.trimServices) {
            EXPECT_EQ(kUntouchable.count(id), 0u) << "trimmed " << id;
        }
    EXPECT_EQ(r.Rise(), std::max<std::int64_t>(0, m.Available() - r.start.available));
    if (c.outcome == DefragOutcome::ocGoalMet) {
        EXPECT_GE(m.Available() - r.start.available, c.askedMb * MB);
    }
    if (c.outcome == DefragOutcome::ocPartial) {
        EXPECT_NE(r.stop, StopReason::srNone);
    }
    if (const StepRecord* purge = r.Find(StepKind::skPurgeLowPriorityStandby)) {
        EXPECT_EQ(purge->availableGain, 0) << "purging cannot raise available memory";
        EXPECT_EQ(purge->freeGain, standbyBefore);
    }
    ASSERT_EQ(r.newMarks.size(), c.trimmed.size());
    for (const TrimMark& mark : r.newMarks) EXPECT_EQ(mark.trimmedUtc, kNow);
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
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocNothingToDo), kExitDone);
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocFullScreen), kExitDone);
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocGoalMet), kExitDone);
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocPartial), kExitPartial);
    EXPECT_EQ(ExitCodeFor(DefragOutcome::ocUnmeasured), kExitInternalError);
}

TEST(PlannerOnModel, UnreadableMemoryDoesNothing) {
    MemoryModel m = Desktop();
    m.readFails = true;
    const DefragReport r = Defragmenter(m, {}).Run({700 * MB, -1, 0});
    EXPECT_EQ(r.outcome, DefragOutcome::ocUnmeasured);
    EXPECT_TRUE(m.trimmedIds.empty());
}

TEST(PlannerAim, TheAimIsTheTriggerLevelWithAMarginCappedByTheAsk) {
    // 5 % of the memory, at least 256 MB; never beyond the total.
    EXPECT_EQ(AimMargin(8192 * MB), 429496729);  // 8 GiB / 20
    EXPECT_EQ(AimMargin(2048 * MB), 256 * MB);
    EXPECT_EQ(AimLevel(2458 * MB, 8192 * MB), 2458 * MB + AimMargin(8192 * MB));
    EXPECT_EQ(AimLevel(8000 * MB, 8192 * MB), 8192 * MB);
    EXPECT_EQ(AimLevel(-1, 8192 * MB), 8192 * MB);

    // Desktop(): 1000 MB available. A trigger level of 1100 MB aims at
    // 1100 + 409.6 MB: about 510 MB needed, although 4000 MB were asked.
    MemoryModel m = Desktop();
    const DefragReport r = Defragmenter(m, GameExcluded()).Run({4000 * MB, 1100 * MB, 0});
    EXPECT_EQ(r.needed, 1100 * MB + AimMargin(m.Total()) - 1000 * MB);
    EXPECT_EQ(r.outcome, DefragOutcome::ocGoalMet);
    EXPECT_EQ(m.trimmedIds, (std::vector<std::uint32_t>{1500, 1300}));

    // Above the aim already: nothing is listed, probed or trimmed.
    MemoryModel above = Desktop();
    above.listFails = true;
    const DefragReport none = Defragmenter(above, GameExcluded()).Run({4000 * MB, 500 * MB, 0});
    EXPECT_EQ(none.outcome, DefragOutcome::ocNothingToDo);
    EXPECT_EQ(none.needed, 0);
}

TEST(PlannerAim, DefaultSettingsEndMetWithinAHandfulOfTrimsWhereAskingTheWholeBatchTrimsEverything) {
    // Maintenance is due at 30 % available (the trigger level), a batch asks
    // 60 % of the memory: the service's default settings.
    for (const auto& [totalMb, idle] : {std::pair<std::int64_t, int>{8192, 12}, {24576, 30}}) {
        SCOPED_TRACE(totalMb);
        const std::int64_t asked = totalMb * 60 / 100 * MB;
        const std::int64_t trigger = totalMb * 30 / 100 * MB;

        MemoryModel aimed = DesktopModel(totalMb, totalMb * 30 / 100, idle);
        DefragOptions options;
        options.nowUtc = kNow;
        const DefragReport r = Defragmenter(aimed, options).Run({asked, trigger, 0});
        EXPECT_EQ(r.outcome, DefragOutcome::ocGoalMet);
        EXPECT_LE(r.counts.trimmed, 5);
        EXPECT_GE(aimed.Available(), trigger);
        EXPECT_EQ(std::count(aimed.trimmedIds.begin(), aimed.trimmedIds.end(), 1200u), 0) << "a service was trimmed";

        // The same batch aimed at the whole ask, as a goal over the reading at
        // the start: out of reach, every idle process is trimmed.
        MemoryModel whole = DesktopModel(totalMb, totalMb * 30 / 100, idle);
        options.fruitlessLimit = INT_MAX;
        const DefragReport w = Defragmenter(whole, options).Run({asked, -1, 0});
        EXPECT_EQ(w.outcome, DefragOutcome::ocPartial);
        EXPECT_EQ(w.counts.trimmed, idle);
    }
}

TEST(PlannerStops, AnAllDirtyIdleSetWithTheWriterIdleStopsAfterAFewFruitlessTrims) {
    MemoryModel m = Desktop();
    m.processes.resize(9);  // the system, shell, service and browser only
    for (std::uint32_t i = 0; i < 8; ++i)
        m.processes.push_back({3000 + i, L"worker" + std::to_wstring(i) + L".exe", 1, 0, 300 * MB, false, false, 1});
    m.other = 8192 * MB - m.Total();
    const DefragReport r = Defragmenter(m, GameExcluded()).Run({1000 * MB, -1, 0});
    EXPECT_EQ(r.outcome, DefragOutcome::ocPartial);
    EXPECT_EQ(r.stop, StopReason::srFruitless);
    EXPECT_EQ(r.counts.trimmed, 3);
    EXPECT_EQ(r.counts.fruitless, 3);
    // What the trims moved went to the modified list, and the entry can say so.
    EXPECT_EQ(r.effect.moved, 900 * MB);
    EXPECT_EQ(r.effect.toModified, 900 * MB);

    // With the writer at work the same pages become standby: the trims bear fruit.
    MemoryModel writing = m;
    writing.writerStart = 400 * MB;
    writing.writerBytesPerSecond = 2048 * MB;
    const DefragReport w = Defragmenter(writing, GameExcluded()).Run({1000 * MB, -1, 0});
    EXPECT_EQ(w.outcome, DefragOutcome::ocGoalMet);
}

TEST(PlannerStops, AHandOverAfterTheLoopKeepsTheBatchMet) {
    MemoryModel m = Desktop();
    DefragOptions options = GameExcluded();
    int callsAfterSecondTrim = 0;
    // A late instance's amount arrives once trimming has stopped.
    options.askedNow = [&] {
        if (m.trims < 2) return 600 * MB;
        return ++callsAfterSecondTrim > 1 ? 4000 * MB : 600 * MB;
    };
    const DefragReport r = Defragmenter(m, options).Run({600 * MB, -1, 0});
    EXPECT_EQ(m.trimmedIds, (std::vector<std::uint32_t>{1500, 1300}));
    EXPECT_EQ(r.outcome, DefragOutcome::ocGoalMet);
}

TEST(PlannerStops, AmountsHandedOverWhileTrimmingRaiseTheGoal) {
    MemoryModel m = Desktop();
    DefragOptions options = GameExcluded();
    options.askedNow = [&] { return m.trims >= 1 ? 900 * MB : 600 * MB; };
    const DefragReport r = Defragmenter(m, options).Run({600 * MB, -1, 0});
    EXPECT_EQ(m.trimmedIds, (std::vector<std::uint32_t>{1500, 1300, 1400}));
    EXPECT_EQ(r.goal.asked, 900 * MB);
    EXPECT_EQ(r.outcome, DefragOutcome::ocGoalMet);
}

TEST(PlannerStops, TheGoalIsJudgedFromTheReadingRightBeforeTheFirstTrim) {
    // A program exits between the batch's start and the first trim: what it
    // gave back is not counted as freed.
    MemoryModel m = Desktop();
    const std::int64_t atStart = m.Available();
    m.Release(1600, 1000 * MB);
    const DefragReport r = Defragmenter(m, GameExcluded()).Run({600 * MB, -1, atStart});
    EXPECT_EQ(r.start.available, atStart + 1000 * MB);
    EXPECT_EQ(m.trimmedIds, (std::vector<std::uint32_t>{1500, 1300}));
    EXPECT_EQ(r.goal.baselineAvailable, atStart);
}

TEST(PlannerBackOff, AProcessThatGrewBackWaitsTwiceAsLong) {
    MemoryModel m = Desktop();
    m.processes = {{2000, L"chat.exe", 1, 600 * MB, 0, false, false, 1}, {1000, L"browser.exe", 1, MB, 0, false, false, 1}};
    m.other = 8192 * MB - m.Total();
    std::vector<TrimMark> marks;
    std::uint64_t now = kNow;
    std::vector<std::uint32_t> holds;
    // Every 15 minutes a batch asks; between batches chat.exe touches all
    // its pages again.
    for (int batch = 0; batch < 6; ++batch, now += 15 * kMinuteUtc) {
        m.Allocate(2000, 600 * MB - (m.processes[0].clean + m.processes[0].dirty), true);
        DefragOptions options;
        options.nowUtc = now;
        options.remembered = RememberedTrimMarks(marks, now);
        const DefragReport r = Defragmenter(m, options).Run({500 * MB, -1, 0});
        for (const TrimMark& mark : r.newMarks) {
            marks.push_back(mark);
            holds.push_back(mark.holdMinutes);
        }
        marks = RememberedTrimMarks(marks, now);
    }
    // Trimmed at 0 (10 min), 15 (20 min: it grew back within twice its
    // hold), 45 (40 min); held at 30, 60 and 75.
    EXPECT_EQ(holds, (std::vector<std::uint32_t>{10, 20, 40}));
    EXPECT_EQ(NextHoldMinutes({2000, 0, L"chat.exe", 0, 0, true, 1, 1}, {{2000, 1, kNow, kLongestHoldMinutes}}),
              kLongestHoldMinutes);
}

// Process tables with sessions and parents, through the selection alone.
struct ProtectionCase {
    const char* name;
    std::vector<ProcessInfo> processes;
    DesktopState desktops;
    bool trimServices;
    std::vector<std::uint32_t> candidates;  // in order
};

ProcessInfo P(std::uint32_t id, const wchar_t* name, std::uint32_t session, std::int64_t privateMb,
              std::uint32_t parent = 0, std::uint64_t created = 10) {
    ProcessInfo p;
    p.id = id;
    p.parentId = parent;
    p.name = name;
    p.workingSet = privateMb * MB;
    p.privateWorkingSet = privateMb * MB;
    p.idle = true;
    p.session = session;
    p.created = created;
    return p;
}

SessionDesktop Seen(std::uint32_t session, std::uint32_t foreground, std::uint32_t app = 0) {
    return {session, true, true, foreground, app, false};
}

const ProtectionCase kProtection[] = {
    {"remote session with the console locked: the console is left alone, the remote user's foreground too",
     {P(100, L"LogonUI.exe", 1, 40), P(101, L"mail.exe", 1, 300), P(200, L"word.exe", 2, 400), P(201, L"music.exe", 2, 200)},
     {true, {{1, true, true, 0, 0, false}, Seen(2, 200)}},
     false,
     {201}},
    {"the probe could not answer for a session",
     {P(101, L"mail.exe", 1, 300), P(201, L"music.exe", 2, 200)},
     {true, {{1, true, false, 0, 0, false}, Seen(2, 999)}},
     false,
     {201}},
    {"a session the probe never saw, and sessions that could not be listed",
     {P(101, L"mail.exe", 1, 300), P(301, L"music.exe", 3, 200)},
     {true, {Seen(1, 999)}},
     false,
     {101}},
    {"sessions not listed: every interactive session is left alone",
     {P(101, L"mail.exe", 1, 300), P(201, L"music.exe", 2, 200)},
     {false, {}},
     false,
     {}},
    {"a disconnected session has nobody to disturb",
     {P(101, L"mail.exe", 1, 300), P(301, L"music.exe", 3, 200)},
     {true, {Seen(1, 999), {3, false, false, 0, 0, false}}},
     false,
     {101, 301}},
    {"a frame host and the app it shows, with the app's child",
     {P(400, L"ApplicationFrameHost.exe", 1, 80), P(401, L"CalculatorApp.exe", 1, 120),
      P(402, L"calchelper.exe", 1, 90, 401, 20), P(403, L"notes.exe", 1, 60)},
     {true, {Seen(1, 400, 401)}},
     false,
     {403}},
    {"the foreground's tree: WebView2 children and grandchildren, never a reused parent id",
     {P(500, L"teams.exe", 1, 300, 0, 10), P(501, L"msedgewebview2.exe", 1, 200, 500, 20),
      P(502, L"msedgewebview2.exe", 1, 150, 501, 30), P(503, L"orphan.exe", 1, 100, 500, 5),
      P(504, L"other.exe", 1, 50)},
     {true, {Seen(1, 500)}},
     false,
     {503, 504}},
    {"every process of the foreground's image in its session, not in another",
     {P(600, L"Browser.exe", 1, 100), P(601, L"browser.EXE", 1, 300), P(602, L"browser.exe", 2, 300),
      P(603, L"x.exe", 2, 10)},
     {true, {Seen(1, 600), Seen(2, 603)}},
     false,
     {602}},
    {"accessibility, input, lock and search processes",
     {P(700, L"Narrator.exe", 1, 90), P(701, L"Magnify.exe", 1, 90), P(702, L"osk.exe", 1, 90),
      P(703, L"TabTip.exe", 1, 90), P(704, L"ChsIME.exe", 1, 90), P(705, L"LockApp.exe", 1, 90),
      P(706, L"SearchHost.exe", 1, 90), P(707, L"SearchApp.exe", 1, 90), P(708, L"rdpclip.exe", 1, 90),
      P(709, L"conhost.exe", 1, 90), P(710, L"notes.exe", 1, 10)},
     {true, {Seen(1, 999)}},
     false,
     {710}},
    {"a session-0 database is a service, trimmed only when asked; the product never",
     {P(800, L"sqlservr.exe", 0, 2000), P(801, L"NimboraService.exe", 0, 8), P(802, L"NimboraTray.exe", 1, 9),
      P(803, L"unknown.exe", kUnknownSession, 300)},
     {true, {Seen(1, 999)}},
     false,
     {}},
    {"services asked for",
     {P(800, L"sqlservr.exe", 0, 2000), P(801, L"NimboraService.exe", 0, 8), P(802, L"NimboraTray.exe", 1, 9),
      P(803, L"unknown.exe", kUnknownSession, 300)},
     {true, {Seen(1, 999)}},
     true,
     {800}},
    {"ranked by private working set; too little private memory is not worth a trim",
     {[] { ProcessInfo p = P(900, L"viewer.exe", 1, 1); p.workingSet = 900 * MB; return p; }(),
      [] { ProcessInfo p = P(901, L"mapped.exe", 1, 120); p.workingSet = 700 * MB; return p; }(),
      [] { ProcessInfo p = P(902, L"plain.exe", 1, 300); p.privateWorkingSet = -1; return p; }()},
     {true, {Seen(1, 999)}},
     false,
     {902, 901}},
};

class PlannerProtection : public ::testing::TestWithParam<ProtectionCase> {};

TEST_P(PlannerProtection, OnlyTheExpectedCandidates) {
    const ProtectionCase& c = GetParam();
    SelectionRules rules;
    rules.self = 1;
    rules.trimServices = c.trimServices;
    const TrimSelection s = SelectForTrimming(c.processes, c.desktops, rules);
    std::vector<std::uint32_t> ids;
    for (const ProcessInfo& p : s.order) ids.push_back(p.id);
    EXPECT_EQ(ids, c.candidates);
}

void PrintTo(const ProtectionCase& c, std::ostream* os) { *os << c.name; }

std::string ProtectionName(const ::testing::TestParamInfo<ProtectionCase>& param) {
    return CaseName({Case{param.param.name, 0, None, {}, DefragOutcome::ocGoalMet, {}}, param.index});
}

INSTANTIATE_TEST_SUITE_P(Tables, PlannerProtection, ::testing::ValuesIn(kProtection), ProtectionName);

TEST(PlannerProtection, EveryNeverTrimmedNameIsProtected) {
    // The names the README promises are never trimmed, in any letter case.
    const wchar_t* const names[] = {
        L"System", L"Registry", L"Memory Compression", L"smss.exe", L"csrss.exe", L"wininit.exe",
        L"winlogon.exe", L"services.exe", L"lsass.exe", L"explorer.exe", L"DWM.EXE", L"sihost.exe",
        L"ctfmon.exe", L"TextInputHost.exe", L"StartMenuExperienceHost.exe", L"ShellExperienceHost.exe",
        L"audiodg.exe", L"Narrator.exe", L"Magnify.exe", L"osk.exe", L"TabTip.exe", L"LockApp.exe",
        L"LogonUI.exe", L"SearchHost.exe", L"SearchApp.exe", L"ApplicationFrameHost.exe", L"rdpclip.exe",
        L"conhost.exe", L"NimboraDefrag.exe", L"NimboraService.exe",
    };
    std::vector<ProcessInfo> list;
    std::uint32_t id = 100;
    for (const wchar_t* name : names) list.push_back(P(id++, name, 1, 100));
    list.push_back(P(id, L"plain.exe", 1, 100));
    SelectionRules rules;
    const TrimSelection s = SelectForTrimming(list, {true, {Seen(1, 999)}}, rules);
    ASSERT_EQ(s.order.size(), 1u);
    EXPECT_EQ(s.order[0].name, L"plain.exe");
    EXPECT_EQ(s.counts.protectedCount, static_cast<int>(std::size(names)));
}

TEST(PlannerModel, SharedPagesStayWhileAnotherWorkingSetHoldsThem) {
    MemoryModel m;
    m.free = 100 * MB;
    m.processes = {{1, L"a.exe", 1, 10 * MB, 0, false, false, 1, 0, 1}, {2, L"b.exe", 1, 10 * MB, 0, false, false, 1, 0, 1}};
    m.segments = {{1, 300 * MB}};
    const std::int64_t total = m.Total();
    const auto a = m.Processes()->at(0);
    ASSERT_EQ(a.workingSet, 310 * MB);
    ASSERT_EQ(a.privateWorkingSet, 10 * MB);
    m.Trim(a);
    EXPECT_EQ(m.Available(), 110 * MB) << "only the private pages leave while b.exe holds the segment";
    m.Trim(m.Processes()->at(1));
    EXPECT_EQ(m.Available(), 420 * MB);
    EXPECT_EQ(m.Total(), total);
}

TEST(PlannerModel, TrimmedPagesComeBackSoftFromStandbyAndHardOnceRepurposed) {
    MemoryModel m;
    m.free = 100 * MB;
    m.processes = {{1, L"a.exe", 1, 200 * MB, 0, false, false, 1}, {2, L"b.exe", 1, 0, 0, false, false, 1}};
    m.processes[0].touchPerSecond = 50 * MB;
    const std::int64_t total = m.Total();
    m.Trim(m.Processes()->at(0));
    m.Advance(1000);
    EXPECT_EQ(m.softFaults, 50 * MB);
    EXPECT_EQ(m.hardFaults, 0);
    // Another program takes every free and standby page: a.exe's trimmed
    // pages are repurposed, and its next touches read them from disk.
    m.Allocate(2, m.Available());
    m.Release(2, 60 * MB);
    m.Advance(1000);
    EXPECT_EQ(m.hardFaults, 50 * MB);
    EXPECT_EQ(m.Total(), total);
}

TEST(PlannerModel, TheWriterAndTheStoreTurnModifiedPagesIntoAvailableOnes) {
    MemoryModel m;
    m.modified = 500 * MB;
    m.other = 1000 * MB;
    const std::int64_t total = m.Total();
    m.Advance(1000);  // above the 400 MB threshold: the writer writes 50 MB a second down to 200 MB
    EXPECT_EQ(m.modified, 450 * MB);
    EXPECT_EQ(m.Available(), 50 * MB);
    m.Advance(4000);
    EXPECT_EQ(m.modified, 250 * MB) << "once started, the writer goes on below its starting threshold";
    m.Advance(10000);
    EXPECT_EQ(m.modified, 200 * MB) << "the writer stops at its lower threshold";
    m.modified += 150 * MB;
    m.other -= 150 * MB;
    m.Advance(10000);
    EXPECT_EQ(m.modified, 350 * MB) << "and starts again only above the upper one";
    EXPECT_EQ(m.Total(), total);

    MemoryModel c;
    c.modified = 300 * MB;
    c.other = 1000 * MB;
    c.compression = true;
    const std::int64_t compressedTotal = c.Total();
    c.Advance(1000);
    // Compressed three to one: the store keeps 50/3 MB in use, the rest is free.
    EXPECT_EQ(c.store, (50 * MB + 2) / 3);
    EXPECT_EQ(c.Available(), 50 * MB - c.store);
    EXPECT_EQ(c.Total(), compressedTotal);
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

    const DefragReport r = Defragmenter(m, GameExcluded()).Run({asked, -1, state.baselineAvailable});
    std::vector<std::uint32_t> sorted = m.trimmedIds;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a process was trimmed twice";
    EXPECT_EQ(m.trimmedIds, (std::vector<std::uint32_t>{1500, 1300, 1400, 1800}));
    EXPECT_EQ(r.outcome, DefragOutcome::ocPartial);
}

}  // namespace
}  // namespace nimbora
