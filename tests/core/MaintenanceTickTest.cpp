#include "service/MaintenanceTick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "probes/ProcessorLoad.h"
#include "tests/core/TickRecorder.h"

namespace nimbora {
namespace {

using fakes::Recorder;

std::vector<std::wstring> RunOnce(Recorder& r) {
    MaintenanceTick tick(r, r, r);
    r.RunPrimed(tick);
    return r.launches;
}

TEST(MaintenanceTick, DoesNothingBeforeTheServiceStarted) {
    Recorder r;
    MaintenanceTick tick(r, r, r);
    tick.Run(false);
    EXPECT_TRUE(r.calls.empty());
}

// What a tick must read, not how often: the ten settings in their order,
// each with its default, and the processor sample when memory is due, also
// when a later gate blocks.
TEST(MaintenanceTick, ReadsTenSettingsInOrderAndSamplesEvenWhenALaterGateBlocks) {
    Recorder r;
    r.ticks = 1000;  // the uptime gate blocks
    RunOnce(r);
    std::vector<std::wstring> settings;
    for (const std::wstring& call : r.calls)
        if (call.rfind(L"read ", 0) == 0) settings.push_back(call);
    const std::vector<std::wstring> expected = {
        L"read MemoryMaintain=30", L"read MemoryFree=60", L"read ProcessorLimit=true",
        L"read ProcessorTrigger=85", L"read BatteryCheck=false", L"read FullScreen=false",
        L"read FullScreenCheck=true", L"read ExecutePeriod=5", L"read LoadNimbora=true",
        L"read DefragMemory=true"};
    EXPECT_EQ(settings, expected);
    EXPECT_EQ(std::count(r.calls.begin(), r.calls.end(), L"cpu"), 1);
    EXPECT_EQ(std::count(r.calls.begin(), r.calls.end(), L"available"), 1);
    EXPECT_TRUE(r.launches.empty());
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

}

TEST(MaintenanceTick, PeriodMeasuresFromTheStartOfTheLastBatch) {
    Recorder r;
    r.total = 1073741824;
    MaintenanceTick tick(r, r, r);
    r.ticks = 600000;
    r.RunPrimed(tick);
    EXPECT_EQ(tick.LastRunSeconds(), 600);
    EXPECT_EQ(r.launches.size(), 1u);

    // N.B. a second apart, as the timer runs, so that each load is current.
    for (r.ticks = 601000; r.ticks < 600000 + 299000; r.ticks += 1000) tick.Run(true);
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
    for (int i = 0; i < 3600; ++i) {
        r.ticks += 1000;
        tick.Run(true);
        r.calls.clear();
    }
    EXPECT_EQ(r.launches.size(), 4u);
}

TEST(MaintenanceTick, LastRunIsWrittenBeforeTheFirstLaunchAndAFailureKeepsIt) {
    struct Throwing : Recorder {
        void Open(const std::wstring&, const std::wstring&) override { throw 1; }
    } r;
    MaintenanceTick tick(r, r, r);
    r.RunPrimed(tick);  // the failure ends the tick silently
    EXPECT_EQ(tick.LastRunSeconds(), 600);
}

TEST(MaintenanceTick, AnUnreadablePowerStatusDoesNotBlock) {
    struct Throwing : Recorder {
        std::uint8_t AcLineStatus() override { throw 1; }
    } r;
    r.stored[L"BatteryCheck"] = 1;
    EXPECT_FALSE(RunOnce(r).empty());
}

// A failed memory reading gives 0. Only when both read 0 does the tick go on
// (one launch with 0 at most once a period); a total that reads beside an
// available amount that does not starts nothing, whatever MemoryMaintain says.
TEST(MaintenanceTick, FailedMemoryReadings) {
    const struct {
        const char* what;
        std::int64_t total, available;
        std::map<std::wstring, std::int32_t> settings;
        std::vector<std::wstring> launches;
    } cases[] = {
        {"available unreadable", 8589934592, 0, {}, {}},
        {"available unreadable, MemoryMaintain 0", 8589934592, 0, {{L"MemoryMaintain", 0}}, {}},
        {"total unreadable", 0, 2576980378, {}, {}},
        {"both unreadable", 0, 0, {}, {L"0"}},
        {"both read", 8589934592, 1, {{L"MemoryMaintain", 0}}, {}},
    };
    for (const auto& c : cases) {
        Recorder r;
        r.total = c.total;
        r.available = c.available;
        r.stored = c.settings;
        r.stored[L"ProcessorLimit"] = 0;
        MaintenanceTick tick(r, r, r);
        tick.Run(true);
        EXPECT_EQ(r.launches, c.launches) << c.what;
    }
}

// A launch can run a modal loop (the shell's error box) that delivers timer
// events to the thread while the tick is still inside it.
TEST(MaintenanceTick, ATimerEventDuringALaunchRunsNoSecondTick) {
    struct Reentering : Recorder {
        MaintenanceTick* tick = nullptr;
        int depth = 0;
        void Open(const std::wstring& file, const std::wstring& parameters) override {
            Recorder::Open(file, parameters);
            if (tick == nullptr || depth > 0) return;  // one event inside the first launch
            ++depth;
            tick->Run(true);
            --depth;
        }
    } r;
    r.stored[L"ExecutePeriod"] = 0;  // every tick may start a batch
    MaintenanceTick tick(r, r, r);
    r.tick = &tick;
    r.RunPrimed(tick);
    EXPECT_EQ(r.launches, (std::vector<std::wstring>{L"1024", L"1024", L"1024", L"1024", L"819"}));
    r.tick = nullptr;
    r.ticks += 1000;
    tick.Run(true);  // the next event runs normally
    EXPECT_EQ(r.launches.size(), 10u);
}

constexpr std::int64_t kSecond = 10'000'000;  // 100-nanosecond units

// The kernel's counts of a machine with four processors, advanced a second at
// a time at a given load; answers the three queries as the kernel lays out
// its records.
class Kernel final : public SystemInformationSource {
public:
    std::int64_t idleTime = 5000 * kSecond;
    std::int64_t currentTime = 133'000'000'000'000'000;

