#include "defrag/Report.h"

#include "messages/EventIds.h"
#include "probes/Rounding.h"

namespace nimbora {

namespace {

constexpr std::int64_t kMegabyte = 1024 * 1024;

// Megabytes rounded down, or up: a text that says "only part" shows what was
// freed rounded down and what was needed rounded up, so the two never read
// as equal; a met goal shows both rounded down.
std::int64_t FloorMb(std::int64_t bytes) { return bytes >= 0 ? bytes / kMegabyte : -((-bytes - 1) / kMegabyte) - 1; }
std::int64_t CeilMb(std::int64_t bytes) { return -FloorMb(-bytes); }
std::wstring Mb(std::int64_t bytes) { return std::to_wstring(FloorMb(bytes)) + L" MB"; }
std::wstring MbUp(std::int64_t bytes) { return std::to_wstring(CeilMb(bytes)) + L" MB"; }

std::string Narrow(std::wstring_view text) {
    // Every text put in a record is ASCII.
    std::string narrow;
    narrow.reserve(text.size());
    for (const wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

std::wstring Count(int n, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

const wchar_t* StopText(StopReason stop) {
    switch (stop) {
        case StopReason::srNoCandidate: return L"no idle background process was left to trim";
        case StopReason::srFruitless:
            return L"the last trims raised available memory by nothing (their pages were dirty, shared or in use "
                   L"again)";
        case StopReason::srOutOfTime: return L"the time allowed ran out";
        case StopReason::srNoList: return L"the processes could not be listed";
        case StopReason::srNone: break;
    }
    return L"the steps allowed ran out";
}

// "Trimmed 3 processes in 850 ms, moving 900 MB out of their working sets
// (700 MB to standby, 200 MB to the modified list)."
std::wstring TrimSentence(const DefragReport& r) {
    std::wstring t = L"Trimmed " + Count(r.counts.trimmed, L"process", L"processes") + L" in " +
                     std::to_wstring(r.milliseconds) + L" ms";
    if (r.counts.trimmed == 0) return t + L".";
    t += L", moving " + Mb(r.effect.moved) + L" out of their working sets";
    if (r.effect.toModified)
        t += L" (" + Mb(r.effect.moved - *r.effect.toModified) + L" to standby, " + Mb(*r.effect.toModified) +
             L" to the modified list)";
    else
        t += L" (how much went to the modified list is not known)";
    return t + L".";
}

}  // namespace

std::vector<std::wstring> BatchEntry::Strings() const {
    std::vector<std::wstring> strings{text};
    strings.insert(strings.end(), figures.begin(), figures.end());
    return strings;
}

BatchEntry BatchEventEntry(const DefragReport& r) {
    const std::wstring asked = L"asked for up to " + Mb(r.goal.asked);
    const auto number = [](std::int64_t bytes) { return std::to_wstring(FloorMb(bytes)); };
    switch (r.outcome) {
        case DefragOutcome::ocUnmeasured:
            return {EntryKind::ekError,
                    L"Asked to free " + Mb(r.goal.asked) + L": nothing was done, physical memory could not be measured.",
                    kEventInternalError,
                    {number(r.goal.asked)}};
        case DefragOutcome::ocNothingToDo:
            return {EntryKind::ekInformation,
                    L"Nothing to free (" + asked + L"): available memory is " + Mb(r.start.available) +
                        L", at or above the aim of " + Mb(r.aim) + L" (the trigger level and a margin).",
                    kEventNothingToDo,
                    {number(r.goal.asked), number(r.start.available), number(r.aim)}};
        case DefragOutcome::ocFullScreen:
            return {EntryKind::ekInformation,
                    L"Nothing was trimmed (" + asked + L"): a full-screen program or a presentation runs in " +
                        Count(r.fullScreenSessions, L"user's session", L"users' sessions") +
                        L". Available memory is " + Mb(r.start.available) + L".",
                    kEventSkippedFullScreen,
                    {number(r.goal.asked), std::to_wstring(r.fullScreenSessions)}};
        case DefragOutcome::ocGoalMet:
        case DefragOutcome::ocPartial: break;
    }
    const bool met = r.outcome == DefragOutcome::ocGoalMet;
    BatchEntry entry;
    entry.kind = met ? EntryKind::ekInformation : EntryKind::ekWarning;
    entry.eventId = met ? kEventBatchMet : kEventBatchPartial;
    entry.figures = {number(r.Rise()),
                     met ? number(r.needed) : std::to_wstring(CeilMb(r.needed)),
                     number(r.goal.asked),
                     std::to_wstring(r.counts.trimmed),
                     std::to_wstring(r.milliseconds),
                     number(r.start.available),
                     number(r.after.available),
                     number(r.effect.moved),
                     r.effect.toModified ? number(*r.effect.toModified) : std::wstring(L"unknown")};
    std::wstring& t = entry.text;
    t = L"Freed " + Mb(r.Rise()) + L" of the " + (met ? Mb(r.needed) : MbUp(r.needed)) + L" needed (" + asked + L")";
    if (!met) t += L", only part could be freed: " + std::wstring(StopText(r.stop));
    t += L". Available memory " + Mb(r.start.available) + L" before, " + Mb(r.after.available) + L" after; the aim is " +
         Mb(r.aim) + L". " + TrimSentence(r);
    // N.B. right after the first sentences: a reader (and Wine's trace, which
    // cuts long texts) sees it first.
    if (r.sessionsProtected > 0)
        t += L" The foreground of " + Count(r.sessionsProtected, L"session", L"sessions") +
             L" could not be determined: nothing in " + (r.sessionsProtected == 1 ? L"it" : L"them") +
             L" was trimmed.";
    if (!met) {
        t += L" Left alone: " + std::to_wstring(r.counts.protectedCount) + L" protected, " +
             std::to_wstring(r.counts.services) + L" services, " + std::to_wstring(r.counts.unknownSession) +
             L" in sessions of unknown foreground, " + std::to_wstring(r.counts.busy) + L" busy, " +
             std::to_wstring(r.counts.recent) + L" trimmed recently, " + std::to_wstring(r.counts.small) +
             L" too small, " + std::to_wstring(r.counts.refused) + L" refused.";
        if (const StepRecord* trim = r.Find(StepKind::skTrimProcesses);
            trim != nullptr && trim->status != ActionStatus::asDone && r.counts.trimmed == 0 &&
            r.counts.refused > 0)
            t += L" Trimming: " + std::wstring(StatusName(trim->status)) + L".";
    }
    if (const StepRecord* flush = r.Find(StepKind::skFlushModifiedList))
        t += L" Modified list flushed: " + std::wstring(StatusName(flush->status)) + L", available " +
             (flush->availableGain >= 0 ? L"+" : L"") + Mb(flush->availableGain) + L".";
    if (const StepRecord* purge = r.Find(StepKind::skPurgeLowPriorityStandby)) {
        t += L" Low-priority standby list purged at the user's choice: " + std::wstring(StatusName(purge->status)) +
             L", free pages ";
        t += purge->freeGain ? (*purge->freeGain >= 0 ? L"+" : L"") + Mb(*purge->freeGain) : std::wstring(L"not known");
        t += L" (available memory is not raised by it).";
    }
    return entry;
}

BatchRecord HistoryRecord(const DefragReport& r, std::uint64_t startedUtc) {
    BatchRecord record;
    record.startedUtc = startedUtc;
    record.askedMegabytes = BytesToMegabytes(r.goal.asked);
    record.freedMegabytes = FloorMb(r.Rise());
    record.neededMegabytes = r.outcome == DefragOutcome::ocPartial ? CeilMb(r.needed) : FloorMb(r.needed);
    record.movedMegabytes = BytesToMegabytes(r.effect.moved);
    record.modifiedMegabytes = r.effect.toModified ? BytesToMegabytes(*r.effect.toModified) : -1;
    record.trimmedProcesses = r.counts.trimmed;
    const StepRecord* flush = r.Find(StepKind::skFlushModifiedList);
    record.flushed = flush != nullptr && flush->status == ActionStatus::asDone;
    const StepRecord* purge = r.Find(StepKind::skPurgeLowPriorityStandby);
    record.purgedMegabytes =
        purge != nullptr && purge->freeGain && *purge->freeGain > 0 ? BytesToMegabytes(*purge->freeGain) : 0;
    record.elapsedMs = static_cast<std::int64_t>(r.milliseconds);
    record.availableBeforeMegabytes = BytesToMegabytes(r.start.available);
    record.availableAfterMegabytes = BytesToMegabytes(r.after.available);
    switch (r.outcome) {
        case DefragOutcome::ocGoalMet: record.outcome = BatchOutcome::boMet; break;
        case DefragOutcome::ocPartial: record.outcome = BatchOutcome::boPartial; break;
        case DefragOutcome::ocNothingToDo: record.outcome = BatchOutcome::boNothing; break;
        case DefragOutcome::ocFullScreen: record.outcome = BatchOutcome::boSkipped; break;
        case DefragOutcome::ocUnmeasured: record.outcome = BatchOutcome::boFailed; break;
    }
    return record;
}

std::string RecordLine(const RunSummary& run) {
    auto mb = [](std::int64_t bytes) { return std::to_string(BytesToMegabytes(bytes)); };
    std::string line = std::string("role=") + run.role + " batch=" + std::to_string(run.batchId) +
                       " joined=" + std::to_string(run.joined) + " exit=" + std::to_string(run.exitCode) +
                       " own_mb=" + std::to_string(run.ownMegabytes) + " run_ms=" + std::to_string(run.runMs);
    if (run.report == nullptr) return line;
    const DefragReport& r = *run.report;
    line += " outcome=" + Narrow(BatchOutcomeName(HistoryRecord(r, 0).outcome)) + " asked_mb=" + mb(r.goal.asked) +
            " needed_mb=" + mb(r.needed) + " aim_mb=" + mb(r.aim) + " freed_mb=" + mb(r.Rise()) +
            " moved_mb=" + mb(r.effect.moved) + " fruitless=" + std::to_string(r.counts.fruitless) +
            " trimmed=" + std::to_string(r.counts.trimmed) + " trimmed_ids=";
    for (std::size_t i = 0; i < r.trimmedIds.size(); ++i) line += (i > 0 ? "," : "") + std::to_string(r.trimmedIds[i]);
    if (r.trimmedIds.empty()) line += "none";
    line += " sessions_protected=" + std::to_string(r.sessionsProtected) +
            " full_screen=" + std::to_string(r.fullScreenSessions) +
            " protected=" + std::to_string(r.counts.protectedCount) + " services=" + std::to_string(r.counts.services) +
            " unknown_session=" + std::to_string(r.counts.unknownSession) + " busy=" + std::to_string(r.counts.busy) +
            " recent=" + std::to_string(r.counts.recent) + " refused=" + std::to_string(r.counts.refused) +
            " small=" + std::to_string(r.counts.small) + " before_mb=" + mb(r.start.available) +
            " after_mb=" + mb(r.after.available) +
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
