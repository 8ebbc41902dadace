#include "settings/CustomRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "svchost/UniqueHandle.h"

namespace nimbora {
namespace {

using Bytes = std::vector<BYTE>;

template <std::size_t N>
Bytes Utf16(const wchar_t (&text)[N]) {
    Bytes bytes(reinterpret_cast<const BYTE*>(text), reinterpret_cast<const BYTE*>(text + N - 1));
    return bytes;
}

Bytes Dword(DWORD value) {
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

// The type and bytes of a stored value, read past our own code.
struct RawValue {
    DWORD type;
    Bytes bytes;
};

std::optional<RawValue> ReadRaw(HKEY root, const std::wstring& subKey, const wchar_t* name) {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return std::nullopt;
    const UniqueHKey key(raw);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    Bytes bytes(size);
    if (RegQueryValueExW(key.get(), name, nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS) return std::nullopt;
    bytes.resize(size);
    return RawValue{type, bytes};
}

bool KeyExists(const std::wstring& subKey) {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    const UniqueHKey key(raw);
    return true;
}

// A scratch key of its own for each test, under HKLM\Software\Korvex\NimboraTest,
// removed again afterwards together with the parents this suite created.
class CustomRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        subKey_ = std::wstring(kParent) + L"\\" + std::wstring(name_.begin(), name_.end());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey_.c_str());
        HKEY raw = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &raw, nullptr),
                  ERROR_SUCCESS);
        key_.reset(raw);
    }

    void TearDown() override {
        key_.reset();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey_.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kParent);            // only once empty
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Korvex");  // likewise
    }

    void SetRaw(const wchar_t* name, DWORD type, const Bytes& data) {
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }

    // The path as the program writes it: leading and trailing backslash.
    std::wstring KeyPath(const std::wstring& below = L"") const {
        return L"\\" + subKey_ + L"\\" + (below.empty() ? L"" : below + L"\\");
    }

    static constexpr wchar_t kParent[] = L"Software\\Korvex\\NimboraTest";
    const std::string name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::wstring subKey_;
    UniqueHKey key_;
};

TEST_F(CustomRegistry, ReadsEachStoredValueAsEveryKind) {
    const struct {
        const wchar_t* name;
        DWORD type;
        Bytes data;
        std::wstring text;
        std::int32_t integer;
        bool boolWithFalse, boolWithTrue;
    } cases[] = {
        {L"Text", REG_SZ, Utf16(L"french\0"), L"french", 5, false, true},
        {L"Expand", REG_EXPAND_SZ, Utf16(L"%SystemRoot%\\x\0"), L"%SystemRoot%\\x", 5, false, true},
        {L"Embedded", REG_SZ, Utf16(L"ko\0rean\0"), L"ko", 5, false, true},
        {L"Unterminated", REG_SZ, Utf16(L"russian"), L"russian", 5, false, true},
        {L"Odd", REG_SZ, [] { Bytes b = Utf16(L"pt"); b.push_back('x'); return b; }(), L"pt", 5, false, true},
        {L"EmptyText", REG_SZ, Utf16(L"\0"), L"english", 5, false, true},
        {L"NoData", REG_SZ, {}, L"english", 5, false, true},
        {L"TenAsText", REG_SZ, Utf16(L"10\0"), L"10", 5, false, true},
        {L"SevenAsText", REG_SZ, Utf16(L"7\0"), L"7", 5, false, true},
        {L"Two", REG_DWORD, Dword(2), L"english", 2, true, true},
        {L"AllOnes", REG_DWORD, Dword(0xFFFFFFFF), L"english", -1, true, true},
        {L"Zero", REG_DWORD, Dword(0), L"english", 0, false, false},
        {L"Short", REG_DWORD, {0x34, 0x12}, L"english", 0x1234, true, true},
        {L"LongDword", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}, L"english", 5, false, true},
        {L"Binary", REG_BINARY, Dword(1), L"english", 5, false, true},
        {L"Qword", REG_QWORD, {10, 0, 0, 0, 0, 0, 0, 0}, L"english", 5, false, true},
    };
    for (const auto& c : cases) SetRaw(c.name, c.type, c.data);
    const std::wstring path = KeyPath();
    for (const auto& c : cases) {
        EXPECT_EQ(RegReadString(HKEY_LOCAL_MACHINE, path, c.name, L"english"), c.text) << c.name;
        EXPECT_EQ(RegReadInteger(HKEY_LOCAL_MACHINE, path, c.name, 5), c.integer) << c.name;
        EXPECT_EQ(RegReadBool(HKEY_LOCAL_MACHINE, path, c.name, false), c.boolWithFalse) << c.name;
        EXPECT_EQ(RegReadBool(HKEY_LOCAL_MACHINE, path, c.name, true), c.boolWithTrue) << c.name;
    }
    EXPECT_EQ(RegReadString(HKEY_LOCAL_MACHINE, path, L"Missing", L"english"), L"english");
    EXPECT_EQ(RegReadInteger(HKEY_LOCAL_MACHINE, path, L"Missing", 5), 5);
    EXPECT_TRUE(RegReadBool(HKEY_LOCAL_MACHINE, path, L"Missing", true));
    EXPECT_FALSE(RegReadBool(HKEY_LOCAL_MACHINE, path, L"Missing", false));
}

