#include "defrag/DefragProgram.h"

#include <shellapi.h>

#include <string>

#include "defrag/Arguments.h"
#include "defrag/Batch.h"
#include "defrag/BatchCoordinator.h"
#include "defrag/ExitCodes.h"
#include "defrag/ProcessNames.h"
#include "defrag/Report.h"
#include "defrag/WinMemoryActions.h"
#include "settings/CustomRegistry.h"
#include "settings/SettingsKeys.h"

namespace nimbora {

namespace {

void AppendRecord(const std::wstring& path, DWORD processId, const std::string& record) {
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

DWORD ClampedMs(std::uint64_t ms) { return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms); }

}  // namespace

DefragSettings ReadDefragSettings() {
    DefragSettings settings;
    settings.exclude = RegReadString(HKEY_LOCAL_MACHINE, SettingsKey, kDefragExclude, L"");
    settings.flushModified = RegReadBool(HKEY_LOCAL_MACHINE, SettingsKey, kDefragFlushModified, false);
    settings.purgeStandby = RegReadBool(HKEY_LOCAL_MACHINE, SettingsKey, kDefragPurgeStandby, false);
    return settings;
}

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

    const DefragSettings settings = ReadDefragSettings();
    WinMemoryActions actions(calls);
    const MemoryReading first = actions.Read();
    if (first.total <= 0) {
        log.LogMessage(L"Asked to free " + std::to_wstring(parsed.megabytes) +
                       L" MB: nothing was done, physical memory could not be measured.");
        return kExitInternalError;
    }
    const std::int64_t ownBytes = RequestBytes(parsed.megabytes, first.total);
    const BatchTiming timing;
    const std::uint64_t started = calls.TickCount();

    RunSummary summary;
    summary.askedMegabytes = parsed.megabytes;
    BatchCoordinator coordinator(run.batchPrefix.empty() ? std::wstring(kBatchObjectsPrefix) : run.batchPrefix);
    MutexOwnership turn;
    if (coordinator.Available()) {
        const std::optional<BatchShare> share =
            coordinator.Join(actions, ownBytes, timing, ClampedMs(TurnTimeout(timing)));
        if (share) {
            summary.share = *share;
            const std::uint64_t waited = calls.TickCount() - started;
            const std::uint64_t timeout = TurnTimeout(timing);
            turn = coordinator.AwaitTurn(ClampedMs(timeout > waited ? timeout - waited : 0));
        }
        if (!share || !turn) {
            log.LogMessage(BusyEventText(parsed.megabytes, calls.TickCount() - started));
            return kExitBusy;
        }
    } else {
        summary.coordinated = false;
        summary.share = SoloShare(started, first, ownBytes);
    }

    DefragOptions options;
    options.exclusions = ParseExclusions(settings.exclude);
    options.flushModified = settings.flushModified;
    options.purgeStandby = settings.purgeStandby;
    options.budgetMilliseconds = WorkBudget(summary.share, calls.TickCount(), timing);
    summary.report = Defragmenter(actions, options).Run(GoalFor(summary.share, first.total));
    summary.exitCode = ExitCodeFor(summary.report.outcome);
    summary.peakWorkingSet = actions.PeakWorkingSet();
    // N.B. the record is written while the turn is held, so records of one
    // batch never interleave.
    if (!run.reportPath.empty()) AppendRecord(run.reportPath, calls.CurrentProcessId(), RecordLine(summary));
    turn.reset();

    if (summary.exitCode != kExitDone) log.LogMessage(EventText(summary));
    return summary.exitCode;
}

}  // namespace nimbora
