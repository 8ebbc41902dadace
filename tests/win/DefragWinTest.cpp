// The companion's Windows layer over a scripted platform: which rights it
// asks for, which processes it trims, what it does when the foreground probe
// fails, when its named objects are squatted, when memory cannot be read at
// join; and the batch's real named objects shared by instances on threads.

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "defrag/BatchCoordinator.h"
#include "defrag/DefragProgram.h"
#include "defrag/DefragStore.h"
#include "defrag/ExitCodes.h"
#include "defrag/Planner.h"
#include "defrag/SystemCalls.h"
#include "defrag/TrimMarks.h"
#include "defrag/WinMemoryActions.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;
constexpr wchar_t kTestKey[] = L"Software\\Korvex\\NimboraDefragTest";

std::vector<unsigned char> WellKnown(WELL_KNOWN_SID_TYPE type) {
    std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// Another account: S-1-5-21-1-2-3-1001.
std::vector<unsigned char> OtherUser() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1001, 0, 0, 0, &sid)) return {};
    const auto* bytes = static_cast<const unsigned char*>(sid);
    std::vector<unsigned char> copy(bytes, bytes + GetLengthSid(sid));
    FreeSid(sid);
    return copy;
}

// Removes the test key from both registry views.
void ClearTestKey() {
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        UniqueHKey korvex;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korvex", 0, KEY_ALL_ACCESS | view, korvex.put()) ==
            ERROR_SUCCESS)
            RegDeleteTreeW(korvex.get(), L"NimboraDefragTest");
    }
}

// The platform as a script. Process handles are real unnamed events; the
// named objects are real too, under a prefix of the test's own, unless a
// test makes them squatted or refused.
class FakeCalls : public SystemCalls {
public:
    struct Process {
        std::wstring name;
        DWORD session = 1;
        SIZE_T workingSet = 0;
        std::uint64_t created = 1;
        bool busy = false;                 // processor time moves between samples
        DWORD openError = ERROR_SUCCESS;   // OpenProcess fails with it when set
        DWORD emptyError = ERROR_SUCCESS;  // EmptyWorkingSet fails with it when set
    };

    bool statusOk = true;
    int statusFailsAfter = -1;  // memory readings that succeed before every later one fails
    DWORDLONG total = 8192ull * MB;
    DWORDLONG available = 2048ull * MB;
    CallResult adjustResult{true, ERROR_SUCCESS};
    CallResult tokenResult{true, ERROR_SUCCESS};
    std::map<int, NtStatus> commandStatus;
    std::map<DWORD, Process> processes;
    DWORD console = 1;
    DWORD ownSession = 0;
    CallResult probeResult{true, ERROR_SUCCESS};
    DWORD probeExit = 0;
    // Named objects: ERROR_ALREADY_EXISTS with this owner, or a failure.
    std::map<std::wstring, std::vector<unsigned char>> squatted;  // by name suffix
    std::map<std::wstring, DWORD> createError;                     // by name suffix
    std::vector<unsigned char> ownSid = OtherUser();

    std::vector<std::wstring> calls;
    std::vector<int> commandsSent;
    std::map<DWORD, DWORD> accessAsked;
    std::vector<DWORD> trimmed;
    std::vector<std::pair<DWORD, bool>> probes;  // session, own session
    std::vector<DWORD> sleeps;

