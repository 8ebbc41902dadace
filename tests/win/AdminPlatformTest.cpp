// nimbora.exe's registry access: the settings key in the 32-bit view, which
// the 32-bit service reads, whatever the tool's own bitness.
#include "admin/AdminPlatform.h"

#include <gtest/gtest.h>

#include "defrag/BatchHistory.h"
#include "settings/RegistryValue.h"
#include "settings/SettingsKeys.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {
namespace {

constexpr wchar_t kProbe[] = L"AdminPlatformTestValue";

std::wstring SettingsPath(const std::wstring& below = L"") { return std::wstring(SubKeyPath(SettingsKey)) + below; }

bool ValueExists(REGSAM view, const std::wstring& path, const wchar_t* name) {
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

class AdminPlatformRegistry : public ::testing::Test {
protected:
    void TearDown() override {
        platform_.DeleteSetting(kProbe);
        UniqueHKey batches;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (SettingsPath(L"\\") + kBatchesSubkey).c_str(), 0,
                          KEY_SET_VALUE | KEY_WOW64_32KEY, batches.put()) == ERROR_SUCCESS)
            RegDeleteValueW(batches.get(), kProbe);
    }
    AdminPlatform platform_;
};

TEST_F(AdminPlatformRegistry, WritesReadsAndDeletesInThe32BitView) {
    const std::vector<std::uint8_t> bytes = {7, 0, 0, 0};
    ASSERT_EQ(platform_.WriteSetting(kProbe, kRegDword, bytes), 0u);
    EXPECT_TRUE(ValueExists(KEY_WOW64_32KEY, SettingsPath(), kProbe));
    if (sizeof(void*) == 8) {
        EXPECT_FALSE(ValueExists(KEY_WOW64_64KEY, SettingsPath(), kProbe)) << "written to the 64-bit view";
    }
    const std::optional<StoredSetting> read = platform_.ReadSetting(kProbe);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->type, kRegDword);
    EXPECT_EQ(read->bytes, bytes);

    EXPECT_EQ(platform_.DeleteSetting(kProbe), 0u);
    EXPECT_FALSE(platform_.ReadSetting(kProbe));
    EXPECT_EQ(platform_.DeleteSetting(kProbe), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST_F(AdminPlatformRegistry, ReadsBatchRecordsFromThe32BitView) {
    const std::wstring path = SettingsPath(L"\\") + kBatchesSubkey;
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const wchar_t text[] = L"asked=1";
    ASSERT_EQ(RegSetValueExW(key.get(), kProbe, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    bool found = false;
    for (const auto& [name, value] : platform_.ReadBatchValues())
        if (name == kProbe) found = value == L"asked=1";
    EXPECT_TRUE(found);
    RegDeleteValueW(key.get(), kProbe);
}

}  // namespace
}  // namespace nimbora
