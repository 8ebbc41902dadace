#include "defrag/WinMemoryActions.h"

#include "probes/PhysicalMemory.h"

namespace nimbora {

namespace {

MemoryListCommand ListCommand(MemoryCommand command) {
    switch (command) {
        case MemoryCommand::mcFlushModifiedList: return mlFlushModifiedList;
        case MemoryCommand::mcPurgeLowPriorityStandbyList: return mlPurgeLowPriorityStandbyList;
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

std::optional<std::uint32_t> ProbeAnswer(DWORD exitCode) noexcept {
    if (exitCode & 0x80000000u) return std::nullopt;
    return exitCode;
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
    opened_.clear();
    std::vector<ProcessEntry> entries;
    if (!calls_.ListProcesses(entries).ok) return std::nullopt;

    struct Sampled {
        ProcessInfo info;
        std::uint64_t processorTime = 0;
        bool timed = false;
    };
    std::vector<Sampled> sampled;
    sampled.reserve(entries.size());
    for (ProcessEntry& entry : entries) {
        Sampled s;
        s.info.id = entry.id;
        s.info.name = std::move(entry.exeName);
        DWORD session = 0;
        if (calls_.ProcessSession(entry.id, session).ok) s.info.session = session;
        UniqueHandleObject process;
        if (entry.id != 0 && calls_.OpenProcess(kTrimAccess, entry.id, process).ok) {
            s.info.workingSet = WorkingSetOf(process.get());
            s.timed = calls_.ProcessTimes(process.get(), s.info.created, s.processorTime).ok;
            if (s.info.workingSet >= 0) opened_[entry.id] = Opened{std::move(process), s.info.created};
        }
        sampled.push_back(std::move(s));
    }

    calls_.Sleep(sampleMs_);
    std::vector<ProcessInfo> processes;
    processes.reserve(sampled.size());
    for (Sampled& s : sampled) {
        const auto it = opened_.find(s.info.id);
        if (s.timed && it != opened_.end()) {
            std::uint64_t created = 0, processorTime = 0;
            s.info.idle = calls_.ProcessTimes(it->second.handle.get(), created, processorTime).ok &&
                          processorTime == s.processorTime;
        }
        processes.push_back(std::move(s.info));
    }
    return processes;
}

ForegroundInfo WinMemoryActions::Foreground() {
    if (!foreground_) foreground_ = ProbeForeground();
    return *foreground_;
}

ForegroundInfo WinMemoryActions::ProbeForeground() {
    ForegroundInfo info;
    info.consoleSession = calls_.ConsoleSession();
    if (info.consoleSession == kUnknownSession) return info;
    DWORD own = kUnknownSession;
    if (!calls_.ProcessSession(calls_.CurrentProcessId(), own).ok) own = kUnknownSession;
    DWORD exitCode = 0;
    if (!calls_.RunForegroundProbe(info.consoleSession, own == info.consoleSession, probeTimeoutMs_, exitCode).ok)
        return info;
    const std::optional<std::uint32_t> answer = ProbeAnswer(exitCode);
    if (!answer) return info;
    info.known = true;
    info.processId = *answer;
    return info;
}

TrimOutcome WinMemoryActions::Trim(const ProcessInfo& process) {
    TrimOutcome outcome;
    const auto it = opened_.find(process.id);
    // N.B. only a process opened while listing, and the same one: the handle
    // held since keeps its id from being reused.
    if (it == opened_.end() || it->second.created != process.created) {
        outcome.status = ActionStatus::asNotAvailable;
        return outcome;
    }
    const HANDLE handle = it->second.handle.get();
    outcome.before = WorkingSetOf(handle);
    const CallResult emptied = calls_.EmptyWorkingSet(handle);
    if (!emptied.ok) {
        outcome.status = StatusForError(emptied.error);
        return outcome;
    }
    outcome.status = ActionStatus::asDone;
    outcome.after = WorkingSetOf(handle);
    return outcome;
}

ActionStatus WinMemoryActions::Run(MemoryCommand command) {
    const ActionStatus privilege = ProfilePrivilege();
    if (privilege != ActionStatus::asDone) return privilege;
    int listCommand = ListCommand(command);
    return StatusForNtStatus(
        calls_.SetSystemInformation(kSystemMemoryListInformation, &listCommand, sizeof listCommand));
}

void WinMemoryActions::Pause(std::uint64_t milliseconds) {
    calls_.Sleep(milliseconds >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(milliseconds));
}

}  // namespace nimbora
