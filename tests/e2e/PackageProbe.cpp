// What the package test asks of Windows that Wine's own tools cannot do:
//   PackageProbe start-type SERVICE N     changes the service's start type
//                                         (2 automatic, 3 on demand, 4 disabled)
//   PackageProbe format DLL ID [TEXT...]  prints message ID of the message file
//                                         DLL with the TEXTs as insertion strings,
//                                         as the Event Viewer formats an entry
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

int Format(const wchar_t* library, DWORD id, wchar_t** inserts) {
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return Failed("LoadLibraryExW");
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                            FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                        module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                        reinterpret_cast<wchar_t*>(&text), 0,
                                        reinterpret_cast<va_list*>(inserts));
    int code = 0;
    if (length == 0) {
        code = Failed("FormatMessageW");
    } else {
        // Brackets show where the text begins and ends, line breaks included.
        std::printf("[%ls]\n", text);
        LocalFree(text);
    }
    FreeLibrary(module);
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"format" && argc >= 4) return Format(argv[2], std::wcstoul(argv[3], nullptr, 10), argv + 4);
    if (command == L"start-type" && argc == 4) return StartType(argv[2], std::wcstoul(argv[3], nullptr, 10));
    std::fprintf(stderr, "usage: PackageProbe start-type SERVICE N | format DLL ID [TEXT...]\n");
    return 2;
}
