// The complete service under Wine's real Service Control Manager: the
// maintenance tick once a second, the service events switching it, the
// start-up normalisation, and the companion launches seen by a stand-in.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/e2e/NimboraFixture.h"

namespace nimbora::e2e {
namespace {

using namespace std::chrono_literals;

std::size_t Count(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// The launches of one batch run side by side, so they log in any order:
// `lines` must be whole batches of the kinds given, compared as sorted
// lists. Each kind is told by its last launch, which no other kind has.
::testing::AssertionResult WholeBatches(std::vector<std::wstring> lines,
                                        const std::vector<std::vector<std::wstring>>& kinds) {
    std::vector<std::wstring> expected;
    for (const auto& batch : kinds)
        for (std::size_t i = 0; i < Count(lines, batch.back()); ++i) expected.insert(expected.end(), batch.begin(), batch.end());
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    if (lines == expected) return ::testing::AssertionSuccess();
    std::wstring seen;
    for (const std::wstring& line : lines) seen += line + L" ";
    return ::testing::AssertionFailure() << "not whole batches: " << std::string(seen.begin(), seen.end());
}

// The kinds of batch a test tells apart must differ in their last launch.
::testing::AssertionResult Distinct(const std::vector<std::vector<std::wstring>>& kinds) {
    for (std::size_t i = 0; i < kinds.size(); ++i)
        for (std::size_t j = 0; j < kinds.size(); ++j)
            if (i != j && Count(kinds[j], kinds[i].back()) != 0)
                return ::testing::AssertionFailure() << "batches " << i << " and " << j << " cannot be told apart";
    return ::testing::AssertionSuccess();
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

    // Waits until `done` holds of the launches. On failure, what was launched
    // so far goes into the message.
    ::testing::AssertionResult WaitForLaunches(const std::function<bool(const std::vector<std::wstring>&)>& done,
                                               std::chrono::milliseconds timeout) {
        if (WaitUntil([&] { return done(Launches()); }, timeout)) return ::testing::AssertionSuccess();
        std::wstring seen;
        for (const std::wstring& line : Launches()) seen += line + L" ";
        return ::testing::AssertionFailure() << Launches().size() << " launches: " << std::string(seen.begin(), seen.end());
    }
    // Waits for `count` launches, allowing for the ones after the first batch's.
    ::testing::AssertionResult WaitForLaunches(std::size_t count, std::chrono::milliseconds timeout) {
        timeout += static_cast<long>(count) * kLaunchAllowance;
        return WaitForLaunches([count](const std::vector<std::wstring>& lines) { return lines.size() >= count; },
                               timeout);
    }
    // Waits for a batch of `kind`: a tick that is seen to act.
    ::testing::AssertionResult WaitForBatchOf(const std::vector<std::wstring>& kind) {
        const std::chrono::milliseconds timeout = 20s + static_cast<long>(kind.size()) * kLaunchAllowance;
        return WaitForLaunches([&](const std::vector<std::wstring>& lines) { return Count(lines, kind.back()) > 0; },
                               timeout);
    }
    // A stretch in which several ticks of one second each, launches included,
    // would have acted had nothing held them back.
    void Quiet() const { std::this_thread::sleep_for(2500ms + 2 * static_cast<long>(batch_.size()) * kLaunchAllowance); }

    const std::vector<std::wstring> batch_ = ExpectedBatch();
    // Batches of other sizes, which tell the launches of a later phase apart.
    const std::vector<std::wstring> one_ = ExpectedBatch(BatchPercent(1));
    const std::vector<std::wstring> three_ = ExpectedBatch(BatchPercent(3));
};

TEST(ServiceFromPrompt, LogsTheDispatcherFailureOnceAndExitsZero) {
    TraceLog log(L"NIMBORA_E2E_STDERR_WIN");
    ASSERT_TRUE(log.Available()) << "this program's stderr is not captured: run it through run_e2e.sh";
    const ProcessResult r = RunProcess(L"\"" + BuildOutput(L"NimboraService.exe") + L"\"");
    EXPECT_EQ(r.exitCode, 0u);
    const std::vector<std::wstring> entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    const std::vector<std::wstring> texts = SystemErrorTexts(1063);
    EXPECT_NE(std::find(texts.begin(), texts.end(), entries[0]), texts.end())
        << std::string(entries[0].begin(), entries[0].end());
}

// After the first batch, ticks go on under the default period and launch
// nothing; a tick seen to act once the period is 0 shows they ran.
TEST_F(ServiceE2e, OneBatchSoonAfterStartThenNoneWithinTheDefaultPeriod) {
    ASSERT_TRUE(Distinct({batch_, three_}));
    const auto begin = std::chrono::steady_clock::now();
    StartRunning();
    ASSERT_TRUE(WaitForLaunches(batch_.size(), 5s));
    const auto firstBatch = std::chrono::steady_clock::now() - begin;
    Quiet();
    // N.B. one setting per pause: no tick reads the old batch size with the new period.
    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"MemoryFree", BatchPercent(3)); }));
    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"ExecutePeriod", 0); }));
    ASSERT_TRUE(WaitForBatchOf(three_));
    ASSERT_TRUE(StopAndSettle());

    const std::vector<std::wstring> launches = Launches();
    EXPECT_EQ(Count(launches, batch_.back()), 1u) << "a second batch within the period";
    EXPECT_TRUE(WholeBatches(launches, {batch_, three_}));
    std::printf("first batch of %zu launches %lld ms after the start request\n", batch_.size(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(firstBatch).count()));
}

