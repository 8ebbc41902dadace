#include "defrag/Arguments.h"

#include <algorithm>

namespace nimbora {

ParsedArgument ParseMegabytes(std::wstring_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == L'+' || text.front() == L'-')) {
        negative = text.front() == L'-';
        text.remove_prefix(1);
    }
    if (text.empty()) return {ArgumentKind::akMalformed, 0};

    std::int64_t magnitude = 0;
    bool tooLarge = false;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return {ArgumentKind::akMalformed, 0};
        // N.B. keep scanning after an overflow: "99999999999999999999x" is
        // malformed, not out of range.
        if (tooLarge) continue;
        const std::int64_t digit = c - L'0';
        if (magnitude > (kMaxRequestMegabytes - digit) / 10) {
            tooLarge = true;
            continue;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (tooLarge) return {ArgumentKind::akOutOfRange, 0};
    if (negative || magnitude == 0) return {ArgumentKind::akNothing, 0};
    return {ArgumentKind::akCount, magnitude};
}

ParsedArgument ParseArguments(const std::vector<std::wstring>& arguments) {
    if (arguments.empty()) return {ArgumentKind::akMissing, 0};
    if (arguments.size() > 1) return {ArgumentKind::akSurplus, 0};
    return ParseMegabytes(arguments.front());
}

std::int64_t RequestBytes(std::int64_t megabytes, std::int64_t totalPhysical) {
    const std::int64_t capped = std::min(megabytes, kMaxRequestMegabytes);
    return std::max<std::int64_t>(0, std::min(capped * kBytesPerMegabyte, totalPhysical));
}

const wchar_t* ArgumentKindName(ArgumentKind kind) {
    switch (kind) {
        case ArgumentKind::akCount: return L"a count";
        case ArgumentKind::akNothing: return L"nothing to free";
        case ArgumentKind::akMissing: return L"the megabyte count is missing";
        case ArgumentKind::akSurplus: return L"more than one argument";
        case ArgumentKind::akMalformed: return L"the argument is not a decimal megabyte count";
        case ArgumentKind::akOutOfRange: return L"the megabyte count is out of range";
    }
    return L"";
}

}  // namespace nimbora
