// The shared record of a batch: who works, who hands over, when gathering
// ends, and which records are not trusted.

#include "defrag/Batch.h"

#include <gtest/gtest.h>

#include "defrag/TrimMarks.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;
const MemoryReading kReading{8192 * MB, 1000 * MB, 100 * MB};

BatchState Begun(std::uint64_t now = 1000) {
    BatchState s{};
    EXPECT_EQ(EnterBatch(s, true, now, kReading, 1024 * MB, 42, 0, BatchTiming{}), BatchRole::brWorker);
    return s;
}

TEST(DefragBatch, TheInstanceThatFindsNoWorkerBeginsANewBatch) {
    BatchState s = Begun();
    EXPECT_EQ(s.id, 1u);
    EXPECT_EQ(s.joined, 1u);
    EXPECT_EQ(s.workerId, 42u);
    EXPECT_EQ(s.baselineAvailable, 1000 * MB);
    EXPECT_EQ(s.requested, 1024 * MB);
    EXPECT_EQ(static_cast<BatchPhase>(s.phase), BatchPhase::bpGathering);
    FinishBatch(s, 0);
    // The next batch, even from a record left mid-way by a worker that died.
    s.phase = static_cast<std::uint32_t>(BatchPhase::bpWorking);
    EXPECT_EQ(EnterBatch(s, true, 9000, kReading, 300 * MB, 43, 0, {}), BatchRole::brWorker);
    EXPECT_EQ(s.id, 2u);
    EXPECT_EQ(s.requested, 300 * MB);
    EXPECT_EQ(s.joined, 1u);
}

TEST(DefragBatch, OthersHandTheirAmountOverWhileTheWorkerGathersOrWorks) {
    BatchState s = Begun();
    EXPECT_EQ(EnterBatch(s, false, 1010, kReading, 1024 * MB, 50, 0, {}), BatchRole::brHandedOver);
    EXPECT_FALSE(CloseGathering(s, 1100, {}));
    EXPECT_EQ(EnterBatch(s, false, 1200, kReading, 500 * MB, 51, 0, {}), BatchRole::brHandedOver);
    EXPECT_TRUE(CloseGathering(s, 1200 + BatchTiming{}.quietMs, {}));
    EXPECT_EQ(EnterBatch(s, false, 2000, {}, 100 * MB, 52, 0, {}), BatchRole::brHandedOver) << "late, reading failed";
    EXPECT_EQ(s.joined, 4u);
    EXPECT_EQ(BatchAsked(s, kReading.total), (1024 + 1024 + 500 + 100) * MB);
    EXPECT_EQ(s.workerId, 42u);
}

TEST(DefragBatch, GatheringEndsAfterTheQuietTimeOrAtTheLatestAfterItsMaximum) {
    const BatchTiming t;
    BatchState s = Begun(1000);
    std::uint64_t now = 1000;
    // Arrivals every 400 ms keep it open until the maximum.
    while (now + 400 < 1000 + t.gatherMaxMs) {
        now += 400;
        ASSERT_FALSE(CloseGathering(s, now, t));
        ASSERT_EQ(EnterBatch(s, false, now, kReading, MB, 7, 0, t), BatchRole::brHandedOver);
    }
    EXPECT_TRUE(CloseGathering(s, 1000 + t.gatherMaxMs, t));
    EXPECT_EQ(static_cast<BatchPhase>(s.phase), BatchPhase::bpWorking);
    // A clock behind the record ends it too.
    BatchState back = Begun(5000);
    EXPECT_TRUE(CloseGathering(back, 4000, t));
}

TEST(DefragBatch, AnInstanceCreatedWhileTheWorkerRanButArrivingAfterItFinishedHasNothingToDo) {
    const BatchTiming t;
    const std::uint64_t utc = 133780000000000000ull;
    BatchState s{};
    ASSERT_EQ(EnterBatch(s, true, 1000, kReading, 1024 * MB, 42, utc, t), BatchRole::brWorker);
    FinishBatch(s, utc + 50000000);
    EXPECT_EQ(EnterBatch(s, true, 9000, kReading, 1024 * MB, 44, utc + 100, t), BatchRole::brLate);
    EXPECT_EQ(EnterBatch(s, true, 9000, kReading, 1024 * MB, 44, utc + 50000000, t), BatchRole::brLate);
    EXPECT_EQ(s.id, 1u);
    // Created after the worker finished: a new batch.
    EXPECT_EQ(EnterBatch(s, true, 9100, kReading, 1024 * MB, 45, utc + 50000001, t), BatchRole::brWorker);
    EXPECT_EQ(s.id, 2u);
    EXPECT_EQ(s.finishedUtc, 0u);
    // An unknown creation time never counts as late.
    FinishBatch(s, utc + 90000000);
    EXPECT_EQ(EnterBatch(s, true, 9200, kReading, MB, 46, 0, t), BatchRole::brWorker);
}

