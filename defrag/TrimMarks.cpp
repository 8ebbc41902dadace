#include "defrag/TrimMarks.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace nimbora {

namespace {

std::optional<std::uint64_t> ParseDecimal(std::wstring_view text, std::uint64_t max) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - L'0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::wstring FormatTrimMarks(const std::vector<TrimMark>& marks) {
    std::wstring text;
    for (const TrimMark& m : marks) {
        if (!text.empty()) text += L';';
        text += std::to_wstring(m.id) + L':' + std::to_wstring(m.created) + L':' + std::to_wstring(m.trimmedUtc) +
                L':' + std::to_wstring(m.holdMinutes);
    }
    return text;
}

std::vector<TrimMark> ParseTrimMarks(std::wstring_view text) {
    std::vector<TrimMark> marks;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(L';'), text.size());
        const std::wstring_view entry = text.substr(0, end);
        text.remove_prefix(end < text.size() ? end + 1 : end);

        std::vector<std::wstring_view> fields;
        for (std::size_t from = 0;;) {
            const std::size_t colon = entry.find(L':', from);
            fields.push_back(entry.substr(from, colon == std::wstring_view::npos ? colon : colon - from));
            if (colon == std::wstring_view::npos || fields.size() > 4) break;
            from = colon + 1;
        }
        const std::size_t count = fields.size();
        if (count != 3 && count != 4) continue;
        const auto id = ParseDecimal(fields[0], std::numeric_limits<std::uint32_t>::max());
        const auto created = ParseDecimal(fields[1], UINT64_MAX);
        const auto trimmed = ParseDecimal(fields[2], UINT64_MAX);
        const auto hold = count == 4 ? ParseDecimal(fields[3], kLongestHoldMinutes)
                                     : std::optional<std::uint64_t>(kBaseHoldMinutes);
        if (!id || !created || !trimmed || !hold || *hold == 0) continue;
        marks.push_back(
            {static_cast<std::uint32_t>(*id), *created, *trimmed, static_cast<std::uint32_t>(*hold)});
        if (marks.size() > 4 * kMaxTrimMarks) break;  // no more than a writer of ours leaves
    }
    return marks;
}

bool MarkHolds(const TrimMark& mark, std::uint64_t nowUtc) noexcept {
    return mark.trimmedUtc <= nowUtc && nowUtc - mark.trimmedUtc < mark.holdMinutes * kMinuteUtc;
}

std::vector<TrimMark> RememberedTrimMarks(std::vector<TrimMark> marks, std::uint64_t nowUtc) {
    std::erase_if(marks, [&](const TrimMark& m) {
        return m.trimmedUtc > nowUtc || nowUtc - m.trimmedUtc >= 2 * m.holdMinutes * kMinuteUtc;
    });
    std::stable_sort(marks.begin(), marks.end(),
                     [](const TrimMark& a, const TrimMark& b) { return a.trimmedUtc > b.trimmedUtc; });
    // N.B. one mark per process, its latest: a process trimmed again carries
    // the longer hold.
    std::vector<TrimMark> kept;
    for (const TrimMark& m : marks) {
        const bool seen = std::any_of(kept.begin(), kept.end(),
                                      [&](const TrimMark& k) { return k.id == m.id && k.created == m.created; });
        if (!seen) kept.push_back(m);
        if (kept.size() == kMaxTrimMarks) break;
    }
    return kept;
}

}  // namespace nimbora
