// nimbora.exe: the administrator's console tool. Hands the command line to
// the portable commands with the real machine and writes their texts: to a
// console as UTF-16, to a file or pipe as UTF-8.

#include <windows.h>

#include <string>

#include "admin/AdminCommand.h"
#include "admin/AdminPlatform.h"
#include "svchost/CommandLine.h"
#include "svchost/Exception.h"

namespace nimbora {
namespace {

void WriteText(DWORD which, const std::wstring& text);

void Write(DWORD which, const std::wstring& text) noexcept {
    try {
        WriteText(which, text);
    } catch (...) {
        // Output that cannot be converted is dropped.
    }
}

void WriteText(DWORD which, const std::wstring& text) {
    if (text.empty()) return;
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int Run() {
    AdminPlatform platform;
    CommandOutput output;
    const int code = RunAdminCommand(CommandLineArguments(GetCommandLineW()), platform, output);
    Write(STD_OUTPUT_HANDLE, output.out);
    Write(STD_ERROR_HANDLE, output.err);
    return code;
}

}  // namespace
}  // namespace nimbora

int wmain() {
    try {
        return nimbora::Run();
    } catch (const nimbora::Exception& e) {
        nimbora::Write(STD_ERROR_HANDLE, L"nimbora: " + e.Message() + L"\n");
    } catch (...) {
        nimbora::Write(STD_ERROR_HANDLE, L"nimbora: internal error\n");
    }
    return nimbora::kExitFailed;
}
