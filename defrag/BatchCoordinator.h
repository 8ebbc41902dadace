#pragma once
// The objects the instances of NimboraDefrag.exe meet in: a named section
// holding the BatchState, a named mutex guarding it (held for microseconds at
// a time) and a named mutex the batch's worker holds for its whole life, so
// that "a worker runs" is the platform's word, not the record's.
//
// The objects live in the global namespace (the service starts every
// instance in session 0, a user may run one in another session) and are
// created with a security descriptor that admits only LocalSystem and the
// Administrators. An object that exists already is used only when its owner
// is LocalSystem, the Administrators or this process's own account: anybody
// else could have created it to hold the lock or to write the record.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "defrag/Batch.h"
#include "defrag/DefragHandles.h"
#include "defrag/Planner.h"
#include "defrag/SystemCalls.h"

namespace nimbora {

inline constexpr wchar_t kBatchObjectsPrefix[] = L"Global\\Nimbora.Defrag.";
// LocalSystem and the Administrators, full access; nothing inherited.
inline constexpr wchar_t kBatchObjectsSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

enum class Coordination {
    cdReady,
    cdRefused,      // an object exists under another owner, or denies us access
    cdUnavailable,  // an object could not be created, opened or mapped
};

class BatchCoordinator {
public:
    BatchCoordinator(SystemCalls& calls, const std::wstring& prefix = kBatchObjectsPrefix);

    Coordination State() const noexcept { return state_; }
    // For the event entry when not ready: which object, and why.
    const std::wstring& Problem() const noexcept { return problem_; }

    struct Entered {
        BatchRole role = BatchRole::brRefused;
        bool readingFailed = false;  // would have been the worker: memory could not be measured
        std::uint64_t batchId = 0;
        std::uint32_t joined = 0;
        std::int64_t baselineAvailable = 0;
        std::int64_t asked = 0;
        std::int64_t total = 0;
    };
    // Takes the record's lock (within `timeoutMs`), tries the worker's lock
    // without waiting, reads memory (`read`) and enters the batch. Nothing
    // when the record's lock did not come.
    std::optional<Entered> Enter(MemoryActions& actions, std::int64_t ownBytes, const BatchTiming& timing,
                                 DWORD timeoutMs);
    // The worker: true once gathering is over.
    bool GatheringOver(const BatchTiming& timing);
    // The worker: what the batch asks by now; -1 when the record is not sane.
    // `joined` gets the number of instances in the batch so far.
    std::int64_t Asked(std::int64_t total, std::uint32_t* joined = nullptr);
    // The worker: marks the batch done and lets go of the worker's lock, both
    // under the record's lock, so no instance can hand over to a finished
    // worker.
    void Finish();

private:
    bool Open(const std::wstring& name, bool section, SECURITY_ATTRIBUTES* security, UniqueHandleObject& object);
    bool Lock(DWORD timeoutMs, MutexOwnership& held, bool& abandoned);
    BatchState& Record() { return *static_cast<BatchState*>(view_.get()); }

    SystemCalls& calls_;
    Coordination state_ = Coordination::cdUnavailable;
    std::wstring problem_;
    std::vector<unsigned char> ownSid_;
    UniqueHandleObject section_;
    UniqueView view_;
    UniqueHandleObject recordLock_;
    UniqueHandleObject workerLock_;
    MutexOwnership worker_;  // held while this instance is the worker
};

}  // namespace nimbora
