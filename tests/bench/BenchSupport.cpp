#include "tests/bench/BenchSupport.h"

#include <algorithm>
#include <cstdint>

#include "probes/ProcessorLoad.h"
#include "settings/SettingsKeys.h"
#include "svchost/UniqueHandle.h"

namespace nimbora::bench {

namespace {

using GlobalMemoryStatusExProc = BOOL(WINAPI*)(MEMORYSTATUSEX* status);
using NtQuerySystemInformationProc = std::int32_t(WINAPI*)(std::uint32_t infoClass, void* buffer,
                                                             std::uint32_t length, std::uint32_t* returnLength);

// The settings, in the order the tick reads them.
constexpr const wchar_t* kSettingNames[] = {kMemoryMaintain, kMemoryFree,     kProcessorLimit, kProcessorTrigger,
                                            kBatteryCheck,   kFullScreen,     kFullScreenCheck, kExecutePeriod,
                                            kLoadNimbora,    kDefragMemory};

// The settings key below HKEY_LOCAL_MACHINE, as the settings store opens it.
constexpr const wchar_t* kSettingsSubKey = SettingsKey + 1;

void ReadSetting(const wchar_t* name) {
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsSubKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    std::uint8_t data[4];
    DWORD type = REG_NONE;
    DWORD size = sizeof data;
    RegQueryValueExW(key.get(), name, nullptr, &type, data, &size);
}

void ReadMemory() {
    const UniqueModule kernel32(LoadLibraryW(L"Kernel32.dll"));
    if (!kernel32) return;
    const FARPROC proc = GetProcAddress(kernel32.get(), "GlobalMemoryStatusEx");
    if (!proc) return;
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    reinterpret_cast<GlobalMemoryStatusExProc>(reinterpret_cast<void (*)()>(proc))(&status);
}

void QuerySystem(std::uint32_t infoClass, void* buffer, std::uint32_t length) {
    const UniqueModule ntdll(LoadLibraryW(L"ntdll.dll"));
    if (!ntdll) return;
    const FARPROC proc = GetProcAddress(ntdll.get(), "NtQuerySystemInformation");
    if (!proc) return;
    reinterpret_cast<NtQuerySystemInformationProc>(reinterpret_cast<void (*)()>(proc))(infoClass, buffer, length,
                                                                                      nullptr);
}

void SampleProcessor() {
    SystemBasicInformation basic{};
    QuerySystem(kSystemBasicInformation, &basic, sizeof basic);
    SystemTimeOfDayInformation timeOfDay{};
    QuerySystem(kSystemTimeOfDayInformation, &timeOfDay, sizeof timeOfDay);
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    alignas(8) std::uint8_t performance[kPerformanceInformationBufferSize] = {};
    QuerySystem(kSystemPerformanceInformation, performance, sizeof performance);
}

double FileTimeSeconds(const FILETIME& time) {
    const std::uint64_t units = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(units) / 1e7;
}

}  // namespace

double WallSeconds() noexcept {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double ProcessCpuSeconds(HANDLE process) noexcept {
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) return -1;
    return FileTimeSeconds(kernel) + FileTimeSeconds(user);
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1) return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

void BareTickCalls() noexcept {
    ReadMemory();  // the total, to choose the defaults
    for (const wchar_t* name : kSettingNames) ReadSetting(name);
    ReadMemory();  // the total again
    ReadMemory();  // the available memory
    GetTickCount64();
    SampleProcessor();
}

}  // namespace nimbora::bench
