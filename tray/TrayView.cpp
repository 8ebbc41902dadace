#include "tray/TrayView.h"

#include <algorithm>

#include "admin/AdminSettings.h"
#include "probes/Rounding.h"
#include "settings/CaptionTable.h"
#include "settings/SettingsKeys.h"
#include "svchost/Exception.h"
#include "svchost/Messages.h"

namespace nimbora {

namespace {

constexpr std::int32_t kOpenMaximum = 2147483647;
constexpr std::size_t kTooltipLength = 127;  // NOTIFYICONDATA's szTip holds 128 with the NUL

std::wstring Megabytes(UiLanguage language, std::int64_t bytes) {
    return MegabytesText(language, BytesToMegabytes(bytes));
}

TextId StateText(ServiceState state) {
    switch (state) {
        case ServiceState::ssStopped: return TextId::txStateStopped;
        case ServiceState::ssStartPending: return TextId::txStateStarting;
        case ServiceState::ssStopPending: return TextId::txStateStopping;
        case ServiceState::ssRunning: return TextId::txStateRunning;
        case ServiceState::ssContinuePending: return TextId::txStateContinuing;
        case ServiceState::ssPausePending: return TextId::txStatePausing;
        case ServiceState::ssPaused: return TextId::txStatePaused;
    }
    return TextId::txStateUnknown;
}

// The gates after the memory gate, in the tick's order, as the sentence names them.
TextId GateText(TickGate gate) {
    switch (gate) {
        case TickGate::tgProcessor: return TextId::txGateProcessor;
        case TickGate::tgBattery: return TextId::txGateBattery;
        case TickGate::tgFullScreen: return TextId::txGateFullScreen;
        case TickGate::tgEnabled: return TextId::txGateEnabled;
        case TickGate::tgUptime: return TextId::txGateUptime;
        case TickGate::tgPeriod: return TextId::txGatePeriod;
        case TickGate::tgMemory: break;
    }
    return TextId::txGateProcessor;
}

int Scale(std::int64_t value, std::int64_t whole, int pixels) {
    if (whole <= 0 || pixels <= 0) return 0;
    value = std::clamp<std::int64_t>(value, 0, whole);
    return static_cast<int>(Round(static_cast<Real>(value) * pixels / static_cast<Real>(whole)));
}

}  // namespace

std::wstring MegabytesText(UiLanguage language, std::int64_t megabytes) {
    return FormatText(Text(language, TextId::txMegabytes), {DecimalText(megabytes)});
}

std::wstring ServiceLine(UiLanguage language, const ServiceQuery& service) {
    std::wstring state;
    if (service.installed)
        state = Text(language, StateText(service.state));
    else if (service.error != kErrorSuccess)
        state = FormatText(Text(language, TextId::txStateUnknown), {DecimalText(service.error)});
    else
        state = Text(language, TextId::txStateNotInstalled);
    return FormatText(Text(language, TextId::txServiceLabel), {state});
}

std::wstring MemoryLine(UiLanguage language, std::int64_t totalBytes, std::int64_t availableBytes) {
    const std::int64_t percent =
        totalBytes > 0 ? Round(static_cast<Real>(availableBytes) * 100.0L / static_cast<Real>(totalBytes)) : 0;
    return FormatText(Text(language, TextId::txMemoryLine),
                      {Megabytes(language, availableBytes), Megabytes(language, totalBytes), DecimalText(percent)});
}

std::wstring VerdictSentence(UiLanguage language, const StatusReport& report) {
    std::wstring sentence;
    if (!report.verdict) {
        sentence = Text(language, TextId::txVerdictOverflow);
    } else {
        const TickVerdict& v = *report.verdict;
        if (v.acts) {
            sentence = FormatText(Text(language, TextId::txVerdictActs), {MegabytesText(language, v.freeMegabytes)});
        } else if (v.State(TickGate::tgMemory) == GateState::gsBlock) {
            sentence = FormatText(Text(language, TextId::txVerdictAbove),
                                  {Megabytes(language, report.machine.availableBytes),
                                   Megabytes(language, v.maintainBytes)});
        } else {
            std::wstring blocking;
            for (const GateVerdict& g : v.gates) {
                if (g.gate == TickGate::tgMemory || g.state != GateState::gsBlock) continue;
                if (!blocking.empty()) blocking += L", ";
                blocking += Text(language, GateText(g.gate));
            }
            sentence = FormatText(Text(language, TextId::txVerdictHeld), {blocking});
        }
    }
    if (!report.service.installed || report.service.state != ServiceState::ssRunning)
        sentence += L" " + std::wstring(Text(language, TextId::txVerdictNotRunning));
    return sentence;
}

void MemoryTrail::Add(std::uint64_t tickMs, std::int64_t availableBytes) {
    // N.B. a clock that went back (a restored snapshot) starts the trail afresh.
    if (!samples_.empty() && tickMs < samples_.back().tickMs) samples_.clear();
    samples_.push_back({tickMs, availableBytes});
    while (tickMs - samples_.front().tickMs > kSpanMs) samples_.pop_front();
}

ChartLayout LayoutChart(const MemoryTrail& trail, std::uint64_t nowTickMs, std::int64_t totalBytes,
                        std::optional<std::int64_t> triggerBytes, const std::vector<BatchRecord>& batches,
                        std::uint64_t nowUtc, int width, int height) {
    ChartLayout layout;
    if (totalBytes <= 0 || width < 2 || height < 2) return layout;
    const int right = width - 1;
    const int bottom = height - 1;
    const auto span = static_cast<std::int64_t>(MemoryTrail::kSpanMs);
    auto xOfAge = [&](std::int64_t ageMs) { return right - Scale(ageMs, span, right); };
    for (const MemoryTrail::Sample& s : trail.Samples()) {
        if (s.tickMs > nowTickMs || nowTickMs - s.tickMs > MemoryTrail::kSpanMs) continue;
        const ChartPoint point{xOfAge(static_cast<std::int64_t>(nowTickMs - s.tickMs)),
                               bottom - Scale(s.availableBytes, totalBytes, bottom)};
        // Readings that fall on one column draw as one point: the latest.
        if (!layout.line.empty() && layout.line.back().x == point.x)
            layout.line.back() = point;
        else
            layout.line.push_back(point);
    }
    if (triggerBytes) layout.triggerY = bottom - Scale(*triggerBytes, totalBytes, bottom);
    for (const BatchRecord& b : batches) {
        if (b.startedUtc > nowUtc) continue;
        const std::uint64_t ageMs = (nowUtc - b.startedUtc) / kFileTimeUnitsPerMs;
        if (ageMs > MemoryTrail::kSpanMs) continue;
        layout.batchX.push_back(xOfAge(static_cast<std::int64_t>(ageMs)));
    }
    return layout;
}

std::wstring LocalMinuteText(std::uint64_t utcFileTime, std::int64_t localOffsetSeconds) {
    const std::int64_t shift = localOffsetSeconds * 10000000;
    const std::uint64_t local = shift < 0 && static_cast<std::uint64_t>(-shift) > utcFileTime
                                    ? 0
                                    : utcFileTime + static_cast<std::uint64_t>(shift);
    return UtcText(local).substr(0, 16);
}

const wchar_t* OutcomeText(UiLanguage language, BatchOutcome outcome) {
    switch (outcome) {
        case BatchOutcome::boMet: return Text(language, TextId::txOutcomeMet);
        case BatchOutcome::boPartial: return Text(language, TextId::txOutcomePartial);
        case BatchOutcome::boFailed: return Text(language, TextId::txOutcomeFailed);
        case BatchOutcome::boNothing: return Text(language, TextId::txOutcomeNothing);
        case BatchOutcome::boSkipped: return Text(language, TextId::txOutcomeSkipped);
    }
    return L"";
}

std::vector<HistoryRow> HistoryRows(UiLanguage language, const std::vector<BatchRecord>& newestFirst,
                                    std::int64_t localOffsetSeconds) {
    std::vector<HistoryRow> rows;
    for (const BatchRecord& r : newestFirst)
        rows.push_back({LocalMinuteText(r.startedUtc, localOffsetSeconds), MegabytesText(language, r.askedMegabytes),
                        MegabytesText(language, r.freedMegabytes), OutcomeText(language, r.outcome)});
    return rows;
}

TickSettingValues TickValuesOf(const std::vector<SettingReading>& readings) {
    TickSettingValues values;
    for (const SettingReading& r : readings) {
        if (r.definition->integerField != nullptr) values.*(r.definition->integerField) = r.number;
        if (r.definition->switchField != nullptr) values.*(r.definition->switchField) = r.number != 0;
    }
    return values;
}

IconFace ChooseIconFace(const TickSettingValues& settings, std::int64_t totalBytes, std::int64_t availableBytes) {
    IconFace face;
    if (totalBytes <= 0) return face;
    const std::int64_t percent = Round(static_cast<Real>(std::clamp(availableBytes, std::int64_t{0}, totalBytes)) *
                                       100.0L / static_cast<Real>(totalBytes));
    face.percent = static_cast<int>(std::min<std::int64_t>(percent, 99));
    try {
        face.low = MemoryDue(settings, totalBytes, availableBytes);
    } catch (const EMathError&) {
        face.low = false;  // the tick ends silently on such settings, so nothing is due
    }
    return face;
}

std::wstring TooltipText(UiLanguage language, const IconFace& face, const std::optional<BatchRecord>& newest,
                         std::int64_t localOffsetSeconds) {
    std::wstring tip = FormatText(Text(language, TextId::txTipAvailable), {DecimalText(face.percent)});
    if (newest) {
        const std::wstring minute = LocalMinuteText(newest->startedUtc, localOffsetSeconds).substr(11);
        tip += L"\n" + FormatText(Text(language, TextId::txTipLastBatch),
                                  {minute, MegabytesText(language, newest->freedMegabytes)});
    }
    if (tip.size() > kTooltipLength) tip.resize(kTooltipLength);
    return tip;
}

std::vector<const SettingDefinition*> PanelSettings() {
    std::vector<const SettingDefinition*> settings;
    for (const SettingDefinition& d : SettingDefinitions())
        if (d.name != std::wstring_view(kFullScreen)) settings.push_back(&d);
    return settings;
}

TextId MeaningOf(const SettingDefinition& definition) {
    static constexpr struct {
        std::wstring_view name;
        TextId meaning;
    } kMeanings[] = {
        {L"MemoryMaintain", TextId::txMeaningMemoryMaintain},
        {L"MemoryFree", TextId::txMeaningMemoryFree},
        {L"ProcessorLimit", TextId::txMeaningProcessorLimit},
        {L"ProcessorTrigger", TextId::txMeaningProcessorTrigger},
        {L"BatteryCheck", TextId::txMeaningBatteryCheck},
        {L"FullScreen", TextId::txMeaningFullScreen},
        {L"FullScreenCheck", TextId::txMeaningFullScreenCheck},
        {L"ExecutePeriod", TextId::txMeaningExecutePeriod},
        {L"LoadNimbora", TextId::txMeaningLoadNimbora},
        {L"DefragMemory", TextId::txMeaningDefragMemory},
        {L"Language", TextId::txMeaningLanguage},
        {L"DefragExclude", TextId::txMeaningDefragExclude},
        {L"DefragFlushModified", TextId::txMeaningDefragFlushModified},
        {L"DefragPurgeStandby", TextId::txMeaningDefragPurgeStandby},
        {L"DefragServices", TextId::txMeaningDefragServices},
    };
    for (const auto& m : kMeanings)
        if (m.name == definition.name) return m.meaning;
    throw Exception(L"no meaning for " + std::wstring(definition.name));
}

namespace {

std::wstring LanguageList() {
    std::wstring list;
    for (const wchar_t* name : LanguageNames()) list += (list.empty() ? L"" : L", ") + std::wstring(name);
    return list;
}

bool IsLanguageSetting(const SettingDefinition& definition) { return definition.name == std::wstring_view(kLanguage); }

}  // namespace

std::wstring AcceptedText(UiLanguage language, const SettingDefinition& definition) {
    switch (definition.kind) {
        case SettingKind::skInteger:
            if (definition.maximum == kOpenMaximum)
                return FormatText(Text(language, TextId::txRangeOpen), {DecimalText(definition.minimum)});
            return FormatText(Text(language, TextId::txRangeNumber),
                              {DecimalText(definition.minimum), DecimalText(definition.maximum)});
        case SettingKind::skSwitch: return Text(language, TextId::txRangeSwitch);
        case SettingKind::skText:
            if (IsLanguageSetting(definition)) return FormatText(Text(language, TextId::txRangeList), {LanguageList()});
            return Text(language, TextId::txRangeText);
    }
    return {};
}

std::wstring CurrentValueText(UiLanguage language, const SettingReading& reading) {
    TextId source = TextId::txSourceDefault;
    if (reading.source == SettingSource::ssStored) source = TextId::txSourceStored;
    if (reading.source == SettingSource::ssWrongType) source = TextId::txSourceWrongType;
    const std::wstring value = reading.definition->kind == SettingKind::skText
                                   ? (reading.text.empty() ? L"\u2014" : reading.text)
                                   : DecimalText(reading.number);
    return FormatText(Text(language, TextId::txCurrentValue), {value, Text(language, source)});
}

SettingCheck CheckSettingInput(UiLanguage language, const SettingDefinition& definition, std::wstring_view text) {
    SettingCheck check;
    // Blanks around a typed value are not part of it.
    const std::size_t first = text.find_first_not_of(L" \t");
    text = first == std::wstring_view::npos ? std::wstring_view() : text.substr(first, text.find_last_not_of(L" \t") - first + 1);
    const std::wstring name = definition.name;
    std::wstring problem;
    // N.B. nimbora.exe takes its words as the service host splits a command
    // line: a double quote cannot travel inside a value.
    if (text.find(L'"') == std::wstring_view::npos && EncodeSetting(definition, text, problem)) {
        check.accepted = true;
        check.value = definition.kind == SettingKind::skText && IsLanguageSetting(definition) ? LowerCaseAZ(text)
                                                                                              : std::wstring(text);
        return check;
    }
    const std::wstring typed(text);
    switch (definition.kind) {
        case SettingKind::skInteger:
            check.problem = definition.maximum == kOpenMaximum
                                ? FormatText(Text(language, TextId::txProblemOpen),
                                             {name, DecimalText(definition.minimum), typed})
                                : FormatText(Text(language, TextId::txProblemNumber),
                                             {name, DecimalText(definition.minimum), DecimalText(definition.maximum),
                                              typed});
            break;
        case SettingKind::skSwitch:
            check.problem = FormatText(Text(language, TextId::txProblemSwitch), {name, typed});
            break;
        case SettingKind::skText:
            check.problem = IsLanguageSetting(definition)
                                ? FormatText(Text(language, TextId::txProblemList), {name, LanguageList(), typed})
                                : FormatText(Text(language, TextId::txProblemText), {name});
            break;
    }
    return check;
}

std::wstring SetParameters(const SettingDefinition& definition, const std::wstring& value) {
    const bool quote = value.empty() || value.find_first_of(L" \t") != std::wstring::npos;
    return L"set " + std::wstring(definition.name) + L" " + (quote ? L"\"" + value + L"\"" : value);
}

std::optional<BatchRecord> BatchSince(const std::vector<BatchRecord>& newestFirst, std::uint64_t sinceUtc) {
    if (newestFirst.empty() || newestFirst.front().startedUtc < sinceUtc) return std::nullopt;
    return newestFirst.front();
}

std::wstring FreeOutcomeText(UiLanguage language, const BatchRecord& record, std::int64_t localOffsetSeconds) {
    return FormatText(Text(language, TextId::txFreeDone),
                      {LocalMinuteText(record.startedUtc, localOffsetSeconds).substr(11),
                       MegabytesText(language, record.freedMegabytes), MegabytesText(language, record.askedMegabytes),
                       OutcomeText(language, record.outcome)});
}

}  // namespace nimbora
