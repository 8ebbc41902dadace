// NimboraTray.exe's running cost beside a service that does nothing: the
// real program, started as at log-on (icon only, window hidden), and
// BaselineService.exe, both watched from this process for 20 seconds.
// The targets on Windows: at most 0.1 % of one core and 4 MB of private
// bytes for the desktop program. Under Wine, GetProcessTimes on another
// process answers with the caller's own times: processor time comes from the
// Linux clock of each process's threads where this process finds it (the
// 64-bit build), else from the system's process list (10 ms steps); private
// bytes come from the commit charge (PrivateUsage is 0 there).

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <optional>
#include <string>

#include "tests/bench/BenchSupport.h"
#include "tests/e2e/E2eSupport.h"
#include "tray/TrayPlatform.h"

namespace nimbora::bench {
namespace {

constexpr wchar_t kBaselineName[] = L"NimboraTrayBenchBaseline";
constexpr wchar_t kStageFolder[] = L"C:\\Nimbora Tray Bench";
constexpr double kWindowSeconds = 20;
constexpr DWORD kWarmUpMs = 2000;

std::uint64_t PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return 0;
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

enum class CpuSource { csLinuxClock, csProcessTimes, csProcessList };

// Under Wine GetProcessTimes on another process answers with the caller's
// own times, so the system's process list comes before it (on Windows both
// answer for the process asked about).
CpuSource ChooseCpuSource(const ProcessClock& clock, DWORD pid) {
    if (clock.HasLinuxClock()) return CpuSource::csLinuxClock;
    return ListedCpuSeconds(pid) ? CpuSource::csProcessList : CpuSource::csProcessTimes;
}

const char* Describe(CpuSource source) {
    switch (source) {
        case CpuSource::csLinuxClock: return "Linux clock through Z:\\proc";
        case CpuSource::csProcessTimes: return "GetProcessTimes";
        case CpuSource::csProcessList: return "SystemProcessInformation, 10 ms steps";
    }
    return "";
}

struct Watched {
    const char* label;
    HANDLE process;
    DWORD pid;
    ProcessClock clock;
    CpuSource source;
    double cpuStart = 0;
    std::uint64_t privateStart = 0;

    Watched(const char* name, HANDLE handle)
        : label(name),
          process(handle),
          pid(GetProcessId(handle)),
          clock(handle),
          source(ChooseCpuSource(clock, pid)) {}
    double CpuSeconds() const {
        switch (source) {
            case CpuSource::csLinuxClock: return clock.LinuxSeconds().value_or(-1);
            case CpuSource::csProcessTimes: return clock.PlatformSeconds();
            case CpuSource::csProcessList: return ListedCpuSeconds(pid).value_or(-1);
        }
        return -1;
    }
    void Start() {
        cpuStart = CpuSeconds();
        privateStart = PrivateBytes(process);
    }
    void Print(double window) const {
        const double perSecond = (CpuSeconds() - cpuStart) / window;
        std::printf("tray_bench: %s cpu per second: %.6f s/s (%.3f %% of one core; %s)\n", label, perSecond,
                    perSecond * 100, Describe(source));
        std::printf("tray_bench: %s private bytes start: %.0f KiB\n", label,
                    static_cast<double>(privateStart) / 1024);
        std::printf("tray_bench: %s private bytes end: %.0f KiB\n", label,
                    static_cast<double>(PrivateBytes(process)) / 1024);
    }
};

int Run() {
    const std::wstring folder = e2e::StageFolder(kStageFolder, {e2e::BuildOutput(L"NimboraTray.exe")});
    std::wstring commandLine = L"\"" + folder + L"NimboraTray.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        std::printf("tray_bench: NimboraTray.exe did not start (error %lu); no figures\n", GetLastError());
        return 1;
    }
    const UniqueHandleObject tray(info.hProcess);
    const UniqueHandleObject trayThread(info.hThread);
    const UINT query = RegisterWindowMessageW(kTrayQueryMessage);
    const bool iconShown = e2e::WaitUntil(
        [&] {
            const HWND window = FindWindowW(kTrayWindowClass, nullptr);
            DWORD_PTR state = 0;
            return window != nullptr &&
                   SendMessageTimeoutW(window, query, 0, 0, SMTO_ABORTIFHUNG, 1000, &state) != 0 &&
                   (state & 0x200) != 0;
        },
        std::chrono::seconds(30));
    std::printf("tray_bench: icon in the notification area: %s\n", iconShown ? "yes" : "NO");

    e2e::ServiceController baselineService(kBaselineName);
    baselineService.Delete();
    baselineService.Create(L"\"" + e2e::BuildOutput(L"BaselineService.exe") + L"\"");
    if (!baselineService.Start() || !baselineService.WaitForState(SERVICE_RUNNING, std::chrono::seconds(30))) {
        std::printf("tray_bench: the baseline service did not start; no figures\n");
        baselineService.Delete();
        return 1;
    }
    const UniqueHandleObject baselineProcess(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, baselineService.Query().dwProcessId));

    Watched watchedTray("tray", tray.get());
    Watched watchedBaseline("baseline", baselineProcess.get());
    Sleep(kWarmUpMs);
    watchedTray.Start();
    watchedBaseline.Start();
    const std::vector<ProcessClock::Thread> threadsStart = watchedTray.clock.LinuxThreads();
    const double start = WallSeconds();
    Sleep(static_cast<DWORD>(kWindowSeconds * 1000));
    const double window = WallSeconds() - start;
    const std::vector<ProcessClock::Thread> threadsEnd = watchedTray.clock.LinuxThreads();

    std::printf("tray_bench: window: %.1f s after %lu ms of warm-up, window hidden, icon only\n", window, kWarmUpMs);
    std::printf("tray_bench: private bytes source: PrivateUsage, or the commit charge where it is 0 (Wine)\n");
    watchedTray.Print(window);
    watchedBaseline.Print(window);
    // Where the program's time goes, thread by thread, where Linux tells it.
    for (const ProcessClock::Thread& end : threadsEnd) {
        double begin = 0;
        for (const ProcessClock::Thread& t : threadsStart)
            if (t.id == end.id) begin = t.seconds;
        std::printf("tray_bench: tray thread %u (%s): %.6f s/s\n", end.id, end.name.c_str(),
                    (end.seconds - begin) / window);
    }
    std::printf("tray_bench: tray private bytes over the empty service: %.0f KiB\n",
                (static_cast<double>(PrivateBytes(tray.get())) - static_cast<double>(PrivateBytes(baselineProcess.get()))) /
                    1024);
    std::printf("tray_bench: Windows target for NimboraTray.exe: at most 0.1 %% of one core, at most 4096 KiB "
                "private\n");
    std::printf("tray_bench: tray still running at the end: %s\n",
                WaitForSingleObject(tray.get(), 0) == WAIT_TIMEOUT ? "yes" : "NO");

    if (const HWND trayWindow = FindWindowW(kTrayWindowClass, nullptr)) PostMessageW(trayWindow, WM_CLOSE, 0, 0);
    WaitForSingleObject(tray.get(), 10000);
    baselineService.Delete();
    DeleteFileW((folder + L"NimboraTray.exe").c_str());
    RemoveDirectoryW(folder.c_str());
    return 0;
}

}  // namespace
}  // namespace nimbora::bench

int wmain() {
    try {
        return nimbora::bench::Run();
    } catch (...) {
        std::printf("tray_bench: failed\n");
        return 1;
    }
}
