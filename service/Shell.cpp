#include "service/Shell.h"

#include <shellapi.h>

namespace nimbora {

void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters) noexcept {
    try {
        ShellExecuteW(owner, L"open", file.c_str(), parameters.c_str(), nullptr, SW_SHOW);
    } catch (...) {
        // A launch that cannot be made is not reported or retried.
    }
}

}  // namespace nimbora
