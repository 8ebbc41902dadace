#include "defrag/WinMemoryActions.h"

#include <cstring>

#include "defrag/ProcessNames.h"
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

constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023);
// The process list is read into a buffer that starts at this size and doubles
// while the kernel says it is too small, up to the largest.
constexpr ULONG kFirstListBytes = 256 * 1024;
constexpr ULONG kLargestListBytes = 64 * 1024 * 1024;
// More records than any machine runs processes: a buffer claiming more is broken.
constexpr std::size_t kMostProcesses = 1 << 20;

std::optional<std::vector<ListedProcess>> Snapshot(SystemCalls& calls) {
    for (ULONG length = kFirstListBytes; length <= kLargestListBytes; length *= 2) {
        // N.B. 8-byte elements: the records hold 64-bit fields.
        std::vector<std::uint64_t> buffer(length / sizeof(std::uint64_t));
        const NtStatus status = calls.QuerySystemInformation(kSystemProcessInformation, buffer.data(), length);
        if (status == kStatusInfoLengthMismatch || status == kStatusBufferTooSmall) continue;
        if (status < 0) return std::nullopt;
        return DecodeProcessInformation(buffer.data(), length);
    }
    return std::nullopt;
}

// The foreground window's classes that are the desktop itself, not a program.
bool IsDesktopOrShellWindow(const std::wstring& windowClass) {
    for (const wchar_t* shell : {L"Progman", L"WorkerW", L"Shell_TrayWnd", L"Shell_SecondaryTrayWnd", L"#32769"})
        if (windowClass == shell) return true;
    return false;
}

// QUNS_BUSY, QUNS_RUNNING_D3D_FULL_SCREEN, QUNS_PRESENTATION_MODE.
bool FullScreenState(int state) { return state == 2 || state == 3 || state == 4; }

bool Covers(const RECT& window, const RECT& monitor) {
    return window.left <= monitor.left && window.top <= monitor.top && window.right >= monitor.right &&
           window.bottom >= monitor.bottom;
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

std::optional<std::vector<ListedProcess>> DecodeProcessInformation(const void* buffer, std::size_t size) {
    std::vector<ListedProcess> processes;
    const auto* base = static_cast<const unsigned char*>(buffer);
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    std::size_t at = 0;
    for (;;) {
        if (size < sizeof(ProcessInformationRecord) || at > size - sizeof(ProcessInformationRecord) ||
            processes.size() >= kMostProcesses)
            return std::nullopt;
        ProcessInformationRecord record;
        std::memcpy(&record, base + at, sizeof record);
        ListedProcess p;
        p.info.id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(record.uniqueProcessId));
        p.info.parentId = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(record.inheritedFromUniqueProcessId));
        p.info.session = record.sessionId;
        p.info.workingSet = static_cast<std::int64_t>(record.workingSetSize);
        // N.B. 0 is what a system before Vista, or Wine, leaves there.
        p.info.privateWorkingSet = record.workingSetPrivateSize > 0 ? record.workingSetPrivateSize : -1;
        p.info.created = static_cast<std::uint64_t>(record.createTime);
        p.processorTime = static_cast<std::uint64_t>(record.kernelTime) + static_cast<std::uint64_t>(record.userTime);
        const auto name = reinterpret_cast<std::uintptr_t>(record.imageNameBuffer);
        const std::size_t bytes = record.imageNameLength & ~1u;
        if (name >= start && name - start <= size && bytes <= size - (name - start)) {
            p.info.name.resize(bytes / sizeof(wchar_t));
            std::memcpy(p.info.name.data(), base + (name - start), bytes);
        }
        processes.push_back(std::move(p));
        if (record.nextEntryOffset == 0) return processes;
        if (record.nextEntryOffset < sizeof(ProcessInformationRecord)) return std::nullopt;
        at += record.nextEntryOffset;
    }
}

ProbeReport ProbeDesktop(SystemCalls& calls) {
    ProbeReport report;
    report.state = static_cast<std::uint32_t>(calls.NotificationState());
    const HWND foreground = calls.ForegroundWindow();
    bool covers = false;
    if (foreground != nullptr) {
        report.foregroundId = calls.WindowProcess(foreground);
        if (report.foregroundId != 0 &&
            FoldName(calls.ProcessImageName(report.foregroundId)) == L"applicationframehost.exe") {
            // N.B. the frame host draws the frame; the app inside is the
            // process of a child window that is not the host's own.
            for (const HWND child : calls.ChildWindows(foreground)) {
                const DWORD owner = calls.WindowProcess(child);
                if (owner != 0 && owner != report.foregroundId) {
                    report.hostedAppId = owner;
                    break;
                }
            }
        }
        RECT window{}, monitor{};
        covers = !IsDesktopOrShellWindow(calls.WindowClass(foreground)) && calls.WindowRect(foreground, window) &&
                 calls.MonitorRect(foreground, monitor) && Covers(window, monitor);
    }
    report.fullScreen = FullScreenState(static_cast<int>(report.state)) || covers;
    return report;
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
    // privilege; without it the free and modified counts stay unknown.
    if (ProfilePrivilege() != ActionStatus::asDone) return reading;
    MemoryListInformation lists{};
    if (calls_.QuerySystemInformation(kSystemMemoryListInformation, &lists, sizeof lists) < 0) return reading;
    const std::uint64_t page = calls_.PageSize();
    const std::uint64_t free = static_cast<std::uint64_t>(lists.zeroPageCount) + lists.freePageCount;
    reading.free = PhysicalMemoryBytes(free * page);
    reading.modified = PhysicalMemoryBytes(static_cast<std::uint64_t>(lists.modifiedPageCount) * page);
    return reading;
}

