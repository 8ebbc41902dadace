#include "defrag/DefragProgram.h"

#include <shellapi.h>

#include <string>

#include "defrag/Arguments.h"
#include "defrag/ExitCodes.h"
#include "defrag/ProcessNames.h"
#include "defrag/Report.h"
#include "defrag/TrimMarks.h"
#include "defrag/WinMemoryActions.h"
#include "messages/EventIds.h"

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

int RunDefragProgram(const DefragRun& run, SystemCalls& calls, TEventLogger& log) {
    const ParsedArgument parsed = ParseArguments(run.arguments);
    if (parsed.kind == ArgumentKind::akNothing) return kExitDone;
    if (parsed.kind != ArgumentKind::akCount) {
        log.LogMessage(ArgumentEventText(parsed.kind, Joined(run.arguments)), EVENTLOG_ERROR_TYPE, 0,
                       kEventBadArgument);
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
    const DefragStore store(run.settingsPath);
    // A refusal: the error entry at most once per period.
    const auto refuse = [&](const std::wstring& why) {
        const DefragSettings settings = store.ReadSettings(0);
        if (store.ClaimRefusalEntry(calls.SystemTimeUtc(), settings.executePeriod))
            log.LogEntry(kEventCoordinationRefused, EVENTLOG_ERROR_TYPE,
                         {Asked(parsed.megabytes) + L"nothing was done, " + why, std::to_wstring(parsed.megabytes)});
        summary.role = "refused";
        return finish(kExitBusy);
    };

    BatchCoordinator coordinator(calls, run.recordLockTimeoutMs, run.batchAlias, run.batchGlobalPrefix);
    if (coordinator.State() != Coordination::cdReady)
        return refuse(L"the batch's coordination was refused: " + coordinator.Problem() + L".");
    WinMemoryActions actions(calls, run.sampleMs, run.probeTimeoutMs);
    // N.B. read before the record's lock is taken: the privilege and the
    // memory query may take their time, the lock is held for microseconds.
    const MemoryReading reading = actions.Read();
    // N.B. the batch caps every amount at the physical memory it measured.
    const std::int64_t ownBytes = RequestBytes(parsed.megabytes, INT64_MAX);
    const std::optional<BatchCoordinator::Entered> entered = coordinator.Enter(reading, ownBytes, run.timing);
    if (!entered)
        return refuse(L"the batch record stayed locked for " + std::to_wstring(run.recordLockTimeoutMs) + L" ms.");
    summary.batchId = entered->batchId;
    summary.joined = entered->joined;
    if (entered->readingFailed) {
        log.LogEntry(kEventInternalError, EVENTLOG_ERROR_TYPE,
                     {Asked(parsed.megabytes) + L"nothing was done, physical memory could not be measured.",
                      std::to_wstring(parsed.megabytes)});
        summary.role = "unmeasured";
        return finish(kExitInternalError);
    }
    switch (entered->role) {
        case BatchRole::brWorker: break;
        case BatchRole::brHandedOver: summary.role = "handed-over"; return finish(kExitDone);
        case BatchRole::brLate: summary.role = "late"; return finish(kExitDone);
        case BatchRole::brRefused:
            switch (entered->refusal) {
                // N.B. the batch's work is done or under way: nothing to add,
                // nothing to report.
                case RefusalKind::rkFinishing: summary.role = "late"; return finish(kExitDone);
                case RefusalKind::rkOverCap: summary.role = "over-cap"; return finish(kExitDone);
                case RefusalKind::rkMemoryChanged: summary.role = "memory-changed"; return finish(kExitDone);
                case RefusalKind::rkNotSane: break;
            }
            return refuse(L"the batch record is not one a batch can write while its worker runs.");
    }

    // The worker.
    const std::uint64_t startedUtc = calls.SystemTimeUtc();
    while (!coordinator.GatheringOver(run.timing)) calls.Sleep(50);
    const DefragSettings settings = store.ReadSettings(entered->total);
    if (settings.excludeWrongType) {
        coordinator.Finish();
        log.LogEntry(kEventInternalError, EVENTLOG_ERROR_TYPE,
                     {Asked(parsed.megabytes) + L"nothing was done, the setting " + kDefragExclude +
                          L" is not a text (REG_SZ): no process could be known to be excluded.",
                      std::to_wstring(parsed.megabytes)});
        summary.role = "worker";
        coordinator.ReleaseWorker();
        return finish(kExitInternalError);
    }
    const std::uint64_t nowUtc = calls.SystemTimeUtc();
    DefragOptions options;
    options.exclusions = ParseExclusions(settings.exclude);
    options.remembered = RememberedTrimMarks(store.ReadTrimMarks(), nowUtc);
    options.nowUtc = nowUtc;
    options.flushModified = settings.flushModified;
    options.purgeStandby = settings.purgeStandby;
    options.trimServices = settings.trimServices;
    options.fullScreenCheck = settings.fullScreenCheck;
    options.budgetMilliseconds = run.budgetMs;
    options.settleMilliseconds = run.settleMs;
    options.askedNow = [&] { return coordinator.Asked(entered->total, &summary.joined); };
    const std::int64_t asked = coordinator.Asked(entered->total, &summary.joined);
    DefragGoal goal;
    goal.asked = asked >= 0 ? asked : entered->asked;
    goal.triggerLevel = settings.triggerLevel;
    goal.baselineAvailable = entered->baselineAvailable;
    std::vector<TrimMark> remembered = options.remembered;
    DefragReport report = Defragmenter(actions, std::move(options)).Run(goal);
    coordinator.Finish();

    // N.B. the worker's lock is held until the results are written: the next
    // batch's worker reads the marks this one leaves.
    if (!report.newMarks.empty() || !remembered.empty()) {
        remembered.insert(remembered.end(), report.newMarks.begin(), report.newMarks.end());
        store.WriteTrimMarks(RememberedTrimMarks(std::move(remembered), nowUtc));
    }
    store.AddBatchRecord(HistoryRecord(report, startedUtc));
    const BatchEntry entry = BatchEventEntry(report);
    log.LogEntry(entry.eventId, EventType(entry.kind), entry.Strings());
    coordinator.ReleaseWorker();
    summary.report = &report;
    return finish(ExitCodeFor(report.outcome));
}

}  // namespace nimbora
