// Parses arbitrary text as the defragmenter's argument and checks the verdict
// against the text itself: a count is accepted only for an optional '+' and
// digits that spell exactly that count, so no bad input can turn into a
// request (least of all a large one).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "defrag/Arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace nimbora;
    // Two bytes per character, so digits, signs and any other code unit occur.
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        text.push_back(static_cast<wchar_t>(input[i] | (static_cast<unsigned>(input[i + 1]) << 8)));

    std::size_t start = 0;
    const bool hasSign = !text.empty() && (text[0] == L'+' || text[0] == L'-');
    if (hasSign) start = 1;
    bool digitsOnly = text.size() > start;
    for (std::size_t i = start; i < text.size(); ++i) digitsOnly = digitsOnly && text[i] >= L'0' && text[i] <= L'9';
    std::size_t first = start;
    while (first < text.size() && text[first] == L'0') ++first;
    const std::wstring digits = text.substr(first);  // without leading zeros
    const std::wstring max = std::to_wstring(kMaxRequestMegabytes);
    const bool tooLarge = digits.size() > max.size() || (digits.size() == max.size() && digits > max);

    const ParsedArgument parsed = ParseMegabytes(text);
    switch (parsed.kind) {
        case ArgumentKind::akCount:
            if (!digitsOnly || tooLarge || text[0] == L'-') std::abort();
            if (parsed.megabytes <= 0 || std::to_wstring(parsed.megabytes) != digits) std::abort();
            break;
        case ArgumentKind::akNothing:
            if (!digitsOnly || tooLarge || !(text[0] == L'-' || digits.empty())) std::abort();
            if (parsed.megabytes != 0) std::abort();
            break;
        case ArgumentKind::akOutOfRange:
            if (!digitsOnly || !tooLarge) std::abort();
            break;
        case ArgumentKind::akMalformed:
            if (digitsOnly) std::abort();
            break;
        default:
            std::abort();
    }
    return 0;
}
