#pragma once
// How a registry value's stored bytes become one of the three kinds the
// settings use: text, integer and boolean. The registry shell fetches the type
// code and the bytes; everything about interpreting them lives here.
//
// Portable: the type codes are the registry's own numbers, defined here so the
// core needs no platform header.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nimbora {

inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegDwordBigEndian = 5;
inline constexpr std::uint32_t kRegLink = 6;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// One value as the registry handed it back: its type code and exactly the
// bytes it reported, no more.
struct RegistryData {
    std::uint32_t type = kRegNone;
    std::span<const std::uint8_t> bytes;
};

// REG_SZ or REG_EXPAND_SZ as UTF-16LE code units up to the first NUL, or the
// whole data when it has none. A trailing odd byte is not part of any code
// unit and is ignored. Environment references stay as stored. Any other type
// gives nothing.
std::optional<std::wstring> DecodeText(const RegistryData& data);

// REG_DWORD as a little-endian signed 32-bit integer. Fewer than four bytes
// fill the low-order end, the rest being 0. More than four bytes, or any other
// type, gives nothing.
std::optional<std::int32_t> DecodeInteger(const RegistryData& data);

// A REG_DWORD read as an integer: non-zero is true.
std::optional<bool> DecodeBool(const RegistryData& data);

// The result of a read: `data` is absent when the key or the value could not
// be read. A failure, and for text also an empty text, yields the default.
std::wstring TextOrDefault(const std::optional<RegistryData>& data, const std::wstring& defaultValue);
std::int32_t IntegerOrDefault(const std::optional<RegistryData>& data, std::int32_t defaultValue);
bool BoolOrDefault(const std::optional<RegistryData>& data, bool defaultValue);

// The sub-key path below the root for a key path written with a leading
// backslash: that one backslash goes, everything else (a trailing backslash
// included) stays.
std::wstring_view SubKeyPath(std::wstring_view keyPath) noexcept;

}  // namespace nimbora
