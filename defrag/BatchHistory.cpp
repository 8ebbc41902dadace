#include "defrag/BatchHistory.h"

#include <algorithm>
#include <array>
#include <utility>

namespace nimbora {

namespace {

// Far beyond any machine: a megabyte count or duration above this is not one
// the companion wrote.
constexpr std::int64_t kLargestNumber = INT64_C(1) << 50;

std::optional<std::int64_t> ParseNumber(std::wstring_view text) {
    if (text.empty() || text.size() > 16) return std::nullopt;
    std::int64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + (c - L'0');
    }
    if (value > kLargestNumber) return std::nullopt;
    return value;
}

}  // namespace

const wchar_t* BatchOutcomeName(BatchOutcome outcome) {
    switch (outcome) {
        case BatchOutcome::boMet: return L"met";
        case BatchOutcome::boPartial: return L"partial";
        case BatchOutcome::boFailed: return L"failed";
        case BatchOutcome::boNothing: return L"nothing";
        case BatchOutcome::boSkipped: return L"skipped";
    }
    return L"failed";
}

std::wstring BatchValueName(std::uint64_t startedUtc) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring name(16, L'0');
    for (int i = 15; i >= 0; --i, startedUtc >>= 4) name[static_cast<std::size_t>(i)] = kDigits[startedUtc & 0xF];
    return name;
}

std::optional<std::uint64_t> ParseBatchValueName(std::wstring_view name) {
    if (name.size() != 16) return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t c : name) {
        unsigned digit;
        if (c >= L'0' && c <= L'9')
            digit = static_cast<unsigned>(c - L'0');
        else if (c >= L'A' && c <= L'F')
            digit = static_cast<unsigned>(c - L'A' + 10);
        else if (c >= L'a' && c <= L'f')
            digit = static_cast<unsigned>(c - L'a' + 10);
        else
            return std::nullopt;
        value = value << 4 | digit;
    }
    return value;
}

std::wstring FormatBatchRecord(const BatchRecord& r) {
    const auto number = [](std::int64_t value) { return std::to_wstring(std::max<std::int64_t>(value, 0)); };
    std::wstring text = L"asked=" + number(r.askedMegabytes) + L";freed=" + number(r.freedMegabytes) +
                        L";trimmed=" + number(r.trimmedProcesses) + L";flushed=" + (r.flushed ? L"1" : L"0") +
                        L";purged=" + number(r.purgedMegabytes) + L";ms=" + number(r.elapsedMs) +
                        L";before=" + number(r.availableBeforeMegabytes) +
                        L";after=" + number(r.availableAfterMegabytes) + L";outcome=" + BatchOutcomeName(r.outcome);
    if (r.neededMegabytes >= 0) text += L";needed=" + number(r.neededMegabytes);
    if (r.movedMegabytes >= 0) {
        text += L";moved=" + number(r.movedMegabytes);
        text += L";modified=" + (r.modifiedMegabytes < 0 ? std::wstring(L"unknown") : number(r.modifiedMegabytes));
    }
    return text;
}

std::optional<BatchRecord> ParseBatchRecord(std::wstring_view name, std::wstring_view text) {
    const std::optional<std::uint64_t> started = ParseBatchValueName(name);
    if (!started) return std::nullopt;
    BatchRecord r;
    r.startedUtc = *started;

    std::int64_t trimmed = 0, flushed = 0;
    const std::array<std::pair<std::wstring_view, std::int64_t*>, 8> numbers{{
        {L"asked", &r.askedMegabytes},
        {L"freed", &r.freedMegabytes},
        {L"trimmed", &trimmed},
        {L"flushed", &flushed},
        {L"purged", &r.purgedMegabytes},
        {L"ms", &r.elapsedMs},
        {L"before", &r.availableBeforeMegabytes},
        {L"after", &r.availableAfterMegabytes},
    }};
    const std::array<std::pair<std::wstring_view, std::int64_t*>, 3> optionals{{
        {L"needed", &r.neededMegabytes},
        {L"moved", &r.movedMegabytes},
        {L"modified", &r.modifiedMegabytes},
    }};
    unsigned optionalSeen = 0;
    unsigned seen = 0;  // one bit per known key, the outcome being bit 8
    constexpr unsigned kAllKeys = (1u << (numbers.size() + 1)) - 1;

    while (!text.empty()) {
        const std::size_t end = std::min(text.find(L';'), text.size());
        const std::wstring_view pair = text.substr(0, end);
        text.remove_prefix(end < text.size() ? end + 1 : end);
        const std::size_t equals = pair.find(L'=');
        if (equals == std::wstring_view::npos) return std::nullopt;
        const std::wstring_view key = pair.substr(0, equals);
        const std::wstring_view value = pair.substr(equals + 1);

        if (key == L"outcome") {
            if (seen & 1u << numbers.size()) return std::nullopt;
            seen |= 1u << numbers.size();
            if (value == L"met")
                r.outcome = BatchOutcome::boMet;
            else if (value == L"partial")
                r.outcome = BatchOutcome::boPartial;
            else if (value == L"failed")
                r.outcome = BatchOutcome::boFailed;
            else if (value == L"nothing")
                r.outcome = BatchOutcome::boNothing;
            else if (value == L"skipped")
                r.outcome = BatchOutcome::boSkipped;
            else
                return std::nullopt;
            continue;
        }
        const auto optional = std::find_if(optionals.begin(), optionals.end(), [&](const auto& n) { return n.first == key; });
        if (optional != optionals.end()) {
            const unsigned bit = 1u << static_cast<unsigned>(optional - optionals.begin());
            if (optionalSeen & bit) return std::nullopt;
            optionalSeen |= bit;
            if (key == L"modified" && value == L"unknown") continue;
            const std::optional<std::int64_t> parsed = ParseNumber(value);
            if (!parsed) return std::nullopt;
            *optional->second = *parsed;
            continue;
        }
        const auto known = std::find_if(numbers.begin(), numbers.end(), [&](const auto& n) { return n.first == key; });
        if (known == numbers.end()) continue;  // a key of a later companion
        const unsigned bit = 1u << static_cast<unsigned>(known - numbers.begin());
        if (seen & bit) return std::nullopt;
        seen |= bit;
        const std::optional<std::int64_t> parsed = ParseNumber(value);
        if (!parsed) return std::nullopt;
        *known->second = *parsed;
    }
    if (seen != kAllKeys || flushed > 1 || trimmed > INT32_MAX) return std::nullopt;
    r.trimmedProcesses = static_cast<std::int32_t>(trimmed);
    r.flushed = flushed == 1;
    return r;
}

std::vector<std::wstring> BatchNamesToPrune(const std::vector<std::wstring>& existingNames) {
    std::vector<std::pair<std::uint64_t, std::wstring>> batches;
    for (const std::wstring& name : existingNames)
        if (const auto started = ParseBatchValueName(name)) batches.emplace_back(*started, name);
    std::sort(batches.begin(), batches.end());
    std::vector<std::wstring> prune;
    // Room for the record about to be added.
    while (batches.size() - prune.size() >= kBatchHistoryLength)
        prune.push_back(batches[prune.size()].second);
    return prune;
}

}  // namespace nimbora
