#pragma once
// The flow of one run of NimboraDefrag.exe: check the argument, join the
// batch, wait for the work turn, run the planner towards the batch's target,
// and tell the outcome (an exit code, an event entry when it failed, and a
// record line when one is asked for).

#include <windows.h>

#include <string>
#include <vector>

#include "defrag/SystemCalls.h"
#include "svchost/EventLogger.h"

namespace nimbora {

// Values under the service's settings key that the defragmenter reads. With
// none of them present it protects no named process and never flushes or
// purges.
inline constexpr wchar_t kDefragExclude[] = L"DefragExclude";              // REG_SZ, names separated by ';'
inline constexpr wchar_t kDefragFlushModified[] = L"DefragFlushModified";  // DWORD bool, default false
inline constexpr wchar_t kDefragPurgeStandby[] = L"DefragPurgeStandby";    // DWORD bool, default false

// The event source of the program's entries.
inline constexpr wchar_t kDefragEventSource[] = L"NimboraDefrag.exe";

// Names a file to which each run appends its record line (see RecordLine):
// for tests and measurements; nothing is written without it.
inline constexpr wchar_t kReportVariable[] = L"NIMBORA_DEFRAG_REPORT";

struct DefragSettings {
    std::wstring exclude;
    bool flushModified = false;
    bool purgeStandby = false;
};

DefragSettings ReadDefragSettings();

// The arguments after the program name on this process's command line.
std::vector<std::wstring> ProgramArguments();

// The value of kReportVariable, or empty.
std::wstring ReportPath();

struct DefragRun {
    std::vector<std::wstring> arguments;
    std::wstring reportPath;
    std::wstring batchPrefix;
};

// The whole run; returns the exit code (defrag/ExitCodes.h). The settings are
// read only once the argument has been accepted.
int RunDefragProgram(const DefragRun& run, SystemCalls& calls, TEventLogger& log);

}  // namespace nimbora
