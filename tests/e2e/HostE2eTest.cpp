// The service host under Wine's real Service Control Manager, through a small
// test service built on the host's classes.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>

#include "tests/e2e/E2eSupport.h"

namespace nimbora::e2e {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kName[] = L"NimboraHostTest";
constexpr wchar_t kReportKey[] = L"Software\\Korvex\\NimboraHostTest";

class HostE2e : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kReportKey);
        folder_ = StageFolder(L"C:\\NimboraHostTest", {BuildOutput(L"TestService.exe")});
        service_.Delete();
        service_.Create(folder_ + L"TestService.exe");
        ASSERT_TRUE(service_.Exists());
    }
    void TearDown() override { service_.Delete(); }

    // Starts the service and waits until it reports running.
    void StartRunning(const std::vector<std::wstring>& args = {}) {
        ASSERT_TRUE(service_.Start(args));
        ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s)) << service_.State();
        pid_ = service_.Query().dwProcessId;
        process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid_));
        ASSERT_TRUE(process_);
    }
    // Sends user control `code` (again while the manager refuses it for a
    // pending state) and waits for the service to write `value` under its
    // report key: the answer to every request sent before it. Nothing when
    // the service does not answer.
    std::optional<DWORD> Ask(DWORD code, const wchar_t* value) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kReportKey, value);
        if (!WaitUntil([&] { return service_.Control(code); }, 10s)) return std::nullopt;
        return Reported(value);
    }
    // What the service wrote under `value`, once written (10 s at most).
    static std::optional<DWORD> Reported(const wchar_t* value) {
        DWORD data = 0;
        const bool written = WaitUntil([&] {
            DWORD size = sizeof data;
            return RegGetValueW(HKEY_LOCAL_MACHINE, kReportKey, value, RRF_RT_REG_DWORD, nullptr, &data, &size) ==
                   ERROR_SUCCESS;
        }, 10s);
        if (!written) return std::nullopt;
        return data;
    }
    // The service counts its own handles on request (user code 201).
    std::optional<DWORD> ServiceHandleCount() { return Ask(201, L"Handles"); }
    // The application's window answers a message (user code 202).
    bool MainThreadAnswers() { return Ask(202, L"MainThread") == std::optional<DWORD>(1); }
    bool ProcessEnds(std::chrono::milliseconds timeout) {
        return WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
    }

    std::wstring folder_;
    ServiceController service_{kName};
    DWORD pid_ = 0;
    UniqueHandleObject process_;
};

// Started from a prompt: see ServiceFromPrompt, run on the real executable.

TEST_F(HostE2e, LifecycleOfPauseContinueInterrogateUserCodeAndStop) {
    StartRunning();
    SERVICE_STATUS status{};
    EXPECT_EQ(service_.Query().dwControlsAccepted, 7u);
    EXPECT_EQ(service_.Query().dwServiceType, 0x10u);

    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_PAUSE, &status));
    ASSERT_TRUE(service_.WaitForState(SERVICE_PAUSED, 5s));

    // A request reaches the suspended service thread, which answers and stays paused.
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSED));
    ASSERT_TRUE(service_.Control(150, &status));
    ASSERT_TRUE(ServiceHandleCount()) << "no answer after the request";
    EXPECT_EQ(service_.State(), static_cast<DWORD>(SERVICE_PAUSED));

    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_CONTINUE, &status));
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 5s));

    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_STOP, &status));
    EXPECT_TRUE(service_.WaitForState(SERVICE_STOPPED, 5s));
    EXPECT_TRUE(ProcessEnds(5s)) << "the last service stopped but the process goes on";
    DWORD exitCode = 1;
    GetExitCodeProcess(process_.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(HostE2e, StopWhilePausedWakesTheThreadAndStops) {
    StartRunning();
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(service_.WaitForState(SERVICE_PAUSED, 5s));
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_STOP));
    EXPECT_TRUE(service_.WaitForState(SERVICE_STOPPED, 5s));
    EXPECT_TRUE(ProcessEnds(5s));
}

