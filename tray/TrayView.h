#pragma once
// What the desktop program shows, computed without the platform: the
// verdict sentence (from the status the administrator's tool builds, so both
// programs give the tick's own answer), the chart of the last ten minutes,
// the history rows, the notification icon's number and colour, its tooltip,
// and the settings panel's checks. Portable.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/AdminCommand.h"
#include "defrag/BatchHistory.h"
#include "service/TickDecision.h"
#include "tray/TrayTexts.h"

namespace nimbora {

inline constexpr std::uint64_t kFileTimeUnitsPerMs = 10000;

// "850 MB" in the language's unit.
std::wstring MegabytesText(UiLanguage language, std::int64_t megabytes);

// "Nimbora service: running".
std::wstring ServiceLine(UiLanguage language, const ServiceQuery& service);
// "Available memory: 6830 MB of 24105 MB (28 %)".
std::wstring MemoryLine(UiLanguage language, std::int64_t totalBytes, std::int64_t availableBytes);
// What a tick would do now and why, from the status report; a stopped or
// missing service is said after it.
std::wstring VerdictSentence(UiLanguage language, const StatusReport& report);

// Available memory once a second over the last ten minutes, oldest first.
class MemoryTrail {
public:
    static constexpr std::uint64_t kSpanMs = 600000;

    struct Sample {
        std::uint64_t tickMs = 0;
        std::int64_t availableBytes = 0;
    };

    // Adds a reading and forgets those older than the span before it.
    void Add(std::uint64_t tickMs, std::int64_t availableBytes);
    const std::deque<Sample>& Samples() const noexcept { return samples_; }

private:
    std::deque<Sample> samples_;
};

struct ChartPoint {
    int x = 0;
    int y = 0;
    bool operator==(const ChartPoint&) const = default;
};

// The chart in a plot of `width` x `height` pixels: time runs left to right,
// the right edge being now and the left ten minutes ago; 0 bytes at the
// bottom, the total at the top.
struct ChartLayout {
    std::vector<ChartPoint> line;  // available memory, oldest first
    int triggerY = -1;             // the trigger level; -1 when none
    std::vector<int> batchX;       // batches begun within the span
};

ChartLayout LayoutChart(const MemoryTrail& trail, std::uint64_t nowTickMs, std::int64_t totalBytes,
                        std::optional<std::int64_t> triggerBytes, const std::vector<BatchRecord>& batches,
                        std::uint64_t nowUtc, int width, int height);

// One row of the batch list.
struct HistoryRow {
    std::wstring time;  // "2026-12-11 10:42", local time
    std::wstring asked;
    std::wstring freed;
    std::wstring outcome;
    bool operator==(const HistoryRow&) const = default;
};

// Local "YYYY-MM-DD HH:MM" of a UTC FILETIME, `localOffsetSeconds` east of UTC.
std::wstring LocalMinuteText(std::uint64_t utcFileTime, std::int64_t localOffsetSeconds);

std::vector<HistoryRow> HistoryRows(UiLanguage language, const std::vector<BatchRecord>& newestFirst,
                                    std::int64_t localOffsetSeconds);

const wchar_t* OutcomeText(UiLanguage language, BatchOutcome outcome);

// The ten values a tick would use, from the readings of the settings table.
TickSettingValues TickValuesOf(const std::vector<SettingReading>& readings);

// The notification icon: available memory in percent (at most 99, two
// digits fit) and whether it is at or below the trigger level, the tick's
// memory gate.
struct IconFace {
    int percent = 0;
    bool low = false;
    bool operator==(const IconFace&) const = default;
};

IconFace ChooseIconFace(const TickSettingValues& settings, std::int64_t totalBytes, std::int64_t availableBytes);

// The icon's tooltip, at most 127 characters: the available share, then
// "10:42: freed 850 MB" for the newest batch.
std::wstring TooltipText(UiLanguage language, const IconFace& face, const std::optional<BatchRecord>& newest,
                         std::int64_t localOffsetSeconds);

// The settings the panel offers: the table's, without FullScreen, which
// describes the screen rather than a choice.
std::vector<const SettingDefinition*> PanelSettings();
TextId MeaningOf(const SettingDefinition& definition);
// "Accepted: 0 to 100."
std::wstring AcceptedText(UiLanguage language, const SettingDefinition& definition);
// "Current value: 30 (default)."
std::wstring CurrentValueText(UiLanguage language, const SettingReading& reading);

// A value typed into the panel, checked as `nimbora set` checks it.
struct SettingCheck {
    bool accepted = false;
    std::wstring value;    // the text to hand to nimbora.exe
    std::wstring problem;  // why not, in the language
};

SettingCheck CheckSettingInput(UiLanguage language, const SettingDefinition& definition, std::wstring_view text);

// The command line of `nimbora.exe set NAME VALUE` after the program name,
// the value quoted when it holds a blank.
std::wstring SetParameters(const SettingDefinition& definition, const std::wstring& value);

// The newest batch begun at or after `sinceUtc`: the outcome of a run the
// program started.
std::optional<BatchRecord> BatchSince(const std::vector<BatchRecord>& newestFirst, std::uint64_t sinceUtc);

// "10:42: freed 850 of 1024 MB asked (goal met)." for a batch the program
// started.
std::wstring FreeOutcomeText(UiLanguage language, const BatchRecord& record, std::int64_t localOffsetSeconds);

}  // namespace nimbora
