#pragma once
// What a run tells afterwards: the text of its event-log entry (written only
// when the run failed) and a one-line record of key=value pairs for tests and
// benchmarks.

#include <cstdint>
#include <string>
#include <string_view>

#include "defrag/Arguments.h"
#include "defrag/Batch.h"
#include "defrag/Planner.h"

namespace nimbora {

struct RunSummary {
    std::int64_t askedMegabytes = 0;  // the argument
    BatchShare share;
    bool coordinated = true;          // false: ran alone, the batch record was out of reach
    DefragReport report;
    int exitCode = 0;
    std::int64_t peakWorkingSet = -1;  // this process's peak working set, bytes; -1 not known
};

std::wstring EventText(const RunSummary& run);

// "exit=3 asked_mb=1024 batch=2 position=1 share_mb=1024 baseline_mb=... steps=trim:done:+0mb:12ms,..."
// Amounts in megabytes except `held` and `peak_ws`, which are bytes.
std::string RecordLine(const RunSummary& run);

// The entry for an argument that was rejected; `argument` is shown as given
// (at most 64 characters of it).
std::wstring ArgumentEventText(ArgumentKind kind, std::wstring_view argument);

std::wstring BusyEventText(std::int64_t askedMegabytes, std::uint64_t waitedMs);

}  // namespace nimbora
