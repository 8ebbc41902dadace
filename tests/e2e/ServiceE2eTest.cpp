// The complete service under Wine's real Service Control Manager: the
// maintenance tick once a second, the service events switching it, the
// start-up normalisation, and the companion launches seen by a stand-in.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "svchost/SystemMessage.h"
#include "tests/e2e/NimboraFixture.h"

namespace nimbora::e2e {
namespace {

using namespace std::chrono_literals;

// The launches of one batch run side by side, so they log in any order:
// `lines` must be whole batches, compared as sorted lists.
bool WholeBatches(std::vector<std::wstring> lines, const std::vector<std::wstring>& batch) {
    if (batch.empty() || lines.size() % batch.size() != 0) return false;
    std::vector<std::wstring> expected;
    for (std::size_t i = 0; i < lines.size() / batch.size(); ++i) expected.insert(expected.end(), batch.begin(), batch.end());
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    return lines == expected;
}

class ServiceE2e : public NimboraFixture {
protected:
    void SetUp() override {
        NimboraFixture::SetUp();
        WaitOutUptimeGate();
        Install();
        settings_.SetDword(L"MemoryMaintain", 100);  // the memory gate passes on every tick
        settings_.SetDword(L"ProcessorLimit", 0);
    }
    void StartRunning() {
        ASSERT_TRUE(service_.Start());
        ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s));
    }
    // Each launch is a process start, done one after another by the tick: a few
    // milliseconds for a 64-bit program, up to a second for a 32-bit one under
    // qemu-user on a busy machine. Waits for launches allow for the slower.
    static constexpr std::chrono::milliseconds kLaunchAllowance = sizeof(void*) == 4 ? 1000ms : 200ms;

    // Waits for `count` launches, allowing for the ones after the first
    // batch's. On failure, what was launched so far goes into the message.
    ::testing::AssertionResult WaitForLaunches(std::size_t count, std::chrono::milliseconds timeout) {
        timeout += static_cast<long>(count) * kLaunchAllowance;
        if (WaitUntil([&] { return Launches().size() >= count; }, timeout)) return ::testing::AssertionSuccess();
        std::wstring seen;
        for (const std::wstring& line : Launches()) seen += line + L" ";
        return ::testing::AssertionFailure() << Launches().size() << " of " << count << " launches: "
                                             << std::string(seen.begin(), seen.end());
    }
    // The launch count once a batch in progress has finished: unchanged for
    // twice the allowance of one launch.
    std::size_t SettledLaunches() {
        std::size_t count = Launches().size();
        for (int round = 0; round < 60; ++round) {
            Sleep(static_cast<DWORD>(2 * kLaunchAllowance.count()));
            const std::size_t now = Launches().size();
            if (now == count) break;
            count = now;
        }
        return count;
    }
    const std::vector<std::wstring> batch_ = ExpectedBatch();
};

TEST(ServiceFromPrompt, LogsTheDispatcherFailureOnceAndExitsZero) {
    TraceLog log(L"NIMBORA_E2E_STDERR_WIN");
    if (!log.Available()) GTEST_SKIP() << "this program's stderr is not captured";
    const ProcessResult r = RunProcess(L"\"" + BuildOutput(L"NimboraService.exe") + L"\"");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(log.Entries(), std::vector<std::wstring>{SystemErrorMessage(1063)});
}

TEST_F(ServiceE2e, OneBatchSoonAfterStartThenNoneWithinTheDefaultPeriod) {
    const auto begin = std::chrono::steady_clock::now();
    StartRunning();
    ASSERT_TRUE(WaitForLaunches(batch_.size(), 5s));
    const auto firstBatch = std::chrono::steady_clock::now() - begin;
    Sleep(3000);
    EXPECT_EQ(Launches().size(), batch_.size());
    EXPECT_TRUE(WholeBatches(Launches(), batch_));
    std::printf("first batch of %zu launches %lld ms after the start request\n", batch_.size(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(firstBatch).count()));
}

