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
        text += std::to_wstring(m.id) + L':' + std::to_wstring(m.created) + L':' + std::to_wstring(m.trimmedUtc);
    }
    return text;
}

std::vector<TrimMark> ParseTrimMarks(std::wstring_view text) {
    std::vector<TrimMark> marks;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(L';'), text.size());
        const std::wstring_view entry = text.substr(0, end);
        text.remove_prefix(end < text.size() ? end + 1 : end);

        const std::size_t first = entry.find(L':');
        if (first == std::wstring_view::npos) continue;
        const std::size_t second = entry.find(L':', first + 1);
        if (second == std::wstring_view::npos) continue;
        const auto id = ParseDecimal(entry.substr(0, first), std::numeric_limits<std::uint32_t>::max());
        const auto created = ParseDecimal(entry.substr(first + 1, second - first - 1), UINT64_MAX);
        const auto trimmed = ParseDecimal(entry.substr(second + 1), UINT64_MAX);
        if (!id || !created || !trimmed) continue;
        marks.push_back({static_cast<std::uint32_t>(*id), *created, *trimmed});
        if (marks.size() > 4 * kMaxTrimMarks) break;  // no more than a writer of ours leaves
    }
    return marks;
}

std::vector<TrimMark> ActiveTrimMarks(std::vector<TrimMark> marks, std::uint64_t nowUtc) {
    std::erase_if(marks, [&](const TrimMark& m) { return m.trimmedUtc > nowUtc || nowUtc - m.trimmedUtc >= kTrimWindowUtc; });
    std::stable_sort(marks.begin(), marks.end(),
                     [](const TrimMark& a, const TrimMark& b) { return a.trimmedUtc > b.trimmedUtc; });
    if (marks.size() > kMaxTrimMarks) marks.resize(kMaxTrimMarks);
    return marks;
}

}  // namespace nimbora
