// The batch's one event entry and its history record, from a worker's report.

#include "defrag/Report.h"

#include <gtest/gtest.h>

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;

DefragReport Worked(DefragOutcome outcome) {
    DefragReport r;
    r.goal = {2048 * MB, 1000 * MB};
    r.after.available = 3148 * MB;
    r.outcome = outcome;
    r.milliseconds = 400;
    r.counts.trimmed = 2;
    r.counts.protectedCount = 5;
    r.counts.busy = 1;
    r.counts.recent = 3;
    r.foreground = {true, 1000, 1};
    r.foregroundName = L"browser.exe";
    r.steps.push_back({StepKind::skTrimProcesses, ActionStatus::asDone, 1100 * MB, 0, 380});
    return r;
}

TEST(DefragReport, GoalMetIsOneInformationEntryInTheDocumentedWords) {
    const BatchEntry e = BatchEventEntry(Worked(DefragOutcome::ocGoalMet));
    EXPECT_EQ(e.kind, EntryKind::ekInformation);
    EXPECT_EQ(e.text,
              L"Freed 1100 MB of 1000 MB asked: trimmed 2 processes in 400 ms; available 2048 MB before, 3148 MB "
              L"after. Foreground program protected: browser.exe (process 1000).");
}

TEST(DefragReport, APartialResultIsAWarningSayingWhatWasLeftAloneAndThePurgeApart) {
    DefragReport r = Worked(DefragOutcome::ocPartial);
    r.foreground = {false, 0, 1};
    r.steps.push_back({StepKind::skFlushModifiedList, ActionStatus::asPrivilegeMissing, 0, 0, 1});
    r.steps.push_back({StepKind::skPurgeLowPriorityStandby, ActionStatus::asDone, 0, 64 * MB, 2});
    const BatchEntry e = BatchEventEntry(r);
    EXPECT_EQ(e.kind, EntryKind::ekWarning);
    EXPECT_EQ(e.text.rfind(L"Freed 1100 MB of 1000 MB asked, only part could be freed: trimmed 2 processes", 0), 0u);
    for (const wchar_t* part : {L"nothing in the console session was trimmed.",
                                L"Left alone: 5 protected, 1 busy, 3 trimmed in the last 10 minutes, 0 refused.",
                                L"Modified list flushed: privilege-missing",
                                L"free pages +64 MB (available memory is not raised by it)"})
        EXPECT_NE(e.text.find(part), std::wstring::npos) << part;
}

TEST(DefragReport, UnmeasuredMemoryIsAnError) {
    DefragReport r;
    r.goal = {0, 300 * MB};
    r.outcome = DefragOutcome::ocUnmeasured;
    EXPECT_EQ(BatchEventEntry(r).kind, EntryKind::ekError);
}

TEST(DefragReport, HistoryRecordCarriesTheBatchInMegabytes) {
    DefragReport r = Worked(DefragOutcome::ocPartial);
    r.steps.push_back({StepKind::skFlushModifiedList, ActionStatus::asDone, 10 * MB, 0, 500});
    r.steps.push_back({StepKind::skPurgeLowPriorityStandby, ActionStatus::asDone, 0, 64 * MB, 2});
    const BatchRecord h = HistoryRecord(r, 133780000000000000ull);
    EXPECT_EQ(h.startedUtc, 133780000000000000ull);
    EXPECT_EQ(h.askedMegabytes, 1000);
    EXPECT_EQ(h.freedMegabytes, 1100);
    EXPECT_EQ(h.trimmedProcesses, 2);
    EXPECT_TRUE(h.flushed);
    EXPECT_EQ(h.purgedMegabytes, 64);
    EXPECT_EQ(h.availableBeforeMegabytes, 2048);
    EXPECT_EQ(h.availableAfterMegabytes, 3148);
    EXPECT_EQ(h.outcome, BatchOutcome::boPartial);
    EXPECT_EQ(HistoryRecord(Worked(DefragOutcome::ocAlreadyFree), 1).outcome, BatchOutcome::boMet);
    // The record reads back through the history format.
    EXPECT_EQ(ParseBatchRecord(BatchValueName(h.startedUtc), FormatBatchRecord(h)), h);
}

}  // namespace
}  // namespace nimbora
