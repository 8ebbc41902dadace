#pragma once
// The real NimboraService.exe, staged with a stand-in companion in a folder
// whose path holds a space, installed with its own switches.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/E2eSupport.h"

namespace nimbora::e2e {

inline constexpr wchar_t kStageFolder[] = L"C:\\Nimbora E2E";
inline constexpr wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\Nimbora";

class NimboraFixture : public ::testing::Test {
protected:
    void SetUp() override {
        service_.Delete();
        folder_ = StageFolder(kStageFolder, {BuildOutput(L"NimboraService.exe"), BuildOutput(L"StandInDefrag.exe")});
        exe_ = folder_ + L"NimboraService.exe";
        settings_.SetDword(L"MemoryFree", BatchPercent());
    }
    void TearDown() override { service_.Delete(); }

    // Runs the executable with `switches`, dismissing and returning its boxes.
    DialogRun RunExe(const std::wstring& switches) { return RunWithDialogs(L"\"" + exe_ + L"\" " + switches); }
    // N.B. MemoryFree is stored again: a test may clear the settings key
    // between SetUp and the installation.
    void Install() {
        ASSERT_EQ(RunExe(L"/install /silent").exitCode, 0u);
        ASSERT_TRUE(service_.Exists());
        settings_.SetDword(L"MemoryFree", BatchPercent());
    }

    std::vector<std::wstring> Launches() const { return ReadLines(folder_ + L"launches.log"); }

    // The MemoryFree that asks for `launches` launches of at most 1024 MB on
    // this machine (up to 100 GiB of memory): a batch of the same size
    // everywhere. SetUp stores the one for two launches.
    static DWORD BatchPercent(long long launches = 2) {
        const long long percent = launches * 1024 * 100 / TotalMegabytes();
        return static_cast<DWORD>(percent > 100 ? 100 : percent);
    }

    // What one batch launches for MemoryFree `percent`, computed from the
    // platform's own reading of the total.
    static std::vector<std::wstring> ExpectedBatch(DWORD percent = BatchPercent()) {
        const long double total = static_cast<long double>(TotalBytes());
        const long long freeBytes = std::llrint(static_cast<double>(percent / 100.0L * total));
        long long freeMegabytes = std::llrint(static_cast<double>(freeBytes / 1024.0L / 1024.0L));
        std::vector<std::wstring> batch;
        do {
            batch.push_back(std::to_wstring(freeMegabytes >= 1024 ? 1024 : freeMegabytes));
            freeMegabytes -= 1024;
        } while (freeMegabytes > 0);
        return batch;
    }

    // The uptime gate holds for the first 4.5 minutes after boot.
    static void WaitOutUptimeGate() {
        const ULONGLONG needed = 272000;
        const ULONGLONG now = GetTickCount64();
        if (now < needed) {
            std::printf("waiting %llu s for the machine's uptime to pass 4.5 minutes\n", (needed - now) / 1000);
            std::fflush(stdout);
            Sleep(static_cast<DWORD>(needed - now));
        }
    }

    // Once no companion runs, every one started so far has logged its launch.
    static ::testing::AssertionResult CompanionsDone() {
        if (WaitUntil([] { return ProcessesRunning(L"NimboraDefrag.exe") == 0; }, std::chrono::seconds(60),
                      std::chrono::milliseconds(100)))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << ProcessesRunning(L"NimboraDefrag.exe") << " companions still run";
    }

    // Pauses the service, makes `change` and continues it: no tick starts
    // while the change is made.
    ::testing::AssertionResult WhilePaused(const std::function<void()>& change) {
        if (!service_.Control(SERVICE_CONTROL_PAUSE) || !service_.WaitForState(SERVICE_PAUSED, std::chrono::seconds(10)))
            return ::testing::AssertionFailure() << "no pause, state " << service_.State();
        change();
        if (!service_.Control(SERVICE_CONTROL_CONTINUE) ||
            !service_.WaitForState(SERVICE_RUNNING, std::chrono::seconds(10)))
            return ::testing::AssertionFailure() << "no continue, state " << service_.State();
        return ::testing::AssertionSuccess();
    }

    // Stops the service and waits until its process and every companion it
    // started have ended: the launch log is complete.
    ::testing::AssertionResult StopAndSettle() {
        const UniqueHandleObject process(OpenProcess(SYNCHRONIZE, FALSE, service_.Query().dwProcessId));
        if (!service_.Control(SERVICE_CONTROL_STOP) || !service_.WaitForState(SERVICE_STOPPED, std::chrono::seconds(30)))
            return ::testing::AssertionFailure() << "no stop, state " << service_.State();
        if (process && WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0)
            return ::testing::AssertionFailure() << "the service's process goes on";
        return CompanionsDone();
    }

    ServiceController service_{L"Nimbora"};
    SettingsScope settings_;
    std::wstring folder_;
    std::wstring exe_;

private:
    static unsigned long long TotalBytes() {
        MEMORYSTATUSEX m{};
        m.dwLength = sizeof m;
        GlobalMemoryStatusEx(&m);
        return m.ullTotalPhys;
    }
    static long long TotalMegabytes() {
        const long long megabytes = std::llrint(static_cast<double>(TotalBytes()) / 1024 / 1024);
        return megabytes > 0 ? megabytes : 1;
    }
};

}  // namespace nimbora::e2e
