// Parses arbitrary text as the remembered trims and checks that every entry
// kept is one that formats back to a piece of the text, and that the kept
// marks survive a round trip.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "defrag/TrimMarks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace nimbora;
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        text.push_back(static_cast<wchar_t>(input[i] | (static_cast<unsigned>(input[i + 1]) << 8)));

    const std::vector<TrimMark> marks = ParseTrimMarks(text);
    if (marks.size() > 4 * kMaxTrimMarks + 1) std::abort();
    if (ParseTrimMarks(FormatTrimMarks(marks)) != marks) std::abort();
    const std::uint64_t now = marks.empty() ? 0 : marks.front().trimmedUtc;
    for (const TrimMark& m : RememberedTrimMarks(marks, now))
        if (m.trimmedUtc > now || now - m.trimmedUtc >= 2 * m.holdMinutes * kMinuteUtc || m.holdMinutes == 0 ||
            m.holdMinutes > kLongestHoldMinutes)
            std::abort();
    return 0;
}
