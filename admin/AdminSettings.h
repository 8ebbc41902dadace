#pragma once
// Every setting under the settings key as the administrator's tool sees it:
// its kind, its default, the range `nimbora set` accepts, how a stored value
// is classified (default, stored, wrongly typed) and how a new value becomes
// the registry type and bytes the readers expect.
//
// Portable: values arrive and leave as the registry's type code and bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/TickDecision.h"
#include "settings/RegistryValue.h"

namespace nimbora {

enum class SettingKind {
    skInteger,  // REG_DWORD, a signed number within [minimum, maximum]
    skSwitch,   // REG_DWORD, 0 off and anything else on; set takes 0 or 1
    skText,     // REG_SZ
};

struct SettingDefinition {
    const wchar_t* name;
    SettingKind kind;
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    // Where the tick holds the setting; null for the settings it does not read.
    std::int32_t TickSettingValues::*integerField = nullptr;
    bool TickSettingValues::*switchField = nullptr;
};

// The settings in the order `nimbora status` lists them: the tick's ten in
// its reading order, then Language and the companion's three.
std::span<const SettingDefinition> SettingDefinitions();

// The definition whose name equals `name` without regard to A-Z case.
const SettingDefinition* FindSetting(std::wstring_view name);

// The caption tables' names, in lower case.
std::span<const wchar_t* const> LanguageNames();

enum class SettingSource {
    ssDefault,    // missing (or, for text, empty): the default applies
    ssStored,     // stored with the right type
    ssWrongType,  // stored with another type: the readers use the default
    ssPolicy,     // set by policy (the policy key, with the right type): overrides the stored value
};

const wchar_t* SettingSourceName(SettingSource source);  // "default", "stored", "wrong type", "policy"

// Whether the service takes the setting from the policy key first: the
// tick's settings (the companion and the installation read none there).
bool PolicyApplies(const SettingDefinition& definition);

// One setting as the service would use it now.
struct SettingReading {
    const SettingDefinition* definition = nullptr;
    SettingSource source = SettingSource::ssDefault;
    std::uint32_t storedType = kRegNone;  // the type found when stored
    std::int32_t number = 0;              // integers and switches: the value in use
    std::wstring text;                    // text: the value in use
};

// Classifies what the registry holds for `definition` (nothing when the value
// is missing) under the settings key and, where policy applies, under the
// policy key; `totalBytes` chooses the tick's defaults.
SettingReading ClassifySetting(const SettingDefinition& definition, const std::optional<RegistryData>& stored,
                               std::int64_t totalBytes, const std::optional<RegistryData>& policy = std::nullopt);

// The value in use as text: "30", "1 (on)", "english", "(empty)".
std::wstring SettingValueText(const SettingReading& reading);

// The registry type name of a type code: "REG_SZ", "REG_BINARY", ...
std::wstring RegistryTypeName(std::uint32_t type);

// A value ready to be written: its type and its exact bytes.
struct EncodedValue {
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> bytes;
};

// `text` checked against the definition and encoded; on refusal, nothing and
// `problem` says why in one sentence.
std::optional<EncodedValue> EncodeSetting(const SettingDefinition& definition, std::wstring_view text,
                                          std::wstring& problem);

// What `nimbora set` accepts for the definition: "0 to 100", "0 or 1", ...
std::wstring AcceptedValues(const SettingDefinition& definition);

}  // namespace nimbora
