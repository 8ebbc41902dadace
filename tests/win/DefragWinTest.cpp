// The companion's Windows layer over a scripted platform: processes listed
// without opening any and opened only to be trimmed, with the trim rights,
// after a creation-time check; the desktops of every interactive session and
// the probe's answer; the batch's objects in their private namespace, with
// the descriptor the program builds; what a squatter, an administrator's hand
// run, an instance over the cap or after memory was added, and a broken
// record make of a run; the settings the worker reads.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "defrag/BatchCoordinator.h"
#include "defrag/DefragProgram.h"
#include "defrag/DefragStore.h"
#include "defrag/ExitCodes.h"
#include "defrag/Planner.h"
#include "defrag/ProbeReport.h"
#include "defrag/SystemCalls.h"
#include "defrag/TrimMarks.h"
#include "defrag/WinMemoryActions.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;
constexpr wchar_t kTestKey[] = L"Software\\Korvex\\NimboraDefragTest";

using Sid = std::vector<unsigned char>;

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
    Sid sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// Another account: S-1-5-21-1-2-3-<rid>.
Sid Account(DWORD rid) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, rid, 0, 0, 0, &sid)) return {};
    const auto* bytes = static_cast<const unsigned char*>(sid);
    Sid copy(bytes, bytes + GetLengthSid(sid));
    FreeSid(sid);
    return copy;
}
const Sid kStandardUser = Account(1001);
const Sid kAdministrator = Account(500);

// Removes the test key from both registry views.
void ClearTestKey() {
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        UniqueHKey korvex;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korvex", 0, KEY_ALL_ACCESS | view, korvex.put()) ==
            ERROR_SUCCESS)
            RegDeleteTreeW(korvex.get(), L"NimboraDefragTest");
    }
}

void SetTestValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}
void SetTestDword(const wchar_t* name, DWORD value) { SetTestValue(name, REG_DWORD, &value, sizeof value); }

// A security descriptor's owner and DACL, read back.
struct DescriptorView {
    bool valid = false;
    Sid owner;
    bool daclProtected = false;
    std::vector<std::pair<Sid, ACCESS_MASK>> allowed;  // every ACE, allowed ones with their SID
    int otherAces = 0;
};

DescriptorView ReadDescriptor(const std::vector<unsigned char>& bytes) {
    DescriptorView view;
    if (bytes.empty()) return view;
    auto* sd = const_cast<unsigned char*>(bytes.data());
    if (!IsValidSecurityDescriptor(sd)) return view;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner != nullptr)
        view.owner.assign(static_cast<unsigned char*>(owner), static_cast<unsigned char*>(owner) + GetLengthSid(owner));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    view.daclProtected = (control & SE_DACL_PROTECTED) != 0;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr) return view;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return view;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            ++view.otherAces;
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        auto* sid = reinterpret_cast<unsigned char*>(&allowed->SidStart);
        view.allowed.emplace_back(Sid(sid, sid + GetLengthSid(sid)), allowed->Mask);
    }
    view.valid = true;
    return view;
}

std::vector<unsigned char> DescriptorBytes(const SECURITY_ATTRIBUTES* security) {
    if (security == nullptr || security->lpSecurityDescriptor == nullptr) return {};
    const auto* sd = static_cast<const unsigned char*>(security->lpSecurityDescriptor);
    return std::vector<unsigned char>(sd, sd + GetSecurityDescriptorLength(security->lpSecurityDescriptor));
}

// Who created each named object of a test, shared by every instance of the
// test (one per thread): the owner its descriptor named.
struct ObjectRegistry {
    std::mutex lock;
    std::map<std::wstring, Sid> owners;  // by real object name
};

// The platform as a script. Process and object handles are real (unnamed
// events, and real named objects under names of the test's own).
class FakeCalls : public SystemCalls {
public:
    struct Process {
        std::wstring name;
        DWORD session = 1;
        SIZE_T workingSet = 0;
        std::int64_t privateWorkingSet = -1;  // as the kernel lists it (0: not filled in)
        std::uint64_t created = 1;
        DWORD parent = 0;
        bool busy = false;                 // processor time moves between listings
        DWORD openError = ERROR_SUCCESS;   // OpenProcess fails with it when set
        DWORD emptyError = ERROR_SUCCESS;  // EmptyWorkingSet fails with it when set
    };
    struct Probe {
        CallResult result{true, ERROR_SUCCESS};
        DWORD exitCode = 0;
        std::string output;
    };

    bool statusOk = true;
    DWORDLONG total = 8192ull * MB;
    DWORDLONG available = 2048ull * MB;
    CallResult adjustResult{true, ERROR_SUCCESS};
    CallResult tokenResult{true, ERROR_SUCCESS};
    std::map<int, NtStatus> commandStatus;
    std::map<DWORD, Process> processes;
    ULONG listNeeds = 0;  // the process list is refused for a smaller buffer than this
    bool listFails = false;
    DWORD console = 1;
    DWORD ownSession = 0;
    CallResult sessionsResult{true, ERROR_SUCCESS};
    std::vector<SessionEntry> sessions{{0, WTSDisconnected}, {1, WTSActive}};
    std::map<DWORD, Probe> probeAnswers;  // by session; a session not here answers with foreground 1000
    // The namespace: ERROR_SUCCESS, or the error the platform gives.
    DWORD namespaceError = ERROR_SUCCESS;
    // A token that may not name the Administrators as owner.
    bool administratorsOwnerRefused = false;
    // Objects there before the test: their real name's owner.
    std::map<std::wstring, Sid> squatted;
    std::map<std::wstring, DWORD> createError;  // by name suffix
    Sid ownSid = WellKnown(WinLocalSystemSid);
    ObjectRegistry* registry = nullptr;  // shared with other instances; own one otherwise
    std::uint64_t utcOffset = 0;

    // The probe's desktop.
    HWND foreground = nullptr;
    std::map<HWND, DWORD> windowProcess;
    std::map<HWND, std::wstring> windowClass;
    std::map<HWND, std::vector<HWND>> children;
    std::map<HWND, RECT> windowRects;
    RECT monitor{0, 0, 1920, 1080};
    std::map<DWORD, std::wstring> imageNames;
    int notificationState = 5;  // QUNS_ACCEPTS_NOTIFICATIONS
    std::string written;

