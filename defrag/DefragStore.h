#pragma once
// What the companion keeps under the settings key, always in the 32-bit
// registry view (KEY_WOW64_32KEY), the view the 32-bit service and the
// desktop program use, whichever build reads it:
//   - the settings it reads: DefragExclude, DefragFlushModified, DefragPurgeStandby;
//   - DefragTrimmed, the processes trimmed in the last minutes (TrimMarks.h);
//   - the Batches subkey, one record per batch (BatchHistory.h), the last
//     kBatchHistoryLength kept.

#include <windows.h>

#include <string>
#include <vector>

#include "defrag/BatchHistory.h"
#include "defrag/Planner.h"

namespace nimbora {

inline constexpr wchar_t kDefragExclude[] = L"DefragExclude";              // REG_SZ, names separated by ';'
inline constexpr wchar_t kDefragFlushModified[] = L"DefragFlushModified";  // DWORD switch, default off
inline constexpr wchar_t kDefragPurgeStandby[] = L"DefragPurgeStandby";    // DWORD switch, default off
inline constexpr wchar_t kDefragSettingsPath[] = L"Software\\Korvex\\Nimbora";

struct DefragSettings {
    std::wstring exclude;
    bool flushModified = false;
    bool purgeStandby = false;
};

class DefragStore {
public:
    explicit DefragStore(std::wstring keyPath = kDefragSettingsPath) : keyPath_(std::move(keyPath)) {}

    // A missing value, or one of another type, is its default.
    DefragSettings ReadSettings() const;
    std::vector<TrimMark> ReadTrimMarks() const;
    // False when the value could not be written.
    bool WriteTrimMarks(const std::vector<TrimMark>& marks) const;
    // Adds the record and deletes the oldest beyond kBatchHistoryLength.
    bool AddBatchRecord(const BatchRecord& record) const;

private:
    std::wstring keyPath_;
};

}  // namespace nimbora
