// What the package test asks of Windows that Wine's own tools cannot do:
//   PackageProbe start-type SERVICE N     changes the service's start type
//                                         (2 automatic, 3 on demand, 4 disabled)
// Console program; exit code 0 when done, otherwise the system error code.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int Failed(const char* what) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "PackageProbe: %s failed with system error %lu\n", what, error);
    return error != 0 ? static_cast<int>(error) : 1;
}

int StartType(const wchar_t* name, DWORD startType) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return Failed("OpenSCManagerW");
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG);
    int code = 0;
    if (service == nullptr) {
        code = Failed("OpenServiceW");
    } else {
        if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr))
            code = Failed("ChangeServiceConfigW");
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"start-type" && argc == 4) return StartType(argv[2], std::wcstoul(argv[3], nullptr, 10));
    std::fprintf(stderr, "usage: PackageProbe start-type SERVICE N\n");
    return 2;
}