    std::vector<int> commandsSent;
    std::vector<std::pair<DWORD, DWORD>> opened;  // process id, access
    std::vector<DWORD> trimmed;
    std::vector<std::pair<DWORD, bool>> probes;  // session, own session
    std::vector<std::wstring> objectNames;       // as the program named them
    std::vector<unsigned char> namespaceDescriptor, objectDescriptor;
    std::wstring boundary, alias;

    bool MemoryStatus(MEMORYSTATUSEX& status) override {
        if (!statusOk) return false;
        status.ullTotalPhys = total;
        status.ullAvailPhys = available;
        return true;
    }
    NtStatus QuerySystemInformation(ULONG infoClass, void* buffer, ULONG length) override {
        if (infoClass != kSystemProcessInformation) return kStatusNotImplemented;
        if (listFails) return kStatusAccessDenied;
        // One record per process, each followed by its name.
        std::vector<unsigned char> list;
        std::vector<std::size_t> starts;
        for (auto& [id, p] : processes) {
            starts.push_back(list.size());
            const std::size_t nameAt = list.size() + sizeof(ProcessInformationRecord);
            const std::size_t next = (nameAt + p.name.size() * sizeof(wchar_t) + 7) / 8 * 8;
            list.resize(next);
        }
        if (length < list.size() || length < listNeeds) return kStatusInfoLengthMismatch;
        auto* base = static_cast<unsigned char*>(buffer);
        std::size_t i = 0;
        for (auto& [id, p] : processes) {
            const std::size_t at = starts[i++];
            ProcessInformationRecord r{};
            r.nextEntryOffset = i < starts.size() ? static_cast<ULONG>(starts[i] - at) : 0;
            r.workingSetPrivateSize = p.privateWorkingSet;
            r.createTime = static_cast<LONGLONG>(p.created);
            if (p.busy) cpu_[id] += 100000;
            r.kernelTime = static_cast<LONGLONG>(cpu_[id]);
            r.userTime = 7;
            r.imageNameLength = static_cast<USHORT>(p.name.size() * sizeof(wchar_t));
            r.imageNameMaximumLength = r.imageNameLength;
            r.imageNameBuffer = reinterpret_cast<const wchar_t*>(base + at + sizeof r);
            r.uniqueProcessId = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id));
            r.inheritedFromUniqueProcessId = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(p.parent));
            r.sessionId = p.session;
            r.workingSetSize = p.workingSet;
            std::memcpy(base + at, &r, sizeof r);
            std::memcpy(base + at + sizeof r, p.name.data(), p.name.size() * sizeof(wchar_t));
        }
        ++listings;
        return kStatusSuccess;
    }
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
    CallResult OpenProcess(DWORD access, DWORD id, UniqueHandleObject& process) override {
        opened.emplace_back(id, access);
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
        created = processes[it->second].created;
        processorTime = cpu_[it->second];
        return {true, ERROR_SUCCESS};
    }
    CallResult ProcessSession(DWORD id, DWORD& session) override {
        if (id != CurrentProcessId()) return {false, ERROR_INVALID_PARAMETER};
        session = ownSession;
        return {true, ERROR_SUCCESS};
    }
    CallResult EmptyWorkingSet(HANDLE process) override {
        const DWORD id = handles_.at(process);
        Process& p = processes[id];
        if (p.emptyError != ERROR_SUCCESS) return {false, p.emptyError};
        trimmed.push_back(id);
        // Private pages: standby, available at once.
        available += static_cast<DWORDLONG>(std::max<std::int64_t>(p.privateWorkingSet, 0));
        p.workingSet = 0;
        p.privateWorkingSet = 0;
        return {true, ERROR_SUCCESS};
    }
    DWORD ConsoleSession() override { return console; }
    CallResult Sessions(std::vector<SessionEntry>& list) override {
        list = sessionsResult.ok ? sessions : std::vector<SessionEntry>{};
        return sessionsResult;
    }
    CallResult RunDesktopProbe(DWORD session, bool own, DWORD, DWORD& exitCode, std::string& output) override {
        probes.emplace_back(session, own);
        const auto it = probeAnswers.find(session);
        const Probe answer =
            it != probeAnswers.end()
                ? it->second
                : Probe{{true, ERROR_SUCCESS}, 0, "nimbora-probe 1 foreground=1000 app=0 fullscreen=0 state=5\n"};
        exitCode = answer.exitCode;
        output = answer.output;
        return answer.result;
    }
    HWND ForegroundWindow() override { return foreground; }
    DWORD WindowProcess(HWND window) override {
        const auto it = windowProcess.find(window);
        return it == windowProcess.end() ? 0 : it->second;
    }
    std::wstring WindowClass(HWND window) override {
        const auto it = windowClass.find(window);
        return it == windowClass.end() ? L"AppWindow" : it->second;
    }
    std::wstring ProcessImageName(DWORD id) override {
        const auto it = imageNames.find(id);
        return it == imageNames.end() ? L"" : it->second;
    }
    std::vector<HWND> ChildWindows(HWND window) override { return children[window]; }
    bool WindowRect(HWND window, RECT& rect) override {
        const auto it = windowRects.find(window);
        if (it == windowRects.end()) return false;
        rect = it->second;
        return true;
    }
    bool MonitorRect(HWND, RECT& rect) override {
        rect = monitor;
        return true;
    }
    int NotificationState() override { return notificationState; }
    bool WriteStandardOutput(const std::string& text) override {
        written += text;
        return true;
    }
    CallResult OpenBatchNamespace(const std::wstring& boundaryName, const std::wstring& aliasName,
                                  SECURITY_ATTRIBUTES* security, UniqueNamespace&) override {
        boundary = boundaryName;
        alias = aliasName;
        namespaceDescriptor = DescriptorBytes(security);
        if (administratorsOwnerRefused && ReadDescriptor(namespaceDescriptor).owner == WellKnown(WinBuiltinAdministratorsSid))
            return {false, ERROR_INVALID_OWNER};
        // N.B. the handle stays empty: nothing of the fake needs closing.
        return {namespaceError == ERROR_SUCCESS, namespaceError};
    }
    CallResult CreateNamedMutex(const std::wstring& name, SECURITY_ATTRIBUTES* security,
                                UniqueHandleObject& mutex) override {
        return Named(name, security, [&](const std::wstring& real) {
            mutex.reset(CreateMutexW(nullptr, FALSE, real.c_str()));
            return mutex.get();
        });
    }
    CallResult CreateNamedSection(const std::wstring& name, SECURITY_ATTRIBUTES* security, DWORD size,
                                  UniqueHandleObject& section) override {
        return Named(name, security, [&](const std::wstring& real) {
            section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, real.c_str()));
            return section.get();
        });
    }
    CallResult MapSection(HANDLE section, DWORD size, UniqueView& view) override {
        view.reset(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
        return {static_cast<bool>(view), GetLastError()};
    }
    CallResult ObjectOwner(HANDLE object, Sid& sid) override {
        const auto it = objectOwners_.find(object);
        if (it == objectOwners_.end()) return {false, ERROR_INVALID_HANDLE};
        sid = it->second;
        return {true, ERROR_SUCCESS};
    }
    CallResult OwnUserSid(Sid& sid) override {
        sid = ownSid;
        return {true, ERROR_SUCCESS};
    }
    DWORD Wait(HANDLE object, DWORD timeoutMs) override { return WaitForSingleObject(object, timeoutMs); }
    DWORD CurrentProcessId() override { return 4242; }
    DWORD PageSize() override { return 4096; }
    std::uint64_t TickCount() override { return clock_ += 1; }
    std::uint64_t SystemTimeUtc() override { return 133780000000000000ull + utcOffset + clock_ * 10000; }
    void Sleep(DWORD milliseconds) override { clock_ += milliseconds; }

    int listings = 0;

private:
    // The real name of an object the program names: the namespace's alias
    // becomes a session-local name of the test's own.
    std::wstring RealName(const std::wstring& name) const {
        if (!alias.empty() && name.starts_with(alias + L"\\")) return L"Local\\" + alias + L"." + name.substr(alias.size() + 1);
        if (name.starts_with(L"Global\\")) return L"Local\\NimboraDefragTest.global." + name.substr(7);
        return name;
    }
    template <typename Create>
    CallResult Named(const std::wstring& name, SECURITY_ATTRIBUTES* security, Create create) {
        objectNames.push_back(name);
        objectDescriptor = DescriptorBytes(security);
        for (const auto& [suffix, error] : createError)
            if (name.ends_with(suffix)) return {false, error};
        const std::wstring real = RealName(name);
        const HANDLE object = create(real);
        if (object == nullptr) return {false, GetLastError()};
        const DWORD error = GetLastError();
        ObjectRegistry& shared = registry != nullptr ? *registry : ownRegistry_;
        const std::lock_guard<std::mutex> guard(shared.lock);
        if (const auto it = squatted.find(name); it != squatted.end() && !shared.owners.count(real))
            shared.owners[real] = it->second;
        if (!shared.owners.count(real)) shared.owners[real] = ReadDescriptor(objectDescriptor).owner;
        objectOwners_[object] = shared.owners[real];
        return {true, shared.owners.count(real) && (error == ERROR_ALREADY_EXISTS || squatted.count(name))
                          ? static_cast<DWORD>(ERROR_ALREADY_EXISTS)
                          : error};
    }

    std::map<HANDLE, DWORD> handles_;
    std::map<DWORD, std::uint64_t> cpu_;
    std::map<HANDLE, Sid> objectOwners_;
    ObjectRegistry ownRegistry_;
    std::uint64_t clock_ = 0;
};

