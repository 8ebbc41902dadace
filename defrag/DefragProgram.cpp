#include "defrag/DefragProgram.h"

#include <shellapi.h>

#include <string>

#include "defrag/Arguments.h"
#include "defrag/ExitCodes.h"
#include "defrag/ProcessNames.h"
#include "defrag/Report.h"
#include "defrag/TrimMarks.h"
#include "defrag/WinMemoryActions.h"

namespace nimbora {

namespace {

void AppendRecord(const std::wstring& path, DWORD processId, const std::string& record) {
    if (path.empty()) return;
    const UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string line = "pid=" + std::to_string(processId) + " " + record + "\n";
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::wstring Joined(const std::vector<std::wstring>& arguments) {
    std::wstring text;
    for (const std::wstring& a : arguments) text += (text.empty() ? L"" : L" ") + a;
    return text;
}

WORD EventType(EntryKind kind) {
    switch (kind) {
        case EntryKind::ekInformation: return EVENTLOG_INFORMATION_TYPE;
        case EntryKind::ekWarning: return EVENTLOG_WARNING_TYPE;
        case EntryKind::ekError: return EVENTLOG_ERROR_TYPE;
    }
    return EVENTLOG_ERROR_TYPE;
}

std::wstring Asked(std::int64_t megabytes) { return L"Asked to free " + std::to_wstring(megabytes) + L" MB: "; }

}  // namespace

std::vector<std::wstring> ProgramArguments() {
    int count = 0;
    const UniqueArgumentList list(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::wstring> arguments;
    if (!list) return arguments;
    for (int i = 1; i < count; ++i) arguments.emplace_back(list.get()[i]);
    return arguments;
}

std::wstring ReportPath() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(kReportVariable, buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return L"";
    return std::wstring(buffer, length);
}

int RunDefragProgram(const DefragRun& run, SystemCalls& calls, TEventLogger& log) {
    const ParsedArgument parsed = ParseArguments(run.arguments);
    if (parsed.kind == ArgumentKind::akNothing) return kExitDone;
    if (parsed.kind != ArgumentKind::akCount) {
        log.LogMessage(ArgumentEventText(parsed.kind, Joined(run.arguments)));
        return kExitBadArgument;
    }
    RunSummary summary;
    summary.ownMegabytes = parsed.megabytes;
    const std::uint64_t started = calls.TickCount();
    const auto finish = [&](int exitCode) {
        summary.exitCode = exitCode;
        summary.runMs = calls.TickCount() - started;
        AppendRecord(run.reportPath, calls.CurrentProcessId(), RecordLine(summary));
        return exitCode;
    };

    BatchCoordinator coordinator(calls, run.batchPrefix);
    if (coordinator.State() != Coordination::cdReady) {
        log.LogMessage(Asked(parsed.megabytes) + L"nothing was done, the batch's coordination was refused: " +
                       coordinator.Problem() + L".");
        summary.role = "refused";
        return finish(kExitBusy);
    }
    WinMemoryActions actions(calls, run.sampleMs, run.probeTimeoutMs);
    // N.B. the batch caps every amount at the physical memory it measured.
    const std::int64_t ownBytes = RequestBytes(parsed.megabytes, INT64_MAX);
    const std::optional<BatchCoordinator::Entered> entered =
        coordinator.Enter(actions, ownBytes, run.timing, run.recordLockTimeoutMs);
    if (!entered) {
        log.LogMessage(Asked(parsed.megabytes) + L"nothing was done, the batch record stayed locked for " +
                       std::to_wstring(run.recordLockTimeoutMs) + L" ms.");
        summary.role = "refused";
        return finish(kExitBusy);
    }
    summary.batchId = entered->batchId;
    summary.joined = entered->joined;
    if (entered->readingFailed) {
        log.LogMessage(Asked(parsed.megabytes) + L"nothing was done, physical memory could not be measured.");
        summary.role = "unmeasured";
        return finish(kExitInternalError);
    }
    if (entered->role == BatchRole::brHandedOver) {
        summary.role = "handed-over";
        return finish(kExitDone);
    }
    if (entered->role == BatchRole::brLate) {
        summary.role = "late";
        return finish(kExitDone);
    }
    if (entered->role == BatchRole::brRefused) {
        log.LogMessage(Asked(parsed.megabytes) +
                       L"nothing was done, the batch record is not one a batch can write while its worker runs.");
        summary.role = "refused";
        return finish(kExitBusy);
    }

    // The worker.
    const std::uint64_t startedUtc = calls.SystemTimeUtc();
    // N.B. the probe runs while the others still hand their amounts over.
    actions.Foreground();
    while (!coordinator.GatheringOver(run.timing)) calls.Sleep(50);
    const DefragStore store(run.settingsPath);
    const DefragSettings settings = store.ReadSettings();
    const std::vector<TrimMark> marks = ActiveTrimMarks(store.ReadTrimMarks(), calls.SystemTimeUtc());

    DefragOptions options;
    options.exclusions = ParseExclusions(settings.exclude);
    options.flushModified = settings.flushModified;
    options.purgeStandby = settings.purgeStandby;
    options.recentlyTrimmed = marks;
    options.budgetMilliseconds = run.budgetMs;
    options.settleMilliseconds = run.settleMs;
    options.askedNow = [&] { return coordinator.Asked(entered->total, &summary.joined); };
    const std::int64_t asked = coordinator.Asked(entered->total, &summary.joined);
    DefragReport report =
        Defragmenter(actions, options).Run({entered->baselineAvailable, asked >= 0 ? asked : entered->asked});
    coordinator.Finish();

    const std::uint64_t nowUtc = calls.SystemTimeUtc();
    std::vector<TrimMark> remembered = marks;
    for (TrimMark mark : report.newMarks) {
        mark.trimmedUtc = nowUtc;
        remembered.push_back(mark);
    }
    if (!report.newMarks.empty()) store.WriteTrimMarks(ActiveTrimMarks(std::move(remembered), nowUtc));
    store.AddBatchRecord(HistoryRecord(report, startedUtc));

    const BatchEntry entry = BatchEventEntry(report);
    log.LogMessage(entry.text, EventType(entry.kind));
    summary.report = &report;
    return finish(ExitCodeFor(report.outcome));
}

}  // namespace nimbora