TEST_F(ServiceE2e, ZeroPeriodGivesABatchEveryTickAndZeroTriggerGivesNone) {
    settings_.SetDword(L"ExecutePeriod", 0);
    StartRunning();
    ASSERT_TRUE(WaitForLaunches(3 * batch_.size(), 6s));
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(service_.WaitForState(SERVICE_PAUSED, 5s));
    SettledLaunches();  // a tick under way when the pause arrives runs to its end
    EXPECT_TRUE(WholeBatches(Launches(), batch_));
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_CONTINUE));

    // Read afresh every tick: no launches once the trigger level is 0.
    settings_.SetDword(L"MemoryMaintain", 0);
    const std::size_t settled = SettledLaunches();
    Sleep(2500);
    EXPECT_EQ(Launches().size(), settled);
}

TEST_F(ServiceE2e, PauseStopsLaunchesAndContinueResumesThemMeasuringFromTheEarlierBatch) {
    settings_.SetDword(L"ExecutePeriod", 1);
    StartRunning();
    ASSERT_TRUE(WaitForLaunches(batch_.size(), 5s));

    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(service_.WaitForState(SERVICE_PAUSED, 5s));
    settings_.SetDword(L"ExecutePeriod", 0);
    Sleep(2500);
    EXPECT_EQ(Launches().size(), batch_.size()) << "launches while paused";

    // The period gate still measures from the batch before the pause.
    settings_.SetDword(L"ExecutePeriod", 1);
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_CONTINUE));
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 5s));
    Sleep(2500);
    EXPECT_EQ(Launches().size(), batch_.size());

    settings_.SetDword(L"ExecutePeriod", 0);
    EXPECT_TRUE(WaitForLaunches(2 * batch_.size(), 5s)) << "no launches after continue";
}

TEST_F(ServiceE2e, StopIsCarriedOutPromptlyAndTheProcessEnds) {
    StartRunning();
    const UniqueHandleObject process(OpenProcess(SYNCHRONIZE, FALSE, service_.Query().dwProcessId));
    ASSERT_TRUE(process);
    Sleep(1200);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(service_.WaitForState(SERVICE_STOPPED, 10s));
    const auto latency = std::chrono::steady_clock::now() - begin;
    // The process ends once a tick under way has made its launches.
    const auto tickUnderWay = static_cast<long>(batch_.size()) * kLaunchAllowance;
    EXPECT_EQ(WaitForSingleObject(process.get(), static_cast<DWORD>((5s + tickUnderWay).count())),
              static_cast<DWORD>(WAIT_OBJECT_0));
    std::printf("stop carried out %lld ms after the request\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(latency).count()));
}

// Any run of the executable normalises the pair, installing and removing included.
TEST_F(NimboraFixture, StartUpNormalisesTheEnableSwitches) {
    auto lastWrite = [] {
        HKEY key = nullptr;
        FILETIME written{};
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Nimbora", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &written);
            RegCloseKey(key);
        }
        return (static_cast<ULONGLONG>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    };

    settings_.SetDword(L"LoadNimbora", 0);
    settings_.SetDword(L"DefragMemory", 1);
    EXPECT_EQ(RunExe(L"/install /silent").exitCode, 0u);
    EXPECT_EQ(settings_.GetDword(L"DefragMemory"), 0u);

    settings_.SetDword(L"LoadNimbora", 1);
    settings_.SetDword(L"DefragMemory", 1);
    const ULONGLONG before = lastWrite();
    Sleep(50);
    EXPECT_EQ(RunExe(L"/uninstall /silent").exitCode, 0u);
    EXPECT_EQ(settings_.GetDword(L"DefragMemory"), 1u);
    EXPECT_EQ(lastWrite(), before) << "the settings key was written";

    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Nimbora");
    EXPECT_EQ(RunExe(L"/install /silent").exitCode, 0u);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Nimbora", 0, KEY_READ, &key), ERROR_SUCCESS)
        << "nothing stored, yet the settings key was created";
    if (key != nullptr) RegCloseKey(key);
}

}  // namespace
}  // namespace nimbora::e2e
