#include "defrag/BatchCoordinator.h"

namespace nimbora {

namespace {

enum class Wait { wtOwned, wtAbandoned, wtTimedOut };

Wait Acquire(HANDLE mutex, DWORD timeoutMs) {
    switch (WaitForSingleObject(mutex, timeoutMs)) {
        case WAIT_OBJECT_0: return Wait::wtOwned;
        // N.B. an abandoned mutex is owned now; its holder died mid-way.
        case WAIT_ABANDONED: return Wait::wtAbandoned;
        default: return Wait::wtTimedOut;
    }
}

}  // namespace

BatchCoordinator::BatchCoordinator(const std::wstring& prefix) {
    stateLock_.reset(CreateMutexW(nullptr, FALSE, (prefix + L"BatchLock").c_str()));
    workTurn_.reset(CreateMutexW(nullptr, FALSE, (prefix + L"WorkTurn").c_str()));
    // A new section is all zeros: an empty record.
    section_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(BatchState),
                                      (prefix + L"Batch").c_str()));
    if (!stateLock_ || !workTurn_ || !section_) return;
    view_.reset(MapViewOfFile(section_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(BatchState)));
}

std::optional<BatchShare> BatchCoordinator::Join(MemoryActions& actions, std::int64_t ownBytes,
                                                 const BatchTiming& timing, DWORD timeoutMs) {
    if (!Available()) return std::nullopt;
    const Wait wait = Acquire(stateLock_.get(), timeoutMs);
    if (wait == Wait::wtTimedOut) return std::nullopt;
    const MutexOwnership held(stateLock_.get());
    auto* const state = static_cast<BatchState*>(view_.get());
    const MemoryReading reading = actions.Read();
    return JoinBatch(*state, actions.Milliseconds(), reading, ownBytes, wait == Wait::wtAbandoned, timing);
}

MutexOwnership BatchCoordinator::AwaitTurn(DWORD timeoutMs) {
    if (!workTurn_) return MutexOwnership();
    if (Acquire(workTurn_.get(), timeoutMs) == Wait::wtTimedOut) return MutexOwnership();
    return MutexOwnership(workTurn_.get());
}

}  // namespace nimbora
