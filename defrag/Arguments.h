#pragma once
// The one argument of NimboraDefrag.exe: a decimal count of megabytes to free.
// Parsing is strict so that no bad input can be taken for a large request.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nimbora {

enum class ArgumentKind {
    akCount,       // a positive count in `megabytes`
    akNothing,     // 0 or a negative count: nothing to do
    akMissing,     // no argument at all
    akSurplus,     // more than one argument
    akMalformed,   // not an optional sign followed by decimal digits only
    akOutOfRange,  // digits whose megabytes do not fit a signed 64-bit byte count
};

struct ParsedArgument {
    ArgumentKind kind = ArgumentKind::akMissing;
    std::int64_t megabytes = 0;  // set for akCount only
};

inline constexpr std::int64_t kBytesPerMegabyte = 1024 * 1024;
// The largest count whose byte count is still a signed 64-bit number. A count
// of larger magnitude, of either sign, is out of range.
inline constexpr std::int64_t kMaxRequestMegabytes = INT64_MAX / kBytesPerMegabyte;

// One argument: an optional '+' or '-' and one or more ASCII digits, nothing
// else (no blanks, no fraction, no hexadecimal).
ParsedArgument ParseMegabytes(std::wstring_view text);

// The arguments after the program name.
ParsedArgument ParseArguments(const std::vector<std::wstring>& arguments);

// Bytes to free for a positive count: the count in bytes, at most `totalPhysical`.
std::int64_t RequestBytes(std::int64_t megabytes, std::int64_t totalPhysical);

const wchar_t* ArgumentKindName(ArgumentKind kind);

}  // namespace nimbora
