#include "admin/AdminSettings.h"

#include <algorithm>
#include <limits>

#include "settings/CaptionTable.h"
#include "settings/PolicyLayer.h"
#include "settings/SettingsKeys.h"
#include "svchost/Messages.h"

namespace nimbora {

namespace {

constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();

// The companion's settings (read by NimboraDefrag.exe, see defrag/DefragProgram.h).
constexpr wchar_t kCompanionExclude[] = L"DefragExclude";
constexpr wchar_t kCompanionFlush[] = L"DefragFlushModified";
constexpr wchar_t kCompanionPurge[] = L"DefragPurgeStandby";
constexpr wchar_t kCompanionServices[] = L"DefragServices";

std::optional<std::int64_t> ParseDecimal(std::wstring_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == L'-' || text.front() == L'+')) {
        negative = text.front() == L'-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 12) return std::nullopt;
    std::int64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        value = value * 10 + (c - L'0');
    }
    return negative ? -value : value;
}

void AppendDword(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

using K = SettingKind;
using T = TickSettingValues;
constexpr SettingDefinition kDefinitions[] = {
    {kMemoryMaintain, K::skInteger, 0, 100, &T::memoryMaintain, nullptr},
    {kMemoryFree, K::skInteger, 0, 100, &T::memoryFree, nullptr},
    {kProcessorLimit, K::skSwitch, 0, 1, nullptr, &T::processorLimit},
    {kProcessorTrigger, K::skInteger, 0, 100, &T::processorTrigger, nullptr},
    {kBatteryCheck, K::skSwitch, 0, 1, nullptr, &T::batteryCheck},
    {kFullScreen, K::skSwitch, 0, 1, nullptr, &T::fullScreen},
    {kFullScreenCheck, K::skSwitch, 0, 1, nullptr, &T::fullScreenCheck},
    {kExecutePeriod, K::skInteger, 0, kIntMax, &T::executePeriod, nullptr},
    {kLoadNimbora, K::skSwitch, 0, 1, nullptr, &T::loadNimbora},
    {kDefragMemory, K::skSwitch, 0, 1, nullptr, &T::defragMemory},
    {kLanguage, K::skText},
    {kCompanionExclude, K::skText},
    {kCompanionFlush, K::skSwitch, 0, 1},
    {kCompanionPurge, K::skSwitch, 0, 1},
    {kCompanionServices, K::skSwitch, 0, 1},
};

}  // namespace

std::span<const SettingDefinition> SettingDefinitions() { return kDefinitions; }

const SettingDefinition* FindSetting(std::wstring_view name) {
    const std::wstring wanted = LowerCaseAZ(name);
    for (const SettingDefinition& d : SettingDefinitions())
        if (LowerCaseAZ(d.name) == wanted) return &d;
    return nullptr;
}

const wchar_t* SettingSourceName(SettingSource source) {
    switch (source) {
        case SettingSource::ssDefault: return L"default";
        case SettingSource::ssStored: return L"stored";
        case SettingSource::ssWrongType: return L"wrong type";
        case SettingSource::ssPolicy: return L"policy";
    }
    return L"default";
}

bool PolicyApplies(const SettingDefinition& definition) {
    return definition.integerField != nullptr || definition.switchField != nullptr;
}

SettingReading ClassifySetting(const SettingDefinition& definition, const std::optional<RegistryData>& stored,
                               std::int64_t totalBytes, const std::optional<RegistryData>& policy) {
    SettingReading r;
    r.definition = &definition;
    if (stored) r.storedType = stored->type;
    if (definition.kind == SettingKind::skText) {
        r.text = definition.name == std::wstring_view(kLanguage) ? kDefaultLanguage : L"";
        if (!stored) return r;
        const std::optional<std::wstring> text = DecodeText(*stored);
        if (!text) {
            r.source = SettingSource::ssWrongType;
        } else if (!text->empty()) {
            r.source = SettingSource::ssStored;
            r.text = *text;
        }
        return r;
    }
    const TickSettingValues defaults = TickDefaults(totalBytes);
    if (definition.integerField != nullptr) r.number = defaults.*definition.integerField;
    if (definition.switchField != nullptr) r.number = (defaults.*definition.switchField) ? 1 : 0;
    if (PolicyApplies(definition)) {
        const LayeredInteger layered = ChooseInteger(policy, std::nullopt, r.number);
        if (layered.layer == SettingLayer::slPolicy) {
            r.source = SettingSource::ssPolicy;
            r.number = layered.value;
            return r;
        }
    }
    if (!stored) return r;
    const std::optional<std::int32_t> number = DecodeInteger(*stored);
    if (!number) {
        r.source = SettingSource::ssWrongType;
        return r;
    }
    r.source = SettingSource::ssStored;
    r.number = *number;
    return r;
}

