#include "defrag/ProcessNames.h"

#include <array>

namespace nimbora {

namespace {

constexpr bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

constexpr std::array<std::wstring_view, 14> kSystemNames = {
    L"system",      L"secure system", L"registry",     L"memory compression", L"smss.exe",
    L"csrss.exe",   L"wininit.exe",   L"winlogon.exe", L"services.exe",       L"lsass.exe",
    L"lsaiso.exe",  L"dwm.exe",       L"audiodg.exe",  L"fontdrvhost.exe",
};

// The shell, input, accessibility, lock-screen and search processes of a
// session, and the hosts of what the user sees: paged out, each makes the
// desktop, typing, a screen reader or the lock screen stall.
constexpr std::array<std::wstring_view, 24> kShellNames = {
    L"explorer.exe",         L"sihost.exe",
    L"ctfmon.exe",           L"textinputhost.exe",
    L"startmenuexperiencehost.exe", L"shellexperiencehost.exe",
    L"dwm.exe",              L"audiodg.exe",
    L"narrator.exe",         L"magnify.exe",
    L"osk.exe",              L"tabtip.exe",
    L"chsime.exe",           L"imebroker.exe",
    L"lockapp.exe",          L"logonui.exe",
    L"searchhost.exe",       L"searchapp.exe",
    L"searchui.exe",         L"applicationframehost.exe",
    L"rdpclip.exe",          L"conhost.exe",
    L"winlogon.exe",         L"csrss.exe",
};

// This product's own programs: the companion, the service that starts it,
// the administrator's tool and the desktop program.
constexpr std::array<std::wstring_view, 4> kOwnNames = {
    L"nimboradefrag.exe", L"nimboraservice.exe", L"nimbora.exe", L"nimboratray.exe",
};

}  // namespace

std::wstring FoldName(std::wstring_view name) {
    std::wstring folded(name);
    for (wchar_t& c : folded)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return folded;
}

std::vector<std::wstring> ParseExclusions(std::wstring_view setting) {
    std::vector<std::wstring> names;
    while (!setting.empty()) {
        const std::size_t end = setting.find(L';');
        std::wstring_view entry = setting.substr(0, end);
        setting = end == std::wstring_view::npos ? std::wstring_view() : setting.substr(end + 1);

        while (!entry.empty() && IsBlank(entry.front())) entry.remove_prefix(1);
        while (!entry.empty() && IsBlank(entry.back())) entry.remove_suffix(1);
        const std::size_t slash = entry.find_last_of(L"\\/");
        if (slash != std::wstring_view::npos) entry.remove_prefix(slash + 1);
        if (!entry.empty()) names.push_back(FoldName(entry));
    }
    return names;
}

bool NameMatches(std::wstring_view processName, std::wstring_view entry) {
    if (entry.empty()) return false;
    const std::wstring name = FoldName(processName);
    const std::wstring_view view(name);
    if (view == entry) return true;
    constexpr std::wstring_view exe = L".exe";
    const bool entryHasExe = entry.size() >= exe.size() && entry.substr(entry.size() - exe.size()) == exe;
    return !entryHasExe && view.size() == entry.size() + exe.size() && view.substr(0, entry.size()) == entry &&
           view.substr(entry.size()) == exe;
}

bool IsExcluded(std::wstring_view processName, const std::vector<std::wstring>& exclusions) {
    for (const std::wstring& entry : exclusions)
        if (NameMatches(processName, entry)) return true;
    return false;
}

bool IsSystemProcess(std::uint32_t processId, std::wstring_view processName) {
    // N.B. 0 is the idle process and 4 the system process on every version.
    if (processId == 0 || processId == 4) return true;
    const std::wstring name = FoldName(processName);
    for (const std::wstring_view system : kSystemNames)
        if (name == system) return true;
    return false;
}

bool IsShellProcess(std::wstring_view processName) {
    const std::wstring name = FoldName(processName);
    for (const std::wstring_view shell : kShellNames)
        if (name == shell) return true;
    return false;
}

bool IsOwnProcess(std::wstring_view processName) {
    const std::wstring name = FoldName(processName);
    for (const std::wstring_view own : kOwnNames)
        if (name == own) return true;
    return false;
}

}  // namespace nimbora
