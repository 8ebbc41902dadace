#include "tray/TrayPlatform.h"

#include <shellapi.h>

#include "svchost/ServiceApplication.h"

namespace nimbora {

// N.B. called directly, not late-bound as the service's probes do: kernel32
// has exported it since Windows 2000, and once a second a library loaded and
// released around every call is the program's largest cost.
bool SystemMemory::Read(std::int64_t& totalBytes, std::int64_t& availableBytes) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return false;
    totalBytes = static_cast<std::int64_t>(status.ullTotalPhys);
    availableBytes = static_cast<std::int64_t>(status.ullAvailPhys);
    return totalBytes > 0 && availableBytes >= 0;
}

DWORD ShellElevation::Run(const std::wstring& program, const std::wstring& parameters, UniqueHandleObject& process) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // N.B. SEE_MASK_FLAG_NO_UI: a refusal comes back as ERROR_CANCELLED and
    // the window says so; the shell shows no box of its own.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) return GetLastError();
    process.reset(info.hProcess);
    return process ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::wstring ProgramFolder() {
    const std::wstring path = ExecutablePath();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

bool ShowFirstInstance() {
    const UINT show = RegisterWindowMessageW(kTrayShowMessage);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (const HWND first = FindWindowW(kTrayWindowClass, nullptr)) {
            DWORD process = 0;
            GetWindowThreadProcessId(first, &process);
            AllowSetForegroundWindow(process);
            return PostMessageW(first, show, 0, 0) != FALSE;
        }
        Sleep(100);
    }
    return false;
}

}  // namespace nimbora
