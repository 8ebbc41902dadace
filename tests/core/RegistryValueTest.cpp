#include "settings/RegistryValue.h"

#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/SettingsKeys.h"

namespace nimbora {
namespace {

using Bytes = std::vector<std::uint8_t>;

// UTF-16LE bytes of a literal's code units, without the literal's own
// terminator: a NUL is stored only where the literal spells one.
template <std::size_t N>
Bytes Utf16(const char16_t (&text)[N]) {
    Bytes bytes;
    for (const char16_t unit : std::u16string_view(text, N - 1)) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

// One stored value. The bytes live in a vector of exactly their size, so a
// decoder that reads past the data trips the address sanitizer.
struct Stored {
    bool present = true;
    std::uint32_t type = kRegNone;
    Bytes bytes;

    std::optional<RegistryData> Data() const {
        if (!present) return std::nullopt;
        return RegistryData{type, bytes};
    }
};

const Stored kMissing{false, kRegNone, {}};

TEST(RegistryValue, TextReadsUpToTheFirstNulOrTheDefault) {
    const std::wstring fallback = L"english";
    const struct {
        const char* what;
        Stored stored;
        std::wstring expected;
    } cases[] = {
        {"plain REG_SZ", {true, kRegSz, Utf16(u"french\0")}, L"french"},
        {"REG_EXPAND_SZ stays unexpanded", {true, kRegExpandSz, Utf16(u"%SystemRoot%\\x\0")}, L"%SystemRoot%\\x"},
        {"embedded NUL", {true, kRegSz, Utf16(u"ko\0rean\0")}, L"ko"},
        {"no terminating NUL", {true, kRegSz, Utf16(u"russian")}, L"russian"},
        {"odd byte count drops the half unit", {true, kRegSz, [] { Bytes b = Utf16(u"pt"); b.push_back('x'); return b; }()}, L"pt"},
        {"high bytes of code units", {true, kRegSz, Utf16(u"\u00EA\uD55C\0")}, L"\u00EA\uD55C"},
        {"empty REG_SZ", {true, kRegSz, Utf16(u"\0")}, fallback},
        {"no data at all", {true, kRegSz, {}}, fallback},
        {"a single byte", {true, kRegSz, {'a'}}, fallback},
        {"first character NUL", {true, kRegSz, Utf16(u"\0german\0")}, fallback},
        {"REG_DWORD", {true, kRegDword, {1, 0, 0, 0}}, fallback},
        {"REG_BINARY holding text", {true, kRegBinary, Utf16(u"german\0")}, fallback},
        {"REG_MULTI_SZ", {true, kRegMultiSz, Utf16(u"german\0\0")}, fallback},
        {"REG_NONE", {true, kRegNone, Utf16(u"german\0")}, fallback},
        {"missing value", kMissing, fallback},
    };
    for (const auto& c : cases) EXPECT_EQ(TextOrDefault(c.stored.Data(), fallback), c.expected) << c.what;
}

TEST(RegistryValue, IntegerIsALittleEndianDwordOrTheDefault) {
    constexpr std::int32_t fallback = 5;
    const struct {
        const char* what;
        Stored stored;
        std::int32_t expected;
    } cases[] = {
        {"10", {true, kRegDword, {10, 0, 0, 0}}, 10},
        {"byte order", {true, kRegDword, {0x04, 0x03, 0x02, 0x01}}, 0x01020304},
        {"0xFFFFFFFF is -1", {true, kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}}, -1},
        {"top bit alone", {true, kRegDword, {0, 0, 0, 0x80}}, INT_MIN},
        {"two bytes fill the low end", {true, kRegDword, {0x34, 0x12}}, 0x1234},
        {"one byte is not sign-extended", {true, kRegDword, {0xFF}}, 0xFF},
        {"no bytes", {true, kRegDword, {}}, 0},
        {"zero", {true, kRegDword, {0, 0, 0, 0}}, 0},
        {"five bytes", {true, kRegDword, {1, 0, 0, 0, 0}}, fallback},
        {"REG_SZ \"10\"", {true, kRegSz, Utf16(u"10\0")}, fallback},
        {"REG_SZ of four bytes", {true, kRegSz, Utf16(u"7\0")}, fallback},
        {"REG_BINARY", {true, kRegBinary, {10, 0, 0, 0}}, fallback},
        {"REG_QWORD", {true, kRegQword, {10, 0, 0, 0, 0, 0, 0, 0}}, fallback},
        {"REG_QWORD of four bytes", {true, kRegQword, {10, 0, 0, 0}}, fallback},
        {"REG_DWORD_BIG_ENDIAN", {true, kRegDwordBigEndian, {0, 0, 0, 10}}, fallback},
        {"missing value", kMissing, fallback},
    };
    for (const auto& c : cases) EXPECT_EQ(IntegerOrDefault(c.stored.Data(), fallback), c.expected) << c.what;
}

TEST(RegistryValue, BooleanIsANonZeroDwordOrTheDefault) {
    const struct {
        const char* what;
        Stored stored;
        bool expectedWithDefaultFalse;
        bool expectedWithDefaultTrue;
    } cases[] = {
        {"1", {true, kRegDword, {1, 0, 0, 0}}, true, true},
        {"0", {true, kRegDword, {0, 0, 0, 0}}, false, false},
        {"2", {true, kRegDword, {2, 0, 0, 0}}, true, true},
        {"only the high byte set", {true, kRegDword, {0, 0, 0, 1}}, true, true},
        {"0xFFFFFFFF", {true, kRegDword, {0xFF, 0xFF, 0xFF, 0xFF}}, true, true},
        {"short zero", {true, kRegDword, {0}}, false, false},
        {"REG_BINARY 1", {true, kRegBinary, {1, 0, 0, 0}}, false, true},
        {"REG_BINARY 0", {true, kRegBinary, {0, 0, 0, 0}}, false, true},
        {"REG_QWORD 0", {true, kRegQword, {0, 0, 0, 0, 0, 0, 0, 0}}, false, true},
        {"REG_SZ \"0\"", {true, kRegSz, Utf16(u"0\0")}, false, true},
        {"five bytes", {true, kRegDword, {0, 0, 0, 0, 0}}, false, true},
        {"missing value", kMissing, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BoolOrDefault(c.stored.Data(), false), c.expectedWithDefaultFalse) << c.what;
        EXPECT_EQ(BoolOrDefault(c.stored.Data(), true), c.expectedWithDefaultTrue) << c.what;
    }
}

TEST(RegistryValue, KeyPathLosesOnlyItsLeadingBackslash) {
    EXPECT_EQ(SubKeyPath(SettingsKey), L"Software\\Korvex\\Nimbora\\");
    EXPECT_EQ(SubKeyPath(ServiceKey), L"SYSTEM\\CurrentControlSet\\Services\\Nimbora\\");
    EXPECT_EQ(SubKeyPath(L"\\\\Twice"), L"\\Twice");
    EXPECT_EQ(SubKeyPath(L"Relative\\Key"), L"Relative\\Key");
    EXPECT_EQ(SubKeyPath(L"\\"), L"");
    EXPECT_EQ(SubKeyPath(L""), L"");
}

}  // namespace
}  // namespace nimbora
