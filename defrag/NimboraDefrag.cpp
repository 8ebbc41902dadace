// NimboraDefrag.exe: frees the number of megabytes given as its one argument,
// as the worker of its batch or by handing the amount over to the worker.
// With kForegroundProbeSwitch alone it is the foreground probe instead.
// Windowless; exit codes in defrag/ExitCodes.h.

#include <windows.h>

#include <new>

#include "defrag/DefragProgram.h"
#include "defrag/ExitCodes.h"
#include "svchost/Exception.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace nimbora;
    TEventLogger log(kDefragEventSource);
    try {
        DefragRun run;
        run.arguments = ProgramArguments();
        Win32SystemCalls calls;
        if (run.arguments.size() == 1 && run.arguments[0] == kForegroundProbeSwitch)
            return static_cast<int>(calls.ForegroundProcessId());
        // Below normal: the foreground program keeps the processor.
        SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
        run.reportPath = ReportPath();
        return RunDefragProgram(run, calls, log);
    } catch (const Exception& e) {
        log.LogMessage(L"The run ended with an error: " + e.Message());
    } catch (const std::bad_alloc&) {
        log.LogMessage(L"The run ended with an error: out of memory.");
    } catch (...) {
        log.LogMessage(L"The run ended with an unexpected error.");
    }
    return kExitInternalError;
}
