#include "service/MaintenanceTick.h"

#include <algorithm>

#include "probes/Rounding.h"
#include "settings/SettingsKeys.h"
#include "svchost/Messages.h"

namespace nimbora {

namespace {

// A MemoryFree above the whole memory would only multiply the launches of one
// batch (2^31-1 percent is millions of processes); the top is 100 percent.
constexpr std::int32_t kMaxMemoryFreePercent = 100;

std::int32_t SecondsFromTicks(std::uint64_t milliseconds) {
    return Round32(static_cast<Real>(milliseconds) / 1000.0L);
}

std::int64_t PercentOf(std::int32_t percent, std::int64_t total) {
    return RoundedPercentOf(percent, total);
}

}  // namespace

std::wstring LaunchParameter(std::int64_t remainingMegabytes) {
    return DecimalText(std::min(remainingMegabytes, kMegabytesPerLaunch));
}

void MaintenanceTick::Run(bool serviceStarted) noexcept {
    if (!serviceStarted) return;
    try {
        Act();
    } catch (...) {
        // A failed tick ends silently; the next timer event runs a normal one.
    }
}

void MaintenanceTick::Act() {
    const std::int32_t totalMegabytes =
        static_cast<std::int32_t>(BytesToMegabytes(machine_.TotalPhysicalMemory()));
    const bool large = totalMegabytes >= 1536;

    // N.B. all ten settings are read on every acting tick, in this order,
    // whatever the later gates decide.
    const std::int32_t memoryMaintain = settings_.ReadInteger(kMemoryMaintain, large ? 30 : 20);
    const std::int32_t memoryFree = settings_.ReadInteger(kMemoryFree, large ? 60 : 40);
    const bool processorLimit = settings_.ReadBool(kProcessorLimit, true);
    const std::int32_t processorTrigger = settings_.ReadInteger(kProcessorTrigger, 85);
    const bool batteryCheck = settings_.ReadBool(kBatteryCheck, false);
    const bool fullScreen = settings_.ReadBool(kFullScreen, false);
    const bool fullScreenCheck = settings_.ReadBool(kFullScreenCheck, true);
    const std::int32_t executePeriod = settings_.ReadInteger(kExecutePeriod, 5);
    const bool loadNimbora = settings_.ReadBool(kLoadNimbora, true);
    const bool defragMemory = settings_.ReadBool(kDefragMemory, true);

    const std::int64_t total = machine_.TotalPhysicalMemory();
    const std::int64_t available = machine_.AvailablePhysicalMemory();

    const std::int64_t maintainBytes = PercentOf(memoryMaintain, total);
    const std::int64_t freeBytes = PercentOf(std::min(memoryFree, kMaxMemoryFreePercent), total);
    std::int64_t freeMegabytes = BytesToMegabytes(freeBytes);

    if (available > maintainBytes) return;

    const std::int32_t uptimeSeconds = SecondsFromTicks(machine_.TickCount());
    bool allowed = true;

    // N.B. every gate is evaluated, even once an earlier one has blocked: the
    // processor sampler measures from its previous sample.
    if (processorLimit) {
        if (Round(machine_.ProcessorUsage()) > static_cast<std::int64_t>(processorTrigger)) allowed = false;
    }
    if (batteryCheck) {
        try {
            if (machine_.AcLineStatus() == 0) allowed = false;
        } catch (...) {
            // An unreadable power status does not block.
        }
    }
    if (fullScreenCheck && fullScreen) allowed = false;
    if (!loadNimbora && !defragMemory) allowed = false;
    if (Round(static_cast<Real>(uptimeSeconds) / 60.0L) < 5) allowed = false;

    if (!allowed) return;

    // The period is held in 64 bits: ExecutePeriod * 60 overflows 32 bits
    // above 35 791 394 minutes.
    const std::int64_t sinceLastRun = static_cast<std::int64_t>(uptimeSeconds) - lastRunSeconds_;
    if (sinceLastRun < static_cast<std::int64_t>(executePeriod) * 60) return;

    // N.B. written before the first launch, whether or not the launches succeed.
    lastRunSeconds_ = SecondsFromTicks(machine_.TickCount());

    do {
        launcher_.Open(machine_.ExecutableFolder() + kDefragmenterFileName, LaunchParameter(freeMegabytes));
        freeMegabytes -= kMegabytesPerLaunch;
    } while (freeMegabytes > 0);
}

}  // namespace nimbora
