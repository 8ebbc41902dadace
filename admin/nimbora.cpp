// nimbora.exe: the administrator's console tool. Hands the command line to
// the portable commands with the real machine and writes their texts: to a
// console as UTF-16, to a file or pipe as UTF-8.

#include <windows.h>

#include <string>

#include "admin/AdminCommand.h"
#include "admin/AdminPlatform.h"
#include "svchost/CommandLine.h"
#include "svchost/Exception.h"
#include "svchost/StandardStream.h"

namespace nimbora {
namespace {

int Run() {
    AdminPlatform platform;
    CommandOutput output;
    const int code = RunAdminCommand(CommandLineArguments(GetCommandLineW()), platform, output);
    WriteStandardStream(STD_OUTPUT_HANDLE, output.out);
    WriteStandardStream(STD_ERROR_HANDLE, output.err);
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
