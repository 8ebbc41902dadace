#include "settings/RegistryValue.h"

namespace nimbora {

std::optional<std::wstring> DecodeText(const RegistryData& data) {
    if (data.type != kRegSz && data.type != kRegExpandSz) return std::nullopt;
    std::wstring text;
    const std::size_t units = data.bytes.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<wchar_t>(data.bytes[2 * i] | (data.bytes[2 * i + 1] << 8));
        if (unit == L'\0') break;
        text.push_back(unit);
    }
    return text;
}

std::optional<std::int32_t> DecodeInteger(const RegistryData& data) {
    if (data.type != kRegDword || data.bytes.size() > 4) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data.bytes.size(); ++i) value |= static_cast<std::uint32_t>(data.bytes[i]) << (8 * i);
    return static_cast<std::int32_t>(value);
}

std::optional<bool> DecodeBool(const RegistryData& data) {
    const std::optional<std::int32_t> value = DecodeInteger(data);
    if (!value) return std::nullopt;
    return *value != 0;
}

std::wstring TextOrDefault(const std::optional<RegistryData>& data, const std::wstring& defaultValue) {
    if (!data) return defaultValue;
    std::optional<std::wstring> text = DecodeText(*data);
    if (!text || text->empty()) return defaultValue;
    return std::move(*text);
}

std::int32_t IntegerOrDefault(const std::optional<RegistryData>& data, std::int32_t defaultValue) {
    if (!data) return defaultValue;
    return DecodeInteger(*data).value_or(defaultValue);
}

bool BoolOrDefault(const std::optional<RegistryData>& data, bool defaultValue) {
    if (!data) return defaultValue;
    return DecodeBool(*data).value_or(defaultValue);
}

std::wstring_view SubKeyPath(std::wstring_view keyPath) noexcept {
    if (!keyPath.empty() && keyPath.front() == L'\\') keyPath.remove_prefix(1);
    return keyPath;
}

}  // namespace nimbora
