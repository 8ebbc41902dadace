// NimboraTray.exe: the desktop program, started at log-on for every user and
// run with the user's own rights. One instance per session: a second start
// brings the first one's window forward and ends.

#include <windows.h>

#include "admin/AdminPlatform.h"
#include "tray/TrayPlatform.h"
#include "tray/TrayWindow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    try {
        using namespace nimbora;
        const UniqueHandleObject instanceMutex(CreateMutexW(nullptr, FALSE, kTrayInstanceMutex));
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            ShowFirstInstance();
            return 0;
        }
        AdminPlatform reads;
        SystemMemory memory;
        ShellElevation elevation;
        TrayServices services{reads, memory, elevation, LanguageForLangId(GetUserDefaultUILanguage()),
                              ProgramFolder()};
        TrayApp app(services);
        return app.Run(instance);
    } catch (...) {
        return 1;
    }
}