TEST(DefragBatch, AmountsAreCappedAtThePhysicalMemory) {
    BatchState s = Begun();
    for (int i = 0; i < 20; ++i) EnterBatch(s, false, 1001, kReading, 1024 * MB, 9, 0, {});
    EXPECT_EQ(BatchAsked(s, kReading.total), kReading.total);
    BatchState huge{};
    EnterBatch(huge, true, 1, kReading, INT64_MAX, 9, 0, {});
    EXPECT_EQ(huge.requested, kReading.total);
}

struct Tamper {
    const char* name;
    void (*apply)(BatchState&);
};

const Tamper kTampers[] = {
    {"magic", [](BatchState& s) { s.magic = 0; }},
    {"phase", [](BatchState& s) { s.phase = 9; }},
    {"finished batch", [](BatchState& s) { FinishBatch(s, 1); }},
    {"amount beyond the memory", [](BatchState& s) { s.requested = 9000 * MB; }},
    {"negative amount", [](BatchState& s) { s.requested = -1; }},
    {"baseline beyond the memory", [](BatchState& s) { s.baselineAvailable = 8193 * MB; }},
    {"negative baseline", [](BatchState& s) { s.baselineAvailable = -5; }},
    {"another machine's total", [](BatchState& s) { s.total = 4096 * MB; }},
    {"no instance", [](BatchState& s) { s.joined = 0; }},
    {"too many instances", [](BatchState& s) { s.joined = BatchTiming{}.maxInstances; }},
};

TEST(DefragBatch, ARecordThatIsNotSaneIsRefusedWhileAWorkerRuns) {
    for (const Tamper& t : kTampers) {
        BatchState s = Begun();
        t.apply(s);
        const BatchState before = s;
        EXPECT_EQ(EnterBatch(s, false, 1001, kReading, MB, 9, 0, {}), BatchRole::brRefused) << t.name;
        EXPECT_EQ(s.requested, before.requested) << t.name;
        // The worker keeps its goal rather than take the record's word.
        if (static_cast<BatchPhase>(s.phase) != BatchPhase::bpDone && s.joined != BatchTiming{}.maxInstances) {
            EXPECT_EQ(BatchAsked(s, kReading.total), -1) << t.name;
        }
        // With no worker running, the next instance starts afresh.
        EXPECT_EQ(EnterBatch(s, true, 1002, kReading, MB, 9, 0, {}), BatchRole::brWorker) << t.name;
        EXPECT_EQ(BatchAsked(s, kReading.total), MB) << t.name;
    }
}

TEST(DefragTrimMarks, RoundTripEarlierEntriesAndMalformedEntriesDropped) {
    const std::vector<TrimMark> marks = {{1234, 133780000000000000ull, 133780000123456789ull, 20}, {8, 0, 1, 160}};
    EXPECT_EQ(FormatTrimMarks(marks), L"1234:133780000000000000:133780000123456789:20;8:0:1:160");
    EXPECT_EQ(ParseTrimMarks(FormatTrimMarks(marks)), marks);
    EXPECT_EQ(FormatTrimMarks({}), L"");
    // Three fields: an earlier companion's entry, held for the base time.
    EXPECT_EQ(ParseTrimMarks(L"1:2:3;x:2:3;4:5;6:7:8:9:10;;4294967296:1:1;7:18446744073709551616:1;9:9:9:40;"
                             L"5:5:5:0;5:5:5:161;5:5:5:"),
              (std::vector<TrimMark>{{1, 2, 3, 10}, {9, 9, 9, 40}}));
}

TEST(DefragTrimMarks, AMarkHoldsForItsMinutesAndIsRememberedForTwiceAsLong) {
    const std::uint64_t now = 1'000'000'000'000ull;
    const std::uint64_t minute = 60ull * 10000000;  // FILETIME units
    EXPECT_TRUE(MarkHolds({1, 1, now - 10 * minute + 1, 10}, now));
    EXPECT_FALSE(MarkHolds({1, 1, now - 10 * minute, 10}, now));
    EXPECT_TRUE(MarkHolds({1, 1, now - 39 * minute, 40}, now));
    EXPECT_FALSE(MarkHolds({1, 1, now + 10, 10}, now)) << "from the future: the clock went back";

    const std::vector<TrimMark> marks = {
        {1, 1, now - 20 * minute, 10},      // just out
        {2, 1, now - 20 * minute + 1, 10},  // just in
        {3, 1, now, 10},
        {4, 1, now + 10, 10},               // from the future
        {5, 1, now - 50 * minute, 40},      // a longer hold is remembered longer
        {3, 1, now - 5 * minute, 10},       // an older mark of a process marked again
    };
    EXPECT_EQ(RememberedTrimMarks(marks, now),
              (std::vector<TrimMark>{{3, 1, now, 10}, {2, 1, now - 20 * minute + 1, 10}, {5, 1, now - 50 * minute, 40}}));
    std::vector<TrimMark> many;
    for (std::uint32_t i = 0; i < kMaxTrimMarks + 10; ++i) many.push_back({i, 1, now - 1000 + i, 10});
    const auto kept = RememberedTrimMarks(many, now);
    ASSERT_EQ(kept.size(), kMaxTrimMarks);
    EXPECT_EQ(kept.front().id, kMaxTrimMarks + 9);
}

}  // namespace
}  // namespace nimbora
