// NimboraService: the program entry. Normalises one pair of settings, creates
// the service module and hands the process to the service application, which
// installs, removes or runs the service.

#include <windows.h>

#include <cstdlib>

#include "service/NimboraServiceForm.h"
#include "settings/CustomRegistry.h"
#include "settings/SettingsKeys.h"
#include "svchost/ServiceApplication.h"

namespace nimbora {
namespace {

// With the program switched off (LoadNimbora false), its memory maintenance
// is switched off as well. Runs on every start, install and removal included.
void NormaliseSettings() {
    if (RegReadBool(HKEY_LOCAL_MACHINE, SettingsKey, kLoadNimbora, true)) return;
    if (RegReadBool(HKEY_LOCAL_MACHINE, SettingsKey, kDefragMemory, true))
        RegWriteBool(HKEY_LOCAL_MACHINE, SettingsKey, kDefragMemory, false);
}

int RunProgram() {
    TWindowApplication windowApplication;
    TServiceApplication application(windowApplication, GetCommandLineW(), LoadMessageTexts());
    NormaliseSettings();
    if (!application.DelayInitialize && !application.Installing()) application.Initialize();
    ServiceModule = application.CreateForm<TNimbora>();
    struct ForgetModule {
        ~ForgetModule() { ServiceModule = nullptr; }
    } forget;
    application.Run();
    return 0;
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
