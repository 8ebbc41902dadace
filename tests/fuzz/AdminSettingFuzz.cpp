// nimbora set / reset / service-install values and stored registry values as
// the administrator's tool classifies them: any name, any text, any type and
// bytes. A value that is accepted must classify back as stored with the
// same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "admin/AdminSettings.h"

namespace nimbora {
// The fuzz target links no generated list of caption tables: these stand in.
namespace {
constexpr const wchar_t* kLanguageNames[] = {L"english", L"french"};
}  // namespace
std::span<const wchar_t* const> LanguageNames() { return kLanguageNames; }
}  // namespace nimbora

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace nimbora;
    if (size < 2) return 0;
    const auto definitions = SettingDefinitions();
    const SettingDefinition& definition = definitions[data[0] % definitions.size()];
    const std::uint32_t type = data[1] % 12;
    std::wstring text;
    for (std::size_t i = 2; i + 1 < size; i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));

    std::wstring problem;
    const std::optional<EncodedValue> encoded = EncodeSetting(definition, text, problem);
    if (encoded) {
        const SettingReading back = ClassifySetting(definition, RegistryData{encoded->type, encoded->bytes}, 0);
        if (back.source != SettingSource::ssStored && !(definition.kind == SettingKind::skText && text.empty()))
            std::abort();
    } else if (problem.empty()) {
        std::abort();
    }
    FindSetting(text);
    const std::span<const std::uint8_t> bytes(data + 2, size - 2);
    const SettingReading reading = ClassifySetting(definition, RegistryData{type, bytes}, 0);
    SettingValueText(reading);
    return 0;
}
