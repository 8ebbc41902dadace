#pragma once
// The processes trimmed in the last minutes, remembered across batches so
// that no process is trimmed again before its pages had time to come back.
// Kept as one REG_SZ value under the settings key: entries separated by ';',
// each "id:created:trimmed" in decimal (process id, its creation time and the
// time of the trim, both FILETIME units), for example
//   1234:133780000000000000:133780000123456789;5678:...
// The text is outside input: a malformed entry is dropped, never trusted.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "defrag/Planner.h"

namespace nimbora {

inline constexpr wchar_t kDefragTrimmed[] = L"DefragTrimmed";
// How long a trimmed process is left alone: ten minutes in FILETIME units.
inline constexpr std::uint64_t kTrimWindowUtc = 10ull * 60 * 10000000;
// At most this many entries are kept, the latest.
inline constexpr std::size_t kMaxTrimMarks = 512;

std::wstring FormatTrimMarks(const std::vector<TrimMark>& marks);
std::vector<TrimMark> ParseTrimMarks(std::wstring_view text);

// The marks still within the window at `nowUtc`; a mark from the future (the
// clock was set back) is dropped. At most kMaxTrimMarks, the latest kept.
std::vector<TrimMark> ActiveTrimMarks(std::vector<TrimMark> marks, std::uint64_t nowUtc);

}  // namespace nimbora