// A desktop in session 1 whose foreground is the browser (1000): the system,
// the shell, the browser and its child, a busy compiler, a backup service in
// session 0, and three idle programs of which one refuses to be opened.
void Desktop(FakeCalls& calls) {
    calls.processes = {
        {4, {L"System", 0, 10 * MB, 10 * MB}},
        {500, {L"csrss.exe", 1, 20 * MB, 20 * MB}},
        {600, {L"explorer.exe", 1, 300 * MB, 300 * MB}},
        {1000, {L"browser.exe", 1, 900 * MB, 900 * MB, 1, 600}},
        {1010, {L"browser.exe", 1, 300 * MB, 300 * MB, 1, 1000}},
        {1100, {L"compiler.exe", 1, 800 * MB, 800 * MB, 1, 600, true}},
        {1200, {L"backup.exe", 0, 700 * MB, 700 * MB}},
        {1300, {L"chat.exe", 1, 400 * MB, 400 * MB}},
        {1400, {L"locked.exe", 1, 600 * MB, 600 * MB, 1, 0, false, ERROR_ACCESS_DENIED}},
        {1500, {L"editor.exe", 1, 500 * MB, 500 * MB}},
    };
}

class EventRecorder : public EventLogApi {
public:
    std::vector<std::pair<WORD, std::wstring>> entries;
    HANDLE Register(const wchar_t*) override { return reinterpret_cast<HANDLE>(1); }
    void Report(HANDLE, WORD type, WORD, DWORD, const wchar_t* text) override { entries.emplace_back(type, text); }
    void Deregister(HANDLE) override {}
};

// A run of the whole program over the script, with objects and a settings key
// of its own, no waiting, and MemoryMaintain 100 (the aim is the whole
// memory: the ask alone decides).
struct ProgramRun {
    FakeCalls calls;
    EventRecorder events;
    DefragRun run;
    explicit ProgramRun(const wchar_t* name, const wchar_t* megabytes = L"1024", bool clear = true) {
        Desktop(calls);
        run.arguments = {megabytes};
        run.batchAlias = std::wstring(L"NimboraDefragTest.") + name;
        run.batchGlobalPrefix = L"Global\\Nimbora.Defrag.";
        run.settingsPath = kTestKey;
        run.timing.quietMs = 0;
        run.sampleMs = 100;
        run.settleMs = 0;
        run.recordLockTimeoutMs = 1000;
        if (clear) {
            ClearTestKey();
            SetTestDword(L"MemoryMaintain", 100);
        }
    }
    int Run() {
        TEventLogger log(kDefragEventSource, events);
        return RunDefragProgram(run, calls, log);
    }
};

