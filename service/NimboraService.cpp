// NimboraService: the program entry. Normalises one pair of settings, creates
// the service module and hands the process to the service application, which
// installs, removes or runs the service.
//
// With /unattended besides /install or /uninstall (the package's installer
// step, through nimbora.exe), no dialog appears: a failure's text goes to the
// standard error handle the parent passed, and the exit code tells the
// outcome (0 done, the system error code of a refused call, 1 otherwise).

#include <windows.h>

#include <cstdlib>
#include <string>

#include "service/NimboraServiceForm.h"
#include "settings/CustomRegistry.h"
#include "settings/SettingsKeys.h"
#include "svchost/ServiceApplication.h"
#include "svchost/StandardStream.h"

namespace nimbora {
namespace {

// With the program switched off (LoadNimbora false), its memory maintenance
// is switched off as well. Runs on every start, install and removal included.
void NormaliseSettings() {
    if (RegReadBool(HKEY_LOCAL_MACHINE, SettingsKey, kLoadNimbora, true)) return;
    if (RegReadBool(HKEY_LOCAL_MACHINE, SettingsKey, kDefragMemory, true))
        RegWriteBool(HKEY_LOCAL_MACHINE, SettingsKey, kDefragMemory, false);
}

void WriteStandardError(const std::wstring& text) noexcept {
    WriteStandardStream(STD_ERROR_HANDLE, text);
    WriteStandardStream(STD_ERROR_HANDLE, L"\r\n");
}

int RunProgram() {
    TWindowApplication windowApplication;
    TServiceApplication application(windowApplication, GetCommandLineW(), LoadMessageTexts());
    const bool unattended = application.Installing() && application.HasSwitch(L"UNATTENDED");
    int exitCode = 0;
    if (unattended) {
        application.ShowInstallMessage = [&exitCode](const std::wstring& text, bool isError) {
            if (!isError) return;
            exitCode = 1;
            WriteStandardError(text);
        };
    }
    NormaliseSettings();
    if (!application.DelayInitialize && !application.Installing()) application.Initialize();
    ServiceModule = application.CreateForm<TNimbora>();
    struct ForgetModule {
        ~ForgetModule() { ServiceModule = nullptr; }
    } forget;
    if (!unattended) {
        application.Run();
        return 0;
    }
    try {
        application.Run();
    } catch (const EOSError& e) {
        WriteStandardError(e.Message());
        return e.ErrorCode() != 0 ? static_cast<int>(e.ErrorCode()) : 1;
    } catch (const Exception& e) {
        WriteStandardError(e.Message());
        return 1;
    }
    return exitCode;
}

}  // namespace
}  // namespace nimbora

// The library's default terminate handler demangles type names for a console
// this program does not have, at the cost of some 50 KB of code.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// N.B. an error that escapes in service mode goes to the event log: a box
// would wait unseen on the service desktop and the manager would time out.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    bool serviceMode = true;
    try {
        serviceMode = !nimbora::InstallingCommandLine(GetCommandLineW());
        return nimbora::RunProgram();
    } catch (const nimbora::Exception& e) {
        return nimbora::HandleLastChance(e.ClassName(), e.Message(), e.Address(), serviceMode);
    } catch (const std::exception& e) {
        return nimbora::HandleLastChance(L"Exception", nimbora::WidenAscii(e.what()), nullptr, serviceMode);
    } catch (...) {
        return nimbora::HandleLastChance(L"Exception", L"", nullptr, serviceMode);
    }
}