    bool MemoryStatus(MEMORYSTATUSEX& status) override {
        ++readings_;
        if (!statusOk || (statusFailsAfter >= 0 && readings_ > statusFailsAfter)) return false;
        status.ullTotalPhys = total;
        status.ullAvailPhys = available;
        return true;
    }
    NtStatus QuerySystemInformation(ULONG, void*, ULONG) override { return kStatusNotImplemented; }
    NtStatus SetSystemInformation(ULONG infoClass, void* buffer, ULONG length) override {
        if (infoClass != kSystemMemoryListInformation || length != sizeof(int)) return kStatusInfoLengthMismatch;
        const int command = *static_cast<int*>(buffer);
        commandsSent.push_back(command);
        const auto it = commandStatus.find(command);
        return it == commandStatus.end() ? kStatusSuccess : it->second;
    }
    CallResult OpenOwnToken(DWORD, UniqueHandleObject& token) override {
        if (tokenResult.ok) token.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return tokenResult;
    }
    CallResult LookupPrivilege(const wchar_t*, LUID& luid) override {
        luid = LUID{13, 0};
        return {true, ERROR_SUCCESS};
    }
    CallResult AdjustPrivileges(HANDLE, TOKEN_PRIVILEGES&) override { return adjustResult; }
    CallResult ListProcesses(std::vector<ProcessEntry>& list) override {
        list.clear();
        for (const auto& [id, p] : processes) list.push_back({id, p.name});
        return {true, ERROR_SUCCESS};
    }
    CallResult OpenProcess(DWORD access, DWORD id, UniqueHandleObject& process) override {
        accessAsked[id] = access;
        const auto it = processes.find(id);
        if (it == processes.end()) return {false, ERROR_INVALID_PARAMETER};
        if (it->second.openError != ERROR_SUCCESS) return {false, it->second.openError};
        process.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        handles_[process.get()] = id;
        return {true, ERROR_SUCCESS};
    }
    CallResult MemoryCounters(HANDLE process, PROCESS_MEMORY_COUNTERS& counters) override {
        counters = PROCESS_MEMORY_COUNTERS{};
        const auto it = handles_.find(process);
        if (it == handles_.end()) return {false, ERROR_INVALID_HANDLE};
        counters.WorkingSetSize = processes[it->second].workingSet;
        return {true, ERROR_SUCCESS};
    }
    CallResult ProcessTimes(HANDLE process, std::uint64_t& created, std::uint64_t& processorTime) override {
        const auto it = handles_.find(process);
        if (it == handles_.end()) return {false, ERROR_INVALID_HANDLE};
        const Process& p = processes[it->second];
        created = p.created;
        processorTime = p.busy ? ++busyTime_ : 0;
        return {true, ERROR_SUCCESS};
    }
    CallResult ProcessSession(DWORD id, DWORD& session) override {
        if (id == CurrentProcessId()) {
            session = ownSession;
            return {true, ERROR_SUCCESS};
        }
        const auto it = processes.find(id);
        if (it == processes.end()) return {false, ERROR_INVALID_PARAMETER};
        session = it->second.session;
        return {true, ERROR_SUCCESS};
    }
    CallResult EmptyWorkingSet(HANDLE process) override {
        const DWORD id = handles_.at(process);
        Process& p = processes[id];
        if (p.emptyError != ERROR_SUCCESS) return {false, p.emptyError};
        trimmed.push_back(id);
        available += p.workingSet;  // clean pages: standby, available at once
        p.workingSet = 0;
        return {true, ERROR_SUCCESS};
    }
    DWORD ConsoleSession() override { return console; }
    CallResult RunForegroundProbe(DWORD session, bool own, DWORD, DWORD& exitCode) override {
        probes.emplace_back(session, own);
        exitCode = probeExit;
        return probeResult;
    }
    DWORD ForegroundProcessId() override { return 0; }
    CallResult CreateNamedMutex(const std::wstring& name, SECURITY_ATTRIBUTES*,
                                UniqueHandleObject& mutex) override {
        return Named(name, [&] { mutex.reset(CreateMutexW(nullptr, FALSE, name.c_str())); return static_cast<bool>(mutex); }, mutex);
    }
    CallResult CreateNamedSection(const std::wstring& name, SECURITY_ATTRIBUTES*, DWORD size,
                                  UniqueHandleObject& section) override {
        return Named(name, [&] {
            section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str()));
            return static_cast<bool>(section);
        }, section);
    }
    CallResult MapSection(HANDLE section, DWORD size, UniqueView& view) override {
        view.reset(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
        return {static_cast<bool>(view), GetLastError()};
    }
    CallResult ObjectOwner(HANDLE object, std::vector<unsigned char>& sid) override {
        const auto it = owners_.find(object);
        sid = it == owners_.end() ? ownSid : it->second;
        return {true, ERROR_SUCCESS};
    }
    CallResult OwnUserSid(std::vector<unsigned char>& sid) override {
        sid = ownSid;
        return {true, ERROR_SUCCESS};
    }
    DWORD Wait(HANDLE object, DWORD timeoutMs) override { return WaitForSingleObject(object, timeoutMs); }
    DWORD CurrentProcessId() override { return 4242; }
    DWORD PageSize() override { return 4096; }
    std::uint64_t TickCount() override { return clock_ += 1; }
    std::uint64_t SystemTimeUtc() override { return 133780000000000000ull + clock_ * 10000; }
    void Sleep(DWORD milliseconds) override {
        sleeps.push_back(milliseconds);
        clock_ += milliseconds;
    }

private:
    template <typename Create>
    CallResult Named(const std::wstring& name, Create create, UniqueHandleObject& object) {
        for (const auto& [suffix, error] : createError)
            if (name.ends_with(suffix)) return {false, error};
        if (!create()) return {false, GetLastError()};
        const DWORD error = GetLastError();
        for (const auto& [suffix, owner] : squatted)
            if (name.ends_with(suffix)) {
                owners_[object.get()] = owner;
                return {true, ERROR_ALREADY_EXISTS};
            }
        return {true, error};
    }

    std::map<HANDLE, DWORD> handles_;
    std::map<HANDLE, std::vector<unsigned char>> owners_;
    std::uint64_t clock_ = 0;
    std::uint64_t busyTime_ = 0;
    int readings_ = 0;
};

