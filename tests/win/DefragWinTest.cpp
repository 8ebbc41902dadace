#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "defrag/BatchCoordinator.h"
#include "defrag/Planner.h"
#include "defrag/SystemCalls.h"
#include "defrag/WinMemoryActions.h"

namespace nimbora {
namespace {

constexpr std::int64_t MB = 1024 * 1024;

// The platform as a script: every call is recorded, every answer set by the
// test. Handles handed out are real (unnamed events), so closing them is real.
class FakeCalls : public SystemCalls {
public:
    struct Process {
        std::wstring name;
        DWORD openError = ERROR_SUCCESS;   // OpenProcess fails with it when set
        DWORD emptyError = ERROR_SUCCESS;  // EmptyWorkingSet fails with it when set
        SIZE_T workingSet = 0;
        SIZE_T afterTrim = 0;
    };

    bool statusOk = true;
    DWORDLONG total = 8192ull * MB;
    DWORDLONG available = 2048ull * MB;
    NtStatus queryStatus = kStatusSuccess;
    ULONG_PTR zeroPages = 1000;
    ULONG_PTR freePages = 24;
    std::map<int, NtStatus> commandStatus;  // by memory-list command; success when missing
    CallResult tokenResult{true, ERROR_SUCCESS};
    CallResult adjustResult{true, ERROR_SUCCESS};
    bool listOk = true;
    std::map<DWORD, Process> processes;
    SIZE_T peak = 5 * MB;

    std::vector<std::wstring> calls;
    std::vector<int> commandsSent;
    std::wstring privilegeName;
    DWORD privilegeAttributes = 0;
    std::map<DWORD, DWORD> accessAsked;  // last access per process id

    bool MemoryStatus(MEMORYSTATUSEX& status) override {
        calls.push_back(L"status");
        if (!statusOk) return false;
        status.ullTotalPhys = total;
        status.ullAvailPhys = available;
        return true;
    }
    NtStatus QuerySystemInformation(ULONG infoClass, void* buffer, ULONG length) override {
        calls.push_back(L"query " + std::to_wstring(infoClass));
        if (queryStatus < 0) return queryStatus;
        if (infoClass != kSystemMemoryListInformation || length != sizeof(MemoryListInformation))
            return kStatusInfoLengthMismatch;
        auto* lists = static_cast<MemoryListInformation*>(buffer);
        lists->zeroPageCount = zeroPages;
        lists->freePageCount = freePages;
        return kStatusSuccess;
    }
    NtStatus SetSystemInformation(ULONG infoClass, void* buffer, ULONG length) override {
        calls.push_back(L"set " + std::to_wstring(infoClass));
        if (infoClass != kSystemMemoryListInformation || length != sizeof(int)) return kStatusInfoLengthMismatch;
        const int command = *static_cast<int*>(buffer);
        commandsSent.push_back(command);
        const auto it = commandStatus.find(command);
        return it == commandStatus.end() ? kStatusSuccess : it->second;
    }
    CallResult OpenOwnToken(DWORD, UniqueHandleObject& token) override {
        calls.push_back(L"token");
        if (tokenResult.ok) token.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return tokenResult;
    }
    CallResult LookupPrivilege(const wchar_t* name, LUID& luid) override {
        privilegeName = name;
        luid = LUID{13, 0};
        return {true, ERROR_SUCCESS};
    }
    CallResult AdjustPrivileges(HANDLE, TOKEN_PRIVILEGES& privileges) override {
        calls.push_back(L"adjust");
        if (privileges.PrivilegeCount == 1) privilegeAttributes = privileges.Privileges[0].Attributes;
        return adjustResult;
    }
    CallResult ListProcesses(std::vector<ProcessEntry>& list) override {
        list.clear();
        if (!listOk) return {false, ERROR_ACCESS_DENIED};
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
        if (process == GetCurrentProcess()) {
            counters.PeakWorkingSetSize = peak;
            return {true, ERROR_SUCCESS};
        }
        const auto it = handles_.find(process);
        if (it == handles_.end()) return {false, ERROR_INVALID_HANDLE};
        counters.WorkingSetSize = processes[it->second].workingSet;
        return {true, ERROR_SUCCESS};
    }
    CallResult EmptyWorkingSet(HANDLE process) override {
        const DWORD id = handles_.at(process);
        calls.push_back(L"empty " + std::to_wstring(id));
        Process& p = processes[id];
        if (p.emptyError != ERROR_SUCCESS) return {false, p.emptyError};
        p.workingSet = p.afterTrim;
        return {true, ERROR_SUCCESS};
    }
    DWORD ForegroundProcessId() override { return 0; }
    DWORD CurrentProcessId() override { return 4242; }
    DWORD PageSize() override { return 4096; }
    std::uint64_t TickCount() override { return clock_ += 1; }

