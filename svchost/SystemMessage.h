#pragma once
// The platform's text for a Win32 error code, and EOSError built from it.

#include <windows.h>

#include <string>

namespace nimbora {

// FormatMessageW's text for `code`, trailing control characters, blanks and
// periods removed; empty when the system has none.
std::wstring SystemErrorMessage(DWORD code);

// Raises EOSError for `code`.
[[noreturn]] void RaiseOSError(DWORD code);
// Raises EOSError for GetLastError(); call it right after the failing call.
[[noreturn]] void RaiseLastOSError();

}  // namespace nimbora