TEST(DefragWinProcesses, ListedWithoutOpeningAnyAndSampledForProcessorUse) {
    FakeCalls calls;
    Desktop(calls);
    calls.processes[1300].privateWorkingSet = 0;  // not filled in: not known
    calls.listNeeds = 700 * 1024;                 // more than the first buffer
    WinMemoryActions actions(calls, 300);
    const auto list = actions.Processes();
    ASSERT_TRUE(list.has_value());
    EXPECT_TRUE(calls.opened.empty()) << "a process was opened while listing";
    EXPECT_EQ(calls.listings, 2) << "two listings a sampling window apart";
    std::map<DWORD, ProcessInfo> byId;
    for (const ProcessInfo& p : *list) byId[p.id] = p;
    ASSERT_EQ(byId.size(), calls.processes.size());
    EXPECT_EQ(byId[1010].name, L"browser.exe");
    EXPECT_EQ(byId[1010].parentId, 1000u);
    EXPECT_EQ(byId[1200].session, 0u);
    EXPECT_EQ(byId[1500].workingSet, 500 * MB);
    EXPECT_EQ(byId[1500].privateWorkingSet, 500 * MB);
    EXPECT_EQ(byId[1300].privateWorkingSet, -1);
    EXPECT_FALSE(byId[1100].idle) << "processor time moved";
    EXPECT_TRUE(byId[1300].idle);

    calls.listFails = true;
    EXPECT_FALSE(actions.Processes().has_value());
}

TEST(DefragWinProcesses, ABrokenListIsRefusedAndANameOutsideTheBufferLeftEmpty) {
    alignas(8) unsigned char buffer[2 * sizeof(ProcessInformationRecord) + 64] = {};
    ProcessInformationRecord r{};
    r.uniqueProcessId = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(77));
    r.imageNameLength = 8;
    r.imageNameBuffer = reinterpret_cast<const wchar_t*>(buffer + sizeof buffer);  // just past the end
    std::memcpy(buffer, &r, sizeof r);
    auto decoded = DecodeProcessInformation(buffer, sizeof buffer);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), 1u);
    EXPECT_EQ(decoded->front().info.id, 77u);
    EXPECT_TRUE(decoded->front().info.name.empty());

    r.nextEntryOffset = 8;  // does not move past the record
    std::memcpy(buffer, &r, sizeof r);
    EXPECT_FALSE(DecodeProcessInformation(buffer, sizeof buffer).has_value());
    r.nextEntryOffset = sizeof buffer - sizeof r / 2;  // the next record runs past the end
    std::memcpy(buffer, &r, sizeof r);
    EXPECT_FALSE(DecodeProcessInformation(buffer, sizeof buffer).has_value());
    EXPECT_FALSE(DecodeProcessInformation(buffer, sizeof r - 1).has_value());
}

TEST(DefragWinProcesses, ATrimOpensOnlyTheChosenProcessWithTheTrimRightsAndNeverOneThatTookItsId) {
    FakeCalls calls;
    Desktop(calls);
    WinMemoryActions actions(calls, 0);
    const auto list = actions.Processes();
    ASSERT_TRUE(list.has_value());
    ProcessInfo chat;
    for (const ProcessInfo& p : *list)
        if (p.id == 1300) chat = p;

    calls.processes[1300].created = 99;  // chat ended, another process took its id
    EXPECT_EQ(actions.Trim(chat).status, ActionStatus::asNotAvailable);
    EXPECT_TRUE(calls.trimmed.empty());
    calls.processes[1300].created = chat.created;

    const TrimOutcome outcome = actions.Trim(chat);
    EXPECT_EQ(outcome.status, ActionStatus::asDone);
    EXPECT_EQ(outcome.before, 400 * MB);
    EXPECT_EQ(outcome.after, 0);
    EXPECT_EQ(calls.trimmed, std::vector<DWORD>{1300});
    for (const auto& [id, access] : calls.opened) {
        EXPECT_EQ(id, 1300u);
        EXPECT_EQ(access, static_cast<DWORD>(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_QUOTA));
    }

    ProcessInfo locked = chat;
    locked.id = 1400;
    EXPECT_EQ(actions.Trim(locked).status, ActionStatus::asAccessDenied);
    ProcessInfo gone = chat;
    gone.id = 7777;
    EXPECT_EQ(actions.Trim(gone).status, ActionStatus::asNotAvailable);
}

TEST(DefragWinDesktops, EveryInteractiveSessionListedAndEachActiveOneProbedAfresh) {
    FakeCalls calls;
    calls.ownSession = 0;
    calls.console = 1;
    calls.sessions = {{0, WTSDisconnected}, {1, WTSActive},    {2, WTSDisconnected},
                      {3, WTSConnected},    {4, WTSActive},    {65536, WTSListen}};
    calls.probeAnswers[4] = {{true, ERROR_SUCCESS}, 0, "nimbora-probe 1 foreground=4444 app=4545 fullscreen=1 state=3\n"};
    WinMemoryActions actions(calls, 0);
    const DesktopState state = actions.Desktops();
    EXPECT_TRUE(state.listed);
    ASSERT_EQ(state.sessions.size(), 4u);
    const SessionDesktop* one = state.Find(1);
    ASSERT_NE(one, nullptr);
    EXPECT_TRUE(one->active && one->known);
    EXPECT_EQ(one->foregroundId, 1000u);
    const SessionDesktop* two = state.Find(2);
    ASSERT_NE(two, nullptr);
    EXPECT_FALSE(two->active) << "disconnected";
    const SessionDesktop* three = state.Find(3);
    ASSERT_NE(three, nullptr);
    EXPECT_TRUE(three->active);
    EXPECT_FALSE(three->known) << "not probed: at the logon screen";
    const SessionDesktop* four = state.Find(4);
    ASSERT_NE(four, nullptr);
    EXPECT_EQ(four->hostedAppId, 4545u);
    EXPECT_TRUE(four->fullScreen);
    EXPECT_EQ(state.Find(0), nullptr);
    EXPECT_EQ(calls.probes, (std::vector<std::pair<DWORD, bool>>{{1, false}, {4, false}}));

    actions.Desktops();
    EXPECT_EQ(calls.probes.size(), 4u) << "probed afresh on every call";

    calls.sessionsResult = {false, RPC_S_SERVER_UNAVAILABLE};
    EXPECT_FALSE(actions.Desktops().listed);
}