    int Count(const std::wstring& call) const {
        int n = 0;
        for (const std::wstring& c : calls) n += c == call;
        return n;
    }

private:
    std::map<HANDLE, DWORD> handles_;
    std::uint64_t clock_ = 0;
};

TEST(DefragWinActions, AMissingPrivilegeIsCaughtAfterAdjustTokenPrivilegesReportsSuccess) {
    FakeCalls calls;
    calls.adjustResult = {true, ERROR_NOT_ALL_ASSIGNED};
    WinMemoryActions actions(calls);

    EXPECT_EQ(actions.Run(MemoryCommand::mcFlushModifiedList), ActionStatus::asPrivilegeMissing);
    EXPECT_EQ(actions.Run(MemoryCommand::mcPurgeStandbyList), ActionStatus::asPrivilegeMissing);
    const MemoryReading reading = actions.Read();
    EXPECT_EQ(reading.free, -1);             // the page counts are not asked for without it
    EXPECT_EQ(reading.available, 2048 * MB);  // available memory is
    EXPECT_TRUE(calls.commandsSent.empty());
    EXPECT_EQ(calls.Count(L"query 80"), 0);
    EXPECT_EQ(calls.Count(L"adjust"), 1);     // asked once per run
    EXPECT_EQ(calls.privilegeName, SE_PROF_SINGLE_PROCESS_NAME);
    EXPECT_EQ(calls.privilegeAttributes, static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
}

TEST(DefragWinActions, PrivilegeFailuresOfEveryKindKeepTheCommandsBack) {
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
        EXPECT_EQ(actions.ProfilePrivilege(), c.expected) << c.what;
        EXPECT_EQ(actions.Run(MemoryCommand::mcFlushModifiedList), c.expected) << c.what;
        EXPECT_EQ(calls.commandsSent.size(), c.expected == ActionStatus::asDone ? 1u : 0u) << c.what;
    }
}

TEST(DefragWinActions, CommandsAndTheirStatuses) {
    FakeCalls calls;
    WinMemoryActions actions(calls);
    EXPECT_EQ(actions.Run(MemoryCommand::mcEmptyWorkingSets), ActionStatus::asDone);
    EXPECT_EQ(actions.Run(MemoryCommand::mcFlushModifiedList), ActionStatus::asDone);
    EXPECT_EQ(actions.Run(MemoryCommand::mcPurgeLowPriorityStandbyList), ActionStatus::asDone);
    EXPECT_EQ(actions.Run(MemoryCommand::mcPurgeStandbyList), ActionStatus::asDone);
    EXPECT_EQ(calls.commandsSent, (std::vector<int>{2, 3, 5, 4}));

    struct Case {
        NtStatus status;
        ActionStatus expected;
    };
    const Case cases[] = {
        {kStatusSuccess, ActionStatus::asDone},
        {0x00000103, ActionStatus::asDone},  // an informational status is a success
        {kStatusNotImplemented, ActionStatus::asNotAvailable},
        {kStatusInvalidInfoClass, ActionStatus::asNotAvailable},
        {kStatusProcedureNotFound, ActionStatus::asNotAvailable},
        {kStatusNotSupported, ActionStatus::asNotAvailable},
        {kStatusPrivilegeNotHeld, ActionStatus::asPrivilegeMissing},
        {kStatusAccessDenied, ActionStatus::asAccessDenied},
        {static_cast<NtStatus>(0xC0000001), ActionStatus::asFailed},
    };
    for (const Case& c : cases) {
        FakeCalls purge;
        purge.commandStatus[mlPurgeStandbyList] = c.status;
        WinMemoryActions a(purge);
        EXPECT_EQ(a.Run(MemoryCommand::mcPurgeStandbyList), c.expected) << std::hex << c.status;
    }
}

TEST(DefragWinActions, ReadingsCombineTheMemoryStatusAndThePageCounts) {
    FakeCalls calls;
    WinMemoryActions actions(calls);
    const MemoryReading reading = actions.Read();
    EXPECT_EQ(reading.total, 8192 * MB);
    EXPECT_EQ(reading.available, 2048 * MB);
    EXPECT_EQ(reading.free, 1024 * 4096);

    FakeCalls stub;
    stub.queryStatus = kStatusNotImplemented;
    EXPECT_EQ(WinMemoryActions(stub).Read().free, -1);

    FakeCalls broken;
    broken.statusOk = false;
    const MemoryReading none = WinMemoryActions(broken).Read();
    EXPECT_EQ(none.total, 0);
    EXPECT_EQ(none.available, 0);

    FakeCalls topBit;
    topBit.available = 0x8000000000000000ull;
    EXPECT_EQ(WinMemoryActions(topBit).Read().available, 0);
}

TEST(DefragWinActions, ProcessesThatCannotBeOpenedAreListedUnreadableAndRefuseTrimming) {
    FakeCalls calls;
    calls.processes[100] = {L"app.exe", ERROR_SUCCESS, ERROR_SUCCESS, 300 * MB, 20 * MB};
    calls.processes[200] = {L"guarded.exe", ERROR_ACCESS_DENIED, ERROR_SUCCESS, 500 * MB, 0};
    calls.processes[300] = {L"protected.exe", ERROR_SUCCESS, ERROR_ACCESS_DENIED, 400 * MB, 0};
    WinMemoryActions actions(calls);

    const std::optional<std::vector<ProcessInfo>> list = actions.Processes();
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 3u);
    EXPECT_EQ((*list)[0].workingSet, 300 * MB);
    EXPECT_EQ((*list)[1].workingSet, -1);
    EXPECT_EQ((*list)[1].name, L"guarded.exe");
    EXPECT_EQ((*list)[2].workingSet, 400 * MB);

