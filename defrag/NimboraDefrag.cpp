// NimboraDefrag.exe: frees the number of megabytes given as its one argument.
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
        // Below normal: the foreground program keeps the processor.
        SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
        DefragRun run;
        run.arguments = ProgramArguments();
        run.reportPath = ReportPath();
        Win32SystemCalls calls;
        return RunDefragProgram(run, calls, log);
    } catch (const Exception& e) {
        log.LogMessage(L"The run ended with an error: " + e.Message());
    } catch (const std::bad_alloc&) {
        log.LogMessage(L"The run ended with an error: out of memory.");
    }
    return kExitInternalError;
}
