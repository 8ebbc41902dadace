#include "service/MaintenanceTick.h"

#include <algorithm>

#include "service/TickDecision.h"
#include "svchost/Messages.h"

namespace nimbora {

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
    const TickSettingValues settings = ReadTickSettings(settings_, machine_.TotalPhysicalMemory());

    TickReadings readings;
    readings.totalBytes = machine_.TotalPhysicalMemory();
    readings.availableBytes = machine_.AvailablePhysicalMemory();
    if (!MemoryDue(settings, readings.totalBytes, readings.availableBytes)) return;

    // N.B. every enabled gate's reading is taken, even when an earlier gate
    // will block: the processor sampler measures from its previous sample.
    readings.tickCount = machine_.TickCount();
    if (settings.processorLimit) readings.processorLoad = machine_.ProcessorUsage();
    if (settings.batteryCheck) {
        try {
            readings.acLineStatus = machine_.AcLineStatus();
        } catch (...) {
            // An unreadable power status does not block.
        }
    }

    const TickVerdict verdict = DecideTick(settings, readings, lastRunSeconds_);
    if (!verdict.acts) return;

    // N.B. written before the first launch, whether or not the launches succeed.
    lastRunSeconds_ = SecondsFromTicks(machine_.TickCount());

    std::int64_t freeMegabytes = verdict.freeMegabytes;
    do {
        launcher_.Open(machine_.ExecutableFolder() + kDefragmenterFileName, LaunchParameter(freeMegabytes));
        freeMegabytes -= kMegabytesPerLaunch;
    } while (freeMegabytes > 0);
}

}  // namespace nimbora
