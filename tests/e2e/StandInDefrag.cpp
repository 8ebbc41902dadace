// A stand-in for NimboraDefrag.exe: appends its one argument, as a line, to
// launches.log beside itself, so a test sees every launch the service makes.

#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::wstring line = argc == 2 ? argv[1] : L"<" + std::to_wstring(argc - 1) + L" arguments>";
    LocalFree(argv);

    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring log(path, length);
    log = log.substr(0, log.find_last_of(L'\\') + 1) + L"launches.log";

    // Several instances of one batch append side by side: one write each.
    const std::string bytes = std::string(line.begin(), line.end()) + "\n";
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            CloseHandle(file);
            return 0;
        }
        Sleep(10);
    }
    return 1;
}
