#include "settings/LayeredSettings.h"

#include <optional>

#include "settings/PolicyLayer.h"
#include "settings/RegistryValue.h"
#include "settings/SettingsKeys.h"

namespace nimbora {

namespace {

constexpr ULONGLONG kPolicyKeyReuseMs = 500;

std::optional<RegistryData> FetchDword(HKEY key, const wchar_t* name, std::uint8_t (&buffer)[4]) {
    if (key == nullptr) return std::nullopt;
    DWORD type = REG_NONE;
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer, &size) != ERROR_SUCCESS) return std::nullopt;
    return RegistryData{type, {buffer, size}};
}

// N.B. the sub-key paths are the tails of NUL-terminated literals: no copy
// on the tick's path.
const wchar_t* const kLocalSubKey = SubKeyPath(SettingsKey).data();
const wchar_t* const kPolicySubKey = SubKeyPath(PolicyKeyPath).data();

UniqueHKey OpenLocal() {
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocalSubKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

}  // namespace

// N.B. the 64-bit view: Group Policy's client writes there, and the 32-bit
// service would otherwise read the redirected copy on Vista (Software\Policies
// is shared from Windows 7 on). 32-bit Windows ignores the flag.
HKEY LayeredSettings::PolicyKey() noexcept {
    const ULONGLONG now = GetTickCount64();
    if (!opened_ || now - openedAt_ >= kPolicyKeyReuseMs) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicySubKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, policy_.put()) !=
            ERROR_SUCCESS)
            policy_.reset();
        opened_ = true;
        openedAt_ = now;
    }
    return policy_.get();
}

std::int32_t LayeredSettings::ReadInteger(const wchar_t* name, std::int32_t defaultValue) noexcept {
    try {
        std::uint8_t policyBuffer[4] = {};
        const std::optional<RegistryData> policy = FetchDword(PolicyKey(), name, policyBuffer);
        std::uint8_t localBuffer[4] = {};
        std::optional<RegistryData> local;
        UniqueHKey localKey;
        if (!policy || !DecodeInteger(*policy)) {
            localKey = OpenLocal();
            local = FetchDword(localKey.get(), name, localBuffer);
        }
        return ChooseInteger(policy, local, defaultValue).value;
    } catch (...) {
        return defaultValue;
    }
}

bool LayeredSettings::ReadBool(const wchar_t* name, bool defaultValue) noexcept {
    return ReadInteger(name, defaultValue ? 1 : 0) != 0;
}

}  // namespace nimbora
