// The desktop program's five tables: complete, each in its own language, the
// placeholders of every English text present in every translation, the
// language chosen for each Windows UI language, and the formatter.
#include "tray/TrayTexts.h"

#include <gtest/gtest.h>

#include <set>

namespace nimbora {
namespace {

constexpr UiLanguage kLanguages[] = {UiLanguage::ulEnglish, UiLanguage::ulFrench, UiLanguage::ulKorean,
                                     UiLanguage::ulPortuguese, UiLanguage::ulRussian};

TextId Id(std::size_t i) { return static_cast<TextId>(i); }

bool InRange(const std::wstring& text, unsigned first, unsigned last) {
    for (const wchar_t c : text)
        if (static_cast<unsigned>(c) >= first && static_cast<unsigned>(c) <= last) return true;
    return false;
}

bool HasHangul(const std::wstring& text) { return InRange(text, 0xAC00, 0xD7A3); }
bool HasCyrillic(const std::wstring& text) { return InRange(text, 0x0400, 0x04FF); }

// A sentence-length text: three words or more.
bool IsSentence(const std::wstring& text) {
    return std::count(text.begin(), text.end(), L' ') >= 2;
}

std::multiset<std::wstring> Placeholders(const std::wstring& text) {
    std::multiset<std::wstring> found;
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == L'%' && text[i + 1] >= L'1' && text[i + 1] <= L'9') found.insert(text.substr(i, 2));
    return found;
}

TEST(TrayTexts, EveryTableHoldsEveryText) {
    for (const UiLanguage language : kLanguages)
        for (std::size_t i = 0; i < kTextCount; ++i) {
            const wchar_t* text = FindText(language, Id(i));
            ASSERT_NE(text, nullptr) << "table " << LanguageTableName(language) << " lacks text " << i;
            EXPECT_NE(std::wstring(text), L"") << LanguageTableName(language) << " text " << i;
        }
}

TEST(TrayTexts, EachTableIsInItsOwnLanguage) {
    for (std::size_t i = 0; i < kTextCount; ++i) {
        const std::wstring english = FindText(UiLanguage::ulEnglish, Id(i));
        EXPECT_FALSE(HasHangul(english) || HasCyrillic(english)) << i;
        for (const UiLanguage language : kLanguages) {
            if (language == UiLanguage::ulEnglish) continue;
            const std::wstring text = FindText(language, Id(i));
            if (IsSentence(english)) {
                EXPECT_NE(text, english) << LanguageTableName(language) << " text " << i << " is the English one";
            }
            if (language == UiLanguage::ulKorean) {
                EXPECT_FALSE(HasCyrillic(text)) << i;
                // Texts that are a unit or a name alone carry no words.
                if (english != L"%1 MB") {
                    EXPECT_TRUE(HasHangul(text)) << "korean text " << i;
                }
            }
            if (language == UiLanguage::ulRussian) {
                EXPECT_FALSE(HasHangul(text)) << i;
                EXPECT_TRUE(HasCyrillic(text)) << "russian text " << i;
            }
            if (language == UiLanguage::ulFrench || language == UiLanguage::ulPortuguese) {
                EXPECT_FALSE(HasHangul(text) || HasCyrillic(text)) << LanguageTableName(language) << " text " << i;
            }
        }
    }
}

TEST(TrayTexts, TranslationsKeepEveryPlaceholder) {
    for (std::size_t i = 0; i < kTextCount; ++i) {
        const auto wanted = Placeholders(FindText(UiLanguage::ulEnglish, Id(i)));
        for (const UiLanguage language : kLanguages)
            EXPECT_EQ(Placeholders(FindText(language, Id(i))), wanted) << LanguageTableName(language) << " text " << i;
    }
}

TEST(TrayTexts, AcceleratorsAreUniqueWithinTheWindow) {
    const TextId windowControls[] = {TextId::txSettingLabel, TextId::txValueLabel, TextId::txApply,
                                     TextId::txPause, TextId::txFreeNow};
    const TextId alternates[] = {TextId::txResume};  // shown instead of txPause
    for (const UiLanguage language : kLanguages) {
        std::set<wchar_t> keys;
        auto key = [&](TextId id) {
            const std::wstring text = FindText(language, id);
            const std::size_t at = text.find(L'&');
            EXPECT_NE(at, std::wstring::npos) << LanguageTableName(language) << " text " << static_cast<int>(id);
            return at == std::wstring::npos ? L'\0' : static_cast<wchar_t>(towlower(text[at + 1]));
        };
        for (const TextId id : windowControls)
            EXPECT_TRUE(keys.insert(key(id)).second) << LanguageTableName(language) << " repeats an access key";
        keys.erase(key(TextId::txPause));
        for (const TextId id : alternates)
            EXPECT_TRUE(keys.insert(key(id)).second) << LanguageTableName(language) << " repeats an access key";
    }
}

TEST(TrayTexts, WindowsUiLanguageChoosesTheTable) {
    const struct {
        std::uint16_t langId;
        UiLanguage expected;
    } cases[] = {
        {0x0409, UiLanguage::ulEnglish},     // English (United States)
        {0x0809, UiLanguage::ulEnglish},     // English (United Kingdom)
        {0x040C, UiLanguage::ulFrench},      // French (France)
        {0x0C0C, UiLanguage::ulFrench},      // French (Canada)
        {0x0412, UiLanguage::ulKorean},      // Korean
        {0x0416, UiLanguage::ulPortuguese},  // Portuguese (Brazil)
        {0x0816, UiLanguage::ulPortuguese},  // Portuguese (Portugal): the Brazilian table reads better than English
        {0x0419, UiLanguage::ulRussian},     // Russian
        {0x0407, UiLanguage::ulEnglish},     // German: no table
        {0x0411, UiLanguage::ulEnglish},     // Japanese: no table
        {0x0422, UiLanguage::ulEnglish},     // Ukrainian: no table, though Cyrillic
        {0x0000, UiLanguage::ulEnglish},
    };
    for (const auto& c : cases) EXPECT_EQ(LanguageForLangId(c.langId), c.expected) << std::hex << c.langId;
}

TEST(TrayTexts, FormatReplacesNumberedPlaceholders) {
    EXPECT_EQ(FormatText(L"%2 of %1", {L"a", L"b"}), L"b of a");
    EXPECT_EQ(FormatText(L"%1 % and 100%%", {L"42"}), L"42 % and 100%");
    EXPECT_EQ(FormatText(L"(%3%)", {L"x", L"y", L"7"}), L"(7%)");
    EXPECT_EQ(FormatText(L"%4 missing", {L"x"}), L" missing");
    EXPECT_EQ(FormatText(L"end %", {}), L"end %");
}

}  // namespace
}  // namespace nimbora