// A desktop: the shell, a foreground browser, a busy program, three idle ones
// of which one refuses to be opened.
void Desktop(FakeCalls& calls) {
    calls.processes = {
        {4, {L"System", 0, 10 * MB}},
        {500, {L"csrss.exe", 1, 20 * MB}},
        {600, {L"explorer.exe", 1, 300 * MB}},
        {1000, {L"browser.exe", 1, 900 * MB}},
        {1100, {L"compiler.exe", 1, 800 * MB, 1, true}},
        {1200, {L"backup.exe", 0, 700 * MB}},
        {1300, {L"chat.exe", 1, 400 * MB}},
        {1400, {L"locked.exe", 1, 600 * MB, 1, false, ERROR_ACCESS_DENIED}},
    };
    calls.probeExit = 1000;
}

class EventRecorder : public EventLogApi {
public:
    std::vector<std::pair<WORD, std::wstring>> entries;
    HANDLE Register(const wchar_t*) override { return reinterpret_cast<HANDLE>(1); }
    void Report(HANDLE, WORD type, WORD, DWORD, const wchar_t* text) override { entries.emplace_back(type, text); }
    void Deregister(HANDLE) override {}
};

// A run of the whole program over the script, with a prefix and a settings
// key of its own and no waiting.
struct ProgramRun {
    FakeCalls calls;
    EventRecorder events;
    DefragRun run;
    explicit ProgramRun(const wchar_t* prefix, const wchar_t* megabytes = L"1024") {
        Desktop(calls);
        run.arguments = {megabytes};
        run.batchPrefix = std::wstring(L"Local\\NimboraDefragTest.") + prefix + L".";
        run.settingsPath = kTestKey;
        run.timing.quietMs = 0;
        run.sampleMs = 100;
        run.settleMs = 0;
        run.recordLockTimeoutMs = 1000;
        ClearTestKey();
    }
    int Run() {
        TEventLogger log(kDefragEventSource, events);
        return RunDefragProgram(run, calls, log);
    }
};

TEST(DefragWinActions, ProcessesAreOpenedWhileListedWithOnlyTheTrimRightsAndSampledForProcessorUse) {
    FakeCalls calls;
    Desktop(calls);
    WinMemoryActions actions(calls, 300);
    const auto list = actions.Processes();
    ASSERT_TRUE(list.has_value());
    for (const auto& [id, access] : calls.accessAsked)
        EXPECT_EQ(access, static_cast<DWORD>(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_QUOTA)) << id;
    EXPECT_EQ(calls.sleeps, std::vector<DWORD>{300});
    std::map<DWORD, ProcessInfo> byId;
    for (const ProcessInfo& p : *list) byId[p.id] = p;
    EXPECT_FALSE(byId[1100].idle) << "processor time moved";
    EXPECT_TRUE(byId[1300].idle);
    EXPECT_EQ(byId[1400].workingSet, -1) << "refused access";
    EXPECT_EQ(byId[1200].session, 0u);
}

TEST(DefragWinActions, ATrimReachesOnlyTheProcessListedNeverOneThatTookItsId) {
    FakeCalls calls;
    Desktop(calls);
    WinMemoryActions actions(calls, 0);
    const auto list = actions.Processes();
    ASSERT_TRUE(list.has_value());
    ProcessInfo chat;
    for (const ProcessInfo& p : *list)
        if (p.id == 1300) chat = p;
    ProcessInfo impostor = chat;
    impostor.created = 99;  // same id, another process
    EXPECT_EQ(actions.Trim(impostor).status, ActionStatus::asNotAvailable);
    ProcessInfo unlisted = chat;
    unlisted.id = 7777;
    EXPECT_EQ(actions.Trim(unlisted).status, ActionStatus::asNotAvailable);
    EXPECT_TRUE(calls.trimmed.empty());
    const TrimOutcome outcome = actions.Trim(chat);
    EXPECT_EQ(outcome.status, ActionStatus::asDone);
    EXPECT_EQ(outcome.before, 400 * MB);
    EXPECT_EQ(outcome.after, 0);
    EXPECT_EQ(calls.trimmed, std::vector<DWORD>{1300});
}