TEST_F(ServiceE2e, ZeroPeriodGivesABatchEveryTickAndZeroTriggerGivesNone) {
    ASSERT_TRUE(Distinct({batch_, one_, three_}));
    settings_.SetDword(L"ExecutePeriod", 0);
    StartRunning();
    ASSERT_TRUE(WaitForLaunches(3 * batch_.size(), 6s));

    // Read afresh every tick: no launches once the trigger level is 0. The
    // batch size tells the launches of this stretch apart.
    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"MemoryMaintain", 0); }));
    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"MemoryFree", BatchPercent(1)); }));
    Quiet();
    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"MemoryFree", BatchPercent(3)); }));
    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"MemoryMaintain", 100); }));
    ASSERT_TRUE(WaitForBatchOf(three_)) << "no tick acted once the trigger level was back";
    ASSERT_TRUE(StopAndSettle());

    const std::vector<std::wstring> launches = Launches();
    EXPECT_GE(Count(launches, batch_.back()), 3u);
    EXPECT_EQ(Count(launches, one_.back()), 0u) << "launches with a trigger level of 0";
    // A pause lets a tick under way finish its batch.
    EXPECT_TRUE(WholeBatches(launches, {batch_, one_, three_}));
}

TEST_F(ServiceE2e, PauseStopsLaunchesAndContinueResumesThemMeasuringFromTheEarlierBatch) {
    ASSERT_TRUE(Distinct({batch_, one_, three_}));
    settings_.SetDword(L"ExecutePeriod", 1);
    StartRunning();
    ASSERT_TRUE(WaitForLaunches(batch_.size(), 5s));

    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(service_.WaitForState(SERVICE_PAUSED, 5s));
    settings_.SetDword(L"MemoryFree", BatchPercent(1));
    settings_.SetDword(L"ExecutePeriod", 0);
    Quiet();  // paused: no launches whatever the period

    // The period gate still measures from the batch before the pause.
    settings_.SetDword(L"ExecutePeriod", 1);
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_CONTINUE));
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 5s));
    Quiet();

    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"MemoryFree", BatchPercent(3)); }));
    ASSERT_TRUE(WhilePaused([&] { settings_.SetDword(L"ExecutePeriod", 0); }));
    EXPECT_TRUE(WaitForBatchOf(three_)) << "no launches after continue";
    ASSERT_TRUE(StopAndSettle());

    const std::vector<std::wstring> launches = Launches();
    EXPECT_EQ(Count(launches, batch_.back()), 1u);
    EXPECT_EQ(Count(launches, one_.back()), 0u) << "launches while paused or within the period";
    EXPECT_TRUE(WholeBatches(launches, {batch_, one_, three_}));
}

TEST_F(ServiceE2e, StopIsCarriedOutPromptlyAndTheProcessEnds) {
    StartRunning();
    const UniqueHandleObject process(OpenProcess(SYNCHRONIZE, FALSE, service_.Query().dwProcessId));
    ASSERT_TRUE(process);
    ASSERT_TRUE(WaitForLaunches(batch_.size(), 5s)) << "no tick acted before the stop";
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
