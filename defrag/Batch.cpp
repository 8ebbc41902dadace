#include "defrag/Batch.h"

#include <algorithm>

namespace nimbora {

namespace {

std::int64_t CappedAdd(std::int64_t a, std::int64_t b, std::int64_t cap) {
    a = std::clamp<std::int64_t>(a, 0, cap);
    b = std::clamp<std::int64_t>(b, 0, cap);
    return a > cap - b ? cap : a + b;
}

}  // namespace

bool RecordSane(const BatchState& s, std::int64_t totalPhysical) {
    const auto phase = static_cast<BatchPhase>(s.phase);
    return s.magic == kBatchMagic && (phase == BatchPhase::bpGathering || phase == BatchPhase::bpWorking ||
                                      phase == BatchPhase::bpDone) &&
           totalPhysical > 0 && s.total == totalPhysical && s.baselineAvailable >= 0 &&
           s.baselineAvailable <= totalPhysical && s.requested >= 0 && s.requested <= totalPhysical && s.joined >= 1 &&
           s.lastJoinMs >= s.startMs;
}

BatchRole EnterBatch(BatchState& state, bool workerFree, std::uint64_t nowMs, const MemoryReading& reading,
                     std::int64_t ownBytes, std::uint32_t processId, std::uint64_t createdUtc,
                     const BatchTiming& timing) {
    if (workerFree && static_cast<BatchPhase>(state.phase) == BatchPhase::bpDone &&
        RecordSane(state, state.total) && createdUtc != 0 && state.finishedUtc != 0 && createdUtc <= state.finishedUtc) {
        state.joined += state.joined < timing.maxInstances ? 1 : 0;
        return BatchRole::brLate;
    }
    if (workerFree) {
        const std::uint64_t previous = state.magic == kBatchMagic ? state.id : 0;
        state = BatchState{};
        state.magic = kBatchMagic;
        state.phase = static_cast<std::uint32_t>(BatchPhase::bpGathering);
        state.id = previous + 1;
        state.startMs = nowMs;
        state.lastJoinMs = nowMs;
        state.total = reading.total;
        state.baselineAvailable = std::clamp<std::int64_t>(reading.available, 0, reading.total);
        state.requested = std::clamp<std::int64_t>(ownBytes, 0, reading.total);
        state.joined = 1;
        state.workerId = processId;
        return BatchRole::brWorker;
    }
    // N.B. a running worker and a record that is not a running batch (or not
    // sane) means someone wrote the record who should not have: refuse rather
    // than hand an amount to nobody.
    const auto phase = static_cast<BatchPhase>(state.phase);
    if (!RecordSane(state, state.total) || (reading.total > 0 && state.total != reading.total) ||
        phase == BatchPhase::bpDone || state.joined >= timing.maxInstances)
        return BatchRole::brRefused;
    state.requested = CappedAdd(state.requested, ownBytes, state.total);
    state.joined += 1;
    state.lastJoinMs = std::max(state.lastJoinMs, nowMs);
    return BatchRole::brHandedOver;
}

bool CloseGathering(BatchState& state, std::uint64_t nowMs, const BatchTiming& timing) {
    if (static_cast<BatchPhase>(state.phase) != BatchPhase::bpGathering) return true;
    // N.B. a clock behind the record's readings cannot measure the quiet time.
    const bool over = nowMs < state.lastJoinMs || nowMs < state.startMs || nowMs - state.lastJoinMs >= timing.quietMs ||
                      nowMs - state.startMs >= timing.gatherMaxMs;
    if (over) state.phase = static_cast<std::uint32_t>(BatchPhase::bpWorking);
    return over;
}

std::int64_t BatchAsked(const BatchState& state, std::int64_t totalPhysical) {
    return RecordSane(state, totalPhysical) ? state.requested : -1;
}

void FinishBatch(BatchState& state, std::uint64_t nowUtc) {
    state.phase = static_cast<std::uint32_t>(BatchPhase::bpDone);
    state.finishedUtc = nowUtc;
}

RefusalKind WhyRefused(const BatchState& state, const MemoryReading& reading, const BatchTiming& timing) {
    if (!RecordSane(state, state.total)) return RefusalKind::rkNotSane;
    if (static_cast<BatchPhase>(state.phase) == BatchPhase::bpDone) return RefusalKind::rkFinishing;
    if (reading.total > 0 && state.total != reading.total) return RefusalKind::rkMemoryChanged;
    if (state.joined >= timing.maxInstances) return RefusalKind::rkOverCap;
    return RefusalKind::rkNotSane;
}

bool RefusalEntryDue(std::uint64_t lastUtc, std::uint64_t nowUtc, std::int64_t periodMinutes) {
    constexpr std::uint64_t kMinute = 60ull * 10000000;
    const std::uint64_t minutes = static_cast<std::uint64_t>(std::clamp<std::int64_t>(periodMinutes, 1, 1 << 20));
    return lastUtc == 0 || lastUtc > nowUtc || nowUtc - lastUtc >= minutes * kMinute;
}

}  // namespace nimbora
