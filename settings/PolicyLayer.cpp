#include "settings/PolicyLayer.h"

namespace nimbora {

LayeredInteger ChooseInteger(const std::optional<RegistryData>& policy, const std::optional<RegistryData>& local,
                             std::int32_t defaultValue) {
    if (policy) {
        if (const std::optional<std::int32_t> value = DecodeInteger(*policy))
            return {*value, SettingLayer::slPolicy};
    }
    if (local) {
        if (const std::optional<std::int32_t> value = DecodeInteger(*local)) return {*value, SettingLayer::slLocal};
    }
    return {defaultValue, SettingLayer::slDefault};
}

}  // namespace nimbora
