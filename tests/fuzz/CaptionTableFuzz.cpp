// Runs arbitrary bytes through the whole caption lookup: decoding, line split,
// row parse and search. The bytes are copied into a buffer of exactly their
// size so that any read past the table is caught.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "settings/CaptionTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace nimbora;
    const std::vector<std::uint8_t> bytes(input, input + size);

    const std::wstring text = DecodeTableText(bytes);
    const std::vector<std::wstring> lines = SplitLines(text);
    std::size_t kept = 0;
    for (const std::wstring& line : lines) {
        if (line.find_first_of(L"\r\n") != std::wstring::npos) std::abort();
        kept += line.size();
    }
    if (kept > text.size()) std::abort();

    std::optional<std::vector<std::wstring>> firstRow;
    for (const std::wstring& line : lines) {
        const std::vector<std::wstring> fields = ParseRow(line);
        std::size_t length = 0;
        for (const std::wstring& field : fields) length += field.size();
        if (length > line.size()) std::abort();
        if (!line.empty() && !firstRow) firstRow = fields;
    }

    // The first row that has a text is found by its own owner and item, the
    // letters A to Z in either case: no later row can take the result away.
    if (firstRow && firstRow->size() >= 3) {
        const std::wstring& owner = (*firstRow)[0];
        const std::wstring& item = (*firstRow)[1];
        if (!FindCaption(lines, owner, item)) std::abort();
        std::wstring upperOwner = owner;
        for (wchar_t& c : upperOwner) {
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - (L'a' - L'A'));
        }
        if (FindCaption(lines, upperOwner, item) != FindCaption(lines, owner, item)) std::abort();
    }

    const std::optional<std::wstring> caption = FindCaption(lines, L"Nimbora", L"DisplayName");
    const AnsiDecoder latin1 = [](TableBytes raw) { return std::wstring(raw.begin(), raw.end()); };
    (void)FindCaptionInTable(bytes, L"Nimbora", L"Description", latin1);
    if (caption && caption->size() > text.size()) std::abort();
    return 0;
}
