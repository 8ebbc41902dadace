// The desktop program's view: the verdict sentence from the tool's own
// status, the chart's geometry, history rows, the icon's face and tooltip,
// and the settings panel's checks.
#include "tray/TrayView.h"

#include <gtest/gtest.h>

#include "admin/AdminSettings.h"
#include "tray/TraySnapshot.h"

namespace nimbora {
namespace {

constexpr std::uint64_t kSecond = 10000000;
// 2026-12-11 09:42:05 UTC as a FILETIME.
constexpr std::uint64_t kNow = (UINT64_C(1796982125) + UINT64_C(11644473600)) * kSecond;
constexpr std::int64_t kGiB = INT64_C(1073741824);
constexpr std::int64_t kParis = 3600;  // an hour east of UTC in winter

std::vector<std::uint8_t> Dword(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

// 8 GiB, 1 GiB available, running for an hour, nothing stored.
TraySnapshot Machine() {
    TraySnapshot s;
    s.service.installed = true;
    s.service.state = ServiceState::ssRunning;
    s.machine.totalBytes = 8 * kGiB;
    s.machine.availableBytes = kGiB;
    s.machine.processorLoad = 10;
    s.machine.acLineStatus = 1;
    s.machine.tickCount = 3600000;
    s.machine.nowUtc = kNow;
    return s;
}

BatchRecord Batch(std::uint64_t startedUtc, std::int64_t asked, std::int64_t freed, BatchOutcome outcome) {
    BatchRecord r;
    r.startedUtc = startedUtc;
    r.askedMegabytes = asked;
    r.freedMegabytes = freed;
    r.outcome = outcome;
    return r;
}

TEST(TrayVerdict, SaysWhatTheTickWouldDoInEachLanguage) {
    TraySnapshot s = Machine();
    struct Case {
        const char* what;
        void (*arrange)(TraySnapshot&);
        UiLanguage language;
        std::wstring expected;
    };
    const Case cases[] = {
        {"due", [](TraySnapshot&) {}, UiLanguage::ulEnglish,
         L"Maintenance is due: the service would now start NimboraDefrag.exe to free 4915 MB."},
        {"due, French unit", [](TraySnapshot&) {}, UiLanguage::ulFrench,
         L"Une maintenance est due : le service lancerait maintenant NimboraDefrag.exe pour libérer 4915 Mo."},
        {"above the trigger", [](TraySnapshot& t) { t.machine.availableBytes = 4 * kGiB; }, UiLanguage::ulEnglish,
         L"No maintenance needed: 4096 MB available, above the trigger level of 2458 MB."},
        {"held by three gates in the tick's order",
         [](TraySnapshot& t) {
             t.machine.processorLoad = 97;
             t.machine.tickCount = 60000;
         },
         UiLanguage::ulEnglish,
         L"Maintenance is due but held back by: the processor load, the machine started less than 5 minutes ago, "
         L"the least time between two runs."},
        {"switched off",
         [](TraySnapshot& t) {
             t.settings[L"LoadNimbora"] = {kRegDword, Dword(0)};
             t.settings[L"DefragMemory"] = {kRegDword, Dword(0)};
         },
         UiLanguage::ulRussian, L"Требуется обслуживание, но ему мешает: отключённое обслуживание."},
        {"stopped service",
         [](TraySnapshot& t) {
             t.service.state = ServiceState::ssStopped;
             t.machine.availableBytes = 4 * kGiB;
         },
         UiLanguage::ulEnglish,
         L"No maintenance needed: 4096 MB available, above the trigger level of 2458 MB. "
         L"The service is not running, so no maintenance takes place."},
        {"overflowing settings",
         [](TraySnapshot& t) {
             t.machine.totalBytes = INT64_MAX;
             t.settings[L"MemoryMaintain"] = {kRegDword, Dword(0x7FFFFFFF)};
         },
         UiLanguage::ulEnglish,
         L"With these settings the service cannot compute a trigger level and does nothing."},
    };
    for (const Case& c : cases) {
        TraySnapshot t = s;
        c.arrange(t);
        EXPECT_EQ(VerdictSentence(c.language, BuildStatus(t)), c.expected) << c.what;
    }
}

TEST(TrayVerdict, ServiceAndMemoryLines) {
    ServiceQuery q;
    EXPECT_EQ(ServiceLine(UiLanguage::ulEnglish, q), L"Nimbora service: not installed");
    q.error = 5;
    EXPECT_EQ(ServiceLine(UiLanguage::ulEnglish, q), L"Nimbora service: unknown (system error 5)");
    q.installed = true;
    q.state = ServiceState::ssPaused;
    EXPECT_EQ(ServiceLine(UiLanguage::ulKorean, q), L"Nimbora 서비스: 일시 중지됨");
    EXPECT_EQ(MemoryLine(UiLanguage::ulEnglish, 8 * kGiB, 3 * kGiB), L"Available memory: 3072 MB of 8192 MB (38 %)");
    EXPECT_EQ(MemoryLine(UiLanguage::ulKorean, 8 * kGiB, 3 * kGiB), L"사용 가능한 메모리: 8192MB 중 3072MB(38%)");
}

TEST(TrayChart, MapsTheLastTenMinutesOntoThePlot) {
    MemoryTrail trail;
    const std::uint64_t now = 5000000;
    trail.Add(now - 700000, 4 * kGiB);  // beyond the span once the later ones arrive
    trail.Add(now - 600000, 8 * kGiB);  // the left edge, the top
    trail.Add(now - 300000, 4 * kGiB);  // the middle
    trail.Add(now - 299990, 2 * kGiB);  // the same column: the later reading wins
    trail.Add(now, 0);                  // the right edge, the bottom
    EXPECT_EQ(trail.Samples().size(), 4u);
    const std::vector<BatchRecord> batches = {Batch(kNow - 150 * kSecond, 1024, 850, BatchOutcome::boMet),
                                              Batch(kNow - 900 * kSecond, 1024, 850, BatchOutcome::boMet),
                                              Batch(kNow + 5 * kSecond, 1024, 850, BatchOutcome::boMet)};
    const ChartLayout layout = LayoutChart(trail, now, 8 * kGiB, 2 * kGiB, batches, kNow, 601, 101);
    const std::vector<ChartPoint> expected = {{0, 0}, {300, 75}, {600, 100}};
    EXPECT_EQ(layout.line, expected);
    EXPECT_EQ(layout.triggerY, 75);
    EXPECT_EQ(layout.batchX, std::vector<int>{450});

    // Readings beyond the total or below zero stay on the plot.
    MemoryTrail odd;
    odd.Add(now, 9 * kGiB);
    EXPECT_EQ(LayoutChart(odd, now, 8 * kGiB, std::nullopt, {}, kNow, 601, 101).line, (std::vector<ChartPoint>{{600, 0}}));
    EXPECT_EQ(LayoutChart(odd, now, 8 * kGiB, std::nullopt, {}, kNow, 601, 101).triggerY, -1);
    EXPECT_TRUE(LayoutChart(odd, now, 0, 0, {}, kNow, 601, 101).line.empty());
}

TEST(TrayChart, TrailForgetsOldReadingsAndRestartsWhenTheClockGoesBack) {
    MemoryTrail trail;
    for (std::uint64_t t = 0; t <= 1200; ++t) trail.Add(t * 1000, kGiB);
    EXPECT_EQ(trail.Samples().size(), 601u);
    EXPECT_EQ(trail.Samples().front().tickMs, 600000u);
    trail.Add(1000, kGiB);
    EXPECT_EQ(trail.Samples().size(), 1u);
}

TEST(TrayHistory, RowsInLocalTimeWithLocalizedOutcome) {
    const std::vector<BatchRecord> records = {Batch(kNow, 3072, 2950, BatchOutcome::boMet),
                                              Batch(kNow - 3600 * kSecond, 1024, 300, BatchOutcome::boPartial)};
    const std::vector<HistoryRow> english = {{L"2026-12-11 10:42", L"3072 MB", L"2950 MB", L"goal met"},
                                             {L"2026-12-11 09:42", L"1024 MB", L"300 MB", L"partial"}};
    EXPECT_EQ(HistoryRows(UiLanguage::ulEnglish, records, kParis), english);
    EXPECT_EQ(HistoryRows(UiLanguage::ulFrench, records, kParis)[1],
              (HistoryRow{L"2026-12-11 09:42", L"1024 Mo", L"300 Mo", L"partiel"}));
    // West of UTC the local date can be the day before.
    EXPECT_EQ(LocalMinuteText(kNow, -10 * 3600), L"2026-12-10 23:42");
}

TEST(TrayIcon, PercentAndTheSecondColourAtTheTriggerLevel) {
    TickSettingValues settings;  // MemoryMaintain 30
    const struct {
        std::int64_t total, available;
        IconFace expected;
    } cases[] = {
        {100 * kGiB, 31 * kGiB, {31, false}},
        {100 * kGiB, 30 * kGiB, {30, true}},  // at the trigger level: due
        {100 * kGiB, 29 * kGiB, {29, true}},
        {1000, 995, {99, false}},  // two digits at most
        {1000, 4, {0, true}},
        {0, 0, {0, false}},  // nothing readable
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseIconFace(settings, c.total, c.available), c.expected) << c.available << " of " << c.total;
    settings.memoryMaintain = 0x7FFFFFFF;  // the tick's arithmetic overflows: never due
    EXPECT_EQ(ChooseIconFace(settings, INT64_MAX, 1), (IconFace{0, false}));
}

TEST(TrayIcon, TheTicksValuesComeFromTheSettingsAsStored) {
    TraySnapshot s = Machine();
    s.machine.totalBytes = kGiB;  // below 1536 MB: the smaller defaults
    s.settings[L"MemoryFree"] = {kRegDword, Dword(25)};
    s.settings[L"BatteryCheck"] = {kRegDword, Dword(2)};
    s.settings[L"ExecutePeriod"] = {kRegBinary, Dword(9)};
    const TickSettingValues v = TickValuesOf(BuildStatus(s).settings);
    EXPECT_EQ(v.memoryMaintain, 20);
    EXPECT_EQ(v.memoryFree, 25);
    EXPECT_TRUE(v.batteryCheck);
    EXPECT_EQ(v.executePeriod, 5);
    EXPECT_TRUE(v.processorLimit);
}

TEST(TrayIcon, TooltipNamesTheLastBatch) {
    const IconFace face{42, false};
    EXPECT_EQ(TooltipText(UiLanguage::ulEnglish, face, std::nullopt, 0), L"Nimbora: 42 % of memory available");
    EXPECT_EQ(TooltipText(UiLanguage::ulEnglish, face, Batch(kNow, 1024, 850, BatchOutcome::boMet), kParis),
              L"Nimbora: 42 % of memory available\n10:42: freed 850 MB");
    EXPECT_EQ(TooltipText(UiLanguage::ulRussian, face, Batch(kNow, 1024, 850, BatchOutcome::boMet), kParis),
              L"Nimbora: доступно 42 % памяти\n10:42: освобождено 850 МБ");
    BatchRecord huge = Batch(kNow, 1, INT64_C(999999999999999999), BatchOutcome::boMet);
    for (const UiLanguage language : {UiLanguage::ulEnglish, UiLanguage::ulFrench, UiLanguage::ulKorean,
                                      UiLanguage::ulPortuguese, UiLanguage::ulRussian})
        EXPECT_LE(TooltipText(language, {99, true}, huge, 0).size(), 127u);
}

TEST(TraySettings, PanelOffersEverySettingButFullScreenWithAMeaning) {
    const auto panel = PanelSettings();
    EXPECT_EQ(panel.size(), SettingDefinitions().size() - 1);
    std::set<TextId> meanings;
    for (const SettingDefinition* d : panel) {
        EXPECT_NE(std::wstring_view(d->name), L"FullScreen");
        EXPECT_TRUE(meanings.insert(MeaningOf(*d)).second) << "two settings share a meaning";
    }
}

TEST(TraySettings, InputIsCheckedAsTheToolChecksIt) {
    const struct {
        const wchar_t* name;
        const wchar_t* typed;
        bool accepted;
        std::wstring valueOrProblem;
    } cases[] = {
        {L"MemoryFree", L" 20 ", true, L"20"},
        {L"MemoryFree", L"150", false, L"MemoryFree takes a whole number from 0 to 100; \"150\" is not accepted."},
        {L"MemoryFree", L"2O", false, L"MemoryFree takes a whole number from 0 to 100; \"2O\" is not accepted."},
        {L"ExecutePeriod", L"-1", false, L"ExecutePeriod takes a whole number of 0 or more; \"-1\" is not accepted."},
        {L"ExecutePeriod", L"1440", true, L"1440"},
        {L"BatteryCheck", L"2", false, L"BatteryCheck takes 0 (off) or 1 (on); \"2\" is not accepted."},
        {L"Language", L"French", true, L"french"},
        {L"Language", L"german", false,
         L"Language takes one of english, french, korean, prtbrzl, russian; \"german\" is not accepted."},
        {L"DefragExclude", L"game.exe;my tool.exe", true, L"game.exe;my tool.exe"},
        {L"DefragExclude", L"say \"hi\".exe", false, L"DefragExclude cannot hold this text."},
    };
    for (const auto& c : cases) {
        const SettingCheck check = CheckSettingInput(UiLanguage::ulEnglish, *FindSetting(c.name), c.typed);
        EXPECT_EQ(check.accepted, c.accepted) << c.typed;
        EXPECT_EQ(c.accepted ? check.value : check.problem, c.valueOrProblem) << c.typed;
    }
    EXPECT_EQ(CheckSettingInput(UiLanguage::ulKorean, *FindSetting(L"MemoryFree"), L"150").problem,
              L"MemoryFree에는 0~100 사이의 정수를 입력해야 합니다. \"150\"은(는) 허용되지 않습니다.");
}

TEST(TraySettings, RangesCurrentValuesAndTheToolsCommandLine) {
    EXPECT_EQ(AcceptedText(UiLanguage::ulEnglish, *FindSetting(L"MemoryMaintain")), L"Accepted: 0 to 100.");
    EXPECT_EQ(AcceptedText(UiLanguage::ulEnglish, *FindSetting(L"ExecutePeriod")), L"Accepted: 0 or more.");
    EXPECT_EQ(AcceptedText(UiLanguage::ulPortuguese, *FindSetting(L"ProcessorLimit")),
              L"Valores aceitos: 0 (desativado) ou 1 (ativado).");

    TraySnapshot s = Machine();
    s.settings[L"ExecutePeriod"] = {kRegSz, {'1', 0, '0', 0, 0, 0}};
    const StatusReport report = BuildStatus(s);
    for (const SettingReading& r : report.settings) {
        if (r.definition->name == std::wstring_view(L"ExecutePeriod")) {
            EXPECT_EQ(CurrentValueText(UiLanguage::ulEnglish, r),
                      L"Current value: 5 (stored with a wrong type, default used).");
        }
        if (r.definition->name == std::wstring_view(L"MemoryMaintain")) {
            EXPECT_EQ(CurrentValueText(UiLanguage::ulFrench, r), L"Valeur actuelle : 30 (par défaut).");
        }
    }

    EXPECT_EQ(SetParameters(*FindSetting(L"MemoryFree"), L"20"), L"set MemoryFree 20");
    EXPECT_EQ(SetParameters(*FindSetting(L"DefragExclude"), L"my tool.exe"), L"set DefragExclude \"my tool.exe\"");
    EXPECT_EQ(SetParameters(*FindSetting(L"DefragExclude"), L""), L"set DefragExclude \"\"");
}

TEST(TrayFreeNow, OutcomeComesFromTheBatchBegunAfterTheRequest) {
    const std::vector<BatchRecord> records = {Batch(kNow + 2 * kSecond, 2458, 850, BatchOutcome::boPartial),
                                              Batch(kNow - 600 * kSecond, 1024, 1024, BatchOutcome::boMet)};
    ASSERT_TRUE(BatchSince(records, kNow));
    EXPECT_EQ(FreeOutcomeText(UiLanguage::ulEnglish, *BatchSince(records, kNow), kParis),
              L"10:42: freed 850 MB of 2458 MB asked (partial).");
    EXPECT_FALSE(BatchSince(records, kNow + 3 * kSecond));
    EXPECT_FALSE(BatchSince({}, kNow));
}

}  // namespace
}  // namespace nimbora
