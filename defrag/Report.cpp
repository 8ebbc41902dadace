#include "defrag/Report.h"

#include "probes/Rounding.h"

namespace nimbora {

namespace {

std::wstring Mb(std::int64_t bytes) { return std::to_wstring(BytesToMegabytes(bytes)) + L" MB"; }

std::string Narrow(std::wstring_view text) {
    // Every text put in a record is ASCII.
    std::string narrow;
    narrow.reserve(text.size());
    for (const wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

}  // namespace

BatchEntry BatchEventEntry(const DefragReport& r) {
    if (r.outcome == DefragOutcome::ocUnmeasured)
        return {EntryKind::ekError, L"Asked to free " + Mb(r.goal.asked) +
                                        L": nothing was done, physical memory could not be measured."};
    const bool met = r.outcome == DefragOutcome::ocAlreadyFree || r.outcome == DefragOutcome::ocGoalMet;
    BatchEntry entry;
    entry.kind = met ? EntryKind::ekInformation : EntryKind::ekWarning;
    std::wstring& t = entry.text;
    t = L"Freed " + Mb(r.Freed()) + L" of " + Mb(r.goal.asked) + L" asked";
    if (!met) t += L", only part could be freed";
    t += L": trimmed " + std::to_wstring(r.counts.trimmed) + L" processes in " + std::to_wstring(r.milliseconds) +
         L" ms; available " + Mb(r.goal.baselineAvailable) + L" before, " + Mb(r.after.available) + L" after.";
    // N.B. right after the first sentence: a reader (and Wine's trace, which
    // cuts long texts) sees it first.
    if (r.Find(StepKind::skTrimProcesses) != nullptr) {
        if (!r.foreground.known)
            t += L" The foreground program could not be determined: nothing in the console session was trimmed.";
        else if (r.foreground.processId != 0)
            t += L" Foreground program protected: " + (r.foregroundName.empty() ? L"" : r.foregroundName + L" ") +
                 L"(process " + std::to_wstring(r.foreground.processId) + L").";
    }
    if (!met) {
        t += L" Left alone: " + std::to_wstring(r.counts.protectedCount) + L" protected, " +
             std::to_wstring(r.counts.busy) + L" busy, " + std::to_wstring(r.counts.recent) +
             L" trimmed in the last 10 minutes, " + std::to_wstring(r.counts.refused) + L" refused.";
        if (const StepRecord* trim = r.Find(StepKind::skTrimProcesses);
            trim != nullptr && trim->status != ActionStatus::asDone && r.counts.trimmed == 0)
            t += L" Trimming: " + std::wstring(StatusName(trim->status)) + L".";
    }
    if (const StepRecord* flush = r.Find(StepKind::skFlushModifiedList))
        t += L" Modified list flushed: " + std::wstring(StatusName(flush->status)) + L", " +
             Mb(flush->availableGain) + L" available.";
    if (const StepRecord* purge = r.Find(StepKind::skPurgeLowPriorityStandby))
        t += L" Low-priority standby list purged at the user's choice: " + std::wstring(StatusName(purge->status)) +
             L", free pages " + (purge->freeGain >= 0 ? L"+" : L"") + Mb(purge->freeGain) +
             L" (available memory is not raised by it).";
    return entry;
}

BatchRecord HistoryRecord(const DefragReport& r, std::uint64_t startedUtc) {
    BatchRecord record;
    record.startedUtc = startedUtc;
    record.askedMegabytes = BytesToMegabytes(r.goal.asked);
    record.freedMegabytes = BytesToMegabytes(r.Freed());
    record.trimmedProcesses = r.counts.trimmed;
    const StepRecord* flush = r.Find(StepKind::skFlushModifiedList);
    record.flushed = flush != nullptr && flush->status == ActionStatus::asDone;
    const StepRecord* purge = r.Find(StepKind::skPurgeLowPriorityStandby);
    record.purgedMegabytes = purge != nullptr && purge->freeGain > 0 ? BytesToMegabytes(purge->freeGain) : 0;
    record.elapsedMs = static_cast<std::int64_t>(r.milliseconds);
    record.availableBeforeMegabytes = BytesToMegabytes(r.goal.baselineAvailable);
    record.availableAfterMegabytes = BytesToMegabytes(r.after.available);
    record.outcome = r.outcome == DefragOutcome::ocAlreadyFree || r.outcome == DefragOutcome::ocGoalMet
                         ? BatchOutcome::boMet
                     : r.outcome == DefragOutcome::ocPartial ? BatchOutcome::boPartial
                                                             : BatchOutcome::boFailed;
    return record;
}

std::string RecordLine(const RunSummary& run) {
    auto mb = [](std::int64_t bytes) { return std::to_string(BytesToMegabytes(bytes)); };
    std::string line = std::string("role=") + run.role + " batch=" + std::to_string(run.batchId) +
                       " joined=" + std::to_string(run.joined) + " exit=" + std::to_string(run.exitCode) +
                       " own_mb=" + std::to_string(run.ownMegabytes) + " run_ms=" + std::to_string(run.runMs);
    if (run.report == nullptr) return line;
    const DefragReport& r = *run.report;
    line += " asked_mb=" + mb(r.goal.asked) + " freed_mb=" + mb(r.Freed()) +
            " trimmed=" + std::to_string(r.counts.trimmed) + " trimmed_ids=";
    for (std::size_t i = 0; i < r.trimmedIds.size(); ++i) line += (i > 0 ? "," : "") + std::to_string(r.trimmedIds[i]);
    if (r.trimmedIds.empty()) line += "none";
    line += " foreground=" + (r.foreground.known ? std::to_string(r.foreground.processId) : std::string("unknown")) +
            " protected=" + std::to_string(r.counts.protectedCount) + " busy=" + std::to_string(r.counts.busy) +
            " recent=" + std::to_string(r.counts.recent) + " refused=" + std::to_string(r.counts.refused) +
            " before_mb=" + mb(r.goal.baselineAvailable) + " after_mb=" + mb(r.after.available) +
            " ms=" + std::to_string(r.milliseconds) + " steps=";
    if (r.steps.empty()) line += "none";
    for (std::size_t i = 0; i < r.steps.size(); ++i) {
        const StepRecord& s = r.steps[i];
        const std::int64_t gain = BytesToMegabytes(s.availableGain);
        line += (i > 0 ? "," : "") + Narrow(StepName(s.kind)) + ":" + Narrow(StatusName(s.status)) + ":" +
                (gain >= 0 ? "+" : "") + std::to_string(gain) + "mb:" + std::to_string(s.milliseconds) + "ms";
    }
    return line;
}

std::wstring ArgumentEventText(ArgumentKind kind, std::wstring_view argument) {
    std::wstring text = L"Nothing was freed: ";
    text += ArgumentKindName(kind);
    if (kind != ArgumentKind::akMissing) {
        text += L" (\"";
        text += argument.substr(0, 64);
        if (argument.size() > 64) text += L"...";
        text += L"\")";
    }
    text += L". NimboraDefrag.exe takes one argument, the number of megabytes to free.";
    return text;
}

}  // namespace nimbora
