#pragma once
// The processes trimmed earlier, remembered across batches so that no process
// is trimmed again before its pages had time to come back, and one that grew
// back and is trimmed again waits twice as long the next time. Kept as one
// REG_SZ value under the settings key: entries separated by ';', each
// "id:created:trimmed:hold" in decimal (process id, its creation time and the
// time of the trim, both FILETIME units, and the hold in minutes), for example
//   1234:133780000000000000:133780000123456789:20;5678:...
// An entry of three fields (written by an earlier version) holds for the base
// time. The text is outside input: a malformed entry is dropped, never trusted.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "defrag/Planner.h"

namespace nimbora {

inline constexpr wchar_t kDefragTrimmed[] = L"DefragTrimmed";
// One minute in FILETIME units.
inline constexpr std::uint64_t kMinuteUtc = 60ull * 10000000;
// At most this many entries are kept, the latest.
inline constexpr std::size_t kMaxTrimMarks = 512;

std::wstring FormatTrimMarks(const std::vector<TrimMark>& marks);
std::vector<TrimMark> ParseTrimMarks(std::wstring_view text);

// True while the mark's hold runs at `nowUtc`.
bool MarkHolds(const TrimMark& mark, std::uint64_t nowUtc) noexcept;

// The marks worth keeping at `nowUtc`: within twice their hold, so that a
// process trimmed again soon after its hold ended is known to have grown
// back. A mark from the future (the clock was set back) is dropped. At most
// kMaxTrimMarks, the latest kept.
std::vector<TrimMark> RememberedTrimMarks(std::vector<TrimMark> marks, std::uint64_t nowUtc);

}  // namespace nimbora
