#include "defrag/MemoryModel.h"

#include <algorithm>

namespace nimbora {

std::int64_t MemoryModel::Total() const noexcept {
    std::int64_t total = free + zeroed + standby + standbyLowPriority + modified + other;
    for (const ModelProcess& p : processes) total += p.clean + p.dirty;
    return total;
}

MemoryReading MemoryModel::Read() {
    MemoryReading reading;
    if (readFails) return reading;
    reading.total = Total();
    reading.available = Available();
    reading.free = free + zeroed;
    return reading;
}

std::optional<std::vector<ProcessInfo>> MemoryModel::Processes() {
    if (listFails) return std::nullopt;
    std::vector<ProcessInfo> list;
    for (const ModelProcess& p : processes) {
        ProcessInfo info;
        info.id = p.id;
        info.name = p.name;
        info.workingSet = p.refuses ? -1 : p.clean + p.dirty;
        info.idle = !p.busy;
        info.session = p.session;
        info.created = p.created;
        list.push_back(std::move(info));
    }
    return list;
}

TrimOutcome MemoryModel::Trim(const ProcessInfo& process) {
    clock += trimCostMs;
    const auto it = std::find_if(processes.begin(), processes.end(), [&](const ModelProcess& p) {
        return p.id == process.id && p.created == process.created;
    });
    // A process that ended, or whose id another one took, is not trimmed.
    if (it == processes.end()) return {ActionStatus::asNotAvailable, -1, -1};
    if (it->refuses) return {ActionStatus::asAccessDenied, -1, -1};
    TrimOutcome outcome{ActionStatus::asDone, it->clean + it->dirty, 0};
    standby += it->clean;
    modified += it->dirty;
    it->clean = 0;
    it->dirty = 0;
    ++trims;
    trimmedIds.push_back(it->id);
    return outcome;
}

ActionStatus MemoryModel::Run(MemoryCommand command) {
    commands.push_back(command);
    switch (command) {
        case MemoryCommand::mcFlushModifiedList:
            written += modified;
            standby += modified;
            modified = 0;
            clock += 500;  // writing takes the disk's time
            return ActionStatus::asDone;
        case MemoryCommand::mcPurgeLowPriorityStandbyList:
            purged += standbyLowPriority;
            free += standbyLowPriority;
            standbyLowPriority = 0;
            return ActionStatus::asDone;
    }
    return ActionStatus::asFailed;
}

}  // namespace nimbora
