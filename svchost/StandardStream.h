#pragma once
// Text to a standard handle the parent passed: to a console as UTF-16, to a
// file or pipe as UTF-8. Nothing is written where the handle is missing, and
// a failure to convert or write is dropped: callers are reporting already.

#include <windows.h>

#include <string>

namespace nimbora {

// `which` is STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
void WriteStandardStream(DWORD which, const std::wstring& text) noexcept;

}  // namespace nimbora
