#include "settings/CustomRegistry.h"

#include <optional>
#include <vector>

#include "settings/RegistryValue.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {

namespace {

static_assert(KEY_READ == 0x20019 && KEY_WRITE == 0x20006);
static_assert(kRegSz == REG_SZ && kRegExpandSz == REG_EXPAND_SZ && kRegBinary == REG_BINARY &&
              kRegDword == REG_DWORD && kRegMultiSz == REG_MULTI_SZ && kRegQword == REG_QWORD);

UniqueHKey OpenForReading(HKEY root, const std::wstring& keyPath) {
    const std::wstring subKey(SubKeyPath(keyPath));
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return UniqueHKey();
    return UniqueHKey(key);
}

UniqueHKey OpenForWriting(HKEY root, const std::wstring& keyPath) {
    const std::wstring subKey(SubKeyPath(keyPath));
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return UniqueHKey();
    return UniqueHKey(key);
}

// Fetches the value into `buffer` (at most `capacity` bytes): its type and
// the bytes the registry reported, or nothing when the fetch fails, a value
// larger than the buffer included.
std::optional<RegistryData> Fetch(HKEY key, const std::wstring& name, std::uint8_t* buffer, DWORD capacity) {
    DWORD type = REG_NONE;
    DWORD size = capacity;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, buffer, &size) != ERROR_SUCCESS) return std::nullopt;
    if (size > capacity) return std::nullopt;
    return RegistryData{type, {buffer, size}};
}

std::optional<RegistryData> FetchDword(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                                       std::uint8_t (&buffer)[4]) {
    const UniqueHKey key = OpenForReading(root, keyPath);
    if (!key) return std::nullopt;
    return Fetch(key.get(), name, buffer, sizeof buffer);
}

void Write(HKEY root, const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
           std::size_t size) {
    const auto byteCount = static_cast<DWORD>(size);
    if (byteCount != size) return;  // more than the registry can hold
    const UniqueHKey key = OpenForWriting(root, keyPath);
    if (!key) return;
    RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), byteCount);
}

}  // namespace

std::wstring RegReadString(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                           const std::wstring& defaultValue) noexcept {
    try {
        const UniqueHKey key = OpenForReading(root, keyPath);
        if (!key) return defaultValue;
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
            size == 0)
            return defaultValue;
        // N.B. the spare zeroed code unit is never handed to the decoder: a
        // text stored without its NUL ends at the reported size.
        std::vector<std::uint8_t> buffer(std::size_t{size} + sizeof(wchar_t));
        return TextOrDefault(Fetch(key.get(), name, buffer.data(), size), defaultValue);
    } catch (...) {
        return defaultValue;
    }
}

std::int32_t RegReadInteger(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                            std::int32_t defaultValue) noexcept {
    try {
        std::uint8_t buffer[4] = {};
        return IntegerOrDefault(FetchDword(root, keyPath, name, buffer), defaultValue);
    } catch (...) {
        return defaultValue;
    }
}

bool RegReadBool(HKEY root, const std::wstring& keyPath, const std::wstring& name, bool defaultValue) noexcept {
    try {
        std::uint8_t buffer[4] = {};
        return BoolOrDefault(FetchDword(root, keyPath, name, buffer), defaultValue);
    } catch (...) {
        return defaultValue;
    }
}

void RegWriteString(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                    const std::wstring& value) noexcept {
    try {
        Write(root, keyPath, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
    } catch (...) {
        // A failed write is dropped.
    }
}

void RegWriteBool(HKEY root, const std::wstring& keyPath, const std::wstring& name, bool value) noexcept {
    try {
        const DWORD data = value ? 1 : 0;
        Write(root, keyPath, name, REG_DWORD, &data, sizeof data);
    } catch (...) {
        // A failed write is dropped.
    }
}

}  // namespace nimbora
