#pragma once
// Starting a program through the shell.

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace nimbora {

// The shell's "open" of `file` with `parameters`, no working directory, shown
// normally (SW_SHOW), owned by `owner`, without any UI of the shell's own: a
// program that cannot be started shows no error box (on the service's
// desktop nobody could dismiss it, and its modal loop would run the caller's
// messages). Returns as soon as the shell has started the program; the
// outcome is not examined and nothing escapes.
void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters) noexcept;

// The shell call ShellOpen makes (ShellExecuteExW); a test may stand in for it.
using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW* info);
void ShellOpen(HWND owner, const std::wstring& file, const std::wstring& parameters,
               ShellExecuteExFunction execute) noexcept;

}  // namespace nimbora
