#include "defrag/Batch.h"

#include <algorithm>
#include <limits>

namespace nimbora {

namespace {

constexpr std::int64_t kMaxBytes = std::numeric_limits<std::int64_t>::max();

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    // Both are byte counts, never negative here.
    return a > kMaxBytes - b ? kMaxBytes : a + b;
}

}  // namespace

BatchShare JoinBatch(BatchState& state, std::uint64_t nowMs, const MemoryReading& reading, std::int64_t ownBytes,
                     bool suspect, const BatchTiming& timing) {
    ownBytes = std::max<std::int64_t>(ownBytes, 0);
    // N.B. a clock that runs backwards relative to the record means the record
    // is not ours to trust.
    const bool fresh = suspect || state.magic != kBatchMagic || state.joined == 0 || nowMs < state.lastJoinMs ||
                       nowMs < state.startMs || nowMs - state.lastJoinMs > timing.joinWindowMs ||
                       nowMs - state.startMs > timing.spanMs;
    if (fresh) {
        const std::uint64_t previous = state.magic == kBatchMagic ? state.id : 0;
        state.magic = kBatchMagic;
        state.id = previous + 1;
        state.joined = 0;
        state.startMs = nowMs;
        state.baselineAvailable = std::max<std::int64_t>(reading.available, 0);
        state.baselineFree = reading.free;
        state.requested = 0;
    }
    state.joined += 1;
    state.lastJoinMs = nowMs;
    state.requested = SaturatingAdd(std::max<std::int64_t>(state.requested, 0), ownBytes);

    BatchShare share;
    share.id = state.id;
    share.position = state.joined;
    share.startMs = state.startMs;
    share.baselineAvailable = state.baselineAvailable;
    share.baselineFree = state.baselineFree;
    share.ownBytes = ownBytes;
    share.cumulativeBytes = state.requested;
    return share;
}

BatchShare SoloShare(std::uint64_t nowMs, const MemoryReading& reading, std::int64_t ownBytes) {
    BatchShare share;
    share.startMs = nowMs;
    share.baselineAvailable = std::max<std::int64_t>(reading.available, 0);
    share.baselineFree = reading.free;
    share.ownBytes = std::max<std::int64_t>(ownBytes, 0);
    share.cumulativeBytes = share.ownBytes;
    return share;
}

DefragGoal GoalFor(const BatchShare& share, std::int64_t totalPhysical) {
    DefragGoal goal;
    goal.availableTarget = std::min(SaturatingAdd(share.baselineAvailable, share.cumulativeBytes), totalPhysical);
    goal.freeTarget = share.baselineFree < 0
                          ? -1
                          : std::min(SaturatingAdd(share.baselineFree, share.cumulativeBytes), totalPhysical);
    goal.ownBytes = std::min(share.ownBytes, totalPhysical);
    return goal;
}

std::uint64_t WorkBudget(const BatchShare& share, std::uint64_t nowMs, const BatchTiming& timing) {
    const std::uint64_t end = share.startMs + timing.spanMs;
    if (nowMs >= end) return 0;
    return std::min(timing.instanceBudgetMs, end - nowMs);
}

std::uint64_t TurnTimeout(const BatchTiming& timing) { return timing.spanMs + timing.instanceBudgetMs; }

}  // namespace nimbora
