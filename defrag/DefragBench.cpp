// defrag_bench: the companion's planner on the model of the page lists, for a
// few machines and batches: what was freed, by which step, in how many trims.
// The figures are the model's; what the memory manager really gives back
// (how much of a working set is clean, how soon written pages return) only
// Windows can show.

#include <cstdio>
#include <string>
#include <vector>

#include "defrag/Batch.h"
#include "defrag/MemoryModel.h"
#include "defrag/Planner.h"
#include "defrag/ProcessNames.h"

namespace {

using namespace nimbora;

constexpr std::int64_t MB = 1024 * 1024;

long long Mb(std::int64_t bytes) { return static_cast<long long>(bytes / MB); }

// A machine of `totalMb` with `availableMb` available and a user's session:
// a foreground browser, a busy program, shell processes and `idle` idle
// background programs whose working sets are one third dirty.
MemoryModel Machine(std::int64_t totalMb, std::int64_t availableMb, int idle) {
    MemoryModel m;
    m.free = availableMb / 4 * MB;
    m.standby = (availableMb - availableMb / 4 - 64) * MB;
    m.standbyLowPriority = 64 * MB;
    m.modified = 128 * MB;
    m.processes = {
        {4, L"System", 0, 64 * MB, 0, false, false, 1},
        {600, L"explorer.exe", 1, 250 * MB, 20 * MB, false, false, 1},
        {700, L"dwm.exe", 1, 180 * MB, 20 * MB, false, false, 1},
        {1000, L"browser.exe", 1, 1800 * MB, 600 * MB, false, false, 1},
        {1100, L"compiler.exe", 1, 900 * MB, 300 * MB, true, false, 1},
    };
    for (int i = 0; i < idle; ++i) {
        const std::int64_t size = (600 - 40 * (i % 12)) * MB;
        m.processes.push_back({static_cast<std::uint32_t>(2000 + i), L"app" + std::to_wstring(i) + L".exe",
                               static_cast<std::uint32_t>(i % 3 == 0 ? 0 : 1), size * 2 / 3, size / 3, false, false,
                               1});
    }
    m.other = totalMb * MB - m.Total();
    m.foreground = {true, 1000, 1};
    return m;
}

void Report(const char* label, MemoryModel& m, std::int64_t askedMb, bool flush, bool purge) {
    // The batch: one instance per 1024 MB, gathered into one worker's goal.
    BatchState state{};
    const MemoryReading reading = m.Read();
    int instances = 0;
    for (std::int64_t left = askedMb; left > 0; left -= 1024, ++instances)
        EnterBatch(state, instances == 0, static_cast<std::uint64_t>(instances), reading,
                   (left > 1024 ? 1024 : left) * MB, 1, 0, BatchTiming{});
    DefragOptions options;
    options.flushModified = flush;
    options.purgeStandby = purge;
    const DefragReport r = Defragmenter(m, options).Run({state.baselineAvailable, BatchAsked(state, reading.total)});
    const StepRecord* trim = r.Find(StepKind::skTrimProcesses);
    const StepRecord* flushed = r.Find(StepKind::skFlushModifiedList);
    const StepRecord* purged = r.Find(StepKind::skPurgeLowPriorityStandby);
    std::printf("companion: model %s: asked %lld MB by %d instance(s), 1 worker; freed %lld MB (%s): trimming %lld MB in "
                "%d trims (%d protected, %d busy), flushing %lld MB (%lld MB written), purge %lld MB to free "
                "(available unchanged); model time %llu ms. Only Windows shows how much of a working set is clean.\n",
                label, static_cast<long long>(askedMb), instances, Mb(r.Freed()),
                r.outcome == DefragOutcome::ocPartial ? "partial" : "met", trim ? Mb(trim->availableGain) : 0LL,
                r.counts.trimmed, r.counts.protectedCount, r.counts.busy, flushed ? Mb(flushed->availableGain) : 0LL,
                Mb(m.written), purged ? Mb(purged->freeGain) : 0LL, static_cast<unsigned long long>(r.milliseconds));
}

}  // namespace

int main() try {
    struct Scenario {
        const char* label;
        std::int64_t totalMb, availableMb;
        int idle;
        std::int64_t askedMb;
        bool flush, purge;
    };
    const Scenario scenarios[] = {
        {"8 GiB, 1024 MB asked", 8192, 1500, 12, 1024, false, false},
        {"8 GiB, 40 % asked", 8192, 1500, 12, 3277, false, false},
        {"8 GiB, 40 % asked, flush on", 8192, 1500, 12, 3277, true, false},
        {"24 GiB, 60 % asked (15 instances)", 24576, 4000, 40, 14746, false, false},
        {"24 GiB, 60 % asked, flush and purge on", 24576, 4000, 40, 14746, true, true},
    };
    for (const Scenario& s : scenarios) {
        MemoryModel m = Machine(s.totalMb, s.availableMb, s.idle);
        Report(s.label, m, s.askedMb, s.flush, s.purge);
    }
    return 0;
} catch (...) {
    std::fprintf(stderr, "defrag_bench: failed\n");
    return 1;
}
