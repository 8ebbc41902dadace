#pragma once
// The flow of one run of NimboraDefrag.exe: check the argument, enter the
// batch, and either hand the amount over to the batch's worker and exit, or
// be the worker: gather the batch's amounts, run the planner once towards
// the batch's goal, remember what was trimmed, record the batch and write its
// one event-log entry.

#include <windows.h>

#include <string>
#include <vector>

#include "defrag/Batch.h"
#include "defrag/BatchCoordinator.h"
#include "defrag/DefragStore.h"
#include "defrag/SystemCalls.h"
#include "svchost/EventLogger.h"

namespace nimbora {

// The event source of the program's entries.
inline constexpr wchar_t kDefragEventSource[] = L"NimboraDefrag";

// Names a file to which each run appends its record line (see RecordLine):
// for tests and measurements; nothing is written without it.
inline constexpr wchar_t kReportVariable[] = L"NIMBORA_DEFRAG_REPORT";

// The arguments after the program name on this process's command line.
std::vector<std::wstring> ProgramArguments();

// The value of kReportVariable, or empty.
std::wstring ReportPath();

struct DefragRun {
    std::vector<std::wstring> arguments;
    std::wstring reportPath;
    std::wstring batchPrefix = kBatchObjectsPrefix;
    std::wstring settingsPath = kDefragSettingsPath;
    BatchTiming timing;
    DWORD recordLockTimeoutMs = 10000;
    DWORD sampleMs = 500;         // processor-time sampling of the candidates
    // The foreground probe answers within milliseconds on Windows; under an
    // emulator, on a loaded machine, starting it can take seconds.
    DWORD probeTimeoutMs = 15000;
    std::uint64_t settleMs = 200;
    std::uint64_t budgetMs = 15000;
};

// The whole run; returns the exit code (defrag/ExitCodes.h).
int RunDefragProgram(const DefragRun& run, SystemCalls& calls, TEventLogger& log);

}  // namespace nimbora
