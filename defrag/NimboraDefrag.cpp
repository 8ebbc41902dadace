// NimboraDefrag.exe: frees the number of megabytes given as its one argument,
// as the worker of its batch or by handing the amount over to the worker.
// With kDesktopProbeSwitch alone it is the desktop probe instead: it writes
// its one line (defrag/ProbeReport.h) to its standard output and exits 0.
// Windowless; exit codes in defrag/ExitCodes.h.
//
// The tests' build (NIMBORA_DEFRAG_RECORDING) also appends each run's record
// line to the file named by NIMBORA_DEFRAG_REPORT; the shipped program reads
// no such variable.

#include <windows.h>

#include <new>

#include "defrag/DefragProgram.h"
#include "defrag/ExitCodes.h"
#include "defrag/ProbeReport.h"
#include "defrag/WinMemoryActions.h"
#include "messages/EventIds.h"
#include "svchost/Exception.h"

namespace {

#ifdef NIMBORA_DEFRAG_RECORDING
std::wstring RecordPath() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(L"NIMBORA_DEFRAG_REPORT", buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return L"";
    return std::wstring(buffer, length);
}
#endif

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace nimbora;
    TEventLogger log(kDefragEventSource);
    try {
        DefragRun run;
        run.arguments = ProgramArguments();
        Win32SystemCalls calls;
        if (run.arguments.size() == 1 && run.arguments[0] == kDesktopProbeSwitch)
            return calls.WriteStandardOutput(FormatProbeReport(ProbeDesktop(calls))) ? 0 : 1;
        // Below normal: the foreground program keeps the processor.
        SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
#ifdef NIMBORA_DEFRAG_RECORDING
        run.reportPath = RecordPath();
#endif
        return RunDefragProgram(run, calls, log);
    } catch (const Exception& e) {
        log.LogMessage(L"The run ended with an error: " + e.Message(), EVENTLOG_ERROR_TYPE, 0, kEventInternalError);
    } catch (const std::bad_alloc&) {
        log.LogMessage(L"The run ended with an error: out of memory.", EVENTLOG_ERROR_TYPE, 0, kEventInternalError);
    } catch (...) {
        log.LogMessage(L"The run ended with an unexpected error.", EVENTLOG_ERROR_TYPE, 0, kEventInternalError);
    }
    return kExitInternalError;
}
