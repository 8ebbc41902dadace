// Decodes arbitrary registry data as all three kinds: the first byte is the
// type code, the rest the value's bytes. The bytes are copied into a buffer of
// exactly their size so that any read past the data is caught.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "settings/RegistryValue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace nimbora;
    if (size == 0) return 0;
    const std::vector<std::uint8_t> bytes(input + 1, input + size);
    const std::optional<RegistryData> data = RegistryData{input[0], bytes};

    const std::wstring fallback = L"english";
    const std::wstring text = TextOrDefault(data, fallback);
    const std::optional<std::wstring> decoded = DecodeText(*data);
    if (decoded) {
        // Never more code units than the data holds, and never a NUL inside.
        if (decoded->size() > bytes.size() / 2) std::abort();
        if (decoded->find(L'\0') != std::wstring::npos) std::abort();
        if (text != (decoded->empty() ? fallback : *decoded)) std::abort();
    } else if (text != fallback) {
        std::abort();
    }

    const std::optional<std::int32_t> integer = DecodeInteger(*data);
    if (integer.has_value() != (data->type == kRegDword && bytes.size() <= 4)) std::abort();
    const std::optional<bool> boolean = DecodeBool(*data);
    if (boolean.has_value() != integer.has_value()) std::abort();
    if (boolean && *boolean != (*integer != 0)) std::abort();
    if (IntegerOrDefault(data, 5) != integer.value_or(5)) std::abort();
    if (BoolOrDefault(data, true) != boolean.value_or(true)) std::abort();
    return 0;
}