TEST(DefragWinDesktops, AProbeThatFailsLeavesItsSessionNotKnown) {
    struct Case {
        const char* what;
        FakeCalls::Probe probe;
        bool known;
    };
    const Case cases[] = {
        {"answer", {{true, 0}, 0, "nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5\n"}, true},
        {"not started", {{false, ERROR_PRIVILEGE_NOT_HELD}, 0, ""}, false},
        {"killed on time-out", {{false, WAIT_TIMEOUT}, 1, ""}, false},
        {"crashed", {{true, 0}, 0xC0000005, ""}, false},
        {"crashed after writing", {{true, 0}, 0xC0000409, "nimbora-probe 1 foreground=1234 app=0 fullscreen=0 state=5\n"}, false},
        {"exited 0 without a line", {{true, 0}, 0, ""}, false},
        {"nonsense", {{true, 0}, 0, "1234\n"}, false},
        {"no foreground window", {{true, 0}, 0, "nimbora-probe 1 foreground=0 app=0 fullscreen=0 state=5\n"}, false},
    };
    for (const Case& c : cases) {
        FakeCalls calls;
        calls.ownSession = 1;
        calls.probeAnswers[1] = c.probe;
        WinMemoryActions actions(calls, 0);
        const DesktopState state = actions.Desktops();
        const SessionDesktop* one = state.Find(1);
        ASSERT_NE(one, nullptr) << c.what;
        EXPECT_EQ(one->known, c.known) << c.what;
        ASSERT_EQ(calls.probes.size(), 1u) << c.what;
        EXPECT_TRUE(calls.probes[0].second) << c.what << ": own session, a plain start";
    }
}

TEST(DefragWinDesktops, WhereNoSessionIsListedTheConsoleSessionIsProbed) {
    FakeCalls calls;  // as under Wine: no sessions, the desktop in session 1
    calls.sessions.clear();
    calls.ownSession = 1;
    WinMemoryActions actions(calls, 0);
    const DesktopState state = actions.Desktops();
    ASSERT_NE(state.Find(1), nullptr);
    EXPECT_TRUE(state.Find(1)->known);
    EXPECT_EQ(calls.probes, (std::vector<std::pair<DWORD, bool>>{{1, true}}));
}

// The real probe: this build's NimboraDefrag.exe started with a pipe as its
// standard output; and a program that is no probe (it exits 2 at once for
// arguments it does not take), whose session stays not known.
TEST(DefragWinProbe, TheRealProbeAnswersOnItsPipeAndAnythingElseIsNotKnown) {
    const std::wstring self = OwnExecutablePath();
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));

    Win32SystemCalls probe(folder + L"NimboraDefrag.exe");
    DWORD exitCode = 99;
    std::string output;
    ASSERT_TRUE(probe.RunDesktopProbe(session, true, 30000, exitCode, output).ok);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(ParseProbeReport(output).has_value()) << output;

    Win32SystemCalls stranger(folder + L"ForegroundWindow.exe");
    ASSERT_TRUE(stranger.RunDesktopProbe(session, true, 30000, exitCode, output).ok);
    EXPECT_EQ(exitCode, 2u);
    EXPECT_TRUE(output.empty());
    EXPECT_FALSE(DesktopFromProbe(session, exitCode, output).known);
}

TEST(DefragWinProbe, TheForegroundItsFrameHostsAppAndFullScreen) {
    const HWND frame = reinterpret_cast<HWND>(0x10), host = reinterpret_cast<HWND>(0x11),
               app = reinterpret_cast<HWND>(0x12), game = reinterpret_cast<HWND>(0x20),
               desk = reinterpret_cast<HWND>(0x30);
    auto desktop = [&](FakeCalls& c) {
        c.windowProcess = {{frame, 800}, {host, 800}, {app, 900}, {game, 1234}, {desk, 600}};
        c.imageNames = {{800, L"ApplicationFrameHost.exe"}, {1234, L"game.exe"}, {600, L"explorer.exe"}};
        c.children[frame] = {host, app};
        c.windowClass[desk] = L"WorkerW";
        c.windowRects = {{frame, {100, 100, 900, 700}}, {game, {0, 0, 1920, 1080}}, {desk, {0, 0, 1920, 1080}}};
    };
    struct Case {
        const char* what;
        HWND foreground;
        int state;
        ProbeReport expected;
    };
    const Case cases[] = {
        {"frame host shows an app", frame, 5, {800, 900, false, 5}},
        {"window covering the monitor", game, 5, {1234, 0, true, 5}},
        {"the desktop window covers it, not a program", desk, 5, {600, 0, false, 5}},
        {"Direct3D full screen", frame, 3, {800, 900, true, 3}},
        {"presentation mode", desk, 4, {600, 0, true, 4}},
        {"busy", frame, 2, {800, 900, true, 2}},
        {"no foreground window", nullptr, 1, {0, 0, false, 1}},
        {"shell cannot tell", frame, kNotificationStateUnknown, {800, 900, false, 0}},
    };
    for (const Case& c : cases) {
        FakeCalls calls;
        desktop(calls);
        calls.foreground = c.foreground;
        calls.notificationState = c.state;
        EXPECT_EQ(ProbeDesktop(calls), c.expected) << c.what;
    }
    FakeCalls own;
    desktop(own);
    own.foreground = frame;
    own.children[frame] = {host};
    EXPECT_EQ(ProbeDesktop(own).hostedAppId, 0u) << "only the host's own children";
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

bool HasAny(const std::wstring& text, std::initializer_list<const wchar_t*> words) {
    for (const wchar_t* w : words)
        if (text.find(w) != std::wstring::npos) return true;
    return false;
}

TEST(DefragWinProgram, AWorkerTrimsIdleUnprotectedProcessesAndNamesNoneInItsEntry) {
    ProgramRun p(L"worker", L"800");
    EXPECT_EQ(p.Run(), kExitDone);
    // locked (600) refuses, then editor (500) and chat (400): 900 MB >= 800 MB.
    EXPECT_EQ(p.calls.trimmed, (std::vector<DWORD>{1500, 1300}));
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_INFORMATION_TYPE);
    const std::wstring& text = p.events.entries[0].second;
    EXPECT_EQ(text.rfind(L"Freed 900 MB of the 800 MB needed", 0), 0u) << text;
    EXPECT_FALSE(HasAny(text, {L"browser", L"editor", L"chat", L"locked", L"backup", L"compiler", L".exe"})) << text;
    // Only the chosen processes were opened, with the trim rights.
    for (const auto& [id, access] : p.calls.opened) {
        EXPECT_TRUE(id == 1400 || id == 1500 || id == 1300) << id;
        EXPECT_EQ(access, kTrimAccess);
    }

    // Remembered: the next batch leaves both alone and is partial.
    p.calls.available = 2048ull * MB;
    p.calls.processes[1500].privateWorkingSet = p.calls.processes[1500].workingSet = 500 * MB;
    p.calls.processes[1300].privateWorkingSet = p.calls.processes[1300].workingSet = 400 * MB;
    p.events.entries.clear();
    p.calls.trimmed.clear();
    EXPECT_EQ(p.Run(), kExitPartial);
    EXPECT_TRUE(p.calls.trimmed.empty());
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_WARNING_TYPE);
    EXPECT_NE(p.events.entries[0].second.find(L"2 trimmed recently"), std::wstring::npos) << p.events.entries[0].second;

    UniqueHKey batches;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kTestKey) + L"\\Batches").c_str(), 0,
                            KEY_QUERY_VALUE | KEY_WOW64_32KEY, batches.put()),
              ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyW(batches.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    EXPECT_EQ(values, 2u) << "one history record per batch";
    batches.reset();
    ClearTestKey();
}

