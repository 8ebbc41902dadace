// The batch's one event entry and its history record, from a worker's report.

#include "defrag/Report.h"

#include <gtest/gtest.h>

#include "messages/EventIds.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;

DefragReport Worked(DefragOutcome outcome) {
    DefragReport r;
    r.goal = {4000 * MB, 2400 * MB, 1900 * MB};
    r.aim = 2800 * MB;
    r.needed = 800 * MB;
    r.start.available = 2000 * MB;
    r.after.available = 2900 * MB;
    r.outcome = outcome;
    r.milliseconds = 400;
    r.counts.trimmed = 2;
    r.counts.protectedCount = 5;
    r.counts.services = 4;
    r.counts.busy = 1;
    r.counts.recent = 3;
    r.effect = {1000 * MB, 100 * MB, 900 * MB};
    r.steps.push_back({StepKind::skTrimProcesses, ActionStatus::asDone, 900 * MB, std::nullopt, 380});
    return r;
}

TEST(DefragReport, GoalMetIsOneInformationEntrySayingWhatTheTrimsMoved) {
    const BatchEntry e = BatchEventEntry(Worked(DefragOutcome::ocGoalMet));
    EXPECT_EQ(e.kind, EntryKind::ekInformation);
    EXPECT_EQ(e.text,
              L"Freed 900 MB of the 800 MB needed (asked for up to 4000 MB). Available memory 2000 MB before, 2900 MB "
              L"after; the aim is 2800 MB. Trimmed 2 processes in 400 ms, moving 1000 MB out of their working sets "
              L"(900 MB to standby, 100 MB to the modified list).");
}

TEST(DefragReport, APartialResultIsAWarningSayingWhyWhatWasLeftAloneAndThePurgeApart) {
    DefragReport r = Worked(DefragOutcome::ocPartial);
    r.after.available = 2300 * MB;
    r.stop = StopReason::srFruitless;
    r.sessionsProtected = 1;
    r.effect.toModified.reset();
    r.steps.push_back({StepKind::skFlushModifiedList, ActionStatus::asPrivilegeMissing, 0, std::nullopt, 1});
    r.steps.push_back({StepKind::skPurgeLowPriorityStandby, ActionStatus::asDone, 0, 64 * MB, 2});
    const BatchEntry e = BatchEventEntry(r);
    EXPECT_EQ(e.kind, EntryKind::ekWarning);
    EXPECT_EQ(e.text.rfind(L"Freed 300 MB of the 800 MB needed (asked for up to 4000 MB), only part could be freed: "
                           L"the last trims raised available memory by nothing",
                           0),
              0u);
    for (const wchar_t* part : {L"(how much went to the modified list is not known).",
                                L"The foreground of 1 session could not be determined: nothing in it was trimmed.",
                                L"Left alone: 5 protected, 4 services, 0 in sessions of unknown foreground, 1 busy, "
                                L"3 trimmed recently, 0 too small, 0 refused.",
                                L"Modified list flushed: privilege-missing",
                                L"free pages +64 MB (available memory is not raised by it)"})
        EXPECT_NE(e.text.find(part), std::wstring::npos) << part;
}

TEST(DefragReport, RoundingNeverMakesAPartialResultReadAsMet) {
    // 1023.9 MB freed of 1024.1 MB needed: "1023 of 1025", never "1024 of 1024".
    DefragReport r = Worked(DefragOutcome::ocPartial);
    r.needed = 1024 * MB + 100 * 1024;
    r.start.available = 1000 * MB;
    r.after.available = r.start.available + 1024 * MB - 100 * 1024;
    EXPECT_EQ(BatchEventEntry(r).text.rfind(L"Freed 1023 MB of the 1025 MB needed", 0), 0u);
    const BatchRecord h = HistoryRecord(r, 1);
    EXPECT_LT(h.freedMegabytes, h.neededMegabytes);
}

TEST(DefragReport, NothingNeededFullScreenAndUnmeasuredEachSayWhy) {
    DefragReport nothing = Worked(DefragOutcome::ocNothingToDo);
    nothing.start.available = 3000 * MB;
    EXPECT_EQ(BatchEventEntry(nothing).kind, EntryKind::ekInformation);
    EXPECT_EQ(BatchEventEntry(nothing).text,
              L"Nothing to free (asked for up to 4000 MB): available memory is 3000 MB, at or above the aim of 2800 MB "
              L"(the trigger level and a margin).");
    DefragReport fullScreen = Worked(DefragOutcome::ocFullScreen);
    fullScreen.fullScreenSessions = 1;
    EXPECT_EQ(BatchEventEntry(fullScreen).kind, EntryKind::ekInformation);
    EXPECT_EQ(BatchEventEntry(fullScreen).text,
              L"Nothing was trimmed (asked for up to 4000 MB): a full-screen program or a presentation runs in 1 "
              L"user's session. Available memory is 2000 MB.");
    DefragReport unmeasured;
    unmeasured.goal.asked = 300 * MB;
    unmeasured.outcome = DefragOutcome::ocUnmeasured;
    EXPECT_EQ(BatchEventEntry(unmeasured).kind, EntryKind::ekError);
}

