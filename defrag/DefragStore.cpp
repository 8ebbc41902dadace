#include "defrag/DefragStore.h"

#include "defrag/TrimMarks.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {

namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;

UniqueHKey OpenKey(const std::wstring& path, REGSAM access) {
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | kView, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

UniqueHKey CreateKey(const std::wstring& path, REGSAM access) {
    UniqueHKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access | kView, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        key.reset();
    return key;
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

bool ReadSwitch(HKEY key, const wchar_t* name) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return false;
    return value != 0;
}

bool WriteString(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

DefragSettings DefragStore::ReadSettings() const {
    DefragSettings settings;
    const UniqueHKey key = OpenKey(keyPath_, KEY_QUERY_VALUE);
    if (!key) return settings;
    settings.exclude = ReadString(key.get(), kDefragExclude);
    settings.flushModified = ReadSwitch(key.get(), kDefragFlushModified);
    settings.purgeStandby = ReadSwitch(key.get(), kDefragPurgeStandby);
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

}  // namespace nimbora