    const TrimOutcome trimmed = actions.Trim(100);
    EXPECT_EQ(trimmed.status, ActionStatus::asDone);
    EXPECT_EQ(trimmed.before, 300 * MB);
    EXPECT_EQ(trimmed.after, 20 * MB);
    EXPECT_EQ(calls.accessAsked[100] & (PROCESS_SET_QUOTA | PROCESS_QUERY_LIMITED_INFORMATION),
              static_cast<DWORD>(PROCESS_SET_QUOTA | PROCESS_QUERY_LIMITED_INFORMATION));

    EXPECT_EQ(actions.Trim(200).status, ActionStatus::asAccessDenied);
    EXPECT_EQ(calls.Count(L"empty 200"), 0);
    const TrimOutcome refused = actions.Trim(300);
    EXPECT_EQ(refused.status, ActionStatus::asAccessDenied);
    EXPECT_EQ(refused.before, 400 * MB);
    EXPECT_EQ(actions.Trim(999).status, ActionStatus::asFailed);  // gone meanwhile

    calls.listOk = false;
    EXPECT_FALSE(actions.Processes().has_value());
}

// The whole plan over the Windows layer on a platform where nothing but the
// last resort acts: trims succeed and empty nothing (as under Wine), the
// memory-list commands are not implemented. The last resort then runs, for
// real, in this process.
TEST(DefragWinActions, OnAPlatformWhereNothingElseActsTheLastResortRunsForReal) {
    FakeCalls calls;
    calls.processes[100] = {L"app.exe", ERROR_SUCCESS, ERROR_SUCCESS, 300 * MB, 300 * MB};
    calls.processes[4242] = {L"NimboraDefrag.exe", ERROR_SUCCESS, ERROR_SUCCESS, 5 * MB, 5 * MB};
    calls.queryStatus = kStatusNotImplemented;
    for (const int command : {2, 3, 4, 5}) calls.commandStatus[command] = kStatusNotImplemented;
    WinMemoryActions actions(calls);
    DefragOptions options;
    options.flushModified = true;
    options.purgeStandby = true;
    options.chunkBytes = 8 * MB;
    const DefragReport report = Defragmenter(actions, options).Run({2048 * MB + 24 * MB, -1, 24 * MB});

    ASSERT_EQ(report.steps.size(), 4u);
    EXPECT_EQ(report.steps[0].kind, StepKind::skTrimProcesses);
    EXPECT_EQ(report.steps[0].trimmed, 1);
    EXPECT_FALSE(report.steps[0].acted);
    EXPECT_EQ(report.steps[1].status, ActionStatus::asNotAvailable);  // flush: not implemented
    EXPECT_EQ(report.steps[2].kind, StepKind::skPurgeLowPriorityStandby);
    EXPECT_EQ(report.steps[2].status, ActionStatus::asNotAvailable);
    EXPECT_EQ(report.steps[3].kind, StepKind::skLastResort);
    EXPECT_EQ(report.steps[3].held, 24 * MB);
    EXPECT_EQ(calls.Count(L"empty 4242"), 0);
}

TEST(DefragWinActions, HeldChunksAreTouchedAndShowInThePeakWorkingSet) {
    Win32SystemCalls calls;
    WinMemoryActions actions(calls);
    PROCESS_MEMORY_COUNTERS counters{};
    ASSERT_TRUE(calls.MemoryCounters(GetCurrentProcess(), counters).ok);
    const std::int64_t before = static_cast<std::int64_t>(counters.WorkingSetSize);
    ASSERT_TRUE(actions.HoldChunk(48 * MB));
    ASSERT_TRUE(actions.HoldChunk(48 * MB));
    ASSERT_TRUE(calls.MemoryCounters(GetCurrentProcess(), counters).ok);
    const std::int64_t holding = static_cast<std::int64_t>(counters.WorkingSetSize);
    actions.ReleaseChunks();
    ASSERT_TRUE(calls.MemoryCounters(GetCurrentProcess(), counters).ok);
    const std::int64_t released = static_cast<std::int64_t>(counters.WorkingSetSize);

    EXPECT_GE(holding - before, 90 * MB);
    EXPECT_GE(actions.PeakWorkingSet(), before + 90 * MB);
    EXPECT_LE(released, holding - 90 * MB);
    std::printf("working set: %lld MB, holding 96 MB: %lld MB, released: %lld MB\n",
                static_cast<long long>(before / MB), static_cast<long long>(holding / MB),
                static_cast<long long>(released / MB));
    EXPECT_FALSE(actions.HoldChunk(0));
}

TEST(DefragWinActions, ThePlatformListsThisProcessAndReadsMemory) {
    Win32SystemCalls calls;
    WinMemoryActions actions(calls);
    const MemoryReading reading = actions.Read();
    EXPECT_GT(reading.total, 0);
    EXPECT_GT(reading.available, 0);
    EXPECT_LE(reading.available, reading.total);

    const std::optional<std::vector<ProcessInfo>> list = actions.Processes();
    ASSERT_TRUE(list.has_value());
    bool found = false;
    for (const ProcessInfo& p : *list) {
        if (p.id != GetCurrentProcessId()) continue;
        found = true;
        EXPECT_EQ(p.name, L"win_tests.exe");
        EXPECT_GT(p.workingSet, 0);
    }
    EXPECT_TRUE(found);
}

class DefragBatchObjects : public testing::Test {
protected:
    // Names of their own, so no real instance can meet the test's batch.
    std::wstring prefix = L"Local\\Nimbora.Defrag.Test." + std::to_wstring(GetCurrentProcessId()) + L"." +
                          std::to_wstring(GetTickCount64()) + L".";
    FakeCalls calls;
    WinMemoryActions actions{calls};
    BatchTiming timing;
};

TEST_F(DefragBatchObjects, InstancesJoinOneBatchThroughTheSharedRecord) {
    BatchCoordinator first(prefix);
    BatchCoordinator second(prefix);
    ASSERT_TRUE(first.Available());
    ASSERT_TRUE(second.Available());

    const std::optional<BatchShare> a = first.Join(actions, 1024 * MB, timing, 1000);
    calls.available = 3000ull * MB;  // moved on before the second joined
    const std::optional<BatchShare> b = second.Join(actions, 300 * MB, timing, 1000);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->id, b->id);
    EXPECT_EQ(b->position, 2u);
    EXPECT_EQ(b->baselineAvailable, 2048 * MB);
    EXPECT_EQ(b->cumulativeBytes, 1324 * MB);
}

