#include "defrag/DefragStore.h"

#include <optional>

#include "defrag/Batch.h"
#include "defrag/TrimMarks.h"
#include "service/MaintenanceTick.h"
#include "service/TickDecision.h"
#include "settings/PolicyLayer.h"
#include "settings/SettingsKeys.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {

namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;

UniqueHKey OpenKey(const std::wstring& path, REGSAM access) {
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | kView, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

UniqueHKey CreateKey(const std::wstring& path, REGSAM access, DWORD options = REG_OPTION_NON_VOLATILE,
                     DWORD* disposition = nullptr) {
    UniqueHKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, options, access | kView, nullptr, key.put(),
                        disposition) != ERROR_SUCCESS)
        key.reset();
    return key;
}

// The value's type; REG_NONE when it is missing.
DWORD ValueType(HKEY key, const wchar_t* name) {
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) return REG_NONE;
    return type;
}

std::wstring ReadString(HKEY key, const wchar_t* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return L"";
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return L"";
    text.resize(size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

std::optional<DWORD> ReadDword(HKEY key, const wchar_t* name) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (key == nullptr ||
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

bool WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// The service's settings as the service reads them: the policy key first (in
// the 64-bit view, where Group Policy writes), then the settings key, each
// value decoded as the service decodes it, the default otherwise.
class KeySettings final : public TickSettings {
public:
    explicit KeySettings(HKEY key) : key_(key) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SubKeyPath(PolicyKeyPath).data(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                          policy_.put()) != ERROR_SUCCESS)
            policy_.reset();
    }
    std::int32_t ReadInteger(const wchar_t* name, std::int32_t defaultValue) override {
        std::uint8_t policyBuffer[4] = {};
        std::uint8_t localBuffer[4] = {};
        return ChooseInteger(Fetch(policy_.get(), name, policyBuffer), Fetch(key_, name, localBuffer), defaultValue)
            .value;
    }
    bool ReadBool(const wchar_t* name, bool defaultValue) override {
        return ReadInteger(name, defaultValue ? 1 : 0) != 0;
    }

private:
    // N.B. a value longer than a DWORD is no DWORD: missing, as for the service.
    static std::optional<RegistryData> Fetch(HKEY key, const wchar_t* name, std::uint8_t (&buffer)[4]) {
        if (key == nullptr) return std::nullopt;
        DWORD type = REG_NONE, size = sizeof buffer;
        if (RegQueryValueExW(key, name, nullptr, &type, buffer, &size) != ERROR_SUCCESS) return std::nullopt;
        return RegistryData{type, {buffer, size}};
    }

    HKEY key_;
    UniqueHKey policy_;
};

}  // namespace

DefragSettings DefragStore::ReadSettings(std::int64_t totalBytes) const {
    DefragSettings settings;
    const UniqueHKey key = OpenKey(keyPath_, KEY_QUERY_VALUE);
    KeySettings tick(key.get());
    const TickSettingValues values = ReadTickSettings(tick, totalBytes);
    settings.fullScreenCheck = values.fullScreenCheck;
    settings.executePeriod = values.executePeriod;
    settings.triggerLevel = totalBytes > 0 ? TriggerLevelBytes(values, totalBytes) : -1;
    if (!key) return settings;
    const DWORD excludeType = ValueType(key.get(), kDefragExclude);
    settings.excludeWrongType = excludeType != REG_NONE && excludeType != REG_SZ;
    settings.exclude = ReadString(key.get(), kDefragExclude);
    settings.flushModified = ReadDword(key.get(), kDefragFlushModified).value_or(0) != 0;
    settings.purgeStandby = ReadDword(key.get(), kDefragPurgeStandby).value_or(0) != 0;
    settings.trimServices = ReadDword(key.get(), kDefragServices).value_or(0) != 0;
    return settings;
}

std::vector<TrimMark> DefragStore::ReadTrimMarks() const {
    const UniqueHKey key = OpenKey(keyPath_, KEY_QUERY_VALUE);
    if (!key) return {};
    return ParseTrimMarks(ReadString(key.get(), kDefragTrimmed));
}

bool DefragStore::WriteTrimMarks(const std::vector<TrimMark>& marks) const {
    const UniqueHKey key = CreateKey(keyPath_, KEY_SET_VALUE);
    return key && WriteString(key.get(), kDefragTrimmed, FormatTrimMarks(marks));
}

bool DefragStore::AddBatchRecord(const BatchRecord& record) const {
    const UniqueHKey key = CreateKey(keyPath_ + L"\\" + kBatchesSubkey, KEY_SET_VALUE | KEY_QUERY_VALUE);
    if (!key) return false;
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        const LONG result = RegEnumValueW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS) names.emplace_back(name, length);
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) break;
    }
    for (const std::wstring& name : BatchNamesToPrune(names)) RegDeleteValueW(key.get(), name.c_str());
    return WriteString(key.get(), BatchValueName(record.startedUtc).c_str(), FormatBatchRecord(record));
}

bool DefragStore::ClaimRefusalEntry(std::uint64_t nowUtc, std::int64_t periodMinutes) const {
    const UniqueHKey key = CreateKey(keyPath_, KEY_SET_VALUE | KEY_QUERY_VALUE);
    if (!key) return true;  // N.B. an entry too many beats a failure untold
    std::uint64_t last = 0;
    DWORD type = 0, size = sizeof last;
    if (RegQueryValueExW(key.get(), kDefragRefusedUtc, nullptr, &type, reinterpret_cast<BYTE*>(&last), &size) !=
            ERROR_SUCCESS ||
        type != REG_QWORD || size != sizeof last)
        last = 0;
    if (!RefusalEntryDue(last, nowUtc, periodMinutes)) return false;
    // N.B. instances refused together all read the same last time: the one
    // that creates the claim named by it writes the entry, the others keep
    // quiet. Claims live until the next start of the machine, or until the
    // next claim removes them.
    const std::wstring claims = keyPath_ + L"\\" + kDefragRefusalClaims;
    const std::wstring name = std::to_wstring(last);
    {
        const UniqueHKey parent = CreateKey(claims, KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS, REG_OPTION_VOLATILE);
        if (!parent) return true;
        DWORD disposition = 0;
        const UniqueHKey claim = CreateKey(claims + L"\\" + name, KEY_READ, REG_OPTION_VOLATILE, &disposition);
        if (!claim) return true;
        if (disposition != REG_CREATED_NEW_KEY) return false;
        for (DWORD index = 0;;) {
            wchar_t other[64];
            DWORD length = 64;
            if (RegEnumKeyExW(parent.get(), index, other, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            if (name == other || RegDeleteKeyW(parent.get(), other) != ERROR_SUCCESS) ++index;
        }
    }
    RegSetValueExW(key.get(), kDefragRefusedUtc, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&nowUtc),
                   sizeof nowUtc);
    return true;
}

}  // namespace nimbora
