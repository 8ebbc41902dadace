#pragma once
// Process names as the trimming step compares them: the image file name
// ("game.exe"), compared with the letters A to Z folded.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nimbora {

// Folds A-Z to a-z and leaves every other character alone.
std::wstring FoldName(std::wstring_view name);

// The exclusion setting: names separated by ';'. Blanks around a name are
// dropped, so are empty entries; an entry given with a folder keeps only its
// file name. The result is folded.
std::vector<std::wstring> ParseExclusions(std::wstring_view setting);

// True when `processName` is `entry` (folded, from ParseExclusions) or is
// `entry` with ".exe" after it when the entry has none, so "obs" protects
// "obs.exe".
bool NameMatches(std::wstring_view processName, std::wstring_view entry);

bool IsExcluded(std::wstring_view processName, const std::vector<std::wstring>& exclusions);

// Processes that are never trimmed whatever the settings say: the idle and
// system processes, the kernel's own memory processes, and the session and
// desktop processes whose page faults stall the whole machine (the desktop
// compositor, the audio engine among them).
bool IsSystemProcess(std::uint32_t processId, std::wstring_view processName);

// The shell, input, accessibility, lock and search processes of a user's
// session: trimming them makes the desktop, the taskbar, typing, a screen
// reader or sound stutter (explorer, sihost, ctfmon, TextInputHost, Narrator,
// osk, LockApp, SearchHost, ApplicationFrameHost, conhost and the like).
bool IsShellProcess(std::wstring_view processName);

// The programs of this product (the companion, the service, the tool, the
// desktop program): never trimmed.
bool IsOwnProcess(std::wstring_view processName);

inline constexpr wchar_t kDefragImageName[] = L"NimboraDefrag.exe";

}  // namespace nimbora