TEST(DefragReport, EachOutcomeHasItsEventIdAndItsFiguresAfterTheText) {
    DefragReport partial = Worked(DefragOutcome::ocPartial);
    partial.effect.toModified.reset();
    DefragReport nothing = Worked(DefragOutcome::ocNothingToDo);
    nothing.start.available = 3000 * MB;
    DefragReport fullScreen = Worked(DefragOutcome::ocFullScreen);
    fullScreen.fullScreenSessions = 2;
    DefragReport unmeasured = Worked(DefragOutcome::ocUnmeasured);
    const struct {
        DefragReport report;
        std::uint32_t id;
        std::vector<std::wstring> figures;
    } cases[] = {
        {Worked(DefragOutcome::ocGoalMet), 1001, {L"900", L"800", L"4000", L"2", L"400", L"2000", L"2900", L"1000", L"100"}},
        {partial, 1002, {L"900", L"800", L"4000", L"2", L"400", L"2000", L"2900", L"1000", L"unknown"}},
        {nothing, 1003, {L"4000", L"3000", L"2800"}},
        {fullScreen, 1004, {L"4000", L"2"}},
        {unmeasured, 1007, {L"4000"}},
    };
    for (const auto& c : cases) {
        const BatchEntry e = BatchEventEntry(c.report);
        EXPECT_EQ(e.eventId, c.id);
        EXPECT_EQ(e.figures, c.figures) << c.id;
        ASSERT_FALSE(e.Strings().empty());
        EXPECT_EQ(e.Strings().front(), e.text) << "the text is the first insertion string, the one rendered";
    }
    EXPECT_EQ(kEventBatchMet, 1001u);
    EXPECT_EQ(kEventInternalError, 1007u);
}

TEST(DefragReport, HistoryRecordCarriesTheBatchInMegabytes) {
    DefragReport r = Worked(DefragOutcome::ocPartial);
    r.steps.push_back({StepKind::skFlushModifiedList, ActionStatus::asDone, 10 * MB, std::nullopt, 500});
    r.steps.push_back({StepKind::skPurgeLowPriorityStandby, ActionStatus::asDone, 0, 64 * MB, 2});
    const BatchRecord h = HistoryRecord(r, 133780000000000000ull);
    EXPECT_EQ(h.startedUtc, 133780000000000000ull);
    EXPECT_EQ(h.askedMegabytes, 4000);
    EXPECT_EQ(h.neededMegabytes, 800);
    EXPECT_EQ(h.freedMegabytes, 900);
    EXPECT_EQ(h.movedMegabytes, 1000);
    EXPECT_EQ(h.modifiedMegabytes, 100);
    EXPECT_EQ(h.trimmedProcesses, 2);
    EXPECT_TRUE(h.flushed);
    EXPECT_EQ(h.purgedMegabytes, 64);
    EXPECT_EQ(h.availableBeforeMegabytes, 2000);
    EXPECT_EQ(h.availableAfterMegabytes, 2900);
    EXPECT_EQ(h.outcome, BatchOutcome::boPartial);
    EXPECT_EQ(HistoryRecord(Worked(DefragOutcome::ocNothingToDo), 1).outcome, BatchOutcome::boNothing);
    EXPECT_EQ(HistoryRecord(Worked(DefragOutcome::ocFullScreen), 1).outcome, BatchOutcome::boSkipped);
    // An unknown split is recorded as unknown, not as 0.
    r.effect.toModified.reset();
    EXPECT_EQ(HistoryRecord(r, 1).modifiedMegabytes, -1);
    // The record reads back through the history format.
    EXPECT_EQ(ParseBatchRecord(BatchValueName(h.startedUtc), FormatBatchRecord(h)), h);
    const BatchRecord unknown = HistoryRecord(r, 1);
    EXPECT_EQ(ParseBatchRecord(BatchValueName(1), FormatBatchRecord(unknown)), unknown);
}

}  // namespace
}  // namespace nimbora
