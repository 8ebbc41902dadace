#include "defrag/Report.h"

#include "probes/Rounding.h"

namespace nimbora {

namespace {

std::wstring Mb(std::int64_t bytes) { return std::to_wstring(BytesToMegabytes(bytes)) + L" MB"; }

std::wstring SignedMb(std::int64_t bytes) {
    const std::int64_t mb = BytesToMegabytes(bytes);
    return (mb >= 0 ? L"+" : L"") + std::to_wstring(mb) + L" MB";
}

std::string Narrow(std::wstring_view text) {
    // Every text put in a record is ASCII.
    std::string narrow;
    narrow.reserve(text.size());
    for (const wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

std::wstring DescribeStep(const StepRecord& step) {
    std::wstring text = std::wstring(StepName(step.kind)) + L" " + StatusName(step.status);
    if (step.kind == StepKind::skTrimProcesses) {
        text += L", " + std::to_wstring(step.trimmed) + L" processes trimmed, " + std::to_wstring(step.refused) +
                L" refused, " + std::to_wstring(step.protectedCount) + L" protected";
    }
    if (step.kind == StepKind::skLastResort) text += L", held " + Mb(step.held);
    text += L", " + SignedMb(step.availableGain) + L" available";
    if (step.freeGain != 0) text += L", " + SignedMb(step.freeGain) + L" free";
    text += L", " + std::to_wstring(step.milliseconds) + L" ms";
    return text;
}

const wchar_t* OutcomeText(DefragOutcome outcome) {
    switch (outcome) {
        case DefragOutcome::ocAlreadyFree: return L"memory was already free enough";
        case DefragOutcome::ocTargetMet: return L"the target was met";
        case DefragOutcome::ocNotMet: return L"the memory asked for is not available, the target was not met";
        case DefragOutcome::ocUnmeasured: return L"memory could not be measured, nothing was done";
    }
    return L"";
}

}  // namespace

std::wstring EventText(const RunSummary& run) {
    const DefragReport& r = run.report;
    std::wstring text = L"Asked to free " + std::to_wstring(run.askedMegabytes) + L" MB";
    if (run.coordinated)
        text += L" (instance " + std::to_wstring(run.share.position) + L" of batch " + std::to_wstring(run.share.id) +
                L", " + Mb(run.share.cumulativeBytes) + L" for the batch so far)";
    else
        text += L" (alone: the batch record could not be opened)";
    text += L": ";
    text += OutcomeText(r.outcome);
    text += L". Available memory " + Mb(r.before.available) + L" -> " + Mb(r.after.available) + L", target " +
            Mb(r.goal.availableTarget) + L".";
    if (r.before.free >= 0 && r.after.free >= 0)
        text += L" Free pages " + Mb(r.before.free) + L" -> " + Mb(r.after.free) + L".";
    if (r.steps.empty()) {
        text += L" No step ran.";
    } else {
        text += L" Steps: ";
        for (std::size_t i = 0; i < r.steps.size(); ++i) {
            if (i > 0) text += L"; ";
            text += DescribeStep(r.steps[i]);
        }
        text += L".";
    }
    text += L" Took " + std::to_wstring(r.milliseconds) + L" ms.";
    return text;
}

std::string RecordLine(const RunSummary& run) {
    const DefragReport& r = run.report;
    auto mb = [](std::int64_t bytes) { return std::to_string(BytesToMegabytes(bytes)); };
    std::string line = "exit=" + std::to_string(run.exitCode) + " asked_mb=" + std::to_string(run.askedMegabytes) +
                       " batch=" + (run.coordinated ? std::to_string(run.share.id) : std::string("solo")) +
                       " position=" + std::to_string(run.share.position) + " share_mb=" +
                       mb(run.share.cumulativeBytes) + " baseline_mb=" + mb(run.share.baselineAvailable) + " target_mb=" + mb(r.goal.availableTarget) +
                       " before_mb=" + mb(r.before.available) + " after_mb=" + mb(r.after.available) +
                       " freed_mb=" + mb(r.Freed()) + " free_before_mb=" +
                       (r.before.free >= 0 ? mb(r.before.free) : "unknown") + " free_after_mb=" +
                       (r.after.free >= 0 ? mb(r.after.free) : "unknown") + " ms=" + std::to_string(r.milliseconds);
    const StepRecord* last = r.Find(StepKind::skLastResort);
    line += " held=" + std::to_string(last ? last->held : 0);
    line += " peak_ws=" + std::to_string(run.peakWorkingSet);
    line += " steps=";
    if (r.steps.empty()) line += "none";
    for (std::size_t i = 0; i < r.steps.size(); ++i) {
        const StepRecord& s = r.steps[i];
        if (i > 0) line += ",";
        const std::int64_t gain = BytesToMegabytes(s.availableGain);
        line += Narrow(StepName(s.kind)) + ":" + Narrow(StatusName(s.status)) + ":" + (gain >= 0 ? "+" : "") +
                std::to_string(gain) + "mb:" + std::to_string(s.milliseconds) + "ms";
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

std::wstring BusyEventText(std::int64_t askedMegabytes, std::uint64_t waitedMs) {
    return L"Asked to free " + std::to_wstring(askedMegabytes) + L" MB: nothing was done, another instance held the "
           L"work turn for " + std::to_wstring(waitedMs) + L" ms.";
}

}  // namespace nimbora
