#pragma once
// The maintenance tick's arithmetic as a pure function: from the ten settings
// and the machine's readings to a verdict that holds each gate's outcome, the
// trigger level and the batch a tick would start. The service's tick and the
// administrator's tool both decide through it, so the tool's answer is the
// tick's own.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace nimbora {

class TickSettings;

// The ten settings the tick reads, as it uses them.
struct TickSettingValues {
    std::int32_t memoryMaintain = 30;
    std::int32_t memoryFree = 60;
    bool processorLimit = true;
    std::int32_t processorTrigger = 85;
    bool batteryCheck = false;
    bool fullScreen = false;
    bool fullScreenCheck = true;
    std::int32_t executePeriod = 5;
    bool loadNimbora = true;
    bool defragMemory = true;
};

// The defaults for a machine with `totalBytes` of physical memory: below
// 1536 MB the two percentages are 20 and 40 instead of 30 and 60.
TickSettingValues TickDefaults(std::int64_t totalBytes);

// Reads the ten settings in the tick's order, each with its default.
TickSettingValues ReadTickSettings(TickSettings& settings, std::int64_t totalBytes);

// What the tick has read from the machine. The processor load is sampled only
// while ProcessorLimit is on; the power status is read only while
// BatteryCheck is on, and 255 (unknown) stands for an unreadable one.
struct TickReadings {
    std::int64_t totalBytes = 0;
    std::int64_t availableBytes = 0;
    std::uint64_t tickCount = 0;  // milliseconds since the machine started
    std::optional<double> processorLoad;
    std::uint8_t acLineStatus = 255;
};

// The gates in the order the tick applies them.
enum class TickGate { tgMemory, tgProcessor, tgBattery, tgFullScreen, tgEnabled, tgUptime, tgPeriod };
inline constexpr std::size_t kTickGateCount = 7;

enum class GateState {
    gsPass,   // the gate lets the tick go on
    gsBlock,  // the gate stops the tick
    gsOff,    // the gate is switched off by its setting and not checked
};

struct GateVerdict {
    TickGate gate = TickGate::tgMemory;
    GateState state = GateState::gsPass;
};

struct TickVerdict {
    std::int64_t maintainBytes = 0;   // the trigger level: due at or below it
    std::int64_t freeMegabytes = 0;   // the batch's whole request
    std::int32_t uptimeSeconds = 0;
    std::int64_t periodSeconds = 0;   // ExecutePeriod in seconds, 64-bit
    std::int64_t sinceLastRunSeconds = 0;
    std::array<GateVerdict, kTickGateCount> gates{};
    bool acts = false;  // every gate passes or is off: the batch starts

    GateState State(TickGate gate) const noexcept { return gates[static_cast<std::size_t>(gate)].state; }
};

// The trigger level in bytes: MemoryMaintain percent of `totalBytes`. The
// companion aims its batch above it with the same arithmetic.
std::int64_t TriggerLevelBytes(const TickSettingValues& settings, std::int64_t totalBytes);

// The memory gate alone, the first thing a tick decides: available memory at
// or below the trigger level.
bool MemoryDue(const TickSettingValues& settings, std::int64_t totalBytes, std::int64_t availableBytes);

// Every gate's verdict over the readings. `lastRunSeconds` is the uptime
// second at which the last batch began (0 before the first). Raises
// EMathError when the arithmetic overflows.
TickVerdict DecideTick(const TickSettingValues& settings, const TickReadings& readings,
                       std::int32_t lastRunSeconds);

// The launches of a batch of `freeMegabytes`: one per 1024 MB, at least one.
std::int64_t LaunchCount(std::int64_t freeMegabytes);

// Whole seconds of uptime, as the tick counts them.
std::int32_t SecondsFromTicks(std::uint64_t milliseconds);

}  // namespace nimbora
