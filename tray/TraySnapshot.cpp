#include "tray/TraySnapshot.h"

#include "admin/AdminSettings.h"

namespace nimbora {

void TraySnapshot::ReadSettingsFrom(AdminSystem& source) {
    settings.clear();
    policies.clear();
    for (const SettingDefinition& d : SettingDefinitions()) {
        if (std::optional<StoredSetting> stored = source.ReadSetting(d.name)) settings[d.name] = std::move(*stored);
        if (std::optional<StoredSetting> policy = source.ReadPolicy(d.name)) policies[d.name] = std::move(*policy);
    }
    batchValues = source.ReadBatchValues();
}

std::optional<StoredSetting> TraySnapshot::ReadSetting(const std::wstring& name) {
    const auto it = settings.find(name);
    if (it == settings.end()) return std::nullopt;
    return it->second;
}

std::optional<StoredSetting> TraySnapshot::ReadPolicy(const std::wstring& name) {
    const auto it = policies.find(name);
    if (it == policies.end()) return std::nullopt;
    return it->second;
}

}  // namespace nimbora
