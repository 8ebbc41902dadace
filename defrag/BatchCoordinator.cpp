#include "defrag/BatchCoordinator.h"

#include <sddl.h>

namespace nimbora {

namespace {

bool OwnerAccepted(const std::vector<unsigned char>& owner, std::vector<unsigned char>& own) {
    if (owner.empty()) return false;
    PSID sid = const_cast<unsigned char*>(owner.data());
    if (!IsValidSid(sid)) return false;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
    return !own.empty() && EqualSid(sid, own.data());
}

std::wstring SidText(const std::vector<unsigned char>& sid) {
    if (sid.empty() || !IsValidSid(const_cast<unsigned char*>(sid.data()))) return L"no valid SID";
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(const_cast<unsigned char*>(sid.data()), &text)) return L"unreadable SID";
    const UniqueLocal held(text);
    return text;
}

}  // namespace

BatchCoordinator::BatchCoordinator(SystemCalls& calls, const std::wstring& prefix) : calls_(calls) {
    if (!calls_.OwnUserSid(ownSid_).ok) ownSid_.clear();
    // N.B. the owner is named rather than left to the token's default, which
    // is not this account everywhere (Wine gives the primary group), so that
    // the owner check of the next instance accepts it.
    const std::wstring sddl = (ownSid_.empty() ? L"" : L"O:" + SidText(ownSid_)) + kBatchObjectsSddl;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        problem_ = L"the security descriptor could not be built";
        return;
    }
    const UniqueLocal held(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};

    if (!Open(prefix + L"Lock", false, &security, recordLock_) || !Open(prefix + L"Worker", false, &security, workerLock_) ||
        !Open(prefix + L"Batch", true, &security, section_))
        return;
    const CallResult mapped = calls_.MapSection(section_.get(), sizeof(BatchState), view_);
    if (!mapped.ok) {
        state_ = Coordination::cdUnavailable;
        problem_ = prefix + L"Batch could not be mapped (error " + std::to_wstring(mapped.error) + L")";
        return;
    }
    state_ = Coordination::cdReady;
}

bool BatchCoordinator::Open(const std::wstring& name, bool section, SECURITY_ATTRIBUTES* security,
                            UniqueHandleObject& object) {
    const CallResult created = section ? calls_.CreateNamedSection(name, security, sizeof(BatchState), object)
                                       : calls_.CreateNamedMutex(name, security, object);
    if (!created.ok) {
        state_ = created.error == ERROR_ACCESS_DENIED ? Coordination::cdRefused : Coordination::cdUnavailable;
        problem_ = name + (created.error == ERROR_ACCESS_DENIED ? L" exists and denies access"
                                                                : L" could not be created (error " +
                                                                      std::to_wstring(created.error) + L")");
        return false;
    }
    if (created.error != ERROR_ALREADY_EXISTS) return true;
    // N.B. an object that was there before us is trusted only by its owner.
    std::vector<unsigned char> owner;
    const CallResult read = calls_.ObjectOwner(object.get(), owner);
    if (read.ok && OwnerAccepted(owner, ownSid_)) return true;
    object.reset();
    state_ = Coordination::cdRefused;
    problem_ = name + (read.ok ? L" exists under another owner (" + SidText(owner) + L")"
                               : L" exists and its owner cannot be read");
    return false;
}

bool BatchCoordinator::Lock(DWORD timeoutMs, MutexOwnership& held, bool& abandoned) {
    const DWORD wait = calls_.Wait(recordLock_.get(), timeoutMs);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return false;
    abandoned = wait == WAIT_ABANDONED;
    held.reset(recordLock_.get());
    return true;
}

std::optional<BatchCoordinator::Entered> BatchCoordinator::Enter(MemoryActions& actions, std::int64_t ownBytes,
                                                                 const BatchTiming& timing, DWORD timeoutMs) {
    if (state_ != Coordination::cdReady) return std::nullopt;
    MutexOwnership held;
    bool abandoned = false;
    if (!Lock(timeoutMs, held, abandoned)) return std::nullopt;

    // N.B. an abandoned worker's lock is ours now: its worker died.
    const DWORD wait = calls_.Wait(workerLock_.get(), 0);
    const bool workerFree = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (workerFree) worker_.reset(workerLock_.get());
    BatchState& record = Record();
    // N.B. a record lock abandoned mid-write leaves a record that the sanity
    // check of a hand-over refuses, or that a new worker overwrites.
    const MemoryReading reading = actions.Read();
    Entered entered;
    if (workerFree && reading.total <= 0) {
        worker_.reset();
        entered.readingFailed = true;
        return entered;
    }
    std::uint64_t created = 0, processorTime = 0;
    if (!calls_.ProcessTimes(GetCurrentProcess(), created, processorTime).ok) created = 0;
    entered.role = EnterBatch(record, workerFree, actions.Milliseconds(), reading, ownBytes, calls_.CurrentProcessId(),
                              created, timing);
    if (entered.role != BatchRole::brWorker) worker_.reset();
    entered.batchId = record.id;
    entered.joined = record.joined;
    entered.baselineAvailable = record.baselineAvailable;
    entered.asked = record.requested;
    entered.total = record.total;
    return entered;
}

bool BatchCoordinator::GatheringOver(const BatchTiming& timing) {
    MutexOwnership held;
    bool abandoned = false;
    if (!Lock(INFINITE - 1, held, abandoned)) return true;
    return CloseGathering(Record(), calls_.TickCount(), timing);
}

std::int64_t BatchCoordinator::Asked(std::int64_t total, std::uint32_t* joined) {
    MutexOwnership held;
    bool abandoned = false;
    if (!Lock(INFINITE - 1, held, abandoned)) return -1;
    if (joined != nullptr) *joined = Record().joined;
    return BatchAsked(Record(), total);
}

void BatchCoordinator::Finish() {
    if (!worker_) return;
    MutexOwnership held;
    bool abandoned = false;
    const bool locked = Lock(INFINITE - 1, held, abandoned);
    if (locked) FinishBatch(Record(), calls_.SystemTimeUtc());
    worker_.reset();
}

}  // namespace nimbora
