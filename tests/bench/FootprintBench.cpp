// Nimbora's running cost beside a service that does nothing: the real
// NimboraService.exe, installed with its own switch and started, and
// BaselineService.exe, both watched from this process for 30 seconds. The
// settings make every tick read all its settings and sample the processor,
// then stop at the full-screen gate, so nothing is launched. The same run
// measures the bare platform calls of one tick, the least a tick can cost:
// in a tight loop before the services start, and once a second during the
// window, as the service's own ticks come. Under Wine a server round trip
// costs its caller a different amount in a loop than once in a while, so the
// service is set against the second.
//
// Under Wine some of the usual queries about another process do not answer;
// each figure's source is chosen by what this platform does answer, and
// printed.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "probes/CPU.h"
#include "tests/bench/BenchSupport.h"
#include "tests/e2e/E2eSupport.h"

namespace nimbora::bench {
namespace {

constexpr wchar_t kBaselineName[] = L"NimboraBenchBaseline";
constexpr wchar_t kStageFolder[] = L"C:\\Nimbora Bench";
constexpr double kWindowSeconds = 30;
constexpr DWORD kWarmUpMs = 3000;
constexpr int kBareRounds = 100;
constexpr int kBareIterations = 10;

constexpr std::uint32_t kSystemExtendedHandleInformation = 64;

struct HandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTableHeader {
    ULONG_PTR count;
    ULONG_PTR reserved;
};

// The handles of process `pid` in the system's handle table.
std::optional<long long> ListedHandles(DWORD pid) {
    const std::vector<ULONG_PTR> table = QueryWhole(kSystemExtendedHandleInformation);
    if (table.empty()) return std::nullopt;
    const auto* header = reinterpret_cast<const HandleTableHeader*>(table.data());
    const auto* entries = reinterpret_cast<const HandleEntry*>(header + 1);
    const std::size_t room = (table.size() * sizeof(ULONG_PTR) - sizeof(HandleTableHeader)) / sizeof(HandleEntry);
    long long count = 0;
    for (std::size_t i = 0; i < header->count && i < room; ++i)
        if (entries[i].processId == pid) ++count;
    return count;
}

// The threads of process `pid`; -1 when the snapshot fails.
long long ThreadCount(DWORD pid) {
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    long long count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == pid) ++count;
    return count;
}

enum class CpuSource { ProcessTimes, LinuxClock, ProcessList, None };
enum class PrivateSource { PrivateUsage, PagefileUsage, None };
enum class HandleSource { HandleCount, HandleTable, None };

struct Figures {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double listedCpuSeconds = 0;  // from the process list whatever the source, to compare
    std::uint64_t privateBytes = 0;
    std::uint64_t workingSet = 0;
    long long handles = -1;
    long long threads = -1;
};

// A running service process, seen through a limited query handle.
class WatchedProcess {
public:
    explicit WatchedProcess(DWORD pid)
        : pid_(pid),
          process_(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)),
          clock_(process_.get()) {}

    bool IsOpen() const { return static_cast<bool>(process_); }
    const ProcessClock& Clock() const { return clock_; }

    // Under Wine, GetProcessTimes on another process answers with the
    // caller's own times: it is trusted only when its answer differs.
    CpuSource ChooseCpuSource() const {
        FILETIME c, e, kernel, user, selfKernel, selfUser;
        if (GetProcessTimes(process_.get(), &c, &e, &kernel, &user) &&
            GetProcessTimes(GetCurrentProcess(), &c, &e, &selfKernel, &selfUser) &&
            (CompareFileTime(&kernel, &selfKernel) != 0 || CompareFileTime(&user, &selfUser) != 0))
            return CpuSource::ProcessTimes;
        if (clock_.LinuxSeconds()) return CpuSource::LinuxClock;
        return ListedCpuSeconds(pid_) ? CpuSource::ProcessList : CpuSource::None;
    }

    // Wine fills the commit charge (its resident anonymous memory) but leaves
    // PrivateUsage 0.
    PrivateSource ChoosePrivateSource() const {
        const PROCESS_MEMORY_COUNTERS_EX counters = Counters();
        if (counters.PrivateUsage != 0) return PrivateSource::PrivateUsage;
        if (counters.PagefileUsage != 0) return PrivateSource::PagefileUsage;
        return PrivateSource::None;
    }

    // Wine's GetProcessHandleCount answers 0 for every process.
    HandleSource ChooseHandleSource() const {
        DWORD count = 0;
        if (GetProcessHandleCount(process_.get(), &count) && count != 0) return HandleSource::HandleCount;
        const std::optional<long long> listed = ListedHandles(pid_);
        return listed && *listed > 0 ? HandleSource::HandleTable : HandleSource::None;
    }

