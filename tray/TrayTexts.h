#pragma once
// The desktop program's texts in its five languages, one table per language,
// and the choice of table from the Windows user-interface language. The
// program picks its table itself, so the texts live here as data rather than
// in language-tagged resources. Portable.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace nimbora {

enum class UiLanguage { ulEnglish, ulFrench, ulKorean, ulPortuguese, ulRussian };
inline constexpr std::size_t kUiLanguageCount = 5;

// The table for a Windows LANGID (GetUserDefaultUILanguage): French, Korean,
// Portuguese (Brazil's table for both variants) and Russian by their primary
// language, English for every other.
UiLanguage LanguageForLangId(std::uint16_t langId);

// The caption-table name of a language ("english", "prtbrzl", ...).
const wchar_t* LanguageTableName(UiLanguage language);

enum class TextId : std::uint16_t {
    txWindowTitle,
    txServiceLabel,
    txStateRunning,
    txStateStopped,
    txStatePaused,
    txStateStarting,
    txStateStopping,
    txStatePausing,
    txStateContinuing,
    txStateNotInstalled,
    txStateUnknown,
    txMemoryLine,
    txVerdictActs,
    txVerdictAbove,
    txVerdictHeld,
    txVerdictNotRunning,
    txVerdictOverflow,
    txGateProcessor,
    txGateBattery,
    txGateFullScreen,
    txGateEnabled,
    txGateUptime,
    txGatePeriod,
    txChartLabel,
    txChartTrigger,
    txHistoryLabel,
    txColumnTime,
    txColumnAsked,
    txColumnFreed,
    txColumnOutcome,
    txOutcomeMet,
    txOutcomePartial,
    txOutcomeFailed,
    txOutcomeNothing,
    txOutcomeSkipped,
    txNoBatch,
    txMegabytes,
    txSettingsLabel,
    txSettingLabel,
    txValueLabel,
    txApply,
    txCurrentValue,
    txSourceDefault,
    txSourceStored,
    txSourceWrongType,
    txMeaningMemoryMaintain,
    txMeaningMemoryFree,
    txMeaningProcessorLimit,
    txMeaningProcessorTrigger,
    txMeaningBatteryCheck,
    txMeaningFullScreen,
    txMeaningFullScreenCheck,
    txMeaningExecutePeriod,
    txMeaningLoadNimbora,
    txMeaningDefragMemory,
    txMeaningLanguage,
    txMeaningDefragExclude,
    txMeaningDefragFlushModified,
    txMeaningDefragPurgeStandby,
    txMeaningDefragServices,
    txRangeNumber,
    txRangeOpen,
    txRangeSwitch,
    txRangeList,
    txRangeText,
    txProblemNumber,
    txProblemOpen,
    txProblemSwitch,
    txProblemList,
    txProblemText,
    txPause,
    txResume,
    txFreeNow,
    txWaitingForApproval,
    txCancelled,
    txCannotStart,
    txApplied,
    txToolFailed,
    txPausedDone,
    txResumedDone,
    txFreeRunning,
    txFreeDone,
    txFreeNoRecord,
    txTipAvailable,
    txTipLastBatch,
    txMenuOpen,
    txMenuExit,
    txCount
};
inline constexpr std::size_t kTextCount = static_cast<std::size_t>(TextId::txCount);

// The text, or null when the table lacks it (a fault the tests look for).
const wchar_t* FindText(UiLanguage language, TextId id) noexcept;
// The text, falling back to English.
const wchar_t* Text(UiLanguage language, TextId id) noexcept;

// `pattern` with %1 ... %9 replaced by the arguments; "%%" is a percent sign,
// a % before anything else stays as it is.
std::wstring FormatText(std::wstring_view pattern, std::initializer_list<std::wstring_view> arguments);

}  // namespace nimbora