TEST(DefragWinActions, ForegroundComesFromTheProbeInTheConsoleSession) {
    struct Case {
        const char* what;
        DWORD console, own;
        CallResult probe;
        DWORD exit;
        bool known;
        std::uint32_t id;
        std::size_t probes;
    };
    const Case cases[] = {
        {"service in session 0", 1, 0, {true, 0}, 1000, true, 1000, 1},
        {"same session", 1, 1, {true, 0}, 1000, true, 1000, 1},
        {"no foreground window", 1, 0, {true, 0}, 0, true, 0, 1},
        {"probe not started", 1, 0, {false, ERROR_PRIVILEGE_NOT_HELD}, 0, false, 0, 1},
        {"probe timed out", 1, 0, {false, WAIT_TIMEOUT}, 0, false, 0, 1},
        {"probe crashed", 1, 0, {true, 0}, 0xC0000005, false, 0, 1},
        {"no console session", 0xFFFFFFFF, 0, {true, 0}, 1000, false, 0, 0},
    };
    for (const Case& c : cases) {
        FakeCalls calls;
        calls.console = c.console;
        calls.ownSession = c.own;
        calls.probeResult = c.probe;
        calls.probeExit = c.exit;
        WinMemoryActions actions(calls, 0);
        const ForegroundInfo f = actions.Foreground();
        EXPECT_EQ(f.known, c.known) << c.what;
        EXPECT_EQ(f.processId, c.id) << c.what;
        ASSERT_EQ(calls.probes.size(), c.probes) << c.what;
        if (c.probes == 1) {
            EXPECT_EQ(calls.probes[0].first, c.console) << c.what;
            EXPECT_EQ(calls.probes[0].second, c.own == c.console) << c.what;
        }
    }
}

TEST(DefragWinActions, AMissingPrivilegeKeepsTheMemoryListCommandsBack) {
    struct Case {
        const char* what;
        CallResult token;
        CallResult adjust;
        ActionStatus expected;
    };
    const Case cases[] = {
        {"token not opened", {false, ERROR_ACCESS_DENIED}, {true, ERROR_SUCCESS}, ActionStatus::asAccessDenied},
        {"adjust failed", {true, ERROR_SUCCESS}, {false, ERROR_INVALID_PARAMETER}, ActionStatus::asFailed},
        {"not all assigned", {true, ERROR_SUCCESS}, {true, ERROR_NOT_ALL_ASSIGNED}, ActionStatus::asPrivilegeMissing},
        {"enabled", {true, ERROR_SUCCESS}, {true, ERROR_SUCCESS}, ActionStatus::asDone},
    };
    for (const Case& c : cases) {
        FakeCalls calls;
        calls.tokenResult = c.token;
        calls.adjustResult = c.adjust;
        WinMemoryActions actions(calls);
        EXPECT_EQ(actions.Run(MemoryCommand::mcFlushModifiedList), c.expected) << c.what;
        EXPECT_EQ(actions.Run(MemoryCommand::mcPurgeLowPriorityStandbyList), c.expected) << c.what;
        EXPECT_EQ(calls.commandsSent, c.expected == ActionStatus::asDone ? (std::vector<int>{3, 5}) : std::vector<int>{})
            << c.what;
    }
}

