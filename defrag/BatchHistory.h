#pragma once
// The companion's record of one finished batch, kept as a REG_SZ value under
// the settings key's `Batches` subkey so that an administrator's tool (and a
// script) can read the last batches back without parsing the event log.
//
// Value name: the batch's start as 16 upper-case hexadecimal digits of its
// UTC FILETIME, so that names sort by time. Value text: `key=value` pairs
// separated by ';', for example
//   asked=3072;freed=2950;trimmed=12;flushed=0;purged=0;ms=850;before=1200;after=4150;outcome=met;
//   needed=2900;moved=3400;modified=600
// Amounts are megabytes. The reader accepts the pairs in any order, ignores
// keys it does not know (a later companion may add some) and refuses a record
// that lacks one of the first nine keys or carries a malformed or out-of-range
// number. The last three are optional (records of an earlier companion lack
// them); `modified` is "unknown" when the page lists could not be read.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbora {

inline constexpr wchar_t kBatchesSubkey[] = L"Batches";
// How many batch records the companion keeps; older ones are deleted.
inline constexpr std::size_t kBatchHistoryLength = 20;

enum class BatchOutcome {
    boMet,      // the amount asked was freed
    boPartial,  // only part of it could be freed
    boFailed,   // a real failure: nothing was attempted or the work broke off
    boNothing,  // available memory was above the aim already: nothing touched
    boSkipped,  // a full-screen program ran in a user's session: nothing touched
};

struct BatchRecord {
    std::uint64_t startedUtc = 0;         // FILETIME: 100 ns units since 1601-01-01 UTC
    std::int64_t askedMegabytes = 0;      // the batch's whole request
    std::int64_t freedMegabytes = 0;      // the rise of available memory, never negative
    std::int64_t neededMegabytes = -1;    // the rise the batch set out to make; -1 not recorded
    std::int64_t movedMegabytes = -1;     // taken out of working sets by the trims; -1 not recorded
    std::int64_t modifiedMegabytes = -1;  // of which onto the modified list; -1 not known
    std::int32_t trimmedProcesses = 0;
    bool flushed = false;                 // the modified list was written out
    std::int64_t purgedMegabytes = 0;     // standby memory emptied at the user's choice
    std::int64_t elapsedMs = 0;
    std::int64_t availableBeforeMegabytes = 0;
    std::int64_t availableAfterMegabytes = 0;
    BatchOutcome outcome = BatchOutcome::boMet;

    bool operator==(const BatchRecord&) const = default;
};

// "met", "partial", "failed", "nothing", "skipped"
const wchar_t* BatchOutcomeName(BatchOutcome outcome);

std::wstring BatchValueName(std::uint64_t startedUtc);
// The start time from a value name; nothing for a name that is not exactly
// 16 hexadecimal digits.
std::optional<std::uint64_t> ParseBatchValueName(std::wstring_view name);

// The value text; `startedUtc` travels in the value name, not here.
std::wstring FormatBatchRecord(const BatchRecord& record);
// A record from its value name and text; nothing when either is unusable.
std::optional<BatchRecord> ParseBatchRecord(std::wstring_view name, std::wstring_view text);

// The value names to delete so that, with one more record added, at most
// kBatchHistoryLength remain: the oldest first. Names that are not batch
// records are left alone.
std::vector<std::wstring> BatchNamesToPrune(const std::vector<std::wstring>& existingNames);

}  // namespace nimbora
