#pragma once
// The flow of one run of NimboraDefrag.exe: check the argument, read memory,
// enter the batch, and either hand the amount over to the batch's worker and
// exit, or be the worker: gather the batch's amounts, run the planner once
// towards the batch's goal, remember what was trimmed, record the batch and
// write its one event-log entry, and only then let the next worker come.
//
// Instances beyond the batch's cap, and instances that find the physical
// memory changed since the worker measured it (memory added to a running
// virtual machine), exit 0 without an entry. A refusal (exit 4) writes its
// error entry at most once per ExecutePeriod (at least a minute): a broken
// or foreign record cannot flood the Application log.

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

// The arguments after the program name on this process's command line.
std::vector<std::wstring> ProgramArguments();

struct DefragRun {
    std::vector<std::wstring> arguments;
    // A file each run appends its record line to (Report.h's RecordLine):
    // given by the tests' build of the program only (NimboraDefrag.cpp).
    std::wstring reportPath;
    std::wstring batchAlias = kBatchAlias;
    std::wstring batchGlobalPrefix = kBatchGlobalPrefix;
    std::wstring settingsPath = kDefragSettingsPath;
    BatchTiming timing;
    DWORD recordLockTimeoutMs = 10000;
    DWORD sampleMs = 500;         // processor-time sampling of the candidates
    // The desktop probe answers within milliseconds on Windows; under an
    // emulator, on a loaded machine, starting it can take seconds.
    DWORD probeTimeoutMs = 15000;
    std::uint64_t settleMs = 200;
    std::uint64_t budgetMs = 15000;
};

// The whole run; returns the exit code (defrag/ExitCodes.h).
int RunDefragProgram(const DefragRun& run, SystemCalls& calls, TEventLogger& log);

}  // namespace nimbora