TEST(DefragWinProgram, AWorkerTrimsIdleUnprotectedProcessesAndWritesOneInformationEntry) {
    ProgramRun p(L"worker", L"1000");
    EXPECT_EQ(p.Run(), kExitDone);
    // backup (700) then chat (400): 1100 MB >= 1000 MB.
    EXPECT_EQ(p.calls.trimmed, (std::vector<DWORD>{1200, 1300}));
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(p.events.entries[0].second.rfind(L"Freed 1100 MB of 1000 MB asked: trimmed 2 processes in ", 0), 0u)
        << p.events.entries[0].second;
    EXPECT_NE(p.events.entries[0].second.find(L"available 2048 MB before, 3148 MB after."), std::wstring::npos);
    EXPECT_NE(p.events.entries[0].second.find(L"Foreground program protected: browser.exe (process 1000)."),
              std::wstring::npos);

    // Remembered: the next batch leaves both alone, and is partial.
    p.calls.available = 2048ull * MB;
    p.events.entries.clear();
    p.calls.trimmed.clear();
    EXPECT_EQ(p.Run(), kExitPartial);
    EXPECT_TRUE(p.calls.trimmed.empty());
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_WARNING_TYPE);
    EXPECT_NE(p.events.entries[0].second.find(L"only part could be freed"), std::wstring::npos);
    EXPECT_NE(p.events.entries[0].second.find(L"2 trimmed in the last 10 minutes"), std::wstring::npos);

    // One history record per batch under Batches, in the 32-bit view.
    UniqueHKey batches;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kTestKey) + L"\\Batches").c_str(), 0,
                            KEY_QUERY_VALUE | KEY_WOW64_32KEY, batches.put()),
              ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyW(batches.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(values, 2u);
    ClearTestKey();
}

TEST(DefragWinProgram, AFailedProbeProtectsTheWholeConsoleSession) {
    ProgramRun p(L"probe", L"3000");
    p.calls.probeResult = {false, ERROR_ACCESS_DENIED};
    EXPECT_EQ(p.Run(), kExitPartial);
    EXPECT_EQ(p.calls.trimmed, std::vector<DWORD>{1200}) << "only the session-0 process";
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_NE(p.events.entries[0].second.find(L"foreground program could not be determined"), std::wstring::npos);
}

TEST(DefragWinProgram, SquattedOrRefusedObjectsEndTheRunWithCodeFourAndOneError) {
    struct Case {
        const char* what;
        const wchar_t* suffix;
        std::vector<unsigned char> owner;  // empty: creation fails instead
        DWORD error;
        int exitCode;
    };
    const Case cases[] = {
        {"lock squatted", L".Lock", OtherUser(), 0, kExitBusy},
        {"worker lock squatted", L".Worker", OtherUser(), 0, kExitBusy},
        {"section squatted", L".Batch", OtherUser(), 0, kExitBusy},
        {"section denies access", L".Batch", {}, ERROR_ACCESS_DENIED, kExitBusy},
        {"lock cannot be created", L".Lock", {}, ERROR_NOT_ENOUGH_MEMORY, kExitBusy},
        {"existing, owned by LocalSystem", L".Batch", WellKnown(WinLocalSystemSid), 0, kExitDone},
        {"existing, owned by the Administrators", L".Lock", WellKnown(WinBuiltinAdministratorsSid), 0, kExitDone},
    };
    for (const Case& c : cases) {
        ProgramRun p(L"squat", L"100");
        if (c.owner.empty())
            p.calls.createError[c.suffix] = c.error;
        else
            p.calls.squatted[c.suffix] = c.owner;
        p.calls.ownSid = WellKnown(WinLocalSystemSid);
        EXPECT_EQ(p.Run(), c.exitCode) << c.what;
        ASSERT_EQ(p.events.entries.size(), 1u) << c.what;
        if (c.exitCode == kExitBusy) {
            EXPECT_TRUE(p.calls.trimmed.empty()) << c.what;
            EXPECT_EQ(p.events.entries[0].first, EVENTLOG_ERROR_TYPE) << c.what;
            EXPECT_NE(p.events.entries[0].second.find(L"coordination was refused"), std::wstring::npos) << c.what;
        }
    }
    ClearTestKey();
}

TEST(DefragWinProgram, AFailedMemoryReadingAtJoinIsAnErrorNotAlreadyFree) {
    ProgramRun p(L"unmeasured", L"100");
    p.calls.statusOk = false;
    EXPECT_EQ(p.Run(), kExitInternalError);
    EXPECT_TRUE(p.calls.trimmed.empty());
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_ERROR_TYPE);
    EXPECT_NE(p.events.entries[0].second.find(L"could not be measured"), std::wstring::npos);
}

