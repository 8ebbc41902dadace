#pragma once
// The version code (TWindowsVersion) of the running release. The numbers come
// from GetVersionExW, which tells the truth only to an executable whose
// manifest declares the releases it supports.

#include <windows.h>

#include <cstdint>

namespace nimbora {

// wvUnknown (-1) when the release is not recognised or cannot be queried.
// Nothing is cached.
std::int32_t GetWindowsVersion() noexcept;

// The same with the version query supplied, so that its fallback can be
// exercised: the extended record first, then the basic one.
using VersionQuery = BOOL(WINAPI*)(OSVERSIONINFOW* info);
std::int32_t GetWindowsVersion(VersionQuery query) noexcept;

}  // namespace nimbora