TEST_F(DefragBatchObjects, OneInstanceWorksAtATime) {
    BatchCoordinator first(prefix);
    MutexOwnership turn = first.AwaitTurn(1000);
    ASSERT_TRUE(turn);

    bool otherGotIt = true;
    std::thread([&] {
        BatchCoordinator other(prefix);
        otherGotIt = static_cast<bool>(other.AwaitTurn(100));
    }).join();
    EXPECT_FALSE(otherGotIt);

    turn.reset();
    std::thread([&] {
        BatchCoordinator other(prefix);
        otherGotIt = static_cast<bool>(other.AwaitTurn(1000));
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST_F(DefragBatchObjects, AnInstanceThatDiedHoldingTheLockStartsANewBatch) {
    BatchCoordinator first(prefix);
    const std::optional<BatchShare> a = first.Join(actions, 1024 * MB, timing, 1000);
    ASSERT_TRUE(a);

    // A thread takes the record's lock and ends without releasing it.
    std::thread([&] {
        const UniqueHandleObject lock(OpenMutexW(SYNCHRONIZE, FALSE, (prefix + L"BatchLock").c_str()));
        ASSERT_TRUE(lock);
        ASSERT_EQ(WaitForSingleObject(lock.get(), 1000), WAIT_OBJECT_0);
    }).join();

    BatchCoordinator second(prefix);
    const std::optional<BatchShare> b = second.Join(actions, 300 * MB, timing, 1000);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->id, a->id + 1);
    EXPECT_EQ(b->position, 1u);
    EXPECT_EQ(b->cumulativeBytes, 300 * MB);
}

}  // namespace
}  // namespace nimbora
