#include "settings/Captions.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "svchost/UniqueHandle.h"

namespace nimbora {
namespace {

constexpr wchar_t kKorvexKey[] = L"Software\\Korvex";
constexpr wchar_t kNimboraKey[] = L"Software\\Korvex\\Nimbora";

const std::wstring kEnglishName = L"Nimbora Memory Service";
const std::wstring kEnglishDescription =
    L"Maintains memory performance by defragmenting used memory and allocating it back to the computer system.";
const std::wstring kFrenchName = L"Nimbora Service Mémoire";
const std::wstring kFrenchDescription =
    L"Maintenant les performances en défragmentant la mémoire utilisée et la ré-allouer au système.";
const std::wstring kUntouched = L"(untouched)";

bool KeyExists(const wchar_t* path) {
    UniqueHKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Sets the Language setting for one test and puts back whatever was there
// before, removing the keys that the test created.
class CaptionsTest : public testing::Test {
protected:
    void SetUp() override {
        korvexExisted_ = KeyExists(kKorvexKey);
        nimboraExisted_ = KeyExists(kNimboraKey);
        if (!nimboraExisted_) return;
        UniqueHKey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNimboraKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
        DWORD type = 0, size = 0;
        if (RegQueryValueExW(key.get(), L"Language", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
        std::vector<BYTE> data(size);
        ASSERT_EQ(RegQueryValueExW(key.get(), L"Language", nullptr, &type, data.data(), &size), ERROR_SUCCESS);
        data.resize(size);
        saved_ = Saved{type, std::move(data)};
    }

    void TearDown() override {
        if (!nimboraExisted_) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kNimboraKey);
            if (!korvexExisted_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKorvexKey);
            return;
        }
        UniqueHKey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNimboraKey, 0, KEY_WRITE, key.put()), ERROR_SUCCESS);
        if (saved_) {
            RegSetValueExW(key.get(), L"Language", 0, saved_->type, saved_->data.data(),
                           static_cast<DWORD>(saved_->data.size()));
        } else {
            RegDeleteValueW(key.get(), L"Language");
        }
    }

    static void SetRaw(DWORD type, const void* data, DWORD size) {
        UniqueHKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kNimboraKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), L"Language", 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }

    static void SetLanguage(const std::wstring& language) {
        SetRaw(REG_SZ, language.c_str(), static_cast<DWORD>((language.size() + 1) * sizeof(wchar_t)));
    }

    static void RemoveLanguage() {
        UniqueHKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNimboraKey, 0, KEY_WRITE, key.put()) == ERROR_SUCCESS) {
            RegDeleteValueW(key.get(), L"Language");
        }
    }

    static std::wstring Caption(const wchar_t* item) {
        std::wstring text = kUntouched;
        GetCaption(L"Nimbora", item, text);
        return text;
    }

private:
    struct Saved {
        DWORD type;
        std::vector<BYTE> data;
    };
    bool korvexExisted_ = false;
    bool nimboraExisted_ = false;
    std::optional<Saved> saved_;
};

TEST_F(CaptionsTest, MissingOrEmptyLanguageReadsTheEnglishTable) {
    RemoveLanguage();
    EXPECT_EQ(Caption(L"DisplayName"), kEnglishName);
    EXPECT_EQ(Caption(L"Description"), kEnglishDescription);

    SetLanguage(L"");
    EXPECT_EQ(Caption(L"DisplayName"), kEnglishName);

    const DWORD french = 1;
    SetRaw(REG_DWORD, &french, sizeof french);
    EXPECT_EQ(Caption(L"DisplayName"), kEnglishName) << "a Language of another type reads as english";
}

TEST_F(CaptionsTest, LanguageNameMatchesTheTableWithoutCase) {
    for (const wchar_t* language : {L"FRENCH", L"French", L"french", L"fReNcH"}) {
        SetLanguage(language);
        EXPECT_EQ(Caption(L"DisplayName"), kFrenchName) << language;
        EXPECT_EQ(Caption(L"Description"), kFrenchDescription) << language;
    }
    SetLanguage(L"Korean");
    EXPECT_EQ(Caption(L"DisplayName"), L"Nimbora 서비스");
    SetLanguage(L"RUSSIAN");
    EXPECT_EQ(Caption(L"DisplayName"), L"Nimbora Служба Памяти");
    SetLanguage(L"english");
    EXPECT_EQ(GetCaption(L"NIMBORA", L"displayname"), kEnglishName);
}

TEST_F(CaptionsTest, NothingFoundLeavesTheTextAlone) {
    SetLanguage(L"german");
    EXPECT_EQ(Caption(L"DisplayName"), kUntouched);
    EXPECT_EQ(Caption(L"Description"), kUntouched);
    EXPECT_EQ(GetCaption(L"Nimbora", L"DisplayName"), L"");

    SetLanguage(L"english ");
    EXPECT_EQ(Caption(L"DisplayName"), kUntouched) << "no trimming of the language name";

    SetLanguage(L"english");
    EXPECT_EQ(Caption(L"Missing"), kUntouched);
    std::wstring text = kUntouched;
    GetCaption(L"Other", L"DisplayName", text);
    EXPECT_EQ(text, kUntouched);
}

// The table is 8-bit text: its bytes 0xE7 (ç) and 0xF3 (ó) are read in the
// system's ANSI code page, whatever that is.
TEST_F(CaptionsTest, PortugueseTableDecodesInTheAnsiCodePage) {
    const struct {
        UINT codePage;
        const wchar_t* displayName;
    } cases[] = {
        {1252, L"Servi\u00E7o de Mem\u00F3ria do Nimbora"},
        {1250, L"Servi\u00E7o de Mem\u00F3ria do Nimbora"},
        {1251, L"Servi\u0437o de Mem\u0443ria do Nimbora"},
        {1253, L"Servi\u03B7o de Mem\u03C3ria do Nimbora"},
        {1254, L"Servi\u00E7o de Mem\u00F3ria do Nimbora"},
        {1257, L"Servi\u0113o de Mem\u00F3ria do Nimbora"},
    };
    SetLanguage(L"prtbrzl");
    const UINT codePage = GetACP();
    RecordProperty("AnsiCodePage", static_cast<int>(codePage));
    const auto known = std::find_if(std::begin(cases), std::end(cases),
                                    [&](const auto& c) { return c.codePage == codePage; });
    ASSERT_NE(known, std::end(cases)) << "no expected text for ANSI code page " << codePage;
    EXPECT_EQ(Caption(L"DisplayName"), known->displayName) << "code page " << codePage;
    if (codePage == 1252) {
        EXPECT_EQ(Caption(L"Description"),
                  L"Mant\u00E9m o desempenho da mem\u00F3ria, desfragmentando a mem\u00F3ria usada e alocando-a de "
                  L"volta ao sistema.");
    }
}

}  // namespace
}  // namespace nimbora
