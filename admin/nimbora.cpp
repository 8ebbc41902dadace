// nimbora.exe: the administrator's console tool. Hands the command line to
// the portable commands with the real machine and writes their texts: to a
// console as UTF-16, to a file or pipe as UTF-8. A failed installer step
// (service-*) also writes its reason to the Application event log under the
// source Nimbora: the installer keeps no program's standard error.

#include <windows.h>

#include <string>
#include <vector>

#include "admin/AdminCommand.h"
#include "admin/AdminPlatform.h"
#include "settings/CaptionTable.h"
#include "svchost/CommandLine.h"
#include "svchost/EventLogger.h"
#include "svchost/Exception.h"
#include "svchost/StandardStream.h"

namespace nimbora {
namespace {

constexpr wchar_t kEventSource[] = L"Nimbora";

bool IsInstallerStep(const std::wstring& command) {
    return LowerCaseAZ(command).rfind(L"service-", 0) == 0;
}

int Run() {
    AdminPlatform platform;
    CommandOutput output;
    const std::vector<std::wstring> arguments = CommandLineArguments(GetCommandLineW());
    const int code = RunAdminCommand(arguments, platform, output);
    WriteStandardStream(STD_OUTPUT_HANDLE, output.out);
    WriteStandardStream(STD_ERROR_HANDLE, output.err);
    if (code != kExitDone && !arguments.empty() && IsInstallerStep(arguments[0]))
        TEventLogger(kEventSource).LogMessage(output.err);
    return code;
}

}  // namespace
}  // namespace nimbora

int wmain() {
    try {
        return nimbora::Run();
    } catch (const nimbora::Exception& e) {
        nimbora::WriteStandardStream(STD_ERROR_HANDLE, L"nimbora: " + e.Message() + L"\n");
    } catch (...) {
        nimbora::WriteStandardStream(STD_ERROR_HANDLE, L"nimbora: internal error\n");
    }
    return nimbora::kExitFailed;
}