    Figures Read(CpuSource cpu, PrivateSource privateBytes, HandleSource handles) const {
        Figures f;
        f.wallSeconds = WallSeconds();
        if (cpu == CpuSource::ProcessTimes) f.cpuSeconds = clock_.PlatformSeconds();
        if (cpu == CpuSource::LinuxClock) f.cpuSeconds = clock_.LinuxSeconds().value_or(-1);
        f.listedCpuSeconds = ListedCpuSeconds(pid_).value_or(-1);
        if (cpu == CpuSource::ProcessList) f.cpuSeconds = f.listedCpuSeconds;
        const PROCESS_MEMORY_COUNTERS_EX counters = Counters();
        if (privateBytes == PrivateSource::PrivateUsage) f.privateBytes = counters.PrivateUsage;
        if (privateBytes == PrivateSource::PagefileUsage) f.privateBytes = counters.PagefileUsage;
        f.workingSet = counters.WorkingSetSize;
        if (handles == HandleSource::HandleCount) {
            DWORD count = 0;
            if (GetProcessHandleCount(process_.get(), &count)) f.handles = count;
        }
        if (handles == HandleSource::HandleTable) f.handles = ListedHandles(pid_).value_or(-1);
        f.threads = ThreadCount(pid_);
        return f;
    }

private:
    PROCESS_MEMORY_COUNTERS_EX Counters() const {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof counters;
        if (!GetProcessMemoryInfo(process_.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                  sizeof counters))
            return PROCESS_MEMORY_COUNTERS_EX{};
        return counters;
    }

    DWORD pid_;
    UniqueHandleObject process_;
    ProcessClock clock_;
};

// Both services and the staged product, gone again whatever happens.
struct Installed {
    e2e::ServiceController nimbora{L"Nimbora"};
    e2e::ServiceController baseline{kBaselineName};
    std::wstring folder;

    Installed() { Remove(); }
    ~Installed() { Remove(); }
    void Remove() {
        nimbora.Delete();
        baseline.Delete();
        if (folder.empty()) return;
        DeleteFileW((folder + L"NimboraService.exe").c_str());
        RemoveDirectoryW(folder.c_str());
    }
};

double Kib(std::uint64_t bytes) { return static_cast<double>(bytes) / 1024; }
double Kib(std::int64_t bytes) { return static_cast<double>(bytes) / 1024; }

const char* Describe(CpuSource s) {
    switch (s) {
    case CpuSource::ProcessTimes: return "GetProcessTimes";
    case CpuSource::LinuxClock:
        return "Linux clock through Z:\\proc (GetProcessTimes on another process gives this process's own "
               "times here, the process list counts in 10 ms steps)";
    case CpuSource::ProcessList:
        return "SystemProcessInformation (GetProcessTimes on another process gives this process's own times here)";
    case CpuSource::None: break;
    }
    return "not measurable";
}

const char* Describe(PrivateSource s) {
    switch (s) {
    case PrivateSource::PrivateUsage: return "PrivateUsage";
    case PrivateSource::PagefileUsage:
        return "PagefileUsage (PrivateUsage is 0 here; Wine counts the resident anonymous memory)";
    case PrivateSource::None: break;
    }
    return "not measurable";
}

const char* Describe(HandleSource s) {
    switch (s) {
    case HandleSource::HandleCount: return "GetProcessHandleCount";
    case HandleSource::HandleTable:
        return "SystemExtendedHandleInformation (GetProcessHandleCount gives 0 here)";
    case HandleSource::None: break;
    }
    return "not measurable under Wine";
}

double CpuPerSecond(const Figures& start, const Figures& end) {
    return (end.cpuSeconds - start.cpuSeconds) / (end.wallSeconds - start.wallSeconds);
}

void PrintProcess(const char* label, const Figures& start, const Figures& end, CpuSource cpu,
                  HandleSource handles) {
    std::printf("footprint_bench: %s cpu per second: %.6f s/s\n", label, CpuPerSecond(start, end));
    std::printf("footprint_bench: %s cpu over the window: %.4f s\n", label, end.cpuSeconds - start.cpuSeconds);
    if (cpu != CpuSource::ProcessList)
        std::printf("footprint_bench: %s cpu over the window (process list, 10 ms steps): %.3f s\n", label,
                    end.listedCpuSeconds - start.listedCpuSeconds);
    std::printf("footprint_bench: %s private bytes start: %.0f KiB\n", label, Kib(start.privateBytes));
    std::printf("footprint_bench: %s private bytes end: %.0f KiB\n", label, Kib(end.privateBytes));
    std::printf("footprint_bench: %s working set start: %.0f KiB\n", label, Kib(start.workingSet));
    std::printf("footprint_bench: %s working set end: %.0f KiB\n", label, Kib(end.workingSet));
    std::printf("footprint_bench: %s threads start: %lld\n", label, start.threads);
    std::printf("footprint_bench: %s threads end: %lld\n", label, end.threads);
    if (handles == HandleSource::None) {
        std::printf("footprint_bench: %s handles: not measurable under Wine\n", label);
    } else {
        std::printf("footprint_bench: %s handles start: %lld\n", label, start.handles);
        std::printf("footprint_bench: %s handles end: %lld\n", label, end.handles);
    }
}

