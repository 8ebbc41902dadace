#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "probes/CPU.h"
#include "probes/RAM.h"
#include "probes/Rounding.h"
#include "probes/VersionClassification.h"
#include "probes/WindowsVersion.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {
namespace {

TEST(Probes, QuerySystemInformationPassesEverythingThrough) {
    SystemBasicInformation basic{};
    std::uint32_t returned = 0;
    ASSERT_EQ(QuerySystemInformation(kSystemBasicInformation, &basic, sizeof basic, &returned), 0u);
    EXPECT_EQ(returned, sizeof basic);
    EXPECT_GE(basic.processorCount, 1);
    EXPECT_EQ(basic.pageSize, 4096u);

    // The kernel insists on the exact length of the basic record.
    std::uint8_t larger[sizeof(SystemBasicInformation) + 8] = {};
    EXPECT_NE(QuerySystemInformation(kSystemBasicInformation, larger, sizeof larger, nullptr), 0u);

    SystemTimeOfDayInformation timeOfDay{};
    ASSERT_EQ(QuerySystemInformation(kSystemTimeOfDayInformation, &timeOfDay, sizeof timeOfDay, nullptr), 0u);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto nowTicks = static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
    // N.B. a generous bound: on a loaded machine the two readings can be seconds apart.
    EXPECT_LT(nowTicks - timeOfDay.currentTime, 30 * 10'000'000LL) << "within 30 s of the system time";
    EXPECT_GE(nowTicks, timeOfDay.currentTime);
    std::printf("time of day %lld ms behind the system time\n",
                static_cast<long long>((nowTicks - timeOfDay.currentTime) / 10'000));

    alignas(8) std::uint8_t performance[kPerformanceInformationBufferSize] = {};
    EXPECT_EQ(QuerySystemInformation(kSystemPerformanceInformation, performance, sizeof performance, nullptr), 0u);
}

DWORD WINAPI Spin(void* param) {
    const ULONGLONG end = *static_cast<const ULONGLONG*>(param);
    volatile std::uint64_t spin = 0;
    while (GetTickCount64() < end) spin = spin + 1;
    return 0;
}

TEST(Probes, FirstProcessorSampleIsZeroAndTheNextMeasuresTheInterval) {
    ProcessorSampler sampler;
    EXPECT_EQ(sampler.GetProcessorUsage(), 0.0);
    ASSERT_NE(sampler.State().LastIdleTime(), 0) << "the first sample is stored";
    const std::int64_t firstTime = sampler.State().LastSystemTime();

    // Every processor busy for the interval: the load is near 100 %, whatever
    // else the machine runs.
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const ULONGLONG end = GetTickCount64() + 500;
    std::vector<UniqueHandleObject> spinners;
    for (DWORD i = 0; i < system.dwNumberOfProcessors; ++i) {
        spinners.emplace_back(CreateThread(nullptr, 0, &Spin, const_cast<ULONGLONG*>(&end), 0, nullptr));
        ASSERT_TRUE(spinners.back());
    }
    for (const UniqueHandleObject& spinner : spinners) WaitForSingleObject(spinner.get(), INFINITE);

    const double load = sampler.GetProcessorUsage();
    std::printf("processor load over %lld ms with %lu processors spinning: %.2f%%\n",
                static_cast<long long>((sampler.State().LastSystemTime() - firstTime) / 10'000),
                system.dwNumberOfProcessors, load);
    EXPECT_GE(load, 50.0);
    EXPECT_LE(load, 100.0);
    EXPECT_GT(sampler.State().LastSystemTime(), firstTime);
}

unsigned short ControlWord() {
    unsigned short word = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(word) : : "memory");
    return word;
}

// A thread that Windows creates starts its x87 unit at a 53-bit mantissa
// (the C runtime sets 64 bits on the main thread only); the shares of memory
// that the settings name must come out the same there.
struct PrecisionRun {
    bool force53;
    unsigned short start = 0;
    unsigned short after = 0;
    std::int64_t percent = -1;
    std::int64_t megabytes = -1;
};

DWORD WINAPI RunAtThreadPrecision(void* param) {
    auto& run = *static_cast<PrecisionRun*>(param);
    if (run.force53) {
        const auto word = static_cast<unsigned short>((ControlWord() & ~0x0300) | 0x0200);
        __asm__ __volatile__("fldcw %0" : : "m"(word) : "memory");
    }
    run.start = ControlWord();
    run.percent = RoundedPercentOf(7, 150);
    run.megabytes = BytesToMegabytes(1610088448);
    run.after = ControlWord();
    return 0;
}

TEST(Probes, RoundingOnAPlatformThreadIgnoresItsPrecision) {
    for (const bool force53 : {false, true}) {
        PrecisionRun run{force53};
        const UniqueHandleObject thread(CreateThread(nullptr, 0, &RunAtThreadPrecision, &run, 0, nullptr));
        ASSERT_TRUE(thread);
        WaitForSingleObject(thread.get(), INFINITE);
        std::printf("x87 control word of a new thread%s: %04x\n", force53 ? " set to 53 bits" : "", run.start);
        EXPECT_EQ(run.percent, 10) << "7 percent of 150";
        EXPECT_EQ(run.megabytes, 1536) << "1535.5 to even";
        EXPECT_EQ(run.after, run.start) << "the thread's precision is put back";
    }
}

TEST(Probes, PhysicalMemoryReadingsAreConsistent) {
    const std::int64_t total = GetTotalPhysicalMemory();
    const std::int64_t available = GetAvailablePhysicalMemory();
    EXPECT_GT(total, 0);
    EXPECT_GT(available, 0);
    EXPECT_GE(total, available);

    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    ASSERT_TRUE(QueryMemoryStatus(status));
    EXPECT_EQ(static_cast<std::int64_t>(status.ullTotalPhys), total);

    MEMORYSTATUSEX unsized{};
    EXPECT_FALSE(QueryMemoryStatus(unsized)) << "dwLength is the caller's to set";
}

// The host's own count, which the test's command names: under Wine the
// machine's /proc/meminfo (NIMBORA_HOST_MEMINFO=Z:\\proc\\meminfo).
TEST(Probes, TotalPhysicalMemoryIsTheHostsOwn) {
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(GetEnvironmentVariableW(L"NIMBORA_HOST_MEMINFO", path, MAX_PATH), 0u)
        << "NIMBORA_HOST_MEMINFO names no file";
    const UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    char text[8192] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file.get(), text, sizeof text - 1, &read, nullptr));
    const char* line = std::strstr(text, "MemTotal:");
    ASSERT_NE(line, nullptr);
    const std::int64_t host = std::strtoll(line + 9, nullptr, 10) * 1024;
    const std::int64_t total = GetTotalPhysicalMemory();
    std::printf("total physical memory %lld bytes, the host's MemTotal %lld bytes\n", static_cast<long long>(total),
                static_cast<long long>(host));
    EXPECT_GT(host, 0);
    EXPECT_LE(std::llabs(total - host), host / 100) << "more than 1 % from the host's count";
}

TEST(Probes, RunningReleaseIsRecognised) {
    const std::int32_t code = GetWindowsVersion();
    EXPECT_GE(code, wvWindows2000);
    EXPECT_LE(code, wvWindows11);
}

// Scripted answers for the version query: which record sizes succeed, and the
// numbers each success reports.
struct VersionScript {
    bool extendedSucceeds = false;
    bool basicSucceeds = false;
    DWORD major = 0, minor = 0, build = 0;
    BYTE productType = 0;
    std::vector<DWORD> sizesSeen;
    bool basicRecordCleared = true;
};

VersionScript* script = nullptr;  // the one the running test set up

BOOL WINAPI ScriptedVersionQuery(OSVERSIONINFOW* info) {
    script->sizesSeen.push_back(info->dwOSVersionInfoSize);
    const bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW);
    if (!extended) {
        const auto* bytes = reinterpret_cast<const BYTE*>(info);
        for (std::size_t i = sizeof(DWORD); i < sizeof(OSVERSIONINFOW); ++i)
            if (bytes[i] != 0) script->basicRecordCleared = false;
    }
    // A failing query leaves its marks behind in the record.
    info->dwMajorVersion = 0xEE;
    info->dwBuildNumber = 0xEEEE;
    if (!(extended ? script->extendedSucceeds : script->basicSucceeds)) return FALSE;
    info->dwMajorVersion = script->major;
    info->dwMinorVersion = script->minor;
    info->dwBuildNumber = script->build;
    if (extended) reinterpret_cast<OSVERSIONINFOEXW*>(info)->wProductType = script->productType;
    return TRUE;
}

