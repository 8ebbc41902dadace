#pragma once
// The caption tables as text: a table's bytes decoded, split into lines, each
// line split into fields, and the text of one owner's item looked up.
//
// Text is held as UTF-16 code units, one code unit per wchar_t, on every
// platform, so that the native build sees exactly what the Windows build sees.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbora {

using TableBytes = std::span<const std::uint8_t>;

// Converts 8-bit text that carries no byte-order mark. On Windows this is the
// system's ANSI code page; elsewhere Windows-1252, the tables' own encoding.
using AnsiDecoder = std::function<std::wstring(TableBytes)>;

std::wstring DecodeWindows1252(TableBytes bytes);

// Decodes a table: EF BB BF is UTF-8, FF FE UTF-16LE, FE FF UTF-16BE (the mark
// is dropped), anything else goes through `ansi`. Malformed UTF-8 becomes
// U+FFFD; an odd byte at the end of UTF-16 is dropped.
std::wstring DecodeTableText(TableBytes bytes, const AnsiDecoder& ansi);
std::wstring DecodeTableText(TableBytes bytes);  // 8-bit text as Windows-1252

// Splits at CR LF, lone CR and lone LF. A break at the very end adds no empty
// line; the empty text has no lines at all.
std::vector<std::wstring> SplitLines(std::wstring_view text);

// Splits one line into fields: comma-delimited, double-quoted fields with ""
// for a quote inside, blanks (codes 1 to 32) around fields dropped, an
// unquoted field ending at the first blank or comma.
std::vector<std::wstring> ParseRow(std::wstring_view line);

// Folds the letters A to Z, and nothing else, to lower case.
std::wstring LowerCaseAZ(std::wstring_view text);

// The text field of the last row whose owner and item equal the arguments
// (A to Z folded), or nothing when no row matches. A row too short for the
// comparison ends the search there, keeping what earlier rows gave.
std::optional<std::wstring> FindCaption(const std::vector<std::wstring>& lines,
                                        std::wstring_view owner, std::wstring_view item);

// Decodes, splits and searches a table's bytes in one go.
std::optional<std::wstring> FindCaptionInTable(TableBytes bytes, std::wstring_view owner,
                                               std::wstring_view item, const AnsiDecoder& ansi);

}  // namespace nimbora
