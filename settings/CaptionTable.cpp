#include "settings/CaptionTable.h"

#include <array>

namespace nimbora {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes that
// it leaves undefined map to the C1 controls of the same value, as Windows
// converts them.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendCodePoint(std::wstring& out, std::uint32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<wchar_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Each maximal ill-formed subsequence becomes one U+FFFD.
std::wstring DecodeUtf8(TableBytes bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i++];
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        int trail = 0;
        std::uint32_t cp = 0;
        std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the first trail byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
            cp = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trail = 2;
            cp = lead & 0x0Fu;
            if (lead == 0xE0) low = 0xA0;   // no overlong forms
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trail = 3;
            cp = lead & 0x07u;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            out.push_back(kReplacement);
            continue;
        }
        bool complete = true;
        for (int k = 0; k < trail; ++k) {
            if (i >= bytes.size() || bytes[i] < low || bytes[i] > high) {
                complete = false;  // N.B. the offending byte starts the next sequence
                break;
            }
            cp = (cp << 6) | (bytes[i++] & 0x3Fu);
            low = 0x80;
            high = 0xBF;
        }
        if (complete) {
            AppendCodePoint(out, cp);
        } else {
            out.push_back(kReplacement);
        }
    }
    return out;
}

std::wstring DecodeUtf16(TableBytes bytes, bool bigEndian) {
    std::wstring out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned first = bytes[i], second = bytes[i + 1];
        out.push_back(static_cast<wchar_t>(bigEndian ? (first << 8) | second : (second << 8) | first));
    }
    return out;
}

bool StartsWith(TableBytes bytes, std::initializer_list<std::uint8_t> mark) {
    if (bytes.size() < mark.size()) return false;
    std::size_t i = 0;
    for (const std::uint8_t b : mark) {
        if (bytes[i++] != b) return false;
    }
    return true;
}

bool IsBlank(wchar_t c) { return c >= 1 && c <= 32; }

wchar_t LowerAZ(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool EqualFoldingAZ(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAZ(a[i]) != LowerAZ(b[i])) return false;
    }
    return true;
}

}  // namespace

std::wstring DecodeWindows1252(TableBytes bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (const std::uint8_t b : bytes) {
        out.push_back(b >= 0x80 && b <= 0x9F ? static_cast<wchar_t>(kWindows1252High[b - 0x80u])
                                             : static_cast<wchar_t>(b));
    }
    return out;
}

std::wstring DecodeTableText(TableBytes bytes, const AnsiDecoder& ansi) {
    if (StartsWith(bytes, {0xEF, 0xBB, 0xBF})) return DecodeUtf8(bytes.subspan(3));
    if (StartsWith(bytes, {0xFF, 0xFE})) return DecodeUtf16(bytes.subspan(2), false);
    if (StartsWith(bytes, {0xFE, 0xFF})) return DecodeUtf16(bytes.subspan(2), true);
    if (bytes.empty()) return {};
    return ansi(bytes);
}

std::wstring DecodeTableText(TableBytes bytes) { return DecodeTableText(bytes, DecodeWindows1252); }

std::vector<std::wstring> SplitLines(std::wstring_view text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            lines.emplace_back(text.substr(start, i - start));
            i += (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::vector<std::wstring> ParseRow(std::wstring_view line) {
    std::vector<std::wstring> fields;
    const std::size_t n = line.size();
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < n && IsBlank(line[i])) ++i;
    };

    skipBlanks();
    while (i < n) {
        std::wstring field;
        if (line[i] == L'"') {
            ++i;
            while (i < n) {
                if (line[i] == L'"') {
                    if (i + 1 < n && line[i + 1] == L'"') {
                        field.push_back(L'"');
                        i += 2;
                        continue;
                    }
                    ++i;  // the closing quote
                    break;
                }
                field.push_back(line[i++]);
            }
        } else {
            const std::size_t start = i;
            while (i < n && !IsBlank(line[i]) && line[i] != L',') ++i;
            field.assign(line.substr(start, i - start));
        }
        fields.push_back(std::move(field));

        skipBlanks();
        if (i < n && line[i] == L',') {
            if (i + 1 == n) fields.emplace_back();
            ++i;
            skipBlanks();
        }
    }
    return fields;
}

std::wstring LowerCaseAZ(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = LowerAZ(c);
    return out;
}

std::optional<std::wstring> FindCaption(const std::vector<std::wstring>& lines, std::wstring_view owner,
                                        std::wstring_view item) {
    std::optional<std::wstring> result;
    for (const std::wstring& line : lines) {
        if (line.empty()) continue;
        std::vector<std::wstring> fields = ParseRow(line);
        if (fields.empty()) break;
        if (!EqualFoldingAZ(fields[0], owner)) continue;
        if (fields.size() < 2) break;
        if (!EqualFoldingAZ(fields[1], item)) continue;
        if (fields.size() < 3) break;
        result = std::move(fields[2]);
    }
    return result;
}

std::optional<std::wstring> FindCaptionInTable(TableBytes bytes, std::wstring_view owner, std::wstring_view item,
                                               const AnsiDecoder& ansi) {
    return FindCaption(SplitLines(DecodeTableText(bytes, ansi)), owner, item);
}

}  // namespace nimbora
