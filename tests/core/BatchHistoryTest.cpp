#include "defrag/BatchHistory.h"

#include <gtest/gtest.h>

namespace nimbora {
namespace {

constexpr wchar_t kName[] = L"01DB4A2C3F5E6000";

TEST(BatchHistory, RecordSurvivesTheRegistryText) {
    BatchRecord r;
    r.startedUtc = 0x01DB4A2C3F5E6000;
    r.askedMegabytes = 15463;
    r.freedMegabytes = 9800;
    r.trimmedProcesses = 41;
    r.flushed = true;
    r.purgedMegabytes = 300;
    r.elapsedMs = 2750;
    r.availableBeforeMegabytes = 6000;
    r.availableAfterMegabytes = 15800;
    r.outcome = BatchOutcome::boPartial;

    EXPECT_EQ(BatchValueName(r.startedUtc), kName);
    const std::wstring text = FormatBatchRecord(r);
    EXPECT_EQ(text, L"asked=15463;freed=9800;trimmed=41;flushed=1;purged=300;ms=2750;before=6000;after=15800;"
                    L"outcome=partial");
    EXPECT_EQ(ParseBatchRecord(kName, text), r);

    // What the trims did, and the outcomes that touched nothing.
    r.neededMegabytes = 1200;
    r.movedMegabytes = 1500;
    r.modifiedMegabytes = -1;
    r.outcome = BatchOutcome::boSkipped;
    EXPECT_EQ(FormatBatchRecord(r), L"asked=15463;freed=9800;trimmed=41;flushed=1;purged=300;ms=2750;before=6000;"
                                    L"after=15800;outcome=skipped;needed=1200;moved=1500;modified=unknown");
    EXPECT_EQ(ParseBatchRecord(kName, FormatBatchRecord(r)), r);
    r.modifiedMegabytes = 200;
    r.outcome = BatchOutcome::boNothing;
    EXPECT_EQ(ParseBatchRecord(kName, FormatBatchRecord(r)), r);
}

TEST(BatchHistory, ReaderTakesAnyOrderAndUnknownKeys) {
    const auto r = ParseBatchRecord(
        L"01db4a2c3f5e6000",
        L"outcome=met;after=900;before=100;ms=5;purged=0;flushed=0;trimmed=2;freed=800;asked=800;how=trim");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->startedUtc, 0x01DB4A2C3F5E6000u);
    EXPECT_EQ(r->freedMegabytes, 800);
    EXPECT_EQ(r->outcome, BatchOutcome::boMet);
}

TEST(BatchHistory, ReaderRefusesDamagedRecords) {
    const wchar_t* good = L"asked=1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met";
    ASSERT_TRUE(ParseBatchRecord(kName, good));
    const struct {
        const wchar_t* name;
        const wchar_t* text;
    } cases[] = {
        {L"01DB4A2C3F5E600", good},    // 15 digits
        {L"01DB4A2C3F5E600G", good},   // not hexadecimal
        {L"01DB4A2C3F5E60000", good},  // 17 digits
        {kName, L""},
        {kName, L"asked=1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;outcome=met"},           // no after
        {kName, L"asked=1;freed=1;trimmed=1;flushed=2;purged=0;ms=1;before=1;after=2;outcome=met"},   // flag 2
        {kName, L"asked=-1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met"},  // sign
        {kName, L"asked=;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met"},    // empty
        {kName, L"asked=99999999999999999;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met"},
        {kName, L"asked=1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=done"},
        {kName, L"asked=1;asked=2;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met"},
        {kName, L"asked=1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met;junk"},
        {kName, L"asked=1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met;moved=x"},
        {kName, L"asked=1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met;needed=unknown"},
        {kName, L"asked=1;freed=1;trimmed=1;flushed=0;purged=0;ms=1;before=1;after=2;outcome=met;moved=1;moved=2"},
    };
    for (const auto& c : cases) EXPECT_FALSE(ParseBatchRecord(c.name, c.text)) << c.name << L" " << c.text;
}

TEST(BatchHistory, PruningKeepsRoomForOneMoreAndSparesOtherValues) {
    std::vector<std::wstring> names{L"(Default)", L"notes"};
    for (std::uint64_t t = 25; t >= 1; --t) names.push_back(BatchValueName(t * 1000));
    const std::vector<std::wstring> prune = BatchNamesToPrune(names);
    ASSERT_EQ(prune.size(), 6u);  // 25 stored, 19 kept, one about to be added
    for (std::size_t i = 0; i < prune.size(); ++i) EXPECT_EQ(prune[i], BatchValueName((i + 1) * 1000));
    EXPECT_TRUE(BatchNamesToPrune({BatchValueName(1), L"x"}).empty());
}

}  // namespace
}  // namespace nimbora
