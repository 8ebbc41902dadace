// A visible window that puts itself in the foreground, for the companion's
// desktop probe to find:
//   ForegroundWindow.exe <pid file> <seconds> [window|full-screen] [megabytes]
// writes its process id to the file once its window is in front, and ends
// after the given seconds. "full-screen": a borderless topmost window
// covering the monitor, as a full-screen program shows. With megabytes, it
// holds that much private memory touched, so that it is the largest
// candidate a batch could trim.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_TIMER || message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3 || argc > 5) return 2;
    const std::wstring pidFile = argv[1];
    const UINT seconds = static_cast<UINT>(_wtoi(argv[2]));
    const bool fullScreen = argc >= 4 && std::wstring(argv[3]) == L"full-screen";
    const std::size_t megabytes = argc >= 5 ? static_cast<std::size_t>(_wtoi(argv[4])) : 0;
    LocalFree(argv);
    std::vector<char> held(megabytes * 1024 * 1024);
    volatile char* touched = held.data();
    for (std::size_t i = 0; i < held.size(); i += 4096) touched[i] = 1;

    WNDCLASSW cls{};
    cls.lpfnWndProc = Procedure;
    cls.hInstance = instance;
    cls.lpszClassName = L"NimboraForegroundWindow";
    RegisterClassW(&cls);
    HWND window = fullScreen ? CreateWindowExW(WS_EX_TOPMOST, cls.lpszClassName, L"Nimbora full screen",
                                               WS_POPUP | WS_VISIBLE, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                                               GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, instance, nullptr)
                             : CreateWindowExW(0, cls.lpszClassName, L"Nimbora foreground",
                                               WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320, 200, nullptr, nullptr,
                                               instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    for (int i = 0; i < 100 && GetForegroundWindow() != window; ++i) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(20);
        SetForegroundWindow(window);
    }
    const std::string pid = std::to_string(GetCurrentProcessId()) + (GetForegroundWindow() == window ? "" : " behind");
    HANDLE file = CreateFileW(pidFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
        CloseHandle(file);
    }
    SetTimer(window, 1, seconds * 1000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}
