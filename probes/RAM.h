#pragma once
// Physical memory through GlobalMemoryStatusEx, reached late-bound.

#include <windows.h>

#include <cstdint>

namespace nimbora {

// GlobalMemoryStatusEx on the caller's record (its dwLength set first):
// loads Kernel32.dll, looks the entry point up, calls it and releases the
// library, every time. True when the record was filled in.
bool QueryMemoryStatus(MEMORYSTATUSEX& status) noexcept;

// Bytes; 0 when the reading fails or does not fit a signed 64-bit count.
std::int64_t GetTotalPhysicalMemory() noexcept;
std::int64_t GetAvailablePhysicalMemory() noexcept;

}  // namespace nimbora
