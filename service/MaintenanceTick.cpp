#include "service/MaintenanceTick.h"

#include <algorithm>

#include "service/TickDecision.h"
#include "svchost/Messages.h"

namespace nimbora {

std::wstring LaunchParameter(std::int64_t remainingMegabytes) {
    return DecimalText(std::min(remainingMegabytes, kMegabytesPerLaunch));
}

void MaintenanceTick::Run(bool serviceStarted) noexcept {
    if (!serviceStarted || running_) return;
    running_ = true;
    try {
        Act();
    } catch (...) {
        // A failed tick ends silently; the next timer event runs a normal one.
    }
    running_ = false;
}

void MaintenanceTick::Act() {
    TickReadings readings;
    // N.B. the processor is sampled on every tick, so that the load the gate
    // compares is the one of the last second, not an average since the last
    // tick at which memory was due, which may lie hours back.
    readings.tickCount = machine_.TickCount();
    const double load = machine_.ProcessorUsage();
    const bool currentLoad =
        lastSampleTicks_ != 0 && readings.tickCount - lastSampleTicks_ <= kCurrentLoadMilliseconds;
    lastSampleTicks_ = readings.tickCount != 0 ? readings.tickCount : 1;

    readings.totalBytes = machine_.TotalPhysicalMemory();
    const TickSettingValues settings = ReadTickSettings(settings_, readings.totalBytes);
    readings.availableBytes = machine_.AvailablePhysicalMemory();
    // No running machine has no memory available at all: a total that reads
    // beside an available amount that does not is a failed reading, which
    // would otherwise count as due and start a full batch.
    if (readings.availableBytes == 0 && readings.totalBytes != 0) return;
    if (!MemoryDue(settings, readings.totalBytes, readings.availableBytes)) return;

    if (settings.processorLimit) {
        // A load over a longer interval could hide one that rose a moment ago.
        if (!currentLoad) return;
        readings.processorLoad = load;
    }
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
