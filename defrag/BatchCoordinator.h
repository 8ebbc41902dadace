#pragma once
// The objects the instances of NimboraDefrag.exe meet in: a named section
// holding the BatchState, a named mutex guarding it (held for microseconds at
// a time, every wait bounded) and a named mutex the batch's worker holds for
// its whole life, so that "a worker runs" is the platform's word, not the
// record's.
//
// The objects live in a private namespace whose boundary holds the
// Administrators' SID: only a token holding that group enabled (LocalSystem,
// an elevated administrator) can create or open it, and it is created with a
// security descriptor that admits only LocalSystem and the Administrators. A
// standard user can neither enter it nor squat a name in it: names of the
// global namespace are not looked at. An object that exists already is used
// only when its owner is LocalSystem, the Administrators or this process's
// own account. Where the platform has no private namespaces (Wine), the
// objects are made in the global namespace under the same checks.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "defrag/Batch.h"
#include "defrag/DefragHandles.h"
#include "defrag/Planner.h"
#include "defrag/SystemCalls.h"

namespace nimbora {

// The private namespace: its boundary's name and the alias its objects are
// named under ("Nimbora\Defrag.Lock").
inline constexpr wchar_t kBatchBoundary[] = L"Nimbora.Defrag";
inline constexpr wchar_t kBatchAlias[] = L"Nimbora";
// Without private namespaces (Wine only).
inline constexpr wchar_t kBatchGlobalPrefix[] = L"Global\\Nimbora.Defrag.";
// The namespace's and the objects' descriptor: owned by the Administrators,
// LocalSystem and the Administrators full access, nothing inherited.
inline constexpr wchar_t kBatchObjectsOwner[] = L"O:BA";
inline constexpr wchar_t kBatchObjectsDacl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

enum class Coordination {
    cdReady,
    cdRefused,      // an object exists under another owner, or denies us access
    cdUnavailable,  // an object could not be created, opened or mapped
};

class BatchCoordinator {
public:
    // `alias` and `globalPrefix` name the objects (tests give their own);
    // every wait for the record's lock lasts at most `lockTimeoutMs`.
    BatchCoordinator(SystemCalls& calls, DWORD lockTimeoutMs, const std::wstring& alias = kBatchAlias,
                     const std::wstring& globalPrefix = kBatchGlobalPrefix);

    Coordination State() const noexcept { return state_; }
    // For the event entry when not ready: which object, and why.
    const std::wstring& Problem() const noexcept { return problem_; }
    // True when the objects are in the private namespace.
    bool Private() const noexcept { return static_cast<bool>(namespace_); }

    struct Entered {
        BatchRole role = BatchRole::brRefused;
        RefusalKind refusal = RefusalKind::rkNotSane;  // for brRefused
        bool readingFailed = false;  // would have been the worker: memory could not be measured
        std::uint64_t batchId = 0;
        std::uint32_t joined = 0;
        std::int64_t baselineAvailable = 0;
        std::int64_t asked = 0;
        std::int64_t total = 0;
    };
    // Takes the record's lock, tries the worker's lock without waiting and
    // enters the batch with `reading`, taken before (nothing slow happens
    // under the lock). Nothing when the record's lock did not come.
    std::optional<Entered> Enter(const MemoryReading& reading, std::int64_t ownBytes, const BatchTiming& timing);
    // The worker: true once gathering is over (or the lock did not come).
    bool GatheringOver(const BatchTiming& timing);
    // The worker: what the batch asks by now; -1 when the record is not sane
    // or its lock did not come. `joined` gets the instances so far.
    std::int64_t Asked(std::int64_t total, std::uint32_t* joined = nullptr);
    // The worker: marks the batch done under the record's lock, so no
    // instance hands over to a finished worker; the worker's lock stays held
    // until ReleaseWorker, while the results are written.
    void Finish();
    void ReleaseWorker() noexcept { worker_.reset(); }

private:
    bool Open(const std::wstring& name, bool section, SECURITY_ATTRIBUTES* security, UniqueHandleObject& object);
    bool Lock(MutexOwnership& held);
    BatchState& Record() { return *static_cast<BatchState*>(view_.get()); }

    SystemCalls& calls_;
    DWORD lockTimeoutMs_;
    Coordination state_ = Coordination::cdUnavailable;
    std::wstring problem_;
    std::vector<unsigned char> ownSid_;
    std::uint64_t created_ = 0;  // this process's creation time
    UniqueNamespace namespace_;
    UniqueHandleObject section_;
    UniqueView view_;
    UniqueHandleObject recordLock_;
    UniqueHandleObject workerLock_;
    MutexOwnership worker_;  // held while this instance is the worker
};

}  // namespace nimbora
