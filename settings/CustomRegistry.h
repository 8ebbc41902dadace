#pragma once
// Typed access to single registry values. Each call opens the key, reads or
// writes one value and closes the key again; nothing is cached. No call
// reports failure: a failed read yields the caller's default, a failed write
// leaves the registry as it was.
//
// Key paths are written with a leading backslash ("\Software\Korvex\Nimbora\")
// and taken below `root`. No registry view is requested: a 32-bit build sees
// the keys a 32-bit desktop program writes.

#include <windows.h>

#include <cstdint>
#include <string>

namespace nimbora {

// REG_SZ or REG_EXPAND_SZ (unexpanded), up to the first NUL; the default when
// the value is missing, of another type, or empty.
std::wstring RegReadString(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                           const std::wstring& defaultValue) noexcept;

// REG_DWORD only, as signed 32-bit; the default otherwise.
std::int32_t RegReadInteger(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                            std::int32_t defaultValue) noexcept;

// REG_DWORD only, non-zero being true; the default otherwise.
bool RegReadBool(HKEY root, const std::wstring& keyPath, const std::wstring& name, bool defaultValue) noexcept;

// Stores REG_SZ with its terminating NUL, creating the key when missing.
void RegWriteString(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                    const std::wstring& value) noexcept;

// Stores REG_DWORD 1 or 0, creating the key when missing.
void RegWriteBool(HKEY root, const std::wstring& keyPath, const std::wstring& name, bool value) noexcept;

}  // namespace nimbora
