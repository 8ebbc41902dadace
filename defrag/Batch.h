#pragma once
// Coordination of the instances of one batch. The service starts several
// instances at once (one per 1024 MB); they share one small record, updated
// under a lock, so that together they free the batch's total:
//
//   - the first instance of a batch records the memory reading it starts
//     from (the baseline) and every instance adds its request to the batch;
//   - each instance works towards the baseline plus the requests of the batch
//     up to and including its own, one instance at a time. Whatever an earlier
//     instance freed counts for the later ones, and memory freed once is not
//     counted again by the next instance.
//
// Instances join the same batch while each starts within the join window of
// the previous one and the batch is younger than its span.

#include <cstdint>
#include <type_traits>

#include "defrag/Planner.h"

namespace nimbora {

// The shared record. Fixed-width fields, 8-byte fields on 8-byte offsets: the
// same layout in 32-bit and 64-bit instances. A new record is all zeros.
struct BatchState {
    std::uint32_t magic;
    std::uint32_t joined;        // instances in this batch so far
    std::uint64_t id;            // increases with every batch
    std::uint64_t startMs;       // clock reading when the batch began
    std::uint64_t lastJoinMs;
    std::int64_t baselineAvailable;
    std::int64_t baselineFree;   // -1 when not known
    std::int64_t requested;      // bytes asked for by the instances joined so far
};
static_assert(std::is_trivially_copyable_v<BatchState> && std::is_standard_layout_v<BatchState>);
static_assert(sizeof(BatchState) == 56);

inline constexpr std::uint32_t kBatchMagic = 0x4E424446;  // "FDBN"

struct BatchTiming {
    std::uint64_t joinWindowMs = 2000;
    std::uint64_t spanMs = 20000;         // no instance works after this
    std::uint64_t instanceBudgetMs = 5000;
};

struct BatchShare {
    std::uint64_t id = 0;                // 0 when the instance runs alone
    std::uint32_t position = 1;          // 1 for the instance that began the batch
    std::uint64_t startMs = 0;
    std::int64_t baselineAvailable = 0;
    std::int64_t baselineFree = -1;
    std::int64_t ownBytes = 0;
    std::int64_t cumulativeBytes = 0;    // the batch's requests up to and including this one
};

// Joins the batch in `state` at `nowMs` with `reading` taken just now, or
// begins a new one: when the record is new or `suspect` (its last writer died
// holding the lock), when no instance joined within the join window, or when
// the batch is older than its span.
BatchShare JoinBatch(BatchState& state, std::uint64_t nowMs, const MemoryReading& reading, std::int64_t ownBytes,
                     bool suspect, const BatchTiming& timing);

// The share of an instance that could not reach the shared record.
BatchShare SoloShare(std::uint64_t nowMs, const MemoryReading& reading, std::int64_t ownBytes);

// The targets of a share, capped at the physical memory there is.
DefragGoal GoalFor(const BatchShare& share, std::int64_t totalPhysical);

// The time left for this instance's steps once it has its turn: its own
// budget, cut at the batch's span.
std::uint64_t WorkBudget(const BatchShare& share, std::uint64_t nowMs, const BatchTiming& timing);

// How long an instance waits for its turn before giving up.
std::uint64_t TurnTimeout(const BatchTiming& timing);

}  // namespace nimbora
