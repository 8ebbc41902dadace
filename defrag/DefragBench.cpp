// defrag_bench: the companion's planner on the model of the page lists.
//
// First single batches on a few machines: what was freed, by which step, in
// how many trims. Then an hour of a desktop under a steady allocation load
// with the service's default settings (due at 30 % available, 60 % asked, at
// most one batch every 5 minutes), once as the companion aims now (the
// trigger level and a margin, a stop after fruitless trims, back-off) and once
// as its second version aimed (the whole ask over the reading at the start,
// trimming until the candidates or the time ran out, a fixed 10-minute hold):
// batches per hour, trims per batch, megabytes moved per trim, warnings per
// day, processes trimmed again within their hold, and the hard faults the
// trimmed programs paid to touch their pages again.
//
// The figures are the model's; what the memory manager really gives back
// (how much of a working set is clean, how soon written pages return, how
// often a program touches its pages) only Windows can show.

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "defrag/Batch.h"
#include "defrag/MemoryModel.h"
#include "defrag/Planner.h"
#include "defrag/ProcessNames.h"
#include "defrag/TrimMarks.h"

namespace {

using namespace nimbora;

constexpr std::int64_t MB = 1024 * 1024;

long long Mb(std::int64_t bytes) { return static_cast<long long>(bytes / MB); }

// One batch as the service starts it: one instance per 1024 MB, gathered into
// one worker's goal.
std::int64_t GatheredAsk(const MemoryReading& reading, std::int64_t askedMb) {
    BatchState state{};
    int instances = 0;
    for (std::int64_t left = askedMb; left > 0; left -= 1024, ++instances)
        EnterBatch(state, instances == 0, static_cast<std::uint64_t>(instances), reading,
                   (left > 1024 ? 1024 : left) * MB, 1, 0, BatchTiming{});
    return BatchAsked(state, reading.total);
}

void SingleBatch(const char* label, std::int64_t totalMb, std::int64_t availableMb, int idle, bool flush,
                 bool purge) {
    MemoryModel m = DesktopModel(totalMb, availableMb, idle);
    const std::int64_t askedMb = totalMb * 60 / 100;
    DefragOptions options;
    options.flushModified = flush;
    options.purgeStandby = purge;
    const DefragReport r =
        Defragmenter(m, options).Run({GatheredAsk(m.Read(), askedMb), totalMb * 30 / 100 * MB, m.Available()});
    const StepRecord* flushed = r.Find(StepKind::skFlushModifiedList);
    const StepRecord* purged = r.Find(StepKind::skPurgeLowPriorityStandby);
    std::printf("companion: model %s, default settings: asked %lld MB, needed %lld MB to reach the aim of %lld MB; "
                "freed %lld MB (%s) in %d trims moving %lld MB (%lld MB to the modified list), flushing %lld MB, "
                "purge %lld MB to free; %d protected, %d services, %d busy left alone; model time %llu ms\n",
                label, static_cast<long long>(askedMb), Mb(r.needed), Mb(r.aim), Mb(r.Rise()),
                r.outcome == DefragOutcome::ocPartial ? "partial" : "met", r.counts.trimmed, Mb(r.effect.moved),
                Mb(r.effect.toModified.value_or(0)), flushed ? Mb(flushed->availableGain) : 0LL,
                purged && purged->freeGain ? Mb(*purged->freeGain) : 0LL, r.counts.protectedCount, r.counts.services,
                r.counts.busy, static_cast<unsigned long long>(r.milliseconds));
}

struct HourFigures {
    int batches = 0;
    int warnings = 0;
    int trims = 0;
    std::int64_t moved = 0;
    int withinHold = 0;  // trims of a process still within the hold of its last trim
    std::int64_t hardFaults = 0;
};

// An hour of ticks on DesktopModel(): the foreground browser allocates
// `loadMbPerSecond` and gives it all back every ten minutes (tabs opened,
// then closed); the idle programs touch their trimmed pages again.
// `marginPercent` of the memory above the trigger level is the aim (negative:
// the planner's own margin).
HourFigures Hour(std::int64_t totalMb, int idle, std::int64_t loadMbPerSecond, bool secondVersion,
                 int marginPercent = -1) {
    const std::int64_t trigger = totalMb * 30 / 100 * MB;
    MemoryModel m = DesktopModel(totalMb, totalMb * 30 / 100 + 300, idle);
    HourFigures f;
    std::vector<TrimMark> marks;
    std::map<std::uint32_t, TrimMark> last;  // each process's latest trim
    constexpr std::uint64_t kUtcPerMs = 10000;
    std::int64_t grown = 0;
    std::int64_t lastBatchSecond = -100000;

    for (std::int64_t second = 0; second < 3600; ++second) {
        const std::uint64_t target = static_cast<std::uint64_t>(second) * 1000;
        if (m.clock < target) m.Advance(target - m.clock);
        if (second % 600 == 599) {
            m.Release(1000, grown);
            grown = 0;
        } else {
            m.Allocate(1000, loadMbPerSecond * MB);
            grown += loadMbPerSecond * MB;
        }
        // The service's tick: memory due, at most one batch every 5 minutes.
        if (m.Available() > trigger || second - lastBatchSecond < 300) continue;
        lastBatchSecond = second;
        const std::uint64_t nowUtc = m.clock * kUtcPerMs;
        DefragOptions options;
        options.nowUtc = nowUtc;
        options.remembered = RememberedTrimMarks(marks, nowUtc);
        if (secondVersion) {
            options.trimServices = true;
            options.fruitlessLimit = INT_MAX;
        }
        const std::int64_t asked = GatheredAsk(m.Read(), totalMb * 60 / 100);
        // N.B. the planner aims at the trigger level plus its margin: another
        // margin is had by moving the level it is given.
        const std::int64_t level =
            marginPercent < 0 ? trigger : trigger + totalMb * MB * marginPercent / 100 - AimMargin(totalMb * MB);
        const DefragReport r = Defragmenter(m, options).Run({asked, secondVersion ? -1 : level, m.Available()});
        ++f.batches;
        f.warnings += r.outcome == DefragOutcome::ocPartial ? 1 : 0;
        f.trims += r.counts.trimmed;
        f.moved += r.effect.moved;
        for (TrimMark mark : r.newMarks) {
            if (secondVersion) mark.holdMinutes = kBaseHoldMinutes;
            const auto before = last.find(mark.id);
            if (before != last.end() && MarkHolds(before->second, nowUtc)) ++f.withinHold;
            last[mark.id] = mark;
            marks.push_back(mark);
        }
        marks = RememberedTrimMarks(marks, nowUtc);
    }
    f.hardFaults = m.hardFaults;
    return f;
}

void SteadyLoad(const char* label, std::int64_t totalMb, int idle, std::int64_t loadMbPerSecond) {
    for (const bool second : {true, false}) {
        const HourFigures f = Hour(totalMb, idle, loadMbPerSecond, second);
        const double perBatch = f.batches > 0 ? static_cast<double>(f.trims) / f.batches : 0.0;
        const long long perTrim = f.trims > 0 ? Mb(f.moved / f.trims) : 0LL;
        std::printf("companion: model %s, default settings, %lld MB/s allocated and released every 10 min, %s: "
                    "%d batches per hour, %.1f trims per batch, %lld MB moved per trim, %d warnings per day, "
                    "%d trims within a hold, %lld MB of hard faults per hour\n",
                    label, static_cast<long long>(loadMbPerSecond),
                    second ? "before (the whole ask, no fruitless stop)" : "now (the aim, back-off)", f.batches,
                    perBatch, perTrim, f.warnings * 24, f.withinHold, Mb(f.hardFaults));
    }
}

// The margin's choice: how often batches come and how much they cost the
// trimmed programs, for margins of 0 to 10 % of the memory.
void Margins(const char* label, std::int64_t totalMb, int idle, std::int64_t loadMbPerSecond) {
    for (const int percent : {0, 2, 5, 10}) {
        const HourFigures f = Hour(totalMb, idle, loadMbPerSecond, false, percent);
        std::printf("companion: model %s, margin %d %%: %d batches per hour, %d trims, %lld MB of hard faults per hour\n",
                    label, percent, f.batches, f.trims, Mb(f.hardFaults));
    }
}

}  // namespace

int main() try {
    SingleBatch("8 GiB", 8192, 2300, 12, false, false);
    SingleBatch("24 GiB", 24576, 7000, 40, false, false);
    SingleBatch("24 GiB, flush and purge on", 24576, 7000, 40, true, true);
    SteadyLoad("8 GiB", 8192, 12, 2);
    SteadyLoad("24 GiB", 24576, 30, 6);
    Margins("8 GiB under 2 MB/s", 8192, 12, 2);
    Margins("24 GiB under 6 MB/s", 24576, 30, 6);
    return 0;
} catch (...) {
    std::fprintf(stderr, "defrag_bench: failed\n");
    return 1;
}
