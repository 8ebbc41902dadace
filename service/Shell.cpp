#include "service/Shell.h"

#include <shellapi.h>

namespace nimbora {

void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters) noexcept {
    try {
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        // N.B. no UI, and the launch is complete when the call returns: the
        // caller's thread serves no queue in between.
        info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        info.hwnd = owner;
        info.lpVerb = L"open";
        info.lpFile = file.c_str();
        info.lpParameters = parameters.c_str();
        info.lpDirectory = nullptr;
        info.nShow = SW_SHOW;
        ShellExecuteExW(&info);
    } catch (...) {
        // A launch that cannot be made is not reported or retried.
    }
}

}  // namespace nimbora