TEST(DefragWinProgram, BadArgumentsAndNothingAsked) {
    for (const wchar_t* bad : {L"abc", L"12x", L"99999999999999"}) {
        ProgramRun p(L"args", bad);
        EXPECT_EQ(p.Run(), kExitBadArgument) << bad;
        EXPECT_EQ(p.events.entries.size(), 1u) << bad;
    }
    for (const wchar_t* nothing : {L"0", L"-5"}) {
        ProgramRun p(L"args", nothing);
        EXPECT_EQ(p.Run(), kExitDone) << nothing;
        EXPECT_TRUE(p.events.entries.empty()) << nothing;
        EXPECT_TRUE(p.calls.trimmed.empty()) << nothing;
    }
}

TEST(DefragWinCoordinator, TheFirstInstanceWorksTheOthersHandOverToItAndANewBatchFollows) {
    FakeCalls calls;
    const std::wstring prefix = L"Local\\NimboraDefragTest.coordinator.";
    const BatchTiming timing{0, 3000, 256};
    // Each instance on its own thread: a mutex belongs to a thread.
    auto enter = [&](std::int64_t bytes) {
        std::optional<BatchCoordinator::Entered> result;
        std::thread([&] {
            FakeCalls own;
            WinMemoryActions actions(own);
            BatchCoordinator coordinator(own, prefix);
            result = coordinator.Enter(actions, bytes, timing, 1000);
        }).join();
        return result;
    };
    WinMemoryActions actions(calls);
    BatchCoordinator worker(calls, prefix);
    ASSERT_EQ(worker.State(), Coordination::cdReady);
    const auto first = worker.Enter(actions, 1024 * MB, timing, 1000);
    ASSERT_TRUE(first && first->role == BatchRole::brWorker);
    for (int i = 0; i < 14; ++i) {
        const auto other = enter(1024 * MB);
        ASSERT_TRUE(other.has_value());
        EXPECT_EQ(other->role, BatchRole::brHandedOver);
        EXPECT_EQ(other->batchId, first->batchId);
    }
    std::uint32_t joined = 0;
    EXPECT_TRUE(worker.GatheringOver(timing));
    EXPECT_EQ(worker.Asked(8192 * MB, &joined), 8192 * MB) << "15 GiB asked of 8 GiB";
    EXPECT_EQ(joined, 15u);
    worker.Finish();
    const auto next = enter(100 * MB);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->role, BatchRole::brWorker);
    EXPECT_EQ(next->batchId, first->batchId + 1);
}

TEST(DefragWinStore, SettingsAreReadFromThe32BitViewWhicheverBuild) {
    const std::wstring path = kTestKey;
    ClearTestKey();
    auto write = [&](REGSAM view, const wchar_t* exclude, DWORD flush) {
        UniqueHKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), kDefragExclude, 0, REG_SZ, reinterpret_cast<const BYTE*>(exclude),
                       static_cast<DWORD>((wcslen(exclude) + 1) * sizeof(wchar_t)));
        RegSetValueExW(key.get(), kDefragFlushModified, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flush),
                       sizeof flush);
    };
    write(KEY_WOW64_64KEY, L"native.exe", 0);
    write(KEY_WOW64_32KEY, L"game.exe;obs", 1);
    const DefragSettings settings = DefragStore(path).ReadSettings();
    EXPECT_EQ(settings.exclude, L"game.exe;obs");
    EXPECT_TRUE(settings.flushModified);
    EXPECT_FALSE(settings.purgeStandby);
    ClearTestKey();
}

TEST(DefragWinStore, HistoryKeepsTheLastRecordsAndTrimMarksRoundTrip) {
    ClearTestKey();
    const DefragStore store(kTestKey);
    for (std::uint64_t i = 1; i <= kBatchHistoryLength + 3; ++i) {
        BatchRecord r;
        r.startedUtc = 133780000000000000ull + i;
        r.askedMegabytes = static_cast<std::int64_t>(i);
        ASSERT_TRUE(store.AddBatchRecord(r));
    }
    UniqueHKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kTestKey) + L"\\Batches").c_str(), 0,
                            KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()),
              ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(values, kBatchHistoryLength);
    DWORD type = 0;
    EXPECT_NE(RegQueryValueExW(key.get(), BatchValueName(133780000000000001ull).c_str(), nullptr, &type, nullptr,
                               nullptr),
              ERROR_SUCCESS)
        << "the oldest was kept";

    const std::vector<TrimMark> marks = {{1, 2, 3}, {4, 5, 6}};
    ASSERT_TRUE(store.WriteTrimMarks(marks));
    EXPECT_EQ(store.ReadTrimMarks(), marks);
    key.reset();
    ClearTestKey();
}

}  // namespace
}  // namespace nimbora