TEST(DefragWinProgram, ServicesAreCandidatesOnlyWithDefragServices) {
    for (const DWORD services : {0u, 1u}) {
        ProgramRun p(L"services", L"3000");
        SetTestDword(kDefragServices, services);
        p.Run();
        const bool backup = std::find(p.calls.trimmed.begin(), p.calls.trimmed.end(), 1200u) != p.calls.trimmed.end();
        EXPECT_EQ(backup, services == 1) << "DefragServices " << services;
    }
    ClearTestKey();
}

TEST(DefragWinProgram, AFailedProbeProtectsItsWholeSession) {
    ProgramRun p(L"probe", L"3000");
    p.calls.probeAnswers[1] = {{false, WAIT_TIMEOUT}, 1, ""};
    SetTestDword(kDefragServices, 1);
    EXPECT_EQ(p.Run(), kExitPartial);
    EXPECT_EQ(p.calls.trimmed, std::vector<DWORD>{1200}) << "only the session-0 service";
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_NE(p.events.entries[0].second.find(L"The foreground of 1 session could not be determined"),
              std::wstring::npos)
        << p.events.entries[0].second;
    ClearTestKey();
}

TEST(DefragWinProgram, AFullScreenProgramHoldsTheBatchBackUnlessTheCheckIsOff) {
    for (const DWORD check : {1u, 0u}) {
        ProgramRun p(L"fullscreen", L"800");
        SetTestDword(L"FullScreenCheck", check);
        p.calls.probeAnswers[1] = {{true, 0}, 0, "nimbora-probe 1 foreground=1000 app=0 fullscreen=1 state=3\n"};
        EXPECT_EQ(p.Run(), kExitDone) << check;
        ASSERT_EQ(p.events.entries.size(), 1u) << check;
        EXPECT_EQ(p.events.entries[0].first, EVENTLOG_INFORMATION_TYPE) << check;
        EXPECT_EQ(p.calls.trimmed.empty(), check == 1) << check;
        if (check == 1) {
            EXPECT_NE(p.events.entries[0].second.find(L"full-screen program"), std::wstring::npos)
                << p.events.entries[0].second;
        }
    }
    ClearTestKey();
}

TEST(DefragWinProgram, AnExclusionOfAnotherTypeIsRefusedLoudlyAndNothingTrimmed) {
    ProgramRun p(L"exclude", L"800");
    const DWORD wrong = 1;
    SetTestValue(kDefragExclude, REG_DWORD, &wrong, sizeof wrong);
    EXPECT_EQ(p.Run(), kExitInternalError);
    EXPECT_TRUE(p.calls.trimmed.empty());
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_ERROR_TYPE);
    EXPECT_NE(p.events.entries[0].second.find(L"DefragExclude"), std::wstring::npos);
    ClearTestKey();
}

TEST(DefragWinProgram, TheNamespaceAndObjectsAdmitExactlyLocalSystemAndTheAdministrators) {
    ProgramRun p(L"descriptor", L"100");
    EXPECT_EQ(p.Run(), kExitDone);
    EXPECT_EQ(p.calls.boundary, L"Nimbora.Defrag");
    EXPECT_EQ(p.calls.objectNames,
              (std::vector<std::wstring>{p.run.batchAlias + L"\\Defrag.Lock", p.run.batchAlias + L"\\Defrag.Worker",
                                         p.run.batchAlias + L"\\Defrag.Batch"}));
    const Sid system = WellKnown(WinLocalSystemSid), administrators = WellKnown(WinBuiltinAdministratorsSid);
    for (const auto* bytes : {&p.calls.namespaceDescriptor, &p.calls.objectDescriptor}) {
        const DescriptorView view = ReadDescriptor(*bytes);
        ASSERT_TRUE(view.valid);
        EXPECT_EQ(view.owner, administrators);
        EXPECT_TRUE(view.daclProtected) << "nothing inherited";
        EXPECT_EQ(view.otherAces, 0);
        ASSERT_EQ(view.allowed.size(), 2u);
        EXPECT_EQ(view.allowed[0].first, system);
        EXPECT_EQ(view.allowed[1].first, administrators);
        for (const auto& [sid, mask] : view.allowed) EXPECT_EQ(mask, static_cast<ACCESS_MASK>(GENERIC_ALL));
    }
    ClearTestKey();
}

