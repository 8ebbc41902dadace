#include "probes/RAM.h"

#include <cstddef>

#include "probes/PhysicalMemory.h"
#include "probes/LateBound.h"

namespace nimbora {

namespace {

static_assert(sizeof(MEMORYSTATUSEX) == 64);
static_assert(offsetof(MEMORYSTATUSEX, ullTotalPhys) == 8 && offsetof(MEMORYSTATUSEX, ullAvailPhys) == 16);

using GlobalMemoryStatusExProc = BOOL(WINAPI*)(MEMORYSTATUSEX* status);

// The record filled in, or a zeroed one when the query fails.
MEMORYSTATUSEX ReadMemoryStatus() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(MEMORYSTATUSEX);
    if (!QueryMemoryStatus(status)) return MEMORYSTATUSEX{};
    return status;
}

}  // namespace

bool QueryMemoryStatus(MEMORYSTATUSEX& status) noexcept {
    try {
        return CallLateBound<GlobalMemoryStatusExProc>(L"Kernel32.dll", "GlobalMemoryStatusEx", FALSE, &status) !=
               FALSE;
    } catch (...) {
        return false;
    }
}

std::int64_t GetTotalPhysicalMemory() noexcept {
    return PhysicalMemoryBytes(ReadMemoryStatus().ullTotalPhys);
}

std::int64_t GetAvailablePhysicalMemory() noexcept {
    return PhysicalMemoryBytes(ReadMemoryStatus().ullAvailPhys);
}

}  // namespace nimbora
