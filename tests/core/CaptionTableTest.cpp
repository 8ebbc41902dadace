#include "settings/CaptionTable.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef NIMBORA_CAPTIONS_DIR
#error "NIMBORA_CAPTIONS_DIR names the directory of the generated caption tables"
#endif

namespace nimbora {
namespace {

using Fields = std::vector<std::wstring>;
using Bytes = std::vector<std::uint8_t>;
using namespace std::string_literals;

Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::optional<std::wstring> Find(std::wstring_view table, std::wstring_view owner, std::wstring_view item) {
    return FindCaption(SplitLines(table), owner, item);
}

struct RowCase {
    std::wstring line;
    Fields fields;
};

TEST(CaptionRowParse, SplitsFieldsAtCommasAndBlanksHonouringQuotes) {
    const RowCase cases[] = {
        {L"Nimbora, DisplayName, \"Nimbora Memory Service\"", {L"Nimbora", L"DisplayName", L"Nimbora Memory Service"}},
        {L"a, b, \"say \"\"hi\"\" now\"", {L"a", L"b", L"say \"hi\" now"}},
        {L"a, b, \"no closing quote, to the end ", {L"a", L"b", L"no closing quote, to the end "}},
        {L"\"a\"\"", {L"a\""}},  // a doubled quote, then no closing one
        {L"\"\"", {L""}},
        {L" \t a \t , \t b \t ", {L"a", L"b"}},
        {L"a,", {L"a", L""}},
        {L"a, \t", {L"a"}},
        {L"a,,b", {L"a", L"", L"b"}},
        {L"x , , y", {L"x", L"", L"y"}},
        {L",", {L"", L""}},
        {L"\"a\",", {L"a", L""}},
        {L"\"q\"next, c", {L"q", L"next", L"c"}},
        {L"\"q\" \"r\"", {L"q", L"r"}},
        {L"two words", {L"two", L"words"}},
        {L"a\"b, c", {L"a\"b", L"c"}},
        {L"\x01\x1F \t", {}},
        {L"a\u00A0b", {L"a\u00A0b"}},  // a no-break space is no blank
        {std::wstring(L"a\0b", 3), {std::wstring(L"a\0b", 3)}},
        {L"\"a, b\", c, d, e", {L"a, b", L"c", L"d", L"e"}},
    };
    for (const RowCase& c : cases) {
        EXPECT_EQ(ParseRow(c.line), c.fields) << "line: " << testing::PrintToString(c.line);
    }
}

struct SplitCase {
    std::wstring text;
    Fields lines;
};

TEST(CaptionLines, BreakAtCrLfLoneCrAndLoneLf) {
    const SplitCase cases[] = {
        {L"", {}},
        {L"a", {L"a"}},
        {L"a\r\nb", {L"a", L"b"}},
        {L"a\rb\nc", {L"a", L"b", L"c"}},
        {L"a\r\n", {L"a"}},
        {L"a\n\n", {L"a", L""}},
        {L"\n", {L""}},
        {L"a\n\rb", {L"a", L"", L"b"}},
        {L"a\r\r\nb", {L"a", L"", L"b"}},
        {L"a\r\n\r\nb\r", {L"a", L"", L"b"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(SplitLines(c.text), c.lines) << "text: " << testing::PrintToString(c.text);
    }
}

TEST(CaptionDecode, ByteOrderMarksChooseTheEncoding) {
    int ansiCalls = 0;
    const AnsiDecoder ansi = [&](TableBytes bytes) {
        ++ansiCalls;
        return L"ansi:" + std::to_wstring(bytes.size());
    };
    struct Case {
        std::string bytes;
        std::wstring text;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBF" "Caf\xC3\xA9", L"Caf\u00E9"},
        {"\xEF\xBB\xBF", L""},
        {"\xFF\xFE" "A\0\x5C\xD1"s, L"A\uD15C"},
        {"\xFF\xFE" "A\0B"s, L"A"},  // the odd last byte is dropped
        {"\xFE\xFF" "\0A\xD1\x5C"s, L"A\uD15C"},
        {"\xFE\xFF", L""},
        {"\xEF\xBB", L"ansi:2"},
        {"\xFE", L"ansi:1"},
        {"Nimbora", L"ansi:7"},
    };
    for (const Case& c : cases) {
        const Bytes bytes = ToBytes(c.bytes);
        EXPECT_EQ(DecodeTableText(bytes, ansi), c.text) << testing::PrintToString(c.bytes);
    }
    EXPECT_EQ(ansiCalls, 3);
    EXPECT_EQ(DecodeTableText(Bytes{}, ansi), L"");
    EXPECT_EQ(ansiCalls, 3) << "the empty table is not converted";
}

TEST(CaptionDecode, MalformedUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string bytes;
        std::wstring text;
    };
    const Case cases[] = {
        {"a\xC3", L"a\uFFFD"},
        {"\xC3(", L"\uFFFD("},
        {"\xE0\x80\x80", L"\uFFFD\uFFFD\uFFFD"},  // overlong
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
        {"\xE2\x82", L"\uFFFD"},
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xC0\xAF", L"\uFFFD\uFFFD"},
    };
    for (const Case& c : cases) {
        const Bytes bytes = ToBytes("\xEF\xBB\xBF" + c.bytes);
        EXPECT_EQ(DecodeTableText(bytes), c.text) << testing::PrintToString(c.bytes);
    }
    const Bytes astral = ToBytes("\xEF\xBB\xBF\xF0\x9F\x98\x80");
    const std::wstring pair = DecodeTableText(astral);
    ASSERT_EQ(pair.size(), 2u) << "held as UTF-16 code units";
    EXPECT_EQ(static_cast<unsigned>(pair[0]), 0xD83Du);
    EXPECT_EQ(static_cast<unsigned>(pair[1]), 0xDE00u);
}

TEST(CaptionDecode, EightBitTextDefaultsToWindows1252) {
    const Bytes bytes = ToBytes("\x80\x81\x8D\x9F\xA0\xE7\xF3\xE9\xFF");
    EXPECT_EQ(DecodeTableText(bytes), L"\u20AC\u0081\u008D\u0178\u00A0\u00E7\u00F3\u00E9\u00FF");
}

TEST(CaptionLookup, LaterMatchingRowWins) {
    const std::wstring table =
        L"Nimbora, DisplayName, \"first\"\r\n"
        L"Other, DisplayName, \"other\"\r\n"
        L"Nimbora, Description, \"description\"\r\n"
        L"\r\n"
        L"Nimbora, DisplayName, \"second\"\r\n"
        L"Nimbora, Other, \"x\"";
    EXPECT_EQ(Find(table, L"Nimbora", L"DisplayName"), L"second");
    EXPECT_EQ(Find(table, L"Nimbora", L"Description"), L"description");
    EXPECT_EQ(Find(table, L"Nimbora", L"Missing"), std::nullopt);
    EXPECT_EQ(Find(table + L"\r\nNimbora, DisplayName,", L"Nimbora", L"DisplayName"), L"")
        << "a later empty text replaces an earlier one";
    EXPECT_EQ(Find(table, L"Missing", L"DisplayName"), std::nullopt);
    EXPECT_EQ(Find(L"", L"Nimbora", L"DisplayName"), std::nullopt);
    EXPECT_EQ(Find(L"\r\n\n\r", L"Nimbora", L"DisplayName"), std::nullopt);
}

TEST(CaptionLookup, ShortRowEndsTheSearchKeepingEarlierResult) {
    struct Case {
        const wchar_t* stopper;
        std::optional<std::wstring> result;  // what the rows before it gave
    };
    const Case cases[] = {
        {L" \t ", L"before"},                 // no field at all
        {L"Nimbora", L"before"},              // owner matches, no item
        {L"nimbora, displayname", L"before"}, // owner and item match, no text
        {L"nimbora, displayname, ", L"before"},  // a comma before blanks only adds no field
        {L"Other", L"after"},                 // owner differs: the item is never reached
        {L"Nimbora, Other", L"after"},        // item differs: the text is never reached
    };
    for (const Case& c : cases) {
        const std::wstring table = std::wstring(L"Nimbora, DisplayName, \"before\"\r\n") + c.stopper +
                                   L"\r\nNimbora, DisplayName, \"after\"";
        EXPECT_EQ(Find(table, L"Nimbora", L"DisplayName"), c.result) << testing::PrintToString(c.stopper);
        const std::wstring withoutEarlier = std::wstring(c.stopper) + L"\r\nNimbora, DisplayName, \"after\"";
        EXPECT_EQ(Find(withoutEarlier, L"Nimbora", L"DisplayName"),
                  c.result == L"before" ? std::nullopt : c.result)
            << testing::PrintToString(c.stopper);
    }
}

TEST(CaptionLookup, UnterminatedTextStillMatches) {
    EXPECT_EQ(Find(L"Nimbora, Description, \"runs on, to the end", L"Nimbora", L"Description"),
              L"runs on, to the end");
}

TEST(CaptionLookup, CaseFoldsOnlyLettersAToZ) {
    EXPECT_EQ(LowerCaseAZ(L"@AZ[`az{\u00C0\u00E0\u0416"), L"@az[`az{\u00C0\u00E0\u0416");

    EXPECT_EQ(Find(L"NIMBORA, DISPLAYNAME, \"upper\"", L"Nimbora", L"DisplayName"), L"upper");
    EXPECT_EQ(Find(L"nimbora, displayname, \"lower\"", L"NIMBORA", L"DISPLAYNAME"), L"lower");
    EXPECT_EQ(Find(L"\u00C9cran, Item, \"e\"", L"\u00E9cran", L"Item"), std::nullopt);
    EXPECT_EQ(Find(L"Owner, \u0416, \"zhe\"", L"Owner", L"\u0436"), std::nullopt);
    EXPECT_EQ(Find(L"Owner, [x], \"bracket\"", L"Owner", L"{x}"), std::nullopt);
    EXPECT_EQ(Find(L"Owner, Item, \"MiXeD\"", L"owner", L"item"), L"MiXeD") << "the text keeps its case";
}

// The tables as the build generates them for the executable's resources.
class ShippedTable : public testing::Test {
protected:
    static Bytes Load(const std::string& name) {
        std::ifstream in(std::string(NIMBORA_CAPTIONS_DIR) + "/" + name + ".bin", std::ios::binary);
        EXPECT_TRUE(in) << "missing generated table " << name;
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

struct ServiceRows {
    const char* table;
    const wchar_t* displayName;
    const wchar_t* description;
};

const ServiceRows kServiceRows[] = {
    {"ENGLISH", L"Nimbora Memory Service",
     L"Maintains memory performance by defragmenting used memory and allocating it back to the computer system."},
    {"FRENCH", L"Nimbora Service Mémoire",
     L"Maintenant les performances en défragmentant la mémoire utilisée et la ré-allouer au système."},
    {"KOREAN", L"Nimbora 서비스", L"사용된 RAM을 조각모음하고 시스템에 할당시켜 RAM 성능을 유지합니다."},
    {"PRTBRZL", L"Serviço de Memória do Nimbora",
     L"Mantém o desempenho da memória, desfragmentando a memória usada e alocando-a de volta ao sistema."},
    {"RUSSIAN", L"Nimbora Служба Памяти",
     L"Поддерживает производительность подсистемы памяти за счет дефрагментации используемой памяти и "
     L"выделение его обратно на компьютер."},
};

TEST_F(ShippedTable, GivesTheServiceTexts) {
    for (const ServiceRows& rows : kServiceRows) {
        SCOPED_TRACE(rows.table);
        const Bytes bytes = Load(rows.table);
        EXPECT_EQ(FindCaptionInTable(bytes, L"Nimbora", L"DisplayName", DecodeWindows1252), rows.displayName);
        EXPECT_EQ(FindCaptionInTable(bytes, L"Nimbora", L"Description", DecodeWindows1252), rows.description);
        EXPECT_EQ(FindCaptionInTable(bytes, L"nimbora", L"DISPLAYNAME", DecodeWindows1252), rows.displayName);
    }
}

TEST_F(ShippedTable, HasTheShippedEncodingAndShape) {
    for (const ServiceRows& rows : kServiceRows) {
        SCOPED_TRACE(rows.table);
        const Bytes bytes = Load(rows.table);
        const std::string name = rows.table;
        const bool eightBit = name == "ENGLISH" || name == "PRTBRZL";
        ASSERT_GE(bytes.size(), 2u);
        EXPECT_EQ(bytes[0] == 0xFF && bytes[1] == 0xFE, !eightBit) << "byte-order mark";

        // The service's two rows alone: one CR LF between them, none after
        // the last, and no empty line.
        const std::wstring text = DecodeTableText(bytes);
        const std::vector<std::wstring> lines = SplitLines(text);
        ASSERT_EQ(lines.size(), 2u);
        const std::size_t cr = text.find(L'\r');
        ASSERT_NE(cr, std::wstring::npos);
        EXPECT_EQ(text.substr(cr, 2), L"\r\n");
        EXPECT_EQ(text.find_first_of(L"\r\n", cr + 2), std::wstring::npos) << "a single break";
        for (const std::wstring& line : lines) {
            ASSERT_EQ(ParseRow(line).size(), 3u) << "owner, item and text";
            EXPECT_EQ(ParseRow(line)[0], L"Nimbora");
        }
        EXPECT_EQ(ParseRow(lines[0])[1], L"DisplayName");
        EXPECT_EQ(ParseRow(lines[1])[1], L"Description");
    }
}

TEST_F(ShippedTable, PortugueseTableCarriesWindows1252Bytes) {
    const Bytes bytes = Load("PRTBRZL");
    const std::string raw(bytes.begin(), bytes.end());
    EXPECT_NE(raw.find("\"Servi\xE7o de Mem\xF3ria do Nimbora\""), std::string::npos);
    EXPECT_NE(raw.find("\"Mant\xE9m o desempenho da mem\xF3ria, desfragmentando"), std::string::npos);

    const Bytes english = Load("ENGLISH");
    const std::string englishRaw(english.begin(), english.end());
    ASSERT_FALSE(english.empty());
    for (std::size_t i = 0; i < english.size(); ++i) {
        EXPECT_LE(english[i], 0x7E) << "byte " << i;
    }
}

}  // namespace
}  // namespace nimbora
