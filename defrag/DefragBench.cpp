// defrag_bench [--flush] [--purge] [MB ...]: runs the defragmenter's steps on
// this machine for each requested amount (default 64, 256 and 1024 MB), alone
// (no batch), and prints what was freed, by which step, and how long it took.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "defrag/Arguments.h"
#include "defrag/Planner.h"
#include "defrag/SystemCalls.h"
#include "defrag/WinMemoryActions.h"
#include "probes/Rounding.h"

namespace {

using namespace nimbora;

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != L'\0'; ++text) narrow.push_back(static_cast<char>(*text));
    return narrow;
}

long long Mb(std::int64_t bytes) { return static_cast<long long>(BytesToMegabytes(bytes)); }

const char* OutcomeName(DefragOutcome outcome) {
    switch (outcome) {
        case DefragOutcome::ocAlreadyFree: return "already free";
        case DefragOutcome::ocTargetMet: return "met";
        case DefragOutcome::ocNotMet: return "not met";
        case DefragOutcome::ocUnmeasured: return "unmeasured";
    }
    return "";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    DefragOptions options;
    std::vector<std::int64_t> amounts;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--flush") {
            options.flushModified = true;
        } else if (arg == L"--purge") {
            options.purgeStandby = true;
        } else {
            const ParsedArgument parsed = ParseMegabytes(arg);
            if (parsed.kind != ArgumentKind::akCount) {
                std::fprintf(stderr, "usage: defrag_bench [--flush] [--purge] [MB ...]\n");
                return 2;
            }
            amounts.push_back(parsed.megabytes);
        }
    }
    if (amounts.empty()) amounts = {64, 256, 1024};

    Win32SystemCalls calls;
    const bool wine = RunningUnderWine();
    std::printf("defrag_bench: %d-bit, %s\n", static_cast<int>(sizeof(void*) * 8), wine ? "under Wine" : "Windows");
    if (wine)
        std::printf("N.B. under Wine only the last-resort step is real: trimming succeeds without emptying any "
                    "working set, the memory-list commands are accepted and do nothing, and available memory is "
                    "the host's, so 'freed' is the host's drift, not an effect of the steps.\n");
    std::printf("%-10s %-10s %-9s %-12s %-8s  steps (status, available gain, time)\n", "requested", "freed",
                "free-pgs", "outcome", "total");

    for (const std::int64_t megabytes : amounts) {
        WinMemoryActions actions(calls);
        const MemoryReading before = actions.Read();
        const std::int64_t bytes = RequestBytes(megabytes, before.total);
        const DefragGoal goal{before.available + bytes, before.free < 0 ? -1 : before.free + bytes, bytes};
        const DefragReport report = Defragmenter(actions, options).Run(goal);

        char freePages[32] = "unknown";
        if (report.before.free >= 0 && report.after.free >= 0)
            std::snprintf(freePages, sizeof freePages, "%+lld MB", Mb(report.after.free - report.before.free));
        std::printf("%6lld MB  %+6lld MB  %-9s %-12s %5llu ms ", static_cast<long long>(megabytes),
                    Mb(report.Freed()), freePages, OutcomeName(report.outcome),
                    static_cast<unsigned long long>(report.milliseconds));
        for (const StepRecord& step : report.steps) {
            std::printf(" %s (%s, %+lld MB, %llu ms", Narrow(StepName(step.kind)).c_str(),
                        Narrow(StatusName(step.status)).c_str(), Mb(step.availableGain),
                        static_cast<unsigned long long>(step.milliseconds));
            if (step.kind == StepKind::skTrimProcesses)
                std::printf(", %d trimmed, %d refused, %d protected, working sets %lld -> %lld MB", step.trimmed,
                            step.refused, step.protectedCount, Mb(step.workingSetsBefore), Mb(step.workingSetsAfter));
            if (step.kind == StepKind::skLastResort) std::printf(", held %lld MB", Mb(step.held));
            std::printf(")");
        }
        std::printf("\n");
        std::printf("%34s peak working set of this process so far: %lld MB; privilege: %s\n", "",
                    Mb(actions.PeakWorkingSet()), Narrow(StatusName(actions.ProfilePrivilege())).c_str());
    }
    return 0;
}
