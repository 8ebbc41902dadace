#include "settings/Captions.h"

#include <windows.h>

#include <climits>
#include <optional>

#include "settings/CaptionTable.h"
#include "settings/CustomRegistry.h"
#include "settings/SettingsKeys.h"
#include "svchost/UniqueHandle.h"

namespace nimbora {
namespace {

// 8-bit text as the platform converts it: the system's ANSI code page, no flags.
std::wstring DecodeAnsi(TableBytes bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const auto* source = reinterpret_cast<const char*>(bytes.data());
    const int sourceLength = static_cast<int>(bytes.size());
    const UINT codePage = GetACP();
    const int length = MultiByteToWideChar(codePage, 0, source, sourceLength, nullptr, 0);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, source, sourceLength, text.data(), length);
    text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return text;
}

// The bytes of the named RCDATA resource of `self`; nothing when it has no
// such resource. Resources of a loaded image need no release.
std::optional<TableBytes> FindTable(HMODULE self, const std::wstring& name) {
    // N.B. FindResourceW compares string names without regard to case.
    const HRSRC info = FindResourceW(self, name.c_str(), RT_RCDATA);
    if (info == nullptr) return std::nullopt;
    const DWORD size = SizeofResource(self, info);
    if (size == 0) return TableBytes{};
    const HGLOBAL loaded = LoadResource(self, info);
    if (loaded == nullptr) return std::nullopt;
    const void* data = LockResource(loaded);
    if (data == nullptr) return std::nullopt;
    return TableBytes(static_cast<const std::uint8_t*>(data), size);
}

}  // namespace

void GetCaption(const std::wstring& owner, const std::wstring& item, std::wstring& text) noexcept {
    try {
        const std::wstring language =
            LowerCaseAZ(RegReadString(HKEY_LOCAL_MACHINE, SettingsKey, kLanguage, kDefaultLanguage));
        const std::optional<TableBytes> table = FindTable(GetModuleHandleW(nullptr), language);
        if (!table) return;
        std::optional<std::wstring> found = FindCaptionInTable(*table, owner, item, DecodeAnsi);
        if (found) text = std::move(*found);
    } catch (...) {
        // No failure reaches the caller; `text` keeps what it held.
    }
}

std::optional<std::wstring> CaptionOfProgram(const std::wstring& programPath, const std::wstring& language,
                                             const std::wstring& owner, const std::wstring& item) noexcept {
    try {
        const UniqueModule program(LoadLibraryExW(programPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (!program) return std::nullopt;
        const std::optional<TableBytes> table = FindTable(program.get(), LowerCaseAZ(language));
        if (!table) return std::nullopt;
        return FindCaptionInTable(*table, owner, item, DecodeAnsi);
    } catch (...) {
        return std::nullopt;
    }
}

std::wstring GetCaption(const std::wstring& owner, const std::wstring& item) noexcept {
    std::wstring text;
    GetCaption(owner, item, text);
    return text;
}

}  // namespace nimbora