TEST(Probes, VersionQueryFallsBackToTheBasicRecord) {
    const struct {
        const char* what;
        bool extendedSucceeds, basicSucceeds;
        DWORD major, minor, build;
        BYTE productType;
        std::int32_t expected;
        std::vector<DWORD> sizes;
    } cases[] = {
        {"extended record", true, true, 6, 1, 7601, 3, wvWindowsServer2008, {284}},
        {"basic record, 10.0 by build", false, true, 10, 0, 22000, 1, wvWindows11, {284, 276}},
        {"basic record, 5.1", false, true, 5, 1, 2600, 1, wvWindowsXP, {284, 276}},
        {"basic record has no product type", false, true, 6, 1, 7601, 1, wvUnknown, {284, 276}},
        {"both fail", false, false, 10, 0, 19045, 1, wvUnknown, {284, 276}},
    };
    for (const auto& c : cases) {
        VersionScript s{c.extendedSucceeds, c.basicSucceeds, c.major, c.minor, c.build, c.productType, {}, true};
        script = &s;
        EXPECT_EQ(GetWindowsVersion(&ScriptedVersionQuery), c.expected) << c.what;
        EXPECT_EQ(s.sizesSeen, c.sizes) << c.what;
        EXPECT_TRUE(s.basicRecordCleared) << c.what;
    }
    script = nullptr;
}

}  // namespace
}  // namespace nimbora