std::wstring SettingValueText(const SettingReading& reading) {
    switch (reading.definition->kind) {
        case SettingKind::skInteger: return DecimalText(reading.number);
        case SettingKind::skSwitch: return DecimalText(reading.number) + (reading.number != 0 ? L" (on)" : L" (off)");
        case SettingKind::skText: return reading.text.empty() ? L"(empty)" : reading.text;
    }
    return {};
}

std::wstring RegistryTypeName(std::uint32_t type) {
    switch (type) {
        case kRegNone: return L"REG_NONE";
        case kRegSz: return L"REG_SZ";
        case kRegExpandSz: return L"REG_EXPAND_SZ";
        case kRegBinary: return L"REG_BINARY";
        case kRegDword: return L"REG_DWORD";
        case kRegDwordBigEndian: return L"REG_DWORD_BIG_ENDIAN";
        case kRegLink: return L"REG_LINK";
        case kRegMultiSz: return L"REG_MULTI_SZ";
        case kRegQword: return L"REG_QWORD";
        default: return L"type " + DecimalText(type);
    }
}

std::wstring AcceptedValues(const SettingDefinition& definition) {
    switch (definition.kind) {
        case SettingKind::skInteger:
            return definition.maximum == kIntMax ? DecimalText(definition.minimum) + L" or more"
                                                 : DecimalText(definition.minimum) + L" to " +
                                                       DecimalText(definition.maximum);
        case SettingKind::skSwitch: return L"0 (off) or 1 (on)";
        case SettingKind::skText:
            if (definition.name != std::wstring_view(kLanguage)) return L"any text";
            {
                std::wstring list;
                for (const wchar_t* name : LanguageNames()) list += (list.empty() ? L"" : L", ") + std::wstring(name);
                return list;
            }
    }
    return {};
}

std::optional<EncodedValue> EncodeSetting(const SettingDefinition& definition, std::wstring_view text,
                                          std::wstring& problem) {
    EncodedValue value;
    if (definition.kind == SettingKind::skText) {
        std::wstring stored(text);
        if (definition.name == std::wstring_view(kLanguage)) {
            stored = LowerCaseAZ(text);
            const auto names = LanguageNames();
            if (std::none_of(names.begin(), names.end(), [&](const wchar_t* name) { return stored == name; })) {
                problem = std::wstring(definition.name) + L" must be one of " + AcceptedValues(definition) +
                          L"; \"" + std::wstring(text) + L"\" is not a caption table.";
                return std::nullopt;
            }
        }
        if (stored.find(L'\0') != std::wstring::npos) {
            problem = std::wstring(definition.name) + L" cannot hold a NUL character.";
            return std::nullopt;
        }
        value.type = kRegSz;
        for (const wchar_t c : stored) {
            const auto unit = static_cast<std::uint32_t>(c);
            value.bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            value.bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
        }
        value.bytes.push_back(0);
        value.bytes.push_back(0);
        return value;
    }
    const std::optional<std::int64_t> number = ParseDecimal(text);
    if (!number || *number < definition.minimum || *number > definition.maximum) {
        problem = std::wstring(definition.name) + L" takes " + AcceptedValues(definition) + L"; \"" +
                  std::wstring(text) + L"\" is not accepted.";
        return std::nullopt;
    }
    value.type = kRegDword;
    AppendDword(value.bytes, static_cast<std::uint32_t>(static_cast<std::int32_t>(*number)));
    return value;
}

}  // namespace nimbora