TEST(DefragWinProgram, ATokenThatMayNotNameTheAdministratorsOwnsTheObjectsItself) {
    ProgramRun p(L"owner", L"800");
    p.calls.administratorsOwnerRefused = true;
    p.calls.ownSid = kAdministrator;
    EXPECT_EQ(p.Run(), kExitDone);
    EXPECT_FALSE(p.calls.trimmed.empty());
    const DescriptorView view = ReadDescriptor(p.calls.objectDescriptor);
    EXPECT_EQ(view.owner, kAdministrator);
    EXPECT_EQ(view.allowed.size(), 2u) << "the same access";
    ClearTestKey();
}

TEST(DefragWinProgram, AStandardUsersGlobalMutexStopsNothingInThePrivateNamespace) {
    // The squat of the earlier versions' names: a mutex any user can create.
    {
        ProgramRun p(L"squat.private", L"800");
        p.calls.squatted[L"Global\\Nimbora.Defrag.Lock"] = kStandardUser;
        EXPECT_EQ(p.Run(), kExitDone);
        EXPECT_FALSE(p.calls.trimmed.empty());
    }
    // The same squat where private namespaces are missing (Wine): refused.
    {
        ProgramRun p(L"squat.global", L"800");
        p.calls.namespaceError = ERROR_CALL_NOT_IMPLEMENTED;
        p.calls.squatted[L"Global\\Nimbora.Defrag.Lock"] = kStandardUser;
        EXPECT_EQ(p.Run(), kExitBusy);
        EXPECT_TRUE(p.calls.trimmed.empty());
        ASSERT_EQ(p.events.entries.size(), 1u);
        EXPECT_NE(p.events.entries[0].second.find(L"exists under another owner"), std::wstring::npos);
    }
    // A namespace a token without the Administrators' group cannot enter.
    {
        ProgramRun p(L"squat.denied", L"800");
        p.calls.namespaceError = ERROR_ACCESS_DENIED;
        EXPECT_EQ(p.Run(), kExitBusy);
        EXPECT_TRUE(p.calls.objectNames.empty());
    }
    ClearTestKey();
}

TEST(DefragWinProgram, RefusalsWriteOneEntryPerPeriod) {
    ProgramRun p(L"refusals", L"100");
    SetTestDword(L"ExecutePeriod", 5);
    p.calls.createError[L".Batch"] = ERROR_NOT_ENOUGH_MEMORY;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p.Run(), kExitBusy);
    ASSERT_EQ(p.events.entries.size(), 1u) << "three refusals within the period";
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_ERROR_TYPE);
    EXPECT_NE(p.events.entries[0].second.find(L"coordination was refused"), std::wstring::npos);
    p.calls.utcOffset = 5 * 60 * 10000000ull;
    EXPECT_EQ(p.Run(), kExitBusy);
    EXPECT_EQ(p.events.entries.size(), 2u) << "a period later";
    ClearTestKey();
}

TEST(DefragWinProgram, AFailedMemoryReadingIsAnErrorNotAlreadyFree) {
    ProgramRun p(L"unmeasured", L"100");
    p.calls.statusOk = false;
    EXPECT_EQ(p.Run(), kExitInternalError);
    EXPECT_TRUE(p.calls.trimmed.empty());
    ASSERT_EQ(p.events.entries.size(), 1u);
    EXPECT_EQ(p.events.entries[0].first, EVENTLOG_ERROR_TYPE);
    EXPECT_NE(p.events.entries[0].second.find(L"could not be measured"), std::wstring::npos);
    ClearTestKey();
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
        EXPECT_TRUE(p.calls.objectNames.empty()) << nothing;
    }
    ClearTestKey();
}