void PrintProductSize() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(NIMBORA_PRODUCT_EXE, GetFileExInfoStandard, &data)) {
        std::printf("footprint_bench: product NimboraService.exe (i686): not built\n");
        return;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::printf("footprint_bench: product NimboraService.exe (i686): %llu bytes (%.1f KiB)\n",
                static_cast<unsigned long long>(size), Kib(size));
}

bool StartAndWait(e2e::ServiceController& service, const char* label) {
    if (service.Start() && service.WaitForState(SERVICE_RUNNING, std::chrono::seconds(20))) return true;
    std::printf("footprint_bench: %s did not reach running (state %lu); no figures\n", label, service.State());
    return false;
}

int Run() {
    e2e::SettingsScope settings;
    settings.SetDword(L"MemoryMaintain", 100);
    settings.SetDword(L"FullScreen", 1);
    settings.SetDword(L"FullScreenCheck", 1);
    settings.SetDword(L"ProcessorLimit", 1);

    const ProcessClock clock(GetCurrentProcess());
    Series bare(clock);
    for (int i = 0; i < 10; ++i) BareTickCalls();
    for (int round = 0; round < kBareRounds; ++round) bare.RunBlock(kBareIterations, [] { BareTickCalls(); });

    Installed installed;
    installed.folder = e2e::StageFolder(kStageFolder, {e2e::BuildOutput(L"NimboraService.exe")});
    const e2e::DialogRun install =
        e2e::RunWithDialogs(L"\"" + installed.folder + L"NimboraService.exe\" /install /silent");
    for (const e2e::Dialog& d : install.dialogs)
        std::printf("footprint_bench: installation said: %ls\n", d.text.c_str());
    if (install.exitCode != 0 || !installed.nimbora.Exists()) {
        std::printf("footprint_bench: Nimbora was not installed (exit code %lu); no figures\n", install.exitCode);
        return 1;
    }
    installed.baseline.Create(L"\"" + e2e::BuildOutput(L"BaselineService.exe") + L"\"");
    if (!StartAndWait(installed.nimbora, "nimbora") || !StartAndWait(installed.baseline, "baseline")) return 1;

    const WatchedProcess nimbora(installed.nimbora.Query().dwProcessId);
    const WatchedProcess baseline(installed.baseline.Query().dwProcessId);
    if (!nimbora.IsOpen() || !baseline.IsOpen()) {
        std::printf("footprint_bench: a service process could not be opened; no figures\n");
        return 1;
    }
    Sleep(kWarmUpMs);

    const CpuSource cpu = nimbora.ChooseCpuSource();
    const PrivateSource privateBytes = nimbora.ChoosePrivateSource();
    const HandleSource handles = nimbora.ChooseHandleSource();

    const Figures nimboraStart = nimbora.Read(cpu, privateBytes, handles);
    const Figures baselineStart = baseline.Read(cpu, privateBytes, handles);
    const std::vector<ProcessClock::Thread> threadsStart = nimbora.Clock().LinuxThreads();
    // N.B. no clock is read inside the window: what this process spends in
    // it is the bare calls once a second and the sleeps between them, the
    // least a service that ticks can do.
    const std::optional<double> benchLinuxStart = clock.LinuxSeconds();
    const double benchPlatformStart = clock.PlatformSeconds();
    std::vector<double> pacedWall;
    while (WallSeconds() - nimboraStart.wallSeconds < kWindowSeconds) {
        const double before = WallSeconds();
        BareTickCalls();
        pacedWall.push_back(WallSeconds() - before);
        Sleep(1000);
    }
    const double benchPlatformEnd = clock.PlatformSeconds();
    const std::optional<double> benchLinuxEnd = clock.LinuxSeconds();
    const std::vector<ProcessClock::Thread> threadsEnd = nimbora.Clock().LinuxThreads();
    const Figures nimboraEnd = nimbora.Read(cpu, privateBytes, handles);
    const Figures baselineEnd = baseline.Read(cpu, privateBytes, handles);
    const bool stillRunning = installed.nimbora.State() == SERVICE_RUNNING &&
                              installed.baseline.State() == SERVICE_RUNNING;

    const double window = nimboraEnd.wallSeconds - nimboraStart.wallSeconds;
    std::printf("footprint_bench: window: %.1f s after %lu ms of warm-up\n", window, kWarmUpMs);
    std::printf("footprint_bench: both services running at the end: %s\n", stillRunning ? "yes" : "NO");
    std::printf("footprint_bench: cpu source: %s\n", Describe(cpu));
    std::printf("footprint_bench: private bytes source: %s\n", Describe(privateBytes));
    std::printf("footprint_bench: handle source: %s\n", Describe(handles));
    PrintProcess("nimbora", nimboraStart, nimboraEnd, cpu, handles);
    PrintProcess("baseline", baselineStart, baselineEnd, cpu, handles);

    for (const ProcessClock::Thread& end : threadsEnd) {
        for (const ProcessClock::Thread& start : threadsStart) {
            if (start.id != end.id) continue;
            std::printf("footprint_bench: nimbora thread %u (%s) cpu per second: %.6f s/s\n", end.id,
                        end.name.c_str(), (end.seconds - start.seconds) / window);
        }
    }

    // The bare cost per tick in processor time, from the finest clock there is.
    const char* bareClock = clock.HasLinuxClock() ? "Linux clock" : "GetProcessTimes";
    const double bareLoopCpu = bare.LinuxCpuMicroseconds().value_or(bare.PlatformCpuMicroseconds());
    const auto pacedCount = static_cast<double>(pacedWall.size());
    const double pacedCpu =
        (benchLinuxStart && benchLinuxEnd ? *benchLinuxEnd - *benchLinuxStart : benchPlatformEnd - benchPlatformStart) /
        pacedCount * 1e6;
    std::printf("footprint_bench: bare per tick, loop of %d x %d, wall (median): %.1f us\n", kBareRounds,
                kBareIterations, bare.MedianWallMicroseconds());
    std::printf("footprint_bench: bare per tick, loop, cpu (GetProcessTimes): %.1f us\n",
                bare.PlatformCpuMicroseconds());
    std::printf("footprint_bench: bare per tick, loop, cpu (%s): %.1f us\n", bareClock, bareLoopCpu);
    std::printf("footprint_bench: bare once a second in the window (%zu calls), wall (median): %.1f us\n",
                pacedWall.size(), Median(pacedWall) * 1e6);
    std::printf("footprint_bench: bare once a second, cpu per tick with its sleep (%s): %.1f us\n", bareClock,
                pacedCpu);

    const double nimboraCpuPerSecond = CpuPerSecond(nimboraStart, nimboraEnd);
    const double baselineCpuPerSecond = CpuPerSecond(baselineStart, baselineEnd);
    const double bareCpuPerSecond = pacedCpu / 1e6 * pacedCount / window;
    std::printf("footprint_bench: bare cpu per second at 1 tick/s: %.6f s/s\n", bareCpuPerSecond);
    std::printf("footprint_bench: nimbora cpu per second over bare at 1 tick/s: %.3f (target <= 1.2)\n",
                nimboraCpuPerSecond / bareCpuPerSecond);
    std::printf("footprint_bench: nimbora cpu per second over bare cpu per tick in the loop: %.3f\n",
                nimboraCpuPerSecond / (bareLoopCpu / 1e6));
    std::printf("footprint_bench: nimbora cpu per second above baseline: %.6f s/s\n",
                nimboraCpuPerSecond - baselineCpuPerSecond);
    const auto privateOverBaseline =
        static_cast<std::int64_t>(nimboraEnd.privateBytes) - static_cast<std::int64_t>(baselineEnd.privateBytes);
    std::printf("footprint_bench: nimbora private bytes over baseline (end): %.0f KiB (target <= 512 KiB)\n",
                Kib(privateOverBaseline));
    std::printf("footprint_bench: nimbora private bytes change, start to end: %.0f KiB\n",
                Kib(static_cast<std::int64_t>(nimboraEnd.privateBytes) -
                    static_cast<std::int64_t>(nimboraStart.privateBytes)));
    if (handles != HandleSource::None)
        std::printf("footprint_bench: nimbora handle change, start to end: %lld\n",
                    nimboraEnd.handles - nimboraStart.handles);
    PrintProductSize();
    return 0;
}

}  // namespace
}  // namespace nimbora::bench

int wmain() {
    const int result = nimbora::bench::Run();
    std::fflush(stdout);
    return result;
}
