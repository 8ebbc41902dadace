#pragma once
// The batch record and the two locks that instances of NimboraDefrag.exe
// share: a named section holding the BatchState, a named mutex guarding it
// (held for microseconds while an instance joins) and a named mutex for the
// work turn (held while an instance runs its steps). Joining never waits
// behind the work, so every instance of a batch joins it at once.
//
// The names are in the session's namespace: the service starts every
// instance in its own session.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "defrag/Batch.h"
#include "defrag/DefragHandles.h"
#include "defrag/Planner.h"

namespace nimbora {

inline constexpr wchar_t kBatchObjectsPrefix[] = L"Local\\Nimbora.Defrag.";

class BatchCoordinator {
public:
    // Opens or creates the objects named `prefix` + "Batch", "BatchLock" and
    // "WorkTurn". When any of them cannot be had, Available() is false and the
    // instance runs alone.
    explicit BatchCoordinator(const std::wstring& prefix = kBatchObjectsPrefix);

    bool Available() const noexcept { return static_cast<bool>(view_); }

    // Joins the batch (see JoinBatch) with a reading taken under the lock.
    // Nothing when the lock was not had within `timeoutMs`.
    std::optional<BatchShare> Join(MemoryActions& actions, std::int64_t ownBytes, const BatchTiming& timing,
                                   DWORD timeoutMs);

    // Waits for the work turn; an empty ownership when it did not come within
    // `timeoutMs`. The turn is passed on when the ownership is dropped.
    MutexOwnership AwaitTurn(DWORD timeoutMs);

private:
    UniqueHandleObject section_;
    UniqueView view_;
    UniqueHandleObject stateLock_;
    UniqueHandleObject workTurn_;
};

}  // namespace nimbora
