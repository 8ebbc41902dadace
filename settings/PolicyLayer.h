#pragma once
// Where a setting's value comes from: a value under the policy key (written by
// Group Policy) wins over the settings key, which wins over the default. Each
// layer's value goes through the same decoders; a policy value of the wrong
// type is no policy, while a local value of the wrong type gives the default,
// as it always has.
//
// Portable: the shells fetch the two values, this decides.

#include <cstdint>
#include <optional>

#include "settings/RegistryValue.h"

namespace nimbora {

enum class SettingLayer { slPolicy, slLocal, slDefault };

struct LayeredInteger {
    std::int32_t value = 0;
    SettingLayer layer = SettingLayer::slDefault;
};

// `policy` and `local` are absent when the key or the value is missing.
LayeredInteger ChooseInteger(const std::optional<RegistryData>& policy, const std::optional<RegistryData>& local,
                             std::int32_t defaultValue);

}  // namespace nimbora
