#include "tray/TraySnapshot.h"

#include "admin/AdminSettings.h"

namespace nimbora {

void TraySnapshot::ReadSettingsFrom(AdminSystem& source) {
    settings.clear();
    for (const SettingDefinition& d : SettingDefinitions())
        if (std::optional<StoredSetting> stored = source.ReadSetting(d.name)) settings[d.name] = std::move(*stored);
    batchValues = source.ReadBatchValues();
}

std::optional<StoredSetting> TraySnapshot::ReadSetting(const std::wstring& name) {
    const auto it = settings.find(name);
    if (it == settings.end()) return std::nullopt;
    return it->second;
}

}  // namespace nimbora