TEST_F(HostE2e, RefusedStopKeepsTheServiceRunning) {
    StartRunning({L"refuse-stop"});
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(Reported(L"StopRefused")) << "the stop did not reach the service";
    EXPECT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s)) << service_.State();
    EXPECT_EQ(WaitForSingleObject(process_.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // N.B. the manager ends a process whose second stop arrives while it
    // runs, so the test ends this one itself.
    TerminateProcess(process_.get(), 0);
    ProcessEnds(5s);
}

TEST_F(HostE2e, EndSessionDoesNotEndTheProcess) {
    StartRunning();
    ASSERT_TRUE(service_.Control(200));  // the service sends WM_ENDSESSION to its hidden window
    EXPECT_TRUE(MainThreadAnswers()) << "the application's loop ended";
    EXPECT_EQ(WaitForSingleObject(process_.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SERVICE_STATUS status{};
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(HostE2e, TimerHandlerErrorsAreLoggedAndLaterTicksStillRun) {
    TraceLog log(L"NIMBORA_SERVICES_LOG_WIN");
    ASSERT_TRUE(log.Available()) << "the services' stderr is not captured: start Wine with tools/wine-env.sh";
    StartRunning({L"raise-timer"});
    const bool logged = WaitUntil(
        [&] {
            const auto entries = log.Entries();
            return std::count(entries.begin(), entries.end(), L"timer handler failed 3") == 1;
        },
        5s);
    EXPECT_TRUE(logged);
    const auto entries = log.Entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), L"timer handler failed 1"), 1);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), L"timer handler failed 2"), 1);
}

// A few thousand random pause, continue, interrogate and user-code requests,
// then a stop: no hang, every answer a state the service can be in, the
// handle count flat, and the stop carried out promptly.
TEST_F(HostE2e, ControlStorm) {
    StartRunning();
    const std::optional<DWORD> counted = ServiceHandleCount();
    ASSERT_TRUE(counted) << "user controls are not answered";
    const DWORD handlesBefore = *counted;
    std::mt19937 random(12345);
    const DWORD codes[] = {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE, 128, 199, 255};
    constexpr int kRequests = 2000;
    int accepted = 0, refused = 0, inconsistent = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        const DWORD code = codes[random() % std::size(codes)];
        SERVICE_STATUS status{};
        DWORD error = 0;
        if (service_.Control(code, &status, &error)) {
            ++accepted;
            const DWORD s = status.dwCurrentState;
            const bool possible = s == SERVICE_RUNNING || s == SERVICE_PAUSED || s == SERVICE_PAUSE_PENDING ||
                                  s == SERVICE_CONTINUE_PENDING;
            if (!possible || status.dwControlsAccepted != 7) ++inconsistent;
        } else {
            ++refused;
            if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) ++inconsistent;
        }
    }
    const auto stormTime = std::chrono::steady_clock::now() - begin;
    // N.B. answered after every request of the storm.
    const std::optional<DWORD> countedAfter = ServiceHandleCount();
    ASSERT_TRUE(countedAfter) << "no answer after the storm";
    const DWORD handlesAfter = *countedAfter;

    const auto stopBegin = std::chrono::steady_clock::now();
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(service_.WaitForState(SERVICE_STOPPED, 10s)) << "stop hung after the storm";
    const auto stopLatency = std::chrono::steady_clock::now() - stopBegin;
    EXPECT_TRUE(ProcessEnds(5s));

    std::printf("control storm: %d requests in %lld ms (%d accepted, %d refused while pending), handles %lu -> %lu, "
                "stop carried out in %lld ms\n",
                kRequests, static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(stormTime).count()),
                accepted, refused, handlesBefore, handlesAfter,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(stopLatency).count()));
    EXPECT_EQ(inconsistent, 0);
    EXPECT_LE(handlesAfter, handlesBefore + 4) << "handles leak under control requests";
}

}  // namespace
}  // namespace nimbora::e2e
