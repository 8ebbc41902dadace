// Parses arbitrary registry text as a batch record. Whatever the reader
// accepts must be a record the companion could have written: writing it out
// again and reading that back gives the same record.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "defrag/BatchHistory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace nimbora;
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        text.push_back(static_cast<wchar_t>(input[i] | (static_cast<unsigned>(input[i + 1]) << 8)));
    const std::wstring name = text.substr(0, 16);
    const std::wstring value = text.size() > 16 ? text.substr(16) : std::wstring();

    const auto record = ParseBatchRecord(name, value);
    if (!record) return 0;
    if (record->askedMegabytes < 0 || record->freedMegabytes < 0 || record->trimmedProcesses < 0) std::abort();
    const auto again = ParseBatchRecord(BatchValueName(record->startedUtc), FormatBatchRecord(*record));
    if (!again || !(*again == *record)) std::abort();
    return 0;
}
