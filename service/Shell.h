#pragma once
// Starting a program through the shell.

#include <windows.h>

#include <string>

namespace nimbora {

// ShellExecuteW "open" of `file` with `parameters`, no working directory, shown
// normally (SW_SHOW), owned by `owner`. Returns as soon as the shell does; the
// outcome is not examined and nothing escapes.
void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters) noexcept;

}  // namespace nimbora