// A worker of the batch on a thread of its own (a mutex belongs to a thread),
// holding its lock until told to finish.
class HeldWorker {
public:
    HeldWorker(const std::wstring& alias, ObjectRegistry& registry, const BatchTiming& timing) {
        thread_ = std::thread([this, alias, &registry, timing] {
            FakeCalls calls;
            calls.registry = &registry;
            BatchCoordinator coordinator(calls, 1000, alias);
            MEMORYSTATUSEX status{};
            calls.MemoryStatus(status);
            const auto entered =
                coordinator.Enter({static_cast<std::int64_t>(status.ullTotalPhys), 2048 * MB}, 1024 * MB, timing);
            working_ = entered && entered->role == BatchRole::brWorker;
            ready_ = true;
            while (!finish_) Sleep(5);
            asked_ = coordinator.Asked(8192 * MB, &joined_);
            coordinator.Finish();
            coordinator.ReleaseWorker();
        });
        while (!ready_) Sleep(5);
    }
    ~HeldWorker() { Done(); }
    bool Working() const { return working_; }
    void Done() {
        finish_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::int64_t asked() const { return asked_; }
    std::uint32_t joined() const { return joined_; }

private:
    std::thread thread_;
    std::atomic<bool> ready_{false}, finish_{false}, working_{false};
    std::int64_t asked_ = 0;
    std::uint32_t joined_ = 0;
};

TEST(DefragWinBatch, AnAdministratorsHandRunDuringABatchHandsItsAmountOver) {
    ObjectRegistry registry;
    const std::wstring alias = L"NimboraDefragTest.handrun";
    HeldWorker worker(alias, registry, {0, 3000, 256});
    ASSERT_TRUE(worker.Working());
    ProgramRun p(L"handrun", L"300");
    p.run.batchAlias = alias;
    p.calls.registry = &registry;
    p.calls.ownSid = kAdministrator;  // his own account, not the objects' owner
    EXPECT_EQ(p.Run(), kExitDone);
    EXPECT_TRUE(p.events.entries.empty());
    EXPECT_TRUE(p.calls.trimmed.empty()) << "handed over, not worked";
    worker.Done();
    EXPECT_EQ(worker.asked(), 1324 * MB);
    EXPECT_EQ(worker.joined(), 2u);
    ClearTestKey();
}

TEST(DefragWinBatch, OverTheCapAndAfterMemoryWasAddedAnInstanceExitsQuietly) {
    struct Case {
        const char* what;
        std::uint32_t cap;
        DWORDLONG total;
    };
    const Case cases[] = {
        {"over the cap", 1, 8192ull * MB},
        {"memory added under the batch", 256, 12288ull * MB},
    };
    for (const Case& c : cases) {
        ObjectRegistry registry;
        const std::wstring alias = L"NimboraDefragTest.quiet";
        HeldWorker worker(alias, registry, {0, 3000, c.cap});
        ASSERT_TRUE(worker.Working()) << c.what;
        ProgramRun p(L"quiet", L"1024");
        p.run.batchAlias = alias;
        p.run.timing.maxInstances = c.cap;
        p.calls.registry = &registry;
        p.calls.total = c.total;
        EXPECT_EQ(p.Run(), kExitDone) << c.what;
        EXPECT_TRUE(p.events.entries.empty()) << c.what;
        EXPECT_TRUE(p.calls.trimmed.empty()) << c.what;
        worker.Done();
        EXPECT_EQ(worker.asked(), 1024 * MB) << c.what << ": nothing handed over";
    }
    ClearTestKey();
}

TEST(DefragWinBatch, ObjectsOfAnotherOwnerAreRefusedThoseOfLocalSystemOrTheAdministratorsUsed) {
    struct Case {
        const char* what;
        Sid owner;
        int exitCode;
    };
    const Case cases[] = {
        {"a standard user's", kStandardUser, kExitBusy},
        {"LocalSystem's", WellKnown(WinLocalSystemSid), kExitDone},
        {"the Administrators'", WellKnown(WinBuiltinAdministratorsSid), kExitDone},
        {"this account's", kAdministrator, kExitDone},
    };
    for (const Case& c : cases) {
        for (const wchar_t* object : {L"Lock", L"Worker", L"Batch"}) {
            ProgramRun p(L"owners", L"100");
            p.calls.ownSid = kAdministrator;
            p.calls.squatted[p.run.batchAlias + L"\\Defrag." + object] = c.owner;
            EXPECT_EQ(p.Run(), c.exitCode) << c.what << " " << testing::PrintToString(std::wstring(object));
        }
    }
    ClearTestKey();
}

TEST(DefragWinStore, SettingsAreReadFromThe32BitViewWhicheverBuild) {
    const std::wstring path = kTestKey;
    ClearTestKey();
    auto write = [&](REGSAM view, const wchar_t* exclude, DWORD flag) {
        UniqueHKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), kDefragExclude, 0, REG_SZ, reinterpret_cast<const BYTE*>(exclude),
                       static_cast<DWORD>((wcslen(exclude) + 1) * sizeof(wchar_t)));
        for (const wchar_t* name : {kDefragFlushModified, kDefragServices})
            RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flag), sizeof flag);
        const DWORD maintain = flag ? 25 : 90, fullScreenCheck = flag ? 0 : 1, period = flag ? 9 : 1;
        RegSetValueExW(key.get(), L"MemoryMaintain", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&maintain),
                       sizeof maintain);
        RegSetValueExW(key.get(), L"FullScreenCheck", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fullScreenCheck),
                       sizeof fullScreenCheck);
        RegSetValueExW(key.get(), L"ExecutePeriod", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&period),
                       sizeof period);
    };
    write(KEY_WOW64_64KEY, L"native.exe", 0);
    write(KEY_WOW64_32KEY, L"game.exe;obs", 1);
    const DefragSettings settings = DefragStore(path).ReadSettings(8192 * MB);
    EXPECT_EQ(settings.exclude, L"game.exe;obs");
    EXPECT_FALSE(settings.excludeWrongType);
    EXPECT_TRUE(settings.flushModified);
    EXPECT_FALSE(settings.purgeStandby);
    EXPECT_TRUE(settings.trimServices);
    EXPECT_FALSE(settings.fullScreenCheck);
    EXPECT_EQ(settings.executePeriod, 9);
    EXPECT_EQ(settings.triggerLevel, 2147483648) << "25 % of 8 GiB";

    ClearTestKey();
    const DefragSettings defaults = DefragStore(path).ReadSettings(1024 * MB);
    EXPECT_EQ(defaults.triggerLevel, 214748365) << "20 % below 1.5 GB";
    EXPECT_TRUE(defaults.fullScreenCheck);
    EXPECT_FALSE(defaults.trimServices);
    EXPECT_EQ(defaults.executePeriod, 5);
    EXPECT_EQ(DefragStore(path).ReadSettings(0).triggerLevel, -1) << "memory not known";
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

    const std::vector<TrimMark> marks = {{1, 2, 3, 10}, {4, 5, 6, 40}};
    ASSERT_TRUE(store.WriteTrimMarks(marks));
    EXPECT_EQ(store.ReadTrimMarks(), marks);
    key.reset();
    ClearTestKey();
}

TEST(DefragWinStore, ARefusalEntryIsClaimedByOneInstanceOnly) {
    ClearTestKey();
    const DefragStore store(kTestKey);
    constexpr std::uint64_t now = 133780000000000000ull;
    // Instances refused together: the claim is made by creating a key.
    std::atomic<int> claimed{0};
    std::vector<std::thread> instances;
    for (int i = 0; i < 8; ++i)
        instances.emplace_back([&] { claimed += DefragStore(kTestKey).ClaimRefusalEntry(now, 5) ? 1 : 0; });
    for (std::thread& t : instances) t.join();
    EXPECT_EQ(claimed, 1);
    EXPECT_FALSE(store.ClaimRefusalEntry(now + 4 * 60 * 10000000ull, 5));
    EXPECT_TRUE(store.ClaimRefusalEntry(now + 5 * 60 * 10000000ull, 5));
    ClearTestKey();
}

}  // namespace
}  // namespace nimbora