TEST_F(CustomRegistry, EveryReadSeesTheCurrentValue) {
    SetRaw(L"ExecutePeriod", REG_DWORD, Dword(1));
    EXPECT_EQ(RegReadInteger(HKEY_LOCAL_MACHINE, KeyPath(), L"ExecutePeriod", 5), 1);
    SetRaw(L"ExecutePeriod", REG_DWORD, Dword(7));
    EXPECT_EQ(RegReadInteger(HKEY_LOCAL_MACHINE, KeyPath(), L"ExecutePeriod", 5), 7);
    SetRaw(L"ExecutePeriod", REG_SZ, Utf16(L"10\0"));
    EXPECT_EQ(RegReadInteger(HKEY_LOCAL_MACHINE, KeyPath(), L"ExecutePeriod", 5), 5);
}

TEST_F(CustomRegistry, MissingKeyGivesDefaultsAndIsNotCreated) {
    const std::wstring path = KeyPath(L"Absent");
    EXPECT_EQ(RegReadString(HKEY_LOCAL_MACHINE, path, L"Language", L"english"), L"english");
    EXPECT_EQ(RegReadInteger(HKEY_LOCAL_MACHINE, path, L"MemoryMaintain", 30), 30);
    EXPECT_TRUE(RegReadBool(HKEY_LOCAL_MACHINE, path, L"LoadNimbora", true));
    EXPECT_FALSE(RegReadBool(HKEY_LOCAL_MACHINE, path, L"BatteryCheck", false));
    EXPECT_FALSE(KeyExists(subKey_ + L"\\Absent"));
}

TEST_F(CustomRegistry, WriteBoolCreatesTheKeyAndStoresADword) {
    const std::wstring below = L"New\\Deeper";
    ASSERT_FALSE(KeyExists(subKey_ + L"\\New"));
    RegWriteBool(HKEY_LOCAL_MACHINE, KeyPath(below), L"DefragMemory", true);
    const auto stored = ReadRaw(HKEY_LOCAL_MACHINE, subKey_ + L"\\" + below, L"DefragMemory");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, DWORD{REG_DWORD});
    EXPECT_EQ(stored->bytes, Dword(1));

    RegWriteBool(HKEY_LOCAL_MACHINE, KeyPath(below), L"DefragMemory", false);
    const auto cleared = ReadRaw(HKEY_LOCAL_MACHINE, subKey_ + L"\\" + below, L"DefragMemory");
    ASSERT_TRUE(cleared);
    EXPECT_EQ(cleared->type, DWORD{REG_DWORD});
    EXPECT_EQ(cleared->bytes, Dword(0));
    EXPECT_FALSE(RegReadBool(HKEY_LOCAL_MACHINE, KeyPath(below), L"DefragMemory", true));
}

TEST_F(CustomRegistry, WriteStringStoresTheTextWithItsNul) {
    RegWriteString(HKEY_LOCAL_MACHINE, KeyPath(L"Service"), L"Description", L"Frees memory");
    const auto stored = ReadRaw(HKEY_LOCAL_MACHINE, subKey_ + L"\\Service", L"Description");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, DWORD{REG_SZ});
    EXPECT_EQ(stored->bytes, Utf16(L"Frees memory\0"));
    EXPECT_EQ(RegReadString(HKEY_LOCAL_MACHINE, KeyPath(L"Service"), L"Description", L""), L"Frees memory");

    RegWriteString(HKEY_LOCAL_MACHINE, KeyPath(L"Service"), L"Description", L"");
    const auto empty = ReadRaw(HKEY_LOCAL_MACHINE, subKey_ + L"\\Service", L"Description");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->type, DWORD{REG_SZ});
    EXPECT_EQ(empty->bytes, Bytes(2, 0));
    EXPECT_EQ(RegReadString(HKEY_LOCAL_MACHINE, KeyPath(L"Service"), L"Description", L"english"), L"english");
}

TEST_F(CustomRegistry, WriteThatCannotOpenTheKeyChangesNothing) {
    RegWriteBool(nullptr, KeyPath(), L"LoadNimbora", true);
    RegWriteString(nullptr, KeyPath(), L"Language", L"french");
    EXPECT_FALSE(ReadRaw(HKEY_LOCAL_MACHINE, subKey_, L"LoadNimbora"));
    EXPECT_FALSE(ReadRaw(HKEY_LOCAL_MACHINE, subKey_, L"Language"));

    // The key opens but the value cannot be set: a name beyond the
    // registry's limit of 16383 characters.
    const std::wstring tooLong(20000, L'N');
    RegWriteBool(HKEY_LOCAL_MACHINE, KeyPath(), tooLong, true);
    RegWriteString(HKEY_LOCAL_MACHINE, KeyPath(), tooLong, L"french");
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 0u);

    EXPECT_EQ(RegReadInteger(nullptr, KeyPath(), L"ExecutePeriod", 5), 5);
}

}  // namespace
}  // namespace nimbora
