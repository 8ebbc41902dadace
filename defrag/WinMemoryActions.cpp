#include "defrag/WinMemoryActions.h"

#include "probes/PhysicalMemory.h"

namespace nimbora {

namespace {

constexpr DWORD kQueryAccess = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kTrimAccess = kQueryAccess | PROCESS_SET_QUOTA;

MemoryListCommand ListCommand(MemoryCommand command) {
    switch (command) {
        case MemoryCommand::mcEmptyWorkingSets: return mlEmptyWorkingSets;
        case MemoryCommand::mcFlushModifiedList: return mlFlushModifiedList;
        case MemoryCommand::mcPurgeLowPriorityStandbyList: return mlPurgeLowPriorityStandbyList;
        case MemoryCommand::mcPurgeStandbyList: return mlPurgeStandbyList;
    }
    return mlFlushModifiedList;
}

}  // namespace

ActionStatus StatusForError(DWORD error) noexcept {
    switch (error) {
        case ERROR_ACCESS_DENIED: return ActionStatus::asAccessDenied;
        case ERROR_PRIVILEGE_NOT_HELD:
        case ERROR_NOT_ALL_ASSIGNED: return ActionStatus::asPrivilegeMissing;
        case ERROR_CALL_NOT_IMPLEMENTED:
        case ERROR_NOT_SUPPORTED:
        case ERROR_PROC_NOT_FOUND: return ActionStatus::asNotAvailable;
        default: return ActionStatus::asFailed;
    }
}

ActionStatus StatusForNtStatus(NtStatus status) noexcept {
    if (status >= 0) return ActionStatus::asDone;
    switch (status) {
        case kStatusNotImplemented:
        case kStatusInvalidInfoClass:
        case kStatusProcedureNotFound:
        case kStatusNotSupported: return ActionStatus::asNotAvailable;
        case kStatusPrivilegeNotHeld: return ActionStatus::asPrivilegeMissing;
        case kStatusAccessDenied: return ActionStatus::asAccessDenied;
        default: return ActionStatus::asFailed;
    }
}

ActionStatus WinMemoryActions::ProfilePrivilege() {
    if (privilege_) return *privilege_;
    privilege_ = ActionStatus::asFailed;
    UniqueHandleObject token;
    const CallResult opened = calls_.OpenOwnToken(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token);
    if (!opened.ok) return *privilege_ = StatusForError(opened.error);
    LUID luid{};
    const CallResult looked = calls_.LookupPrivilege(SE_PROF_SINGLE_PROCESS_NAME, luid);
    if (!looked.ok) return *privilege_ = ActionStatus::asPrivilegeMissing;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const CallResult adjusted = calls_.AdjustPrivileges(token.get(), privileges);
    if (!adjusted.ok) return *privilege_ = StatusForError(adjusted.error);
    // N.B. success with ERROR_NOT_ALL_ASSIGNED: the token does not hold it.
    if (adjusted.error == ERROR_NOT_ALL_ASSIGNED) return *privilege_ = ActionStatus::asPrivilegeMissing;
    return *privilege_ = ActionStatus::asDone;
}

MemoryReading WinMemoryActions::Read() {
    MemoryReading reading;
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!calls_.MemoryStatus(status)) return reading;
    reading.total = PhysicalMemoryBytes(status.ullTotalPhys);
    reading.available = reading.total > 0 ? PhysicalMemoryBytes(status.ullAvailPhys) : 0;

    // N.B. the page counts are given only to a holder of the profile
    // privilege; without it the free count stays unknown.
    if (ProfilePrivilege() != ActionStatus::asDone) return reading;
    MemoryListInformation lists{};
    if (calls_.QuerySystemInformation(kSystemMemoryListInformation, &lists, sizeof lists) < 0) return reading;
    const std::uint64_t pages = static_cast<std::uint64_t>(lists.zeroPageCount) + lists.freePageCount;
    reading.free = PhysicalMemoryBytes(pages * calls_.PageSize());
    return reading;
}

std::int64_t WinMemoryActions::WorkingSetOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!calls_.MemoryCounters(process, counters).ok) return -1;
    return PhysicalMemoryBytes(counters.WorkingSetSize);
}

std::optional<std::vector<ProcessInfo>> WinMemoryActions::Processes() {
    std::vector<ProcessEntry> entries;
    if (!calls_.ListProcesses(entries).ok) return std::nullopt;
    std::vector<ProcessInfo> processes;
    processes.reserve(entries.size());
    for (ProcessEntry& entry : entries) {
        ProcessInfo info;
        info.id = entry.id;
        info.name = std::move(entry.exeName);
        UniqueHandleObject process;
        if (entry.id != 0 && calls_.OpenProcess(kQueryAccess, entry.id, process).ok)
            info.workingSet = WorkingSetOf(process.get());
        processes.push_back(std::move(info));
    }
    return processes;
}

TrimOutcome WinMemoryActions::Trim(std::uint32_t processId) {
    TrimOutcome outcome;
    UniqueHandleObject process;
    const CallResult opened = calls_.OpenProcess(kTrimAccess, processId, process);
    if (!opened.ok) {
        outcome.status = StatusForError(opened.error);
        return outcome;
    }
    outcome.before = WorkingSetOf(process.get());
    const CallResult emptied = calls_.EmptyWorkingSet(process.get());
    if (!emptied.ok) {
        outcome.status = StatusForError(emptied.error);
        return outcome;
    }
    outcome.status = ActionStatus::asDone;
    outcome.after = WorkingSetOf(process.get());
    return outcome;
}

ActionStatus WinMemoryActions::Run(MemoryCommand command) {
    const ActionStatus privilege = ProfilePrivilege();
    if (privilege != ActionStatus::asDone) return privilege;
    int listCommand = ListCommand(command);
    return StatusForNtStatus(
        calls_.SetSystemInformation(kSystemMemoryListInformation, &listCommand, sizeof listCommand));
}

bool WinMemoryActions::HoldChunk(std::int64_t bytes) {
    if (bytes <= 0) return false;
    if constexpr (sizeof(SIZE_T) < sizeof(std::int64_t)) {
        if (static_cast<std::uint64_t>(bytes) > SIZE_MAX) return false;
    }
    const SIZE_T size = static_cast<SIZE_T>(bytes);
    UniqueRegion region(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!region) return false;
    // Touch every page so it is really in this working set, not only committed.
    const SIZE_T page = calls_.PageSize() > 0 ? calls_.PageSize() : 4096;
    volatile unsigned char* const base = static_cast<unsigned char*>(region.get());
    for (SIZE_T offset = 0; offset < size; offset += page) base[offset] = 1;
    base[size - 1] = 1;
    chunks_.push_back(std::move(region));
    return true;
}

std::int64_t WinMemoryActions::PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!calls_.MemoryCounters(GetCurrentProcess(), counters).ok) return -1;
    return PhysicalMemoryBytes(counters.PeakWorkingSetSize);
}

}  // namespace nimbora
