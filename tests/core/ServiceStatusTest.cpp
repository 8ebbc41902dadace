#include "svchost/ServiceStatus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbora {
namespace {

using S = TCurrentStatus;

constexpr std::uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4, kContinuePending = 5,
                        kPausePending = 6, kPaused = 7;

// The fields of the program's own service: own process, stop and pause
// accepted, no exit codes, the default wait hint.
const ServiceReportFields kDefaultFields{kServiceWin32OwnProcess, 7, 0, 0, 5000};

TEST(ServiceStatus, Win32StatesAndPendingStates) {
    const struct {
        S status;
        std::uint32_t state;
        bool pending;
    } cases[] = {
        {S::csStopped, kStopped, false},          {S::csStartPending, kStartPending, true},
        {S::csStopPending, kStopPending, true},   {S::csRunning, kRunning, false},
        {S::csContinuePending, kContinuePending, true}, {S::csPausePending, kPausePending, true},
        {S::csPaused, kPaused, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Win32State(c.status), c.state);
        EXPECT_EQ(IsPending(c.status), c.pending) << c.state;
    }
}

// One row per report of a whole service life: start, pause, continue, a
// refused stop, an accepted stop that is interrogated twice while pending,
// and the final stopped report.
TEST(StatusReport, FieldsAndCheckpointsOverTheWholeLifecycle) {
    const struct {
        const char* what;
        S status;
        std::uint32_t controls;
        std::uint32_t checkpoint;
    } life[] = {
        {"ServiceMain: start pending", S::csStartPending, 0, 1},
        {"service thread: start pending again", S::csStartPending, 0, 2},
        {"started", S::csRunning, 7, 0},
        {"interrogated while running", S::csRunning, 7, 0},
        {"pause request", S::csPausePending, 7, 0},
        {"paused", S::csPaused, 7, 0},
        {"interrogated while paused", S::csPaused, 7, 0},
        {"continue request", S::csContinuePending, 7, 0},
        {"continued", S::csRunning, 7, 0},
        {"stop request", S::csStopPending, 7, 0},
        {"stop refused: old state again", S::csRunning, 7, 0},
        {"stop request", S::csStopPending, 7, 0},
        {"interrogated while stopping", S::csStopPending, 7, 1},
        {"interrogated while stopping", S::csStopPending, 7, 2},
        {"interrogated while stopping", S::csStopPending, 7, 3},
        {"stopped", S::csStopped, 7, 0},
        {"interrogated after the stop", S::csStopped, 7, 0},
    };
    CheckpointTracker tracker;
    for (const auto& row : life) {
        const StatusReport expected{kServiceWin32OwnProcess, Win32State(row.status), row.controls, 0, 0,
                                    row.checkpoint, 5000};
        EXPECT_EQ(BuildStatusReport(row.status, kDefaultFields, tracker), expected) << row.what;
    }
}

TEST(StatusReport, OnlyTheFirstStartPendingOfTheProcessCountsFromOne) {
    CheckpointTracker tracker;
    EXPECT_EQ(tracker.Next(S::csStartPending), 1u);
    EXPECT_EQ(tracker.Next(S::csStopped), 0u);
    // A second start of the service in the same process: the last report was
    // stopped, so the first start pending is a new state.
    EXPECT_EQ(tracker.Next(S::csStartPending), 0u);
    EXPECT_EQ(tracker.Next(S::csStartPending), 1u);
}

TEST(StatusReport, EveryRepeatedPendingStateCountsUpAndAnotherStateStartsAgain) {
    for (const S pending : {S::csStopPending, S::csContinuePending, S::csPausePending}) {
        CheckpointTracker tracker;
        EXPECT_EQ(tracker.Next(S::csRunning), 0u);
        for (std::uint32_t expected = 0; expected < 5; ++expected)
            EXPECT_EQ(tracker.Next(pending), expected) << Win32State(pending);
        // A different pending state starts from 0, and so does a return.
        const S other = pending == S::csStopPending ? S::csPausePending : S::csStopPending;
        EXPECT_EQ(tracker.Next(other), 0u);
        EXPECT_EQ(tracker.Next(pending), 0u);
        EXPECT_EQ(tracker.Next(pending), 1u);
    }
}

TEST(StatusReport, NonPendingStatesAlwaysCarryZero) {
    for (const S steady : {S::csStopped, S::csRunning, S::csPaused}) {
        CheckpointTracker tracker;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(tracker.Next(steady), 0u) << Win32State(steady);
    }
}

TEST(StatusReport, AServiceSpecificErrorCodeTurnsTheWin32ExitCodeInto1066) {
    const struct {
        std::uint32_t win32ErrCode;
        std::uint32_t errCode;
        std::uint32_t win32Exit;
    } cases[] = {{0, 0, 0}, {5, 0, 5}, {0, 42, 1066}, {5, 42, 1066}, {0, 0xFFFFFFFF, 1066}};
    for (const auto& c : cases) {
        CheckpointTracker tracker;
        ServiceReportFields fields = kDefaultFields;
        fields.Win32ErrCode = c.win32ErrCode;
        fields.ErrCode = c.errCode;
        for (const S status : {S::csStartPending, S::csRunning, S::csStopPending, S::csStopped}) {
            const StatusReport r = BuildStatusReport(status, fields, tracker);
            EXPECT_EQ(r.Win32ExitCode, c.win32Exit) << c.win32ErrCode << "/" << c.errCode;
            EXPECT_EQ(r.ServiceSpecificExitCode, c.errCode);
        }
    }
}

TEST(StatusReport, ControlsAreZeroOnlyWhileStartIsPending) {
    ServiceReportFields fields = kDefaultFields;
    fields.ControlsAccepted = NativeControlsAccepted(true, false);
    ASSERT_EQ(fields.ControlsAccepted, 5u);
    CheckpointTracker tracker;
    for (const S status : {S::csStartPending, S::csStartPending, S::csRunning, S::csStopPending, S::csPaused,
                           S::csPausePending, S::csContinuePending, S::csStopped}) {
        EXPECT_EQ(BuildStatusReport(status, fields, tracker).ControlsAccepted,
                  status == S::csStartPending ? 0u : 5u)
            << Win32State(status);
    }
}

TEST(StatusReport, TypeAndWaitHintPassThroughUnchanged) {
    CheckpointTracker tracker;
    const ServiceReportFields fields{kServiceWin32ShareProcess | kServiceInteractiveProcess, 7, 0, 0, 123456};
    const StatusReport r = BuildStatusReport(S::csStartPending, fields, tracker);
    EXPECT_EQ(r.ServiceType, 0x120u);
    EXPECT_EQ(r.WaitHint, 123456u);
}

TEST(NativeControlsAccepted, ShutdownAlwaysStopAndPauseWhenAllowed) {
    EXPECT_EQ(NativeControlsAccepted(true, true), 7u);
    EXPECT_EQ(NativeControlsAccepted(true, false), 5u);
    EXPECT_EQ(NativeControlsAccepted(false, true), 6u);
    EXPECT_EQ(NativeControlsAccepted(false, false), 4u);
}

TEST(NativeServiceType, OwnOrShareProcessAndInteractive) {
    const struct {
        TServiceType type;
        bool interactive;
        int count;
        std::uint32_t expected;
    } cases[] = {
        {TServiceType::stWin32, false, 1, 0x10},        {TServiceType::stWin32, false, 2, 0x20},
        {TServiceType::stWin32, false, 3, 0x20},        {TServiceType::stWin32, false, 0, 0x10},
        {TServiceType::stWin32, true, 1, 0x110},        {TServiceType::stWin32, true, 2, 0x120},
        {TServiceType::stDevice, false, 1, 0x1},        {TServiceType::stDevice, true, 2, 0x1},
        {TServiceType::stFileSystem, false, 1, 0x2},    {TServiceType::stFileSystem, true, 2, 0x2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NativeServiceType(c.type, c.interactive, c.count), c.expected)
            << static_cast<int>(c.type) << " interactive " << c.interactive << " count " << c.count;
}

TEST(NativeStartType, BootAndSystemStartOnlyForDeviceDrivers) {
    const TStartType starts[] = {TStartType::stBoot, TStartType::stSystem, TStartType::stAuto, TStartType::stManual,
                                 TStartType::stDisabled};
    const struct {
        TServiceType type;
        std::uint32_t expected[5];
    } cases[] = {
        {TServiceType::stWin32, {2, 2, 2, 3, 4}},
        {TServiceType::stDevice, {0, 1, 2, 3, 4}},
        {TServiceType::stFileSystem, {2, 2, 2, 3, 4}},
    };
    for (const auto& c : cases)
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(NativeStartType(starts[i], c.type), c.expected[i])
                << "type " << static_cast<int>(c.type) << " start " << i;
}

TEST(NativeErrorControl, SeveritiesMapInOrder) {
    EXPECT_EQ(NativeErrorControl(TErrorSeverity::esIgnore), 0u);
    EXPECT_EQ(NativeErrorControl(TErrorSeverity::esNormal), 1u);
    EXPECT_EQ(NativeErrorControl(TErrorSeverity::esSevere), 2u);
    EXPECT_EQ(NativeErrorControl(TErrorSeverity::esCritical), 3u);
}

TEST(NativeDependencies, DoubleNulTerminatedListWithGroupPrefix) {
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::vector<TDependency> dependencies;
        std::wstring expected;
    } cases[] = {
        {"none", {}, L""s},
        {"one service", {{L"RpcSs", false}}, L"RpcSs\0\0"s},
        {"two services", {{L"RpcSs", false}, {L"EventLog", false}}, L"RpcSs\0EventLog\0\0"s},
        {"a group", {{L"NetworkProvider", true}}, L"+NetworkProvider\0\0"s},
        {"service then group", {{L"Tcpip", false}, {L"PNP_TDI", true}}, L"Tcpip\0+PNP_TDI\0\0"s},
        {"an empty name", {{L"", false}}, L"\0\0"s},
        {"an empty group name", {{L"", true}}, L"+\0\0"s},
        {"an empty name between two", {{L"A", false}, {L"", false}, {L"B", false}}, L"A\0\0B\0\0"s},
    };
    for (const auto& c : cases) EXPECT_EQ(NativeDependencies(c.dependencies), c.expected) << c.what;
}

}  // namespace
}  // namespace nimbora
