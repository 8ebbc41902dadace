#pragma once
// What both benchmarks share: the clocks, the median of a series, and the
// bare sequence of platform calls that one acting maintenance tick has to
// make, with nothing of the tick's own around it.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbora::bench {

// Seconds on the performance counter.
double WallSeconds() noexcept;

// User plus kernel time of `process`, in seconds, from GetProcessTimes; -1
// when the query is refused.
double ProcessCpuSeconds(HANDLE process) noexcept;

// The processor time of one process by two clocks. Under Wine the
// platform's clock advances in 10 ms steps, too coarse for a tick of a
// millisecond or less, and GetProcessTimes answers for the calling process
// whatever process it is asked about. The Linux kernel counts each thread's
// time on a processor in nanoseconds, and drive Z: shows its /proc.
class ProcessClock {
public:
    explicit ProcessClock(HANDLE process);

    // User plus kernel time from GetProcessTimes; -1 when refused.
    double PlatformSeconds() const noexcept { return ProcessCpuSeconds(process_); }
    // The Linux count of the process's live threads; empty off Wine, or
    // when the process's Unix counterpart was not found.
    std::optional<double> LinuxSeconds() const;
    bool HasLinuxClock() const noexcept { return unixPid_.has_value(); }

    // The same for each live thread, with the name Linux knows it by.
    struct Thread {
        unsigned id;
        std::string name;
        double seconds;
    };
    std::vector<Thread> LinuxThreads() const;

private:
    HANDLE process_;
    std::optional<unsigned> unixPid_;
};

double Median(std::vector<double> values);

// The whole answer of a system-information query whose size is not known in
// advance; empty when it fails.
std::vector<ULONG_PTR> QueryWhole(std::uint32_t infoClass);

// User plus kernel time of process `pid` as the system's process list has it
// (Wine counts it in 10 ms steps); empty when the list has no such process.
std::optional<double> ListedCpuSeconds(DWORD pid);

// The platform calls of one acting tick, in its order: the tick count; one
// processor sample; a memory reading; ten opens, queries and closes of the
// settings key; one more memory reading. A memory reading loads Kernel32.dll,
// looks up GlobalMemoryStatusEx, calls it and releases the library; the
// sample makes three system-information queries reached the same late-bound
// way, with the version query before the third, and reads the processor
// groups' counts late-bound too.
void BareTickCalls() noexcept;

// The per-iteration cost of one body, measured over blocks of iterations.
class Series {
public:
    explicit Series(const ProcessClock& clock) : clock_(clock) {}

    // Runs `body` `iterations` times as one block and records its wall time
    // and processor time.
    template <typename Body>
    void RunBlock(int iterations, Body&& body) {
        const std::optional<double> linuxBefore = clock_.LinuxSeconds();
        const double platformBefore = clock_.PlatformSeconds();
        const double wallBefore = WallSeconds();
        for (int i = 0; i < iterations; ++i) body();
        const double wall = WallSeconds() - wallBefore;
        platformCpuSeconds_ += clock_.PlatformSeconds() - platformBefore;
        const std::optional<double> linuxAfter = clock_.LinuxSeconds();
        if (linuxBefore && linuxAfter) {
            linuxCpuSeconds_ += *linuxAfter - *linuxBefore;
        } else {
            linuxClock_ = false;
        }
        iterations_ += iterations;
        wallPerIteration_.push_back(wall / iterations);
    }

    // The median over the blocks of the wall time per iteration.
    double MedianWallMicroseconds() const { return Median(wallPerIteration_) * 1e6; }
    // Processor time per iteration over all blocks, from GetProcessTimes.
    // N.B. a total, not a median: the clock is too coarse for short blocks.
    double PlatformCpuMicroseconds() const { return PerIteration(platformCpuSeconds_); }
    // The same from the Linux clock; empty when it could not be read for
    // every block.
    std::optional<double> LinuxCpuMicroseconds() const {
        if (!linuxClock_ || iterations_ == 0) return std::nullopt;
        return PerIteration(linuxCpuSeconds_);
    }
    long Iterations() const { return iterations_; }

private:
    double PerIteration(double seconds) const { return iterations_ == 0 ? 0 : seconds / iterations_ * 1e6; }

    const ProcessClock& clock_;
    std::vector<double> wallPerIteration_;
    double platformCpuSeconds_ = 0;
    double linuxCpuSeconds_ = 0;
    bool linuxClock_ = true;
    long iterations_ = 0;
};

}  // namespace nimbora::bench
