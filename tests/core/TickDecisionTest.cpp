// The dry-run decision against the maintenance tick's own cases, one table
// for both: for every case the verdict must name the gates that block, and
// agree with what the real tick did with the same settings and readings.
#include "service/TickDecision.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "service/MaintenanceTick.h"
#include "svchost/Exception.h"
#include "tests/core/TickRecorder.h"

namespace nimbora {
namespace {

struct Machine : fakes::Recorder {
    // The administrator's dry run: every reading taken, the load included.
    TickVerdict DryRun(std::int32_t lastRunSeconds = 0) {
        const TickSettingValues settings = ReadTickSettings(*this, total);
        TickReadings readings{total, available, ticks, load, acLine};
        return DecideTick(settings, readings, lastRunSeconds);
    }
    // The service's tick on a copy of this machine.
    std::vector<std::wstring> RealTick() {
        Machine copy = *this;
        MaintenanceTick tick(copy, copy, copy);
        copy.RunPrimed(tick);
        return copy.launches;
    }
};

std::set<TickGate> Blocking(const TickVerdict& v) {
    std::set<TickGate> gates;
    for (const GateVerdict& g : v.gates)
        if (g.state == GateState::gsBlock) gates.insert(g.gate);
    return gates;
}

TEST(TickDecision, GatesComeInTheTicksOrder) {
    Machine m;
    const TickVerdict v = m.DryRun();
    const TickGate order[] = {TickGate::tgMemory,     TickGate::tgProcessor, TickGate::tgBattery, TickGate::tgFullScreen,
                              TickGate::tgEnabled,    TickGate::tgUptime,    TickGate::tgPeriod};
    for (std::size_t i = 0; i < kTickGateCount; ++i) EXPECT_EQ(v.gates[i].gate, order[i]) << i;
}

TEST(TickDecision, WorkedExamplesAgreeWithTheTick) {
    for (const fakes::WorkedExample& c : fakes::kWorkedExamples) {
        Machine atLevel;
        atLevel.total = c.total;
        atLevel.available = c.maintainBytes;  // exactly at the trigger level: acts
        const TickVerdict acts = atLevel.DryRun();
        EXPECT_EQ(acts.maintainBytes, c.maintainBytes) << c.total;
        EXPECT_TRUE(acts.acts) << c.total;
        EXPECT_EQ(LaunchCount(acts.freeMegabytes), static_cast<std::int64_t>(c.batch.size())) << c.total;
        EXPECT_EQ(atLevel.RealTick(), c.batch) << c.total;

        Machine above = atLevel;
        above.available = c.maintainBytes + 1;  // one byte more: ends at the memory gate
        const TickVerdict waits = above.DryRun();
        EXPECT_EQ(Blocking(waits), std::set<TickGate>{TickGate::tgMemory}) << c.total;
        EXPECT_TRUE(above.RealTick().empty()) << c.total;
    }
}

TEST(TickDecision, EachGateCaseNamesTheGateThatBlocks) {
    using G = TickGate;
    const struct {
        const char* what;
        std::map<std::wstring, std::int32_t> settings;
        double load;
        std::uint8_t acLine;
        std::uint64_t ticks;
        std::set<G> blocking;
        GateState processor;
    } cases[] = {
        {"load equal to trigger passes", {}, 85.0, 1, 600000, {}, GateState::gsPass},
        {"85.5 rounds to 86 and blocks", {}, 85.5, 1, 600000, {G::tgProcessor}, GateState::gsBlock},
        {"84.5 rounds to 84 and passes", {}, 84.5, 1, 600000, {}, GateState::gsPass},
        {"processor gate off", {{L"ProcessorLimit", 0}}, 100, 1, 600000, {}, GateState::gsOff},
        {"battery offline blocks", {{L"BatteryCheck", 1}}, 0, 0, 600000, {G::tgBattery}, GateState::gsPass},
        {"battery unknown passes", {{L"BatteryCheck", 1}}, 0, 255, 600000, {}, GateState::gsPass},
        {"battery gate off ignores offline", {}, 0, 0, 600000, {}, GateState::gsPass},
        {"full screen blocks", {{L"FullScreen", 1}}, 0, 1, 600000, {G::tgFullScreen}, GateState::gsPass},
        {"full screen unchecked passes", {{L"FullScreen", 1}, {L"FullScreenCheck", 0}}, 0, 1, 600000, {},
         GateState::gsPass},
        {"both enables off block", {{L"LoadNimbora", 0}, {L"DefragMemory", 0}}, 0, 1, 600000, {G::tgEnabled},
         GateState::gsPass},
        {"one enable on passes", {{L"LoadNimbora", 1}, {L"DefragMemory", 0}}, 0, 1, 600000, {}, GateState::gsPass},
        {"uptime 270 500 ms blocks", {{L"ExecutePeriod", 0}}, 0, 1, 270500, {G::tgUptime}, GateState::gsPass},
        {"uptime 270 501 ms passes", {{L"ExecutePeriod", 0}}, 0, 1, 270501, {}, GateState::gsPass},
        {"period not yet elapsed blocks", {}, 0, 1, 299000, {G::tgPeriod}, GateState::gsPass},
        {"period exactly elapsed passes", {}, 0, 1, 300000, {}, GateState::gsPass},
        // The low 32 bits alone (100 s) would block at the uptime gate.
        {"uptime past 49.7 days", {}, 0, 1, 4294967296ull + 100000, {}, GateState::gsPass},
        {"three gates at once", {{L"FullScreen", 1}, {L"BatteryCheck", 1}}, 99, 0, 600000,
         {G::tgProcessor, G::tgBattery, G::tgFullScreen}, GateState::gsBlock},
    };
    for (const auto& c : cases) {
        Machine m;
        m.stored = c.settings;
        m.load = c.load;
        m.acLine = c.acLine;
        m.ticks = c.ticks;
        const TickVerdict v = m.DryRun();
        EXPECT_EQ(Blocking(v), c.blocking) << c.what;
        EXPECT_EQ(v.State(G::tgProcessor), c.processor) << c.what;
        EXPECT_EQ(v.acts, c.blocking.empty()) << c.what;
        EXPECT_EQ(v.acts, !m.RealTick().empty()) << c.what;
    }
}

TEST(TickDecision, SwitchedOffGatesReportOff) {
    Machine m;
    m.stored = {{L"ProcessorLimit", 0}, {L"BatteryCheck", 0}, {L"FullScreenCheck", 0}};
    const TickVerdict v = m.DryRun();
    EXPECT_EQ(v.State(TickGate::tgProcessor), GateState::gsOff);
    EXPECT_EQ(v.State(TickGate::tgBattery), GateState::gsOff);
    EXPECT_EQ(v.State(TickGate::tgFullScreen), GateState::gsOff);
    EXPECT_EQ(v.State(TickGate::tgEnabled), GateState::gsPass);
}

TEST(TickDecision, LaterGatesAreJudgedWhileMemoryIsNotDue) {
    // The tick stops at the memory gate; the dry run still tells the
    // administrator what would block once memory runs low.
    Machine m;
    m.available = m.total;
    m.stored = {{L"FullScreen", 1}};
    m.ticks = 1000;
    EXPECT_EQ(Blocking(m.DryRun()), (std::set<TickGate>{TickGate::tgMemory, TickGate::tgFullScreen,
                                                        TickGate::tgUptime, TickGate::tgPeriod}));
}

TEST(TickDecision, PeriodCountsFromTheLastBatch) {
    Machine m;
    m.ticks = 900000;  // uptime 900 s
    EXPECT_EQ(m.DryRun(600).State(TickGate::tgPeriod), GateState::gsPass);
    EXPECT_EQ(m.DryRun(601).State(TickGate::tgPeriod), GateState::gsBlock);
    EXPECT_EQ(m.DryRun(601).sinceLastRunSeconds, 299);
    m.stored[L"ExecutePeriod"] = 2147483647;
    EXPECT_EQ(m.DryRun(0).periodSeconds, 2147483647LL * 60);
    EXPECT_EQ(m.DryRun(0).State(TickGate::tgPeriod), GateState::gsBlock);
}

TEST(TickDecision, DefaultsFollowTheMachinesSize) {
    const TickSettingValues small = TickDefaults(1610088447);  // 1535.5 MB rounds to 1535 (even)
    EXPECT_EQ(small.memoryMaintain, 20);
    EXPECT_EQ(small.memoryFree, 40);
    const TickSettingValues large = TickDefaults(1610088448);
    EXPECT_EQ(large.memoryMaintain, 30);
    EXPECT_EQ(large.memoryFree, 60);
}

TEST(TickDecision, LaunchCountMatchesTheTicksBatches) {
    const struct {
        std::int64_t megabytes;
        std::int64_t launches;
    } cases[] = {{-102, 1}, {0, 1}, {1, 1}, {1024, 1}, {1025, 2}, {2048, 2}, {4915, 5}};
    for (const auto& c : cases) EXPECT_EQ(LaunchCount(c.megabytes), c.launches) << c.megabytes;
}

TEST(TickDecision, OverflowRaisesInsteadOfDeciding) {
    Machine m;
    m.total = 0x7FFFFFFFFFFFFFFF;
    m.stored[L"MemoryMaintain"] = 2147483647;
    EXPECT_THROW(m.DryRun(), EMathError);
    EXPECT_TRUE(m.RealTick().empty());
}

}  // namespace
}  // namespace nimbora
