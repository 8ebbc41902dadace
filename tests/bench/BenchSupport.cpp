#include "tests/bench/BenchSupport.h"

#include <winternl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "probes/CPU.h"
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

constexpr std::uint32_t kProcessListClass = 5;  // SystemProcessInformation
constexpr std::uint32_t kLengthMismatch = 0xC0000004;

double FileTimeSeconds(const LARGE_INTEGER& time) { return static_cast<double>(time.QuadPart) / 1e7; }

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

using GetLogicalProcessorInformationExProc = BOOL(WINAPI*)(LOGICAL_PROCESSOR_RELATIONSHIP relationship,
                                                           SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX* buffer,
                                                           DWORD* length);

void CountProcessors() {
    const UniqueModule kernel32(LoadLibraryW(L"kernel32.dll"));
    if (!kernel32) return;
    const FARPROC proc = GetProcAddress(kernel32.get(), "GetLogicalProcessorInformationEx");
    if (!proc) return;
    alignas(8) std::uint8_t records[2048];
    DWORD length = sizeof records;
    reinterpret_cast<GetLogicalProcessorInformationExProc>(reinterpret_cast<void (*)()>(proc))(
        RelationGroup, reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(records), &length);
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
    CountProcessors();
}

struct FindTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { FindClose(h); }
};
using UniqueFind = UniqueHandle<FindTraits>;

constexpr wchar_t kProc[] = L"Z:\\proc\\";

// A /proc file whole ("" when it cannot be read); their sizes read as 0, so
// the file is read to its end.
std::string ReadProcFile(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
    return text;
}

// The first field of a schedstat file: nanoseconds on a processor.
std::optional<double> ScheduledSeconds(const std::wstring& path) {
    const std::string text = ReadProcFile(path);
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const unsigned long long nanoseconds = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str()) return std::nullopt;
    return static_cast<double>(nanoseconds) / 1e9;
}

// The names in a /proc folder that are numbers: process or thread ids.
std::vector<unsigned> NumericEntries(const std::wstring& folder) {
    std::vector<unsigned> ids;
    WIN32_FIND_DATAW entry;
    const UniqueFind find(FindFirstFileW((folder + L"*").c_str(), &entry));
    if (!find) return ids;
    do {
        wchar_t* end = nullptr;
        const unsigned long id = std::wcstoul(entry.cFileName, &end, 10);
        if (end != entry.cFileName && *end == 0) ids.push_back(static_cast<unsigned>(id));
    } while (FindNextFileW(find.get(), &entry));
    return ids;
}

std::string Narrow(std::wstring_view text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

bool SameText(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// True when the NUL-separated `list` holds `entry` exactly.
bool ListHolds(const std::string& list, std::string_view entry) {
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = std::min(list.find('\0', at), list.size());
        if (std::string_view(list).substr(at, end - at) == entry) return true;
        at = end + 1;
    }
    return false;
}

double FileTimeSeconds(const FILETIME& time) {
    const std::uint64_t units = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(units) / 1e7;
}

// The file name at the end of a Windows or Unix path.
std::string_view FileName(std::string_view path) {
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::wstring TaskFolder(unsigned unixPid) { return kProc + std::to_wstring(unixPid) + L"\\task\\"; }

// The Unix process that runs `process`: the one whose command line starts
// with a program of the same file name and whose environment names this
// process's Wine prefix; empty unless exactly one does. The file name alone:
// a program started from Linux keeps the path it was started by there.
// N.B. /proc/self cannot stand for this process: Wine's server opens the
// files its clients ask for, so "self" is the server.
std::optional<unsigned> LinuxProcessId(HANDLE process) {
    wchar_t image[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    if (!QueryFullProcessImageNameW(process, 0, image, &size)) return std::nullopt;
    wchar_t prefix[MAX_PATH * 2];
    const DWORD prefixLength = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH * 2);
    if (prefixLength == 0 || prefixLength >= MAX_PATH * 2) return std::nullopt;
    const std::string imagePath = Narrow({image, size});
    const std::string prefixEntry = "WINEPREFIX=" + Narrow({prefix, prefixLength});

    std::optional<unsigned> found;
    for (unsigned pid : NumericEntries(kProc)) {
        const std::wstring folder = kProc + std::to_wstring(pid) + L"\\";
        const std::string commandLine = ReadProcFile(folder + L"cmdline");
        if (!SameText(FileName(commandLine.c_str()), FileName(imagePath))) continue;
        if (!ListHolds(ReadProcFile(folder + L"environ"), prefixEntry)) continue;
        if (found) return std::nullopt;  // two candidates: neither is trusted
        found = pid;
    }
    return found;
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

ProcessClock::ProcessClock(HANDLE process) : process_(process), unixPid_(LinuxProcessId(process)) {}

std::optional<double> ProcessClock::LinuxSeconds() const {
    if (!unixPid_) return std::nullopt;
    const std::wstring tasks = TaskFolder(*unixPid_);
    const std::vector<unsigned> threads = NumericEntries(tasks);
    if (threads.empty()) return std::nullopt;
    double seconds = 0;
    for (unsigned thread : threads)
        seconds += ScheduledSeconds(tasks + std::to_wstring(thread) + L"\\schedstat").value_or(0);
    return seconds;
}

std::vector<ProcessClock::Thread> ProcessClock::LinuxThreads() const {
    std::vector<Thread> threads;
    if (!unixPid_) return threads;
    const std::wstring tasks = TaskFolder(*unixPid_);
    for (unsigned id : NumericEntries(tasks)) {
        const std::wstring folder = tasks + std::to_wstring(id) + L"\\";
        std::string name = ReadProcFile(folder + L"comm");
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        threads.push_back(Thread{id, name, ScheduledSeconds(folder + L"schedstat").value_or(0)});
    }
    return threads;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1) return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

void BareTickCalls() noexcept {
    GetTickCount64();
    SampleProcessor();
    ReadMemory();  // the total, to choose the defaults
    for (const wchar_t* name : kSettingNames) ReadSetting(name);
    ReadMemory();  // the available memory
}

std::vector<ULONG_PTR> QueryWhole(std::uint32_t infoClass) {
    std::vector<ULONG_PTR> buffer(1 << 15);
    for (;;) {
        const auto bytes = static_cast<std::uint32_t>(buffer.size() * sizeof(ULONG_PTR));
        std::uint32_t needed = 0;
        const std::uint32_t status = QuerySystemInformation(infoClass, buffer.data(), bytes, &needed);
        if (status == 0) return buffer;
        if (status != kLengthMismatch || buffer.size() > (std::size_t{1} << 24)) return {};
        buffer.resize(buffer.size() * 2);
    }
}


std::optional<double> ListedCpuSeconds(DWORD pid) {
    const std::vector<ULONG_PTR> list = QueryWhole(kProcessListClass);
    if (list.empty()) return std::nullopt;
    const auto* at = reinterpret_cast<const std::uint8_t*>(list.data());
    for (;;) {
        const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(at);
        if (reinterpret_cast<ULONG_PTR>(process->UniqueProcessId) == pid) {
            // N.B. mingw-w64 names the kernel and user times of the record
            // but not of the threads after it; only the record's are used.
            return FileTimeSeconds(process->KernelTime) + FileTimeSeconds(process->UserTime);
        }
        if (process->NextEntryOffset == 0) return std::nullopt;
        at += process->NextEntryOffset;
    }
}

}  // namespace nimbora::bench
