#include "service/MaintenanceTick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/core/TickRecorder.h"

namespace nimbora {
namespace {

using fakes::Recorder;

std::vector<std::wstring> RunOnce(Recorder& r) {
    MaintenanceTick tick(r, r, r);
    tick.Run(true);
    return r.launches;
}

TEST(MaintenanceTick, DoesNothingBeforeTheServiceStarted) {
    Recorder r;
    MaintenanceTick tick(r, r, r);
    tick.Run(false);
    EXPECT_TRUE(r.calls.empty());
}

TEST(MaintenanceTick, ReadsTenSettingsInOrderAndSamplesEvenWhenALaterGateBlocks) {
    Recorder r;
    r.ticks = 1000;  // the uptime gate blocks
    RunOnce(r);
    const std::vector<std::wstring> expected = {
        L"total",
        L"read MemoryMaintain=30", L"read MemoryFree=60", L"read ProcessorLimit=true",
        L"read ProcessorTrigger=85", L"read BatteryCheck=false", L"read FullScreen=false",
        L"read FullScreenCheck=true", L"read ExecutePeriod=5", L"read LoadNimbora=true",
        L"read DefragMemory=true",
        L"total", L"available", L"ticks", L"cpu"};
    EXPECT_EQ(r.calls, expected);
}

TEST(MaintenanceTick, BatchesOfTheWorkedExamples) {
    const struct {
        std::int64_t total;
        std::vector<std::wstring> batch;
        std::int64_t maintainBytes;
    } cases[] = {
        {8589934592, {L"1024", L"1024", L"1024", L"1024", L"819"}, 2576980378},
        {1073741824, {L"410"}, 214748365},
        {1610088447, {L"614"}, 322017689},
        {1610088448, {L"921"}, 483026534},
        {2147483648, {L"1024", L"205"}, 644245094},
        {4294967296, {L"1024", L"1024", L"410"}, 1288490189},
    };
    for (const auto& c : cases) {
        Recorder atLevel;
        atLevel.total = c.total;
        atLevel.available = c.maintainBytes;  // exactly at the trigger level: acts
        EXPECT_EQ(RunOnce(atLevel), c.batch) << c.total;

        Recorder above;
        above.total = c.total;
        above.available = c.maintainBytes + 1;  // one byte more: ends at the memory gate
        EXPECT_TRUE(RunOnce(above).empty()) << c.total;
    }
}

TEST(MaintenanceTick, LaunchCountsAtTheEdges) {
    EXPECT_EQ(LaunchParameter(1024), L"1024");
    EXPECT_EQ(LaunchParameter(1025), L"1024");
    EXPECT_EQ(LaunchParameter(1), L"1");
    EXPECT_EQ(LaunchParameter(0), L"0");
    EXPECT_EQ(LaunchParameter(-5), L"-5");

    Recorder none;  // MemoryFree 0: one launch with 0
    none.stored[L"MemoryFree"] = 0;
    EXPECT_EQ(RunOnce(none), std::vector<std::wstring>{L"0"});

    Recorder negative;  // a negative share: one launch with the negative count
    negative.total = 1073741824;
    negative.stored[L"MemoryFree"] = -10;
    EXPECT_EQ(RunOnce(negative), std::vector<std::wstring>{L"-102"});

    Recorder huge;  // bounded at the whole memory: 8 launches for 8 GiB, not millions
    huge.stored[L"MemoryFree"] = 2147483647;
    EXPECT_EQ(RunOnce(huge).size(), 8u);

    Recorder failedReading;  // total and available read 0: one launch with 0
    failedReading.total = 0;
    failedReading.available = 0;
    EXPECT_EQ(RunOnce(failedReading), std::vector<std::wstring>{L"0"});
}

TEST(MaintenanceTick, Gates) {
    const struct {
        const char* what;
        std::map<std::wstring, std::int32_t> settings;
        double load;
        std::uint8_t acLine;
        std::uint64_t ticks;
        bool acts;
    } cases[] = {
        {"load equal to trigger passes", {}, 85.0, 1, 600000, true},
        {"85.5 rounds to 86 and blocks", {}, 85.5, 1, 600000, false},
        {"84.5 rounds to 84 and passes", {}, 84.5, 1, 600000, true},
        {"processor gate off: no sample", {{L"ProcessorLimit", 0}}, 100, 1, 600000, true},
        {"battery offline blocks", {{L"BatteryCheck", 1}}, 0, 0, 600000, false},
        {"battery unknown passes", {{L"BatteryCheck", 1}}, 0, 255, 600000, true},
        {"battery gate off ignores offline", {}, 0, 0, 600000, true},
        {"full screen blocks", {{L"FullScreen", 1}}, 0, 1, 600000, false},
        {"full screen unchecked passes", {{L"FullScreen", 1}, {L"FullScreenCheck", 0}}, 0, 1, 600000, true},
        {"both enables off block", {{L"LoadNimbora", 0}, {L"DefragMemory", 0}}, 0, 1, 600000, false},
        {"one enable on passes", {{L"LoadNimbora", 1}, {L"DefragMemory", 0}}, 0, 1, 600000, true},
        {"uptime 270 500 ms blocks", {{L"ExecutePeriod", 0}}, 0, 1, 270500, false},
        {"uptime 270 501 ms passes", {{L"ExecutePeriod", 0}}, 0, 1, 270501, true},
        {"period not yet elapsed blocks", {}, 0, 1, 299000, false},
        {"period exactly elapsed passes", {}, 0, 1, 300000, true},
        {"uptime past 49.7 days", {}, 0, 1, 4294967296ull + 600000, true},
    };
    for (const auto& c : cases) {
        Recorder r;
        r.stored = c.settings;
        r.load = c.load;
        r.acLine = c.acLine;
        r.ticks = c.ticks;
        EXPECT_EQ(!RunOnce(r).empty(), c.acts) << c.what;
        if (c.settings.count(L"ProcessorLimit")) {
            EXPECT_EQ(std::count(r.calls.begin(), r.calls.end(), L"cpu"), 0) << c.what;
        }
    }
}

TEST(MaintenanceTick, PeriodMeasuresFromTheStartOfTheLastBatch) {
    Recorder r;
    r.total = 1073741824;
    MaintenanceTick tick(r, r, r);
    r.ticks = 600000;
    tick.Run(true);
    EXPECT_EQ(tick.LastRunSeconds(), 600);
    EXPECT_EQ(r.launches.size(), 1u);

    r.ticks = 600000 + 299000;
    tick.Run(true);
    EXPECT_EQ(r.launches.size(), 1u);

    r.ticks = 600000 + 300000;
    tick.Run(true);
    EXPECT_EQ(r.launches.size(), 2u);

    r.stored[L"ExecutePeriod"] = 0;  // every tick
    tick.Run(true);
    tick.Run(true);
    EXPECT_EQ(r.launches.size(), 4u);

    r.stored[L"ExecutePeriod"] = 2147483647;  // 64-bit period: never again, no overflow
    r.ticks += 3600000;
    tick.Run(true);
    EXPECT_EQ(r.launches.size(), 4u);
}

TEST(MaintenanceTick, LastRunIsWrittenBeforeTheFirstLaunchAndAFailureKeepsIt) {
    struct Throwing : Recorder {
        void Open(const std::wstring&, const std::wstring&) override { throw 1; }
    } r;
    MaintenanceTick tick(r, r, r);
    tick.Run(true);  // the failure ends the tick silently
    EXPECT_EQ(tick.LastRunSeconds(), 600);
}

TEST(MaintenanceTick, AnUnreadablePowerStatusDoesNotBlock) {
    struct Throwing : Recorder {
        std::uint8_t AcLineStatus() override { throw 1; }
    } r;
    r.stored[L"BatteryCheck"] = 1;
    EXPECT_FALSE(RunOnce(r).empty());
}

TEST(MaintenanceTick, ArithmeticOverflowEndsTheTickSilently) {
    Recorder r;
    r.total = 0x7FFFFFFFFFFFFFFF;
    r.stored[L"MemoryMaintain"] = 2147483647;
    EXPECT_TRUE(RunOnce(r).empty());
}

}  // namespace
}  // namespace nimbora
