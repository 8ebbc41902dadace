#include "defrag/Arguments.h"

#include <gtest/gtest.h>

#include "defrag/ProcessNames.h"

namespace nimbora {
namespace {

struct ArgumentCase {
    const wchar_t* text;
    ArgumentKind kind;
    std::int64_t megabytes;
};

TEST(DefragArguments, AcceptsOnlyAnOptionalSignAndDecimalDigits) {
    const ArgumentCase cases[] = {
        {L"1024", ArgumentKind::akCount, 1024},
        {L"1", ArgumentKind::akCount, 1},
        {L"+7", ArgumentKind::akCount, 7},
        {L"0007", ArgumentKind::akCount, 7},
        {L"4096", ArgumentKind::akCount, 4096},
        {L"8796093022207", ArgumentKind::akCount, kMaxRequestMegabytes},
        {L"0", ArgumentKind::akNothing, 0},
        {L"-0", ArgumentKind::akNothing, 0},
        {L"-5", ArgumentKind::akNothing, 0},
        {L"-8796093022207", ArgumentKind::akNothing, 0},
        {L"", ArgumentKind::akMalformed, 0},
        {L"abc", ArgumentKind::akMalformed, 0},
        {L"12x", ArgumentKind::akMalformed, 0},
        {L"x12", ArgumentKind::akMalformed, 0},
        {L" 12", ArgumentKind::akMalformed, 0},
        {L"12 ", ArgumentKind::akMalformed, 0},
        {L"1.5", ArgumentKind::akMalformed, 0},
        {L"1e3", ArgumentKind::akMalformed, 0},
        {L"0x10", ArgumentKind::akMalformed, 0},
        {L"-", ArgumentKind::akMalformed, 0},
        {L"+", ArgumentKind::akMalformed, 0},
        {L"--5", ArgumentKind::akMalformed, 0},
        {L"+-5", ArgumentKind::akMalformed, 0},
        {L"\xFF11\xFF12", ArgumentKind::akMalformed, 0},  // full-width digits
        {L"99999999999999999999x", ArgumentKind::akMalformed, 0},
        {L"99999999999999", ArgumentKind::akOutOfRange, 0},
        {L"8796093022208", ArgumentKind::akOutOfRange, 0},
        {L"-99999999999999", ArgumentKind::akOutOfRange, 0},
        {L"999999999999999999999999999999", ArgumentKind::akOutOfRange, 0},
    };
    for (const ArgumentCase& c : cases) {
        const ParsedArgument parsed = ParseMegabytes(c.text);
        EXPECT_EQ(parsed.kind, c.kind) << "argument \"" << testing::PrintToString(std::wstring(c.text)) << "\"";
        EXPECT_EQ(parsed.megabytes, c.megabytes) << testing::PrintToString(std::wstring(c.text));
    }
}

TEST(DefragArguments, WantsExactlyOneArgument) {
    EXPECT_EQ(ParseArguments({}).kind, ArgumentKind::akMissing);
    EXPECT_EQ(ParseArguments({L"1024", L"1024"}).kind, ArgumentKind::akSurplus);
    EXPECT_EQ(ParseArguments({L"0", L"x"}).kind, ArgumentKind::akSurplus);
    const ParsedArgument one = ParseArguments({L"300"});
    EXPECT_EQ(one.kind, ArgumentKind::akCount);
    EXPECT_EQ(one.megabytes, 300);
}

TEST(DefragArguments, RequestIsCappedAtThePhysicalMemoryThereIs) {
    constexpr std::int64_t mb = kBytesPerMegabyte;
    EXPECT_EQ(RequestBytes(1024, 8192 * mb), 1024 * mb);
    EXPECT_EQ(RequestBytes(5000, 8192 * mb), 5000 * mb);
    EXPECT_EQ(RequestBytes(5000, 2048 * mb), 2048 * mb);
    EXPECT_EQ(RequestBytes(kMaxRequestMegabytes, INT64_MAX), kMaxRequestMegabytes * mb);
    EXPECT_EQ(RequestBytes(1024, 0), 0);
}

TEST(DefragProcessNames, ExclusionSettingIsSplitTrimmedAndFolded) {
    const std::vector<std::wstring> expected = {L"game.exe", L"obs", L"teams.exe", L"zoom.exe"};
    EXPECT_EQ(ParseExclusions(L" Game.EXE ; ;obs;C:\\Program Files\\Teams.exe;;\tD:/x/Zoom.exe\t;"), expected);
    EXPECT_TRUE(ParseExclusions(L"").empty());
    EXPECT_TRUE(ParseExclusions(L" ; ;\t;").empty());
}

TEST(DefragProcessNames, EntryMatchesTheImageNameWithOrWithoutExe) {
    const std::vector<std::wstring> exclusions = ParseExclusions(L"obs;Game.exe");
    EXPECT_TRUE(IsExcluded(L"OBS.EXE", exclusions));
    EXPECT_TRUE(IsExcluded(L"obs", exclusions));
    EXPECT_TRUE(IsExcluded(L"game.EXE", exclusions));
    EXPECT_FALSE(IsExcluded(L"obs64.exe", exclusions));
    EXPECT_FALSE(IsExcluded(L"xgame.exe", exclusions));
    EXPECT_FALSE(IsExcluded(L"game.exe.exe", exclusions));
    EXPECT_FALSE(IsExcluded(L"game", exclusions));  // the entry names the .exe
    // Only A to Z fold.
    EXPECT_FALSE(NameMatches(L"\x00C4.exe", FoldName(L"\x00E4.exe")));
    EXPECT_FALSE(IsExcluded(L"", exclusions));
}

TEST(DefragProcessNames, SystemProcessesByIdAndName) {
    EXPECT_TRUE(IsSystemProcess(0, L"[System Process]"));
    EXPECT_TRUE(IsSystemProcess(4, L"whatever"));
    EXPECT_TRUE(IsSystemProcess(612, L"CSRSS.EXE"));
    EXPECT_TRUE(IsSystemProcess(1880, L"Memory Compression"));
    EXPECT_TRUE(IsSystemProcess(2200, L"dwm.exe"));
    EXPECT_TRUE(IsSystemProcess(3100, L"audiodg.exe"));
    EXPECT_FALSE(IsSystemProcess(5000, L"explorer.exe"));
    EXPECT_FALSE(IsSystemProcess(5000, L"csrss.exe.bak"));
}

}  // namespace
}  // namespace nimbora
