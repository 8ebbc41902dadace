#include "service/Shell.h"

namespace nimbora {

void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters) noexcept {
    ShellOpen(owner, file, parameters, &ShellExecuteExW);
}

void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters,
               ShellExecuteExFunction execute) noexcept {
    try {
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        // N.B. no UI of the shell's own, and nothing of the launch is left
        // pending when the call returns to the caller's loop.
        info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        info.hwnd = owner;
        info.lpVerb = L"open";
        info.lpFile = file.c_str();
        info.lpParameters = parameters.c_str();
        info.lpDirectory = nullptr;
        info.nShow = SW_SHOW;
        execute(&info);
    } catch (...) {
        // A launch that cannot be made is not reported or retried.
    }
}

}  // namespace nimbora
