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

// A descriptor from its SDDL text; empty when the text is refused.
UniqueLocal Descriptor(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return UniqueLocal();
    return UniqueLocal(descriptor);
}

}  // namespace

BatchCoordinator::BatchCoordinator(SystemCalls& calls, DWORD lockTimeoutMs, const std::wstring& alias,
                                   const std::wstring& globalPrefix)
    : calls_(calls), lockTimeoutMs_(lockTimeoutMs) {
    if (!calls_.OwnUserSid(ownSid_).ok) ownSid_.clear();
    // N.B. read here, before any lock: a late instance is told by it.
    std::uint64_t processorTime = 0;
    if (!calls_.ProcessTimes(GetCurrentProcess(), created_, processorTime).ok) created_ = 0;
    UniqueLocal descriptor = Descriptor(std::wstring(kBatchObjectsOwner) + kBatchObjectsDacl);
    if (!descriptor) {
        problem_ = L"the security descriptor could not be built";
        return;
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};

    std::wstring prefix = alias + L"\\Defrag.";
    CallResult space = calls_.OpenBatchNamespace(kBatchBoundary, alias, &security, namespace_);
    if (!space.ok && space.error == ERROR_INVALID_OWNER && !ownSid_.empty()) {
        // N.B. a token that may not name the Administrators as owner: this
        // account owns the objects instead, which the owner check of the
        // next instance accepts as well.
        descriptor = Descriptor(L"O:" + SidText(ownSid_) + kBatchObjectsDacl);
        security.lpSecurityDescriptor = descriptor.get();
        space = calls_.OpenBatchNamespace(kBatchBoundary, alias, &security, namespace_);
    }
    if (!space.ok && space.error == ERROR_CALL_NOT_IMPLEMENTED) {
        prefix = globalPrefix;
    } else if (!space.ok) {
        state_ = space.error == ERROR_ACCESS_DENIED ? Coordination::cdRefused : Coordination::cdUnavailable;
        problem_ = L"the private namespace " + alias + L" could not be entered (error " +
                   std::to_wstring(space.error) + L")";
        return;
    }

    if (!Open(prefix + L"Lock", false, &security, recordLock_) ||
        !Open(prefix + L"Worker", false, &security, workerLock_) || !Open(prefix + L"Batch", true, &security, section_))
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

bool BatchCoordinator::Lock(MutexOwnership& held) {
    const DWORD wait = calls_.Wait(recordLock_.get(), lockTimeoutMs_);
    // N.B. an abandoned lock is ours now: its holder died. A record it left
    // half written is refused by the sanity check of a hand-over, or
    // overwritten by a new worker.
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return false;
    held.reset(recordLock_.get());
    return true;
}

std::optional<BatchCoordinator::Entered> BatchCoordinator::Enter(const MemoryReading& reading, std::int64_t ownBytes,
                                                                 const BatchTiming& timing) {
    if (state_ != Coordination::cdReady) return std::nullopt;
    const DWORD processId = calls_.CurrentProcessId();
    MutexOwnership held;
    if (!Lock(held)) return std::nullopt;

    // N.B. an abandoned worker's lock is ours now: its worker died.
    const DWORD wait = calls_.Wait(workerLock_.get(), 0);
    const bool workerFree = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (workerFree) worker_.reset(workerLock_.get());
    BatchState& record = Record();
    Entered entered;
    if (workerFree && reading.total <= 0) {
        worker_.reset();
        entered.readingFailed = true;
        return entered;
    }
    entered.role = EnterBatch(record, workerFree, calls_.TickCount(), reading, ownBytes, processId, created_, timing);
    if (entered.role != BatchRole::brWorker) worker_.reset();
    if (entered.role == BatchRole::brRefused) entered.refusal = WhyRefused(record, reading, timing);
    entered.batchId = record.id;
    entered.joined = record.joined;
    entered.baselineAvailable = record.baselineAvailable;
    entered.asked = record.requested;
    entered.total = record.total;
    return entered;
}

bool BatchCoordinator::GatheringOver(const BatchTiming& timing) {
    MutexOwnership held;
    if (!Lock(held)) return true;
    return CloseGathering(Record(), calls_.TickCount(), timing);
}

std::int64_t BatchCoordinator::Asked(std::int64_t total, std::uint32_t* joined) {
    MutexOwnership held;
    if (!Lock(held)) return -1;
    if (joined != nullptr) *joined = Record().joined;
    return BatchAsked(Record(), total);
}

void BatchCoordinator::Finish() {
    if (!worker_) return;
    MutexOwnership held;
    if (Lock(held)) FinishBatch(Record(), calls_.SystemTimeUtc());
}

}  // namespace nimbora
