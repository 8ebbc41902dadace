#include "service/TickDecision.h"

#include <algorithm>

#include "probes/Rounding.h"
#include "service/MaintenanceTick.h"
#include "settings/SettingsKeys.h"

namespace nimbora {

namespace {

// A MemoryFree above the whole memory would only multiply the launches of one
// batch (2^31-1 percent is millions of processes); the top is 100 percent.
constexpr std::int32_t kMaxMemoryFreePercent = 100;
constexpr std::int64_t kLargeMachineMegabytes = 1536;
constexpr std::int64_t kLeastUptimeMinutes = 5;

std::int64_t PercentOf(std::int32_t percent, std::int64_t total) {
    return RoundedPercentOf(percent, total);
}

GateState PassOrBlock(bool blocks) { return blocks ? GateState::gsBlock : GateState::gsPass; }

}  // namespace

std::int32_t SecondsFromTicks(std::uint64_t milliseconds) {
    return Round32(static_cast<Real>(milliseconds) / 1000.0L);
}

TickSettingValues TickDefaults(std::int64_t totalBytes) {
    TickSettingValues values;
    const auto totalMegabytes = static_cast<std::int32_t>(BytesToMegabytes(totalBytes));
    if (totalMegabytes < kLargeMachineMegabytes) {
        values.memoryMaintain = 20;
        values.memoryFree = 40;
    }
    return values;
}

TickSettingValues ReadTickSettings(TickSettings& settings, std::int64_t totalBytes) {
    const TickSettingValues d = TickDefaults(totalBytes);
    TickSettingValues v;
    // N.B. all ten settings are read on every acting tick, in this order,
    // whatever the later gates decide.
    v.memoryMaintain = settings.ReadInteger(kMemoryMaintain, d.memoryMaintain);
    v.memoryFree = settings.ReadInteger(kMemoryFree, d.memoryFree);
    v.processorLimit = settings.ReadBool(kProcessorLimit, d.processorLimit);
    v.processorTrigger = settings.ReadInteger(kProcessorTrigger, d.processorTrigger);
    v.batteryCheck = settings.ReadBool(kBatteryCheck, d.batteryCheck);
    v.fullScreen = settings.ReadBool(kFullScreen, d.fullScreen);
    v.fullScreenCheck = settings.ReadBool(kFullScreenCheck, d.fullScreenCheck);
    v.executePeriod = settings.ReadInteger(kExecutePeriod, d.executePeriod);
    v.loadNimbora = settings.ReadBool(kLoadNimbora, d.loadNimbora);
    v.defragMemory = settings.ReadBool(kDefragMemory, d.defragMemory);
    return v;
}

std::int64_t TriggerLevelBytes(const TickSettingValues& settings, std::int64_t totalBytes) {
    return PercentOf(settings.memoryMaintain, totalBytes);
}

bool MemoryDue(const TickSettingValues& settings, std::int64_t totalBytes, std::int64_t availableBytes) {
    return availableBytes <= TriggerLevelBytes(settings, totalBytes);
}

TickVerdict DecideTick(const TickSettingValues& s, const TickReadings& r, std::int32_t lastRunSeconds) {
    TickVerdict v;
    v.maintainBytes = TriggerLevelBytes(s, r.totalBytes);
    v.freeMegabytes = BytesToMegabytes(PercentOf(std::min(s.memoryFree, kMaxMemoryFreePercent), r.totalBytes));
    v.uptimeSeconds = SecondsFromTicks(r.tickCount);

    auto set = [&v](TickGate gate, GateState state) {
        v.gates[static_cast<std::size_t>(gate)] = GateVerdict{gate, state};
    };
    set(TickGate::tgMemory, PassOrBlock(r.availableBytes > v.maintainBytes));
    set(TickGate::tgProcessor,
        s.processorLimit
            ? PassOrBlock(Round(r.processorLoad.value_or(0.0)) > static_cast<std::int64_t>(s.processorTrigger))
            : GateState::gsOff);
    set(TickGate::tgBattery, s.batteryCheck ? PassOrBlock(r.acLineStatus == 0) : GateState::gsOff);
    set(TickGate::tgFullScreen, s.fullScreenCheck ? PassOrBlock(s.fullScreen) : GateState::gsOff);
    set(TickGate::tgEnabled, PassOrBlock(!s.loadNimbora && !s.defragMemory));
    set(TickGate::tgUptime,
        PassOrBlock(Round(static_cast<Real>(v.uptimeSeconds) / 60.0L) < kLeastUptimeMinutes));
    // The period is held in 64 bits: ExecutePeriod * 60 overflows 32 bits
    // above 35 791 394 minutes.
    v.periodSeconds = static_cast<std::int64_t>(s.executePeriod) * 60;
    v.sinceLastRunSeconds = static_cast<std::int64_t>(v.uptimeSeconds) - lastRunSeconds;
    set(TickGate::tgPeriod, PassOrBlock(v.sinceLastRunSeconds < v.periodSeconds));

    v.acts = std::none_of(v.gates.begin(), v.gates.end(),
                          [](const GateVerdict& g) { return g.state == GateState::gsBlock; });
    return v;
}

std::int64_t LaunchCount(std::int64_t freeMegabytes) {
    if (freeMegabytes <= kMegabytesPerLaunch) return 1;
    return (freeMegabytes + kMegabytesPerLaunch - 1) / kMegabytesPerLaunch;
}

}  // namespace nimbora
