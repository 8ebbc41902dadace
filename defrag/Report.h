#pragma once
// What a run tells afterwards: the batch's one event-log entry (written by
// its worker), the batch's history record, the entries of real failures, and
// a one-line record of key=value pairs for tests and benchmarks.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "defrag/Arguments.h"
#include "defrag/BatchHistory.h"
#include "defrag/Planner.h"

namespace nimbora {

enum class EntryKind { ekInformation, ekWarning, ekError };

struct BatchEntry {
    EntryKind kind = EntryKind::ekInformation;
    std::wstring text;
    std::uint32_t eventId = 0;         // messages/EventIds.h
    std::vector<std::wstring> figures; // the insertion strings after the text, in the documented order

    // The text and the figures: the entry's insertion strings.
    std::vector<std::wstring> Strings() const;
};

// Information when the goal was met, nothing was needed or a full-screen
// program held the batch back, a warning for a partial result, an error when
// memory could not be measured. No program names: the Application log is
// readable by every user of the machine.
BatchEntry BatchEventEntry(const DefragReport& report);

// The history record of the batch that began at `startedUtc`.
BatchRecord HistoryRecord(const DefragReport& report, std::uint64_t startedUtc);

struct RunSummary {
    const char* role = "worker";      // "worker", "handed-over", "refused"
    std::uint64_t batchId = 0;
    std::uint32_t joined = 0;         // instances of the batch, the worker included
    std::int64_t ownMegabytes = 0;    // this instance's argument
    const DefragReport* report = nullptr;  // the worker's only
    int exitCode = 0;
    std::uint64_t runMs = 0;          // from the start of the run to its end
};

// "role=worker batch=2 joined=15 exit=3 own_mb=1024 run_ms=.. outcome=partial asked_mb=14746 needed_mb=..
// aim_mb=.. freed_mb=.. moved_mb=.. fruitless=3 trimmed=3 trimmed_ids=.. sessions_protected=0 full_screen=0
// protected=.. services=.. unknown_session=.. busy=.. recent=.. refused=.. small=.. before_mb=.. after_mb=..
// ms=.. steps=trim:done:+0mb:12ms"
std::string RecordLine(const RunSummary& run);

// The entry for an argument that was rejected; `argument` is shown as given
// (at most 64 characters of it).
std::wstring ArgumentEventText(ArgumentKind kind, std::wstring_view argument);

}  // namespace nimbora
