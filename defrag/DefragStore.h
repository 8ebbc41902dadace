#pragma once
// What the companion keeps under the settings key, always in the 32-bit
// registry view (KEY_WOW64_32KEY), the view the 32-bit service and the
// desktop program use, whichever build reads it:
//   - the settings it reads: DefragExclude, DefragFlushModified,
//     DefragPurgeStandby, DefragServices, and of the service's settings
//     MemoryMaintain (the trigger level it aims above), FullScreenCheck and
//     ExecutePeriod, each read as the service reads it;
//   - DefragTrimmed, the processes trimmed earlier (TrimMarks.h);
//   - DefragRefusedUtc, when the last refusal entry was written;
//   - the Batches subkey, one record per batch (BatchHistory.h), the last
//     kBatchHistoryLength kept.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "defrag/BatchHistory.h"
#include "defrag/Planner.h"

namespace nimbora {

inline constexpr wchar_t kDefragExclude[] = L"DefragExclude";              // REG_SZ, names separated by ';'
inline constexpr wchar_t kDefragFlushModified[] = L"DefragFlushModified";  // DWORD switch, default off
inline constexpr wchar_t kDefragPurgeStandby[] = L"DefragPurgeStandby";    // DWORD switch, default off
inline constexpr wchar_t kDefragServices[] = L"DefragServices";            // DWORD switch, default off
inline constexpr wchar_t kDefragRefusedUtc[] = L"DefragRefusedUtc";        // REG_QWORD, FILETIME
// Volatile subkey: one claim per refusal period, made atomically by creating it.
inline constexpr wchar_t kDefragRefusalClaims[] = L"DefragRefusals";
inline constexpr wchar_t kDefragSettingsPath[] = L"Software\\Korvex\\Nimbora";

struct DefragSettings {
    std::wstring exclude;
    bool excludeWrongType = false;  // DefragExclude is there but not REG_SZ: refused
    bool flushModified = false;
    bool purgeStandby = false;
    bool trimServices = false;
    bool fullScreenCheck = true;
    std::int64_t triggerLevel = -1;    // bytes, the service's trigger level; -1 when memory is not known
    std::int32_t executePeriod = 5;    // minutes
};

class DefragStore {
public:
    explicit DefragStore(std::wstring keyPath = kDefragSettingsPath) : keyPath_(std::move(keyPath)) {}

    // A missing value, or one of another type, is its default (DefragExclude
    // of another type is flagged instead). `totalBytes`: the physical memory,
    // for the service's defaults and trigger level.
    DefragSettings ReadSettings(std::int64_t totalBytes) const;
    std::vector<TrimMark> ReadTrimMarks() const;
    // False when the value could not be written.
    bool WriteTrimMarks(const std::vector<TrimMark>& marks) const;
    // Adds the record and deletes the oldest beyond kBatchHistoryLength.
    bool AddBatchRecord(const BatchRecord& record) const;
    // True when this instance may write a refusal entry at `nowUtc`: no entry
    // within the last `periodMinutes` (at least one), and no other instance
    // claimed this one first. Claiming records the time.
    bool ClaimRefusalEntry(std::uint64_t nowUtc, std::int64_t periodMinutes) const;

private:
    std::wstring keyPath_;
};

}  // namespace nimbora
