#include "svchost/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbora {
namespace {

using Words = std::vector<std::wstring>;

// For failure output only: the line with every non-ASCII or control
// character shown as its code.
std::string Shown(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        if (c >= 32 && c < 127)
            out += static_cast<char>(c);
        else
            out += "<" + std::to_string(static_cast<unsigned>(c)) + ">";
    }
    return out;
}

TEST(CommandLineArguments, SplitsWordsAfterTheProgramPath) {
    const struct {
        std::wstring line;
        Words words;
    } cases[] = {
        {L"", {}},
        {L"prog", {}},
        {L"/install", {}},  // the program path itself is never an argument
        {L"prog /install", {L"/install"}},
        {L"prog   /install  -silent  ", {L"/install", L"-silent"}},
        // Every character from 1 to 32 separates words.
        {std::wstring(L"prog\x01/a\x1F/b\t/c\r\n/d") + wchar_t(32) + L"/e", {L"/a", L"/b", L"/c", L"/d", L"/e"}},
        // A quoted program path may hold blanks.
        {L"\"C:\\Program Files\\Nimbora\\NimboraService.exe\" /install", {L"/install"}},
        // Inside a word a quote opens a stretch to the next quote; the quotes go.
        {L"prog \"/install\"", {L"/install"}},
        {L"prog /ins\"tall\"", {L"/install"}},
        {L"prog /\"in stall\" x", {L"/in stall", L"x"}},
        {L"prog a\"\"b", {L"ab"}},
        {L"prog /\"install", {L"/install"}},  // an unterminated stretch runs to the end
        // A pair of double quotes at the start of a word is skipped.
        {L"prog \"\" /install", {L"/install"}},
        {L"prog \"\"/install", {L"/install"}},
        {L"prog \"\"\"\"-silent", {L"-silent"}},
        {L"prog \"\"", {}},
        {L"\"\"prog /install", {L"/install"}},
        // A lone quote at the end makes one empty word.
        {L"prog \"", {L""}},
    };
    for (const auto& c : cases) EXPECT_EQ(CommandLineArguments(c.line), c.words) << Shown(c.line);
}

TEST(CommandLineArguments, ExclamationMarkIsNotASeparator) {
    EXPECT_EQ(CommandLineArguments(L"prog /a!/b"), Words{L"/a!/b"});
}

TEST(CommandLineArguments, StopsAtAnEmbeddedNul) {
    const std::wstring line(L"prog /a\0/b", 10);
    EXPECT_EQ(CommandLineArguments(line), Words{L"/a"});
}

TEST(HasSwitch, MatchesOnlyAPrefixedWholeWordInAnyCase) {
    const struct {
        std::wstring line;
        std::wstring word;
        bool expected;
    } cases[] = {
        {L"prog /install", L"INSTALL", true},
        {L"prog -INSTALL", L"INSTALL", true},
        {L"prog /InStAlL", L"INSTALL", true},
        {L"prog -Silent", L"SILENT", true},
        {L"prog install", L"INSTALL", false},      // no prefix
        {L"prog //install", L"INSTALL", false},    // doubled prefix
        {L"prog --install", L"INSTALL", false},
        {L"prog -/install", L"INSTALL", false},
        {L"prog /installer", L"INSTALL", false},   // longer word
        {L"prog /instal", L"INSTALL", false},      // shorter word
        {L"prog /uninstall", L"INSTALL", false},
        {L"prog \\install", L"INSTALL", false},    // not a prefix character
        {L"prog / install", L"INSTALL", false},    // the prefix stands alone
        {L"prog /", L"", true},                    // "/" alone leaves the empty word
        {L"/install", L"INSTALL", false},          // only the program path
        {L"prog", L"INSTALL", false},
        {L"prog \"\" /install", L"INSTALL", true},
        {L"prog \"/install\"", L"INSTALL", true},
        {L"prog \"-silent\" /uninstall", L"SILENT", true},
        {L"prog x y /x -y /install", L"INSTALL", true},  // any position
        {L"prog \"", L"INSTALL", false},           // an empty argument is skipped
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HasSwitch(CommandLineArguments(c.line), c.word), c.expected)
            << Shown(c.line) << " / " << Shown(c.word);
    }
}

TEST(HasSwitch, BothSwitchesArePresentTogether) {
    const Words arguments = CommandLineArguments(L"prog /uninstall -INSTALL /silent");
    EXPECT_TRUE(HasSwitch(arguments, L"INSTALL"));
    EXPECT_TRUE(HasSwitch(arguments, L"UNINSTALL"));
    EXPECT_TRUE(HasSwitch(arguments, L"SILENT"));
}

TEST(HasSwitch, ComparesTheRestOfEachPrefixedArgumentThroughTheGivenComparison) {
    std::vector<std::pair<std::wstring, std::wstring>> seen;
    const TextEquals recordingNever = [&](const std::wstring& a, const std::wstring& b) {
        seen.emplace_back(a, b);
        return false;
    };
    EXPECT_FALSE(HasSwitch(CommandLineArguments(L"prog plain /one \"\" -two"), L"WORD", recordingNever));
    const std::vector<std::pair<std::wstring, std::wstring>> expected{{L"one", L"WORD"}, {L"two", L"WORD"}};
    EXPECT_EQ(seen, expected);

    // The first match ends the search.
    seen.clear();
    const TextEquals recordingAlways = [&](const std::wstring& a, const std::wstring& b) {
        seen.emplace_back(a, b);
        return true;
    };
    EXPECT_TRUE(HasSwitch(CommandLineArguments(L"prog /one /two"), L"X", recordingAlways));
    EXPECT_EQ(seen.size(), 1u);
}

TEST(EqualsIgnoringAsciiCase, FoldsOnlyTheLettersAToZ) {
    EXPECT_TRUE(EqualsIgnoringAsciiCase(L"install", L"INSTALL"));
    EXPECT_TRUE(EqualsIgnoringAsciiCase(L"", L""));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"install", L"INSTALLX"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"[", L"{"));  // 0x5B and 0x7B differ by 32 but are not letters
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"@", L"`"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"\u00E9", L"\u00C9"));
}

}  // namespace
}  // namespace nimbora
