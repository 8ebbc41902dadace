// The cost of one acting maintenance tick on the real platform, beside the
// cost of the bare platform calls such a tick has to make. The settings make
// the tick pass every gate that reads or measures something (memory due,
// processor limit on) and then stop at the full-screen gate, so it launches
// nothing; a recording launcher stands in for the shell all the same.
//
// The two are measured in alternating blocks, so that drift in the machine
// (Wine's server, other load) reaches both alike.

#include <windows.h>

#include <cstdio>
#include <optional>

#include "service/MaintenanceTick.h"
#include "service/TickPlatform.h"
#include "tests/bench/BenchSupport.h"
#include "tests/e2e/E2eSupport.h"

namespace nimbora::bench {
namespace {

// N.B. short blocks: under Wine the cost of a registry round trip shifts
// between levels some 30 % apart every few hundred milliseconds, which blocks
// of 100 ticks catch unevenly; blocks of 10 interleave finely enough.
constexpr int kRounds = 200;
constexpr int kIterations = 10;

class RecordingLauncher final : public ProgramLauncher {
public:
    void Open(const std::wstring&, const std::wstring&) override { ++launches; }
    int launches = 0;
};

// Forwards to the real platform and counts what the tick asked of it: shows
// that the settings lead the tick through the whole sequence.
class CountingPlatform final : public TickSettings, public TickMachine {
public:
    explicit CountingPlatform(TickPlatform& platform) : platform_(platform) {}

    std::int32_t ReadInteger(const wchar_t* name, std::int32_t defaultValue) override {
        ++settings;
        return platform_.ReadInteger(name, defaultValue);
    }
    bool ReadBool(const wchar_t* name, bool defaultValue) override {
        ++settings;
        return platform_.ReadBool(name, defaultValue);
    }
    std::int64_t TotalPhysicalMemory() override {
        ++memory;
        return platform_.TotalPhysicalMemory();
    }
    std::int64_t AvailablePhysicalMemory() override {
        ++memory;
        return platform_.AvailablePhysicalMemory();
    }
    double ProcessorUsage() override {
        ++processor;
        return platform_.ProcessorUsage();
    }
    std::uint64_t TickCount() override {
        ++tickCount;
        return platform_.TickCount();
    }
    std::uint8_t AcLineStatus() override {
        ++other;
        return platform_.AcLineStatus();
    }
    std::wstring ExecutableFolder() override {
        ++other;
        return platform_.ExecutableFolder();
    }

    int settings = 0;
    int memory = 0;
    int processor = 0;
    int tickCount = 0;
    int other = 0;

private:
    TickPlatform& platform_;
};

int Run() {
    e2e::SettingsScope scope;
    scope.SetDword(L"MemoryMaintain", 100);
    scope.SetDword(L"ProcessorLimit", 1);
    scope.SetDword(L"FullScreen", 1);
    scope.SetDword(L"FullScreenCheck", 1);

    TickPlatform platform(nullptr);
    RecordingLauncher launcher;

    CountingPlatform counting(platform);
    MaintenanceTick countedTick(counting, counting, launcher);
    countedTick.Run(true);  // takes the first processor sample, which the next one measures from
    counting.settings = counting.memory = counting.processor = counting.tickCount = counting.other = 0;
    countedTick.Run(true);
    std::printf("tick_bench: calls of one tick: %d settings, %d memory, %d processor, %d tick count, %d other, "
                "%d launches\n",
                counting.settings, counting.memory, counting.processor, counting.tickCount, counting.other,
                launcher.launches);
    // N.B. only what makes this the measured path: memory due (every setting
    // read), the processor sampled, and nothing launched.
    if (counting.settings != 10 || counting.processor < 1 || launcher.launches != 0) {
        std::printf("tick_bench: the tick did not take the measured path; no figures\n");
        return 1;
    }

    MaintenanceTick tick(platform, platform, launcher);
    for (int i = 0; i < 10; ++i) {
        tick.Run(true);
        BareTickCalls();
    }

    const ProcessClock clock(GetCurrentProcess());
    Series tickSeries(clock);
    Series bareSeries(clock);
    const double start = WallSeconds();
    for (int round = 0; round < kRounds; ++round) {
        // N.B. the order alternates, so neither always runs just after the other.
        if (round % 2 == 0) tickSeries.RunBlock(kIterations, [&] { tick.Run(true); });
        bareSeries.RunBlock(kIterations, [] { BareTickCalls(); });
        if (round % 2 == 1) tickSeries.RunBlock(kIterations, [&] { tick.Run(true); });
    }
    const double elapsed = WallSeconds() - start;

    const double tickWall = tickSeries.MedianWallMicroseconds();
    const double bareWall = bareSeries.MedianWallMicroseconds();
    const double tickCpu = tickSeries.PlatformCpuMicroseconds();
    const double bareCpu = bareSeries.PlatformCpuMicroseconds();
    std::printf("tick_bench: rounds: %d x %d iterations of each, interleaved, %.1f s\n", kRounds, kIterations,
                elapsed);
    std::printf("tick_bench: tick wall (median): %.1f us\n", tickWall);
    std::printf("tick_bench: bare wall (median): %.1f us\n", bareWall);
    std::printf("tick_bench: ratio wall: %.3f (target <= 1.1)\n", tickWall / bareWall);
    std::printf("tick_bench: tick cpu (GetProcessTimes): %.1f us\n", tickCpu);
    std::printf("tick_bench: bare cpu (GetProcessTimes): %.1f us\n", bareCpu);
    std::printf("tick_bench: ratio cpu (GetProcessTimes): %.3f\n", bareCpu > 0 ? tickCpu / bareCpu : 0.0);
    const std::optional<double> tickLinux = tickSeries.LinuxCpuMicroseconds();
    const std::optional<double> bareLinux = bareSeries.LinuxCpuMicroseconds();
    if (tickLinux && bareLinux) {
        std::printf("tick_bench: tick cpu (Linux clock): %.1f us\n", *tickLinux);
        std::printf("tick_bench: bare cpu (Linux clock): %.1f us\n", *bareLinux);
        std::printf("tick_bench: ratio cpu (Linux clock): %.3f\n", *tickLinux / *bareLinux);
    }
    std::printf("tick_bench: launches recorded: %d\n", launcher.launches);
    return 0;
}

}  // namespace
}  // namespace nimbora::bench

int wmain() {
    const int result = nimbora::bench::Run();
    std::fflush(stdout);
    return result;
}