    void Advance(double loadPercent) {
        currentTime += kSecond;
        idleTime += static_cast<std::int64_t>(4 * kSecond * (100 - loadPercent) / 100);
    }
    std::uint32_t Query(std::uint32_t infoClass, void* buffer, std::uint32_t length) override {
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        std::memset(bytes, 0, length);
        if (infoClass == kSystemBasicInformation) bytes[offsetof(SystemBasicInformation, processorCount)] = 4;
        if (infoClass == kSystemTimeOfDayInformation) std::memcpy(bytes + 8, &currentTime, sizeof currentTime);
        if (infoClass == kSystemPerformanceInformation) std::memcpy(bytes, &idleTime, sizeof idleTime);
        return 0;
    }
    std::int32_t WindowsVersion() override { return 8; }
    std::uint32_t ActiveProcessorCount() override { return 4; }
};

// The tick with the real sampler's state behind the scripted machine.
struct SampledMachine : Recorder {
    Kernel kernel;
    ProcessorLoadState state;
    double ProcessorUsage() override {
        calls.push_back(L"cpu");
        return SampleProcessorLoad(state, kernel);
    }
};

// The processor gate compares the load of about the last second, also on the
// first tick at which memory is due and after hours in which it was not.
TEST(MaintenanceTick, TheProcessorGateSeesTheLoadOfTheLastSecond) {
    const struct {
        const char* what;
        int idleSeconds;      // ticks, a second apart, with memory not due
        double earlierLoad;   // the load during those seconds
        double load;          // the load of the last second before the due tick
        bool acts;
    } cases[] = {
        {"busy from the start: the first tick is due", 0, 100, 100, false},
        {"idle from the start: the first tick is due", 0, 0, 0, false},
        {"load rose a second ago after an hour idle", 3600, 0, 100, false},
        {"load fell a second ago after an hour busy", 3600, 100, 0, true},
        {"idle for an hour", 3600, 0, 0, true},
        {"84.5 with the bias is 85: passes", 10, 0, 84.5, true},
        {"85.5 with the bias is 86: blocks", 10, 0, 85.5, false},
    };
    for (const auto& c : cases) {
        SampledMachine m;
        m.stored[L"MemoryMaintain"] = 50;
        m.available = m.total;  // not due
        MaintenanceTick tick(m, m, m);
        for (int i = 0; i < c.idleSeconds; ++i) {
            m.kernel.Advance(c.earlierLoad);
            m.ticks += 1000;
            tick.Run(true);
            m.calls.clear();
        }
        m.kernel.Advance(c.load);
        m.ticks += 1000;
        m.available = 1;  // due from this tick on
        tick.Run(true);
        EXPECT_EQ(!m.launches.empty(), c.acts) << c.what;
        EXPECT_TRUE(m.launches.empty() || c.idleSeconds > 0) << c.what << ": the first tick acted";
    }
    // The tick after a sample that started the interval measures the second since.
    SampledMachine busy;
    busy.available = 1;
    MaintenanceTick tick(busy, busy, busy);
    for (int i = 0; i < 5; ++i) {
        busy.kernel.Advance(100);
        busy.ticks += 1000;
        tick.Run(true);
    }
    EXPECT_TRUE(busy.launches.empty()) << "a machine busy from the start";
}

// A pause or a busy owner thread leaves a longer gap between ticks: the first
// tick after it starts a new interval and the gate waits for the next one.
TEST(MaintenanceTick, ALoadOverALongerGapWaitsATick) {
    Recorder r;
    r.load = 0.5;
    MaintenanceTick tick(r, r, r);
    r.RunPrimed(tick);
    ASSERT_EQ(r.launches.size(), 5u);
    r.stored[L"ExecutePeriod"] = 0;
    const struct {
        std::uint64_t gap;
        bool acts;
    } steps[] = {{1000, true}, {2500, true}, {2501, false}, {1000, true}, {3600000, false}, {1000, true}};
    for (const auto& s : steps) {
        r.launches.clear();
        r.ticks += s.gap;
        tick.Run(true);
        EXPECT_EQ(!r.launches.empty(), s.acts) << s.gap;
    }
}

TEST(MaintenanceTick, ArithmeticOverflowEndsTheTickSilently) {
    Recorder r;
    r.total = 0x7FFFFFFFFFFFFFFF;
    r.stored[L"MemoryMaintain"] = 2147483647;
    EXPECT_TRUE(RunOnce(r).empty());
}

}  // namespace
}  // namespace nimbora
