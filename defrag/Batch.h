#pragma once
// One worker per batch. The service starts the instances of a batch within
// milliseconds of each other (one per 1024 MB); they meet in one small shared
// record, read and written under a lock:
//
//   - the instance that finds no worker running becomes the batch's worker:
//     it begins a new batch with its own amount and the memory reading it
//     starts from (the baseline), gathers the amounts of the instances that
//     follow until none has come for a short quiet time (or the gathering
//     time is up), and then does the batch's work once;
//   - every other instance hands its amount over (adds it to the batch) and
//     exits at once. Amounts handed over while the worker is at work still
//     raise its goal.
//
// Whether a worker runs is not read from the record but from a lock the
// worker holds for its whole life (see BatchCoordinator), so a worker that
// died leaves no batch behind. The record is checked before it is trusted:
// amounts within what a batch can ask (the physical memory), a baseline
// within the total, a count of instances a tick can start.

#include <cstdint>
#include <type_traits>

#include "defrag/Planner.h"

namespace nimbora {

enum class BatchPhase : std::uint32_t {
    bpNone = 0,
    bpGathering = 1,
    bpWorking = 2,
    bpDone = 3,
};

// The shared record. Fixed-width fields, 8-byte fields on 8-byte offsets: the
// same layout in 32-bit and 64-bit instances. A new record is all zeros.
struct BatchState {
    std::uint32_t magic;
    std::uint32_t phase;         // BatchPhase
    std::uint64_t id;            // increases with every batch
    std::uint64_t startMs;       // clock reading when the batch began
    std::uint64_t lastJoinMs;    // when the last amount was added
    std::int64_t total;          // physical memory the worker measured
    std::int64_t baselineAvailable;
    std::int64_t requested;      // bytes asked for by the batch so far
    std::uint32_t joined;        // instances in the batch so far
    std::uint32_t workerId;      // process id of the worker
    std::uint64_t finishedUtc;   // when the worker finished, FILETIME; 0 while it works
};
static_assert(std::is_trivially_copyable_v<BatchState> && std::is_standard_layout_v<BatchState>);
static_assert(sizeof(BatchState) == 72);

inline constexpr std::uint32_t kBatchMagic = 0x3242444E;  // "NDB2"

struct BatchTiming {
    std::uint64_t quietMs = 1000;       // gathering ends when no amount came for this long
    std::uint64_t gatherMaxMs = 4000;   // and at the latest this long after the batch began
    std::uint32_t maxInstances = 256;   // far more than one tick starts (100 % of 256 GiB)
};

enum class BatchRole {
    brWorker,      // does the batch's work
    brHandedOver,  // added its amount to a running worker's batch
    brRefused,     // a worker runs but the record is not sane: nothing to hand over to
    brLate,        // created while the last worker ran, arrived after it finished: nothing left to do
};

// True when the record can be trusted on a machine with `totalPhysical` bytes.
bool RecordSane(const BatchState& state, std::int64_t totalPhysical);

// Called under the record's lock. `workerFree`: this instance just took the
// worker's lock, so no worker runs; it begins a new batch (with `reading`,
// which must then be a valid reading) and becomes its worker, unless it is
// late: created (`createdUtc`, 0 when not known) before the last worker
// finished, it would have handed its amount over had it started faster (under
// load, or through an emulator, a process can take seconds to start), and the
// batch that just ended already worked for it. Otherwise it hands `ownBytes`
// over to the running batch.
BatchRole EnterBatch(BatchState& state, bool workerFree, std::uint64_t nowMs, const MemoryReading& reading,
                     std::int64_t ownBytes, std::uint32_t processId, std::uint64_t createdUtc,
                     const BatchTiming& timing);


// Called by the worker under the lock: true once gathering is over (and the
// record then says the batch is at work).
bool CloseGathering(BatchState& state, std::uint64_t nowMs, const BatchTiming& timing);

// The bytes the batch asks for by now, or -1 when the record is not sane.
std::int64_t BatchAsked(const BatchState& state, std::int64_t totalPhysical);

// Called by the worker under the lock, just before it lets go of the worker's
// lock, at `nowUtc` (FILETIME): instances created later begin a new batch.
void FinishBatch(BatchState& state, std::uint64_t nowUtc);

// Why a running worker's batch took no amount (EnterBatch gave brRefused),
// as this instance reads the record with `reading`.
enum class RefusalKind {
    rkNotSane,        // the record is not one a batch writes: refused loudly
    rkFinishing,      // the worker has finished and is writing its results
    rkMemoryChanged,  // the physical memory changed since the worker measured it (memory added while running)
    rkOverCap,        // the batch holds timing.maxInstances instances already
};
RefusalKind WhyRefused(const BatchState& state, const MemoryReading& reading, const BatchTiming& timing);

// True when a refusal entry may be written at `nowUtc`, the last one having
// been written at `lastUtc` (FILETIME, 0 for none): not within the last
// `periodMinutes`, at least one minute. A last time after `nowUtc` (the clock
// was set back) does not count.
bool RefusalEntryDue(std::uint64_t lastUtc, std::uint64_t nowUtc, std::int64_t periodMinutes);

}  // namespace nimbora
