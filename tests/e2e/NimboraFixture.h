#pragma once
// The real NimboraService.exe, staged with a stand-in companion in a folder
// whose path holds a space, installed with its own switches.

#include <gtest/gtest.h>

#include <cmath>
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
    }
    void TearDown() override { service_.Delete(); }

    // Runs the executable with `switches`, dismissing and returning its boxes.
    DialogRun RunExe(const std::wstring& switches) { return RunWithDialogs(L"\"" + exe_ + L"\" " + switches); }
    void Install() { ASSERT_EQ(RunExe(L"/install /silent").exitCode, 0u); ASSERT_TRUE(service_.Exists()); }

    std::vector<std::wstring> Launches() const { return ReadLines(folder_ + L"launches.log"); }

    // What one batch launches for this machine's memory with the default
    // MemoryFree, computed from the platform's own reading.
    static std::vector<std::wstring> ExpectedBatch() {
        MEMORYSTATUSEX m{};
        m.dwLength = sizeof m;
        GlobalMemoryStatusEx(&m);
        const long double total = static_cast<long double>(m.ullTotalPhys);
        const long long totalMegabytes = std::llrint(static_cast<double>(total / 1024 / 1024));
        const long double percent = totalMegabytes >= 1536 ? 60 : 40;
        const long long freeBytes = std::llrint(static_cast<double>(percent / 100 * total));
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
            Sleep(static_cast<DWORD>(needed - now));
        }
    }

    ServiceController service_{L"Nimbora"};
    SettingsScope settings_;
    std::wstring folder_;
    std::wstring exe_;
};

}  // namespace nimbora::e2e
