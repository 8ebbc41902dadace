#pragma once
// Starting a program through the shell.

#include <windows.h>

#include <string>

namespace nimbora {

// The shell's "open" of `file` with `parameters`, no working directory, shown
// normally (SW_SHOW), owned by `owner`, without any UI of the shell's own: a
// program that cannot be started shows no error box (on the service's
// desktop nobody could dismiss it, and its modal loop would run the caller's
// messages). Returns as soon as the shell has started the program; the
// outcome is not examined and nothing escapes.
void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters) noexcept;

}  // namespace nimbora
