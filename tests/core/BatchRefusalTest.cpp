// Which refusals of a running batch stay quiet (the batch's work is done or
// under way, the cap is reached, memory was added under the batch) and which
// are reported; how often a refusal entry may be written; the trigger level
// the worker aims above, computed as the service computes it.

#include <gtest/gtest.h>

#include "defrag/Batch.h"
#include "service/TickDecision.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;
const MemoryReading kReading{8192 * MB, 1000 * MB, 100 * MB};

TEST(BatchRefusal, QuietRefusalsAreToldFromABrokenRecord) {
    struct Case {
        const char* what;
        void (*change)(BatchState&, MemoryReading&, BatchTiming&);
        RefusalKind expected;
    };
    const Case cases[] = {
        {"finished, results being written", [](BatchState& s, MemoryReading&, BatchTiming&) { FinishBatch(s, 5); },
         RefusalKind::rkFinishing},
        {"memory added under the batch",
         [](BatchState&, MemoryReading& r, BatchTiming&) { r.total = 12288 * MB; }, RefusalKind::rkMemoryChanged},
        {"cap reached", [](BatchState&, MemoryReading&, BatchTiming& t) { t.maxInstances = 3; },
         RefusalKind::rkOverCap},
        {"magic", [](BatchState& s, MemoryReading&, BatchTiming&) { s.magic = 0; }, RefusalKind::rkNotSane},
        {"amount beyond the record's memory",
         [](BatchState& s, MemoryReading&, BatchTiming&) { s.requested = s.total + 1; }, RefusalKind::rkNotSane},
        {"finished and broken",
         [](BatchState& s, MemoryReading&, BatchTiming&) {
             FinishBatch(s, 5);
             s.joined = 0;
         },
         RefusalKind::rkNotSane},
    };
    for (const Case& c : cases) {
        BatchState s{};
        BatchTiming timing;
        ASSERT_EQ(EnterBatch(s, true, 1000, kReading, 1024 * MB, 42, 0, timing), BatchRole::brWorker);
        ASSERT_EQ(EnterBatch(s, false, 1001, kReading, 1024 * MB, 43, 0, timing), BatchRole::brHandedOver);
        ASSERT_EQ(EnterBatch(s, false, 1002, kReading, 1024 * MB, 44, 0, timing), BatchRole::brHandedOver);
        MemoryReading reading = kReading;
        c.change(s, reading, timing);
        const BatchState before = s;
        EXPECT_EQ(EnterBatch(s, false, 1003, reading, 1024 * MB, 45, 0, timing), BatchRole::brRefused) << c.what;
        EXPECT_EQ(s.requested, before.requested) << c.what << ": nothing handed over";
        EXPECT_EQ(WhyRefused(s, reading, timing), c.expected) << c.what;
    }
}

TEST(BatchRefusal, OneEntryPerPeriodOfAtLeastAMinute) {
    constexpr std::uint64_t minute = 60ull * 10000000;
    constexpr std::uint64_t now = 133780000000000000ull;
    struct Case {
        std::uint64_t last;
        std::int64_t period;
        bool due;
    };
    const Case cases[] = {
        {0, 5, true},                           // none written yet
        {now - 5 * minute, 5, true},            // a whole period ago
        {now - 5 * minute + 1, 5, false},       // just within it
        {now, 5, false},
        {now - minute, 0, true},                // period 0 counts as one minute
        {now - minute + 1, 0, false},
        {now - minute + 1, -7, false},
        {now + minute, 5, true},                // from the future: the clock was set back
        {now - 60 * minute, 60, true},
        {now - 59 * minute, 60, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RefusalEntryDue(c.last, now, c.period), c.due) << "last " << c.last << ", period " << c.period;
}

TEST(BatchRefusal, TheTriggerLevelIsTheServicesPercentageRounded) {
    struct Case {
        std::int64_t total;
        std::int32_t percent;
        std::int64_t bytes;
    };
    const Case cases[] = {
        {8192 * MB, 30, 2576980378},  // 2576980377.6
        {1024 * MB, 20, 214748365},   // 214748364.8
        {1024 * MB, 0, 0},
        {1024 * MB, 100, 1024 * MB},
    };
    for (const Case& c : cases) {
        TickSettingValues settings;
        settings.memoryMaintain = c.percent;
        EXPECT_EQ(TriggerLevelBytes(settings, c.total), c.bytes) << c.percent << " % of " << c.total;
    }
    EXPECT_EQ(TriggerLevelBytes(TickDefaults(1024 * MB), 1024 * MB), 214748365) << "20 % below 1.5 GB";
    EXPECT_EQ(TriggerLevelBytes(TickDefaults(8192 * MB), 8192 * MB), 2576980378) << "30 % from 1.5 GB";
}

}  // namespace
}  // namespace nimbora
