#include "defrag/MemoryModel.h"

#include <algorithm>

namespace nimbora {

namespace {

// Moves `part` of `whole` bytes out of each process's share `field`, in
// proportion, into `to` (when given); returns what moved.
template <typename Field, typename To>
void Spread(std::vector<ModelProcess>& processes, std::int64_t whole, std::int64_t part, Field field, To to) {
    if (whole <= 0 || part <= 0) return;
    for (ModelProcess& p : processes) {
        std::int64_t& share = p.*field;
        if (share <= 0) continue;
        // N.B. rounded up, so that shares never outlive the list they are on.
        const auto exact = static_cast<long double>(share) * static_cast<long double>(part) / static_cast<long double>(whole);
        const auto up = static_cast<std::int64_t>(exact);
        const std::int64_t moved = std::min(share, up + (static_cast<long double>(up) < exact ? 1 : 0));
        share -= moved;
        to(p, moved);
    }
}

}  // namespace

std::int64_t MemoryModel::Total() const noexcept {
    std::int64_t total = free + zeroed + standby + standbyLowPriority + modified + other + store;
    for (const ModelProcess& p : processes) total += p.clean + p.dirty;
    for (const ModelSegment& s : segments) total += s.bytes;
    return total;
}

ModelProcess* MemoryModel::Find(std::uint32_t id) {
    const auto it = std::find_if(processes.begin(), processes.end(), [&](const ModelProcess& p) { return p.id == id; });
    return it == processes.end() ? nullptr : &*it;
}

std::int64_t MemoryModel::SegmentBytes(int segment) const noexcept {
    for (const ModelSegment& s : segments)
        if (s.id == segment) return s.bytes;
    return 0;
}

bool MemoryModel::SegmentHeld(int segment) const noexcept {
    return std::any_of(processes.begin(), processes.end(),
                       [&](const ModelProcess& p) { return p.segment == segment && p.holdsSegment; });
}

void MemoryModel::SetForeground(std::uint32_t session, std::uint32_t id) {
    desktops.listed = true;
    for (SessionDesktop& d : desktops.sessions)
        if (d.session == session) {
            d = {session, true, true, id, 0, d.fullScreen};
            return;
        }
    desktops.sessions.push_back({session, true, true, id, 0, false});
}

std::int64_t MemoryModel::TakePages(std::int64_t bytes) {
    std::int64_t got = 0;
    for (std::int64_t* list : {&zeroed, &free, &standbyLowPriority}) {
        const std::int64_t take = std::min(*list, bytes - got);
        *list -= take;
        got += take;
    }
    const std::int64_t take = std::min(standby, bytes - got);
    if (take > 0) {
        // N.B. repurposing takes the standby pages of trimmed processes with
        // the rest, in proportion: a later touch of those is a hard fault.
        Spread(processes, standby, take, &ModelProcess::outStandby, [](ModelProcess& p, std::int64_t moved) {
            p.outGone += moved;
        });
        standby -= take;
        got += take;
    }
    return got;
}

void MemoryModel::Allocate(std::uint32_t id, std::int64_t bytes, bool clean) {
    ModelProcess* p = Find(id);
    const std::int64_t got = TakePages(std::max<std::int64_t>(bytes, 0));
    unmet += std::max<std::int64_t>(bytes, 0) - got;
    if (p == nullptr) {
        other += got;
        return;
    }
    (clean ? p->clean : p->dirty) += got;
}

void MemoryModel::Release(std::uint32_t id, std::int64_t bytes) {
    ModelProcess* p = Find(id);
    if (p == nullptr) return;
    const std::int64_t fromDirty = std::min(p->dirty, std::max<std::int64_t>(bytes, 0));
    const std::int64_t fromClean = std::min(p->clean, std::max<std::int64_t>(bytes, 0) - fromDirty);
    p->dirty -= fromDirty;
    p->clean -= fromClean;
    free += fromDirty + fromClean;
}

void MemoryModel::Write(std::int64_t bytes) {
    bytes = std::min(bytes, modified);
    if (bytes <= 0) return;
    if (compression) {
        // The store keeps the pages' contents in fewer pages; the rest are free.
        const std::int64_t kept = (bytes + compressionRatio - 1) / compressionRatio;
        store += kept;
        free += bytes - kept;
        compressed += bytes;
        modified -= bytes;
        return;
    }
    // N.B. a written page stays where it was, now clean: on standby.
    Spread(processes, modified, bytes, &ModelProcess::outModified, [](ModelProcess& p, std::int64_t moved) {
        p.outStandby += moved;
    });
    modified -= bytes;
    standby += bytes;
    written += bytes;
}

void MemoryModel::Touch(ModelProcess& p, std::int64_t bytes) {
    const std::int64_t soft = std::min(p.outStandby, bytes);
    p.outStandby -= soft;
    standby -= soft;
    p.clean += soft;
    softFaults += soft;
    bytes -= soft;

    const std::int64_t fromModified = std::min({p.outModified, bytes});
    if (fromModified > 0) {
        p.outModified -= fromModified;
        bytes -= fromModified;
        softFaults += fromModified;
        const std::int64_t onList = std::min(modified, fromModified);
        modified -= onList;
        p.dirty += onList;
        // N.B. the rest was compressed: it comes back into new pages and its
        // share of the store is released.
        const std::int64_t fromStore = fromModified - onList;
        if (fromStore > 0) {
            const std::int64_t released = std::min(store, fromStore / compressionRatio);
            store -= released;
            free += released;
            p.dirty += TakePages(fromStore);
        }
    }
    const std::int64_t hard = std::min(p.outGone, bytes);
    if (hard > 0) {
        p.outGone -= hard;
        const std::int64_t got = TakePages(hard);
        p.clean += got;
        hardFaults += got;
        unmet += hard - got;
    }
}

void MemoryModel::Advance(std::uint64_t milliseconds) {
    clock += milliseconds;
    const auto perPeriod = [&](std::int64_t perSecond) {
        return static_cast<std::int64_t>(static_cast<double>(perSecond) * static_cast<double>(milliseconds) / 1000.0);
    };
    for (ModelProcess& p : processes)
        if (p.touchPerSecond > 0) Touch(p, perPeriod(p.touchPerSecond));
    // N.B. the writer, once started, goes on down to its lower threshold.
    writing_ = modified > writerStart || (writing_ && modified > writerStop);
    if (compression && modified > 0)
        Write(std::min(perPeriod(writerBytesPerSecond), modified));
    else if (writing_)
        Write(std::min(perPeriod(writerBytesPerSecond), modified - writerStop));
    if (modified <= writerStop) writing_ = false;
}

MemoryReading MemoryModel::Read() {
    MemoryReading reading;
    if (readFails) return reading;
    reading.total = Total();
    reading.available = Available();
    reading.free = free + zeroed;
    reading.modified = modifiedKnown ? modified : -1;
    return reading;
}

std::optional<std::vector<ProcessInfo>> MemoryModel::Processes() {
    if (listFails) return std::nullopt;
    std::vector<ProcessInfo> list;
    for (const ModelProcess& p : processes) {
        ProcessInfo info;
        info.id = p.id;
        info.parentId = p.parentId;
        info.name = p.name;
        info.privateWorkingSet = p.clean + p.dirty;
        info.workingSet = info.privateWorkingSet + (p.segment != 0 && p.holdsSegment ? SegmentBytes(p.segment) : 0);
        info.idle = !p.busy;
        info.session = p.session;
        info.created = p.created;
        list.push_back(std::move(info));
    }
    return list;
}

TrimOutcome MemoryModel::Trim(const ProcessInfo& process) {
    Advance(trimCostMs);
    ModelProcess* p = Find(process.id);
    // A process that ended, or whose id another one took, is not trimmed.
    if (p == nullptr || p->created != process.created) return {ActionStatus::asNotAvailable, -1, -1};
    if (p->refuses) return {ActionStatus::asAccessDenied, -1, -1};
    const std::int64_t shared = p->segment != 0 && p->holdsSegment ? SegmentBytes(p->segment) : 0;
    TrimOutcome outcome{ActionStatus::asDone, p->clean + p->dirty + shared, 0};
    standby += p->clean;
    modified += p->dirty;
    p->outStandby += p->clean;
    p->outModified += p->dirty;
    p->clean = 0;
    p->dirty = 0;
    if (p->holdsSegment && p->segment != 0) {
        p->holdsSegment = false;
        // N.B. a shared page leaves memory only with its last holder.
        if (!SegmentHeld(p->segment))
            for (ModelSegment& s : segments)
                if (s.id == p->segment) {
                    standby += s.bytes;
                    s.bytes = 0;
                }
    }
    ++trims;
    trimmedIds.push_back(p->id);
    return outcome;
}

ActionStatus MemoryModel::Run(MemoryCommand command) {
    commands.push_back(command);
    switch (command) {
        case MemoryCommand::mcFlushModifiedList:
            Write(modified);
            Advance(500);  // writing takes the disk's time
            return ActionStatus::asDone;
        case MemoryCommand::mcPurgeLowPriorityStandbyList:
            purged += standbyLowPriority;
            free += standbyLowPriority;
            standbyLowPriority = 0;
            return ActionStatus::asDone;
    }
    return ActionStatus::asFailed;
}

MemoryModel DesktopModel(std::int64_t totalMb, std::int64_t availableMb, int idle) {
    constexpr std::int64_t MB = 1024 * 1024;
    MemoryModel m;
    m.free = availableMb / 4 * MB;
    m.standby = (availableMb - availableMb / 4 - 64) * MB;
    m.standbyLowPriority = 64 * MB;
    m.modified = 128 * MB;
    m.processes = {
        {4, L"System", 0, 64 * MB, 0, false, false, 1},
        {600, L"explorer.exe", 1, 250 * MB, 20 * MB, false, false, 1},
        {700, L"dwm.exe", 1, 180 * MB, 20 * MB, false, false, 1},
        {1000, L"browser.exe", 1, 1200 * MB, 600 * MB, false, false, 5, 600},
        {1100, L"compiler.exe", 1, 900 * MB, 300 * MB, true, false, 1},
        {1200, L"database.exe", 0, 500 * MB, 300 * MB, false, false, 1},
    };
    for (int i = 0; i < idle; ++i) {
        const std::int64_t size = (600 - 40 * (i % 12)) * MB;
        ModelProcess p{static_cast<std::uint32_t>(2000 + i), L"app" + std::to_wstring(i) + L".exe", 1, size * 2 / 3,
                       size / 3, false, false, 1};
        p.touchPerSecond = 64 * 1024;
        m.processes.push_back(p);
    }
    m.other = totalMb * MB - m.Total();
    m.SetForeground(1, 1000);
    return m;
}

}  // namespace nimbora