std::int64_t WinMemoryActions::WorkingSetOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!calls_.MemoryCounters(process, counters).ok) return -1;
    return PhysicalMemoryBytes(counters.WorkingSetSize);
}

std::optional<std::vector<ProcessInfo>> WinMemoryActions::Processes() {
    const std::optional<std::vector<ListedProcess>> first = Snapshot(calls_);
    if (!first) return std::nullopt;
    calls_.Sleep(sampleMs_);
    std::optional<std::vector<ListedProcess>> second = Snapshot(calls_);
    if (!second) return std::nullopt;
    std::vector<ProcessInfo> processes;
    processes.reserve(second->size());
    for (ListedProcess& now : *second) {
        // N.B. a process that came within the window counts as busy: it has
        // no earlier reading to compare with.
        for (const ListedProcess& before : *first)
            if (before.info.id == now.info.id && before.info.created == now.info.created) {
                now.info.idle = before.processorTime == now.processorTime;
                break;
            }
        processes.push_back(std::move(now.info));
    }
    return processes;
}

DesktopState WinMemoryActions::Desktops() {
    DesktopState state;
    std::vector<SessionEntry> sessions;
    if (!calls_.Sessions(sessions).ok) return state;
    state.listed = true;
    DWORD own = kUnknownSession;
    if (!calls_.ProcessSession(calls_.CurrentProcessId(), own).ok) own = kUnknownSession;
    const auto probe = [&](DWORD session) {
        DWORD exitCode = 1;
        std::string output;
        if (!calls_.RunDesktopProbe(session, session == own, probeTimeoutMs_, exitCode, output).ok) exitCode = 1;
        return DesktopFromProbe(session, exitCode, output);
    };
    for (const SessionEntry& s : sessions) {
        // The services' session has no desktop a user sees; a listener has
        // no processes.
        if (s.id == 0 || s.state == WTSListen) continue;
        if (s.state == WTSActive) {
            state.sessions.push_back(probe(s.id));
            continue;
        }
        SessionDesktop desktop;
        desktop.session = s.id;
        // Disconnected: nobody sees it. Any other state (connecting, at the
        // logon screen, resetting) is left unprobed: not known.
        desktop.active = s.state != WTSDisconnected;
        state.sessions.push_back(desktop);
    }
    // N.B. Wine lists no sessions while its desktop runs in the console
    // session: a console session not listed is probed as active.
    const DWORD console = calls_.ConsoleSession();
    if (console != 0 && console != kUnknownSession && state.Find(console) == nullptr)
        state.sessions.push_back(probe(console));
    return state;
}

TrimOutcome WinMemoryActions::Trim(const ProcessInfo& process) {
    TrimOutcome outcome;
    UniqueHandleObject handle;
    const CallResult opened = calls_.OpenProcess(kTrimAccess, process.id, handle);
    if (!opened.ok) {
        // N.B. a process that ended since it was listed is not a refusal.
        outcome.status = opened.error == ERROR_INVALID_PARAMETER ? ActionStatus::asNotAvailable
                                                                 : StatusForError(opened.error);
        return outcome;
    }
    // N.B. while the handle is open the id cannot be reused: a creation time
    // equal to the listing's names the process listed.
    std::uint64_t created = 0, processorTime = 0;
    const CallResult timed = calls_.ProcessTimes(handle.get(), created, processorTime);
    if (!timed.ok) {
        outcome.status = StatusForError(timed.error);
        return outcome;
    }
    if (created != process.created) {
        outcome.status = ActionStatus::asNotAvailable;
        return outcome;
    }
    outcome.before = WorkingSetOf(handle.get());
    const CallResult emptied = calls_.EmptyWorkingSet(handle.get());
    if (!emptied.ok) {
        outcome.status = StatusForError(emptied.error);
        return outcome;
    }
    outcome.status = ActionStatus::asDone;
    outcome.after = WorkingSetOf(handle.get());
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
