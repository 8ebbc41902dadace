#pragma once
// What both benchmarks share: the clocks, the median of a series, and the
// bare sequence of platform calls that one acting maintenance tick has to
// make, with nothing of the tick's own around it.

#include <windows.h>

#include <vector>

namespace nimbora::bench {

// Seconds on the performance counter.
double WallSeconds() noexcept;

// User plus kernel time of `process`, in seconds, from GetProcessTimes; -1
// when the query is refused.
double ProcessCpuSeconds(HANDLE process) noexcept;

double Median(std::vector<double> values);

// The platform calls of one acting tick, in its order: ten opens, queries
// and closes of the settings key; three memory readings, each loading
// Kernel32.dll, looking up GlobalMemoryStatusEx and releasing the library;
// the tick count; one processor sample, three system-information queries
// reached the same late-bound way with the version query before the third.
void BareTickCalls() noexcept;

// The per-iteration cost of one body, measured over blocks of iterations.
class Series {
public:
    // Runs `body` `iterations` times as one block and records its wall time
    // and this process's processor time.
    template <typename Body>
    void RunBlock(int iterations, Body&& body) {
        const double cpuBefore = ProcessCpuSeconds(GetCurrentProcess());
        const double wallBefore = WallSeconds();
        for (int i = 0; i < iterations; ++i) body();
        const double wall = WallSeconds() - wallBefore;
        cpuSeconds_ += ProcessCpuSeconds(GetCurrentProcess()) - cpuBefore;
        iterations_ += iterations;
        wallPerIteration_.push_back(wall / iterations);
    }

    // The median over the blocks of the wall time per iteration.
    double MedianWallMicroseconds() const { return Median(wallPerIteration_) * 1e6; }
    // Processor time per iteration over all blocks: the processor clock is
    // too coarse (10 ms under Wine) for a median of short blocks.
    double CpuMicroseconds() const { return iterations_ == 0 ? 0 : cpuSeconds_ / iterations_ * 1e6; }

private:
    std::vector<double> wallPerIteration_;
    double cpuSeconds_ = 0;
    long iterations_ = 0;
};

}  // namespace nimbora::bench
