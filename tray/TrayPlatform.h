#pragma once
// What the desktop program asks of Windows beyond its own windows, behind
// small interfaces handed to it at construction: the memory reading, the
// elevated run of a tool, and (through AdminSystem) the settings, batch
// records and service state. The program itself supplies the real ones; a
// test host supplies scripted memory and a fake elevation.

#include <windows.h>

#include <cstdint>
#include <string>

#include "admin/AdminSystem.h"
#include "svchost/UniqueHandle.h"
#include "tray/TrayTexts.h"

namespace nimbora {

class MemoryReader {
public:
    virtual ~MemoryReader() = default;
    // Total and available physical memory in bytes; false when unreadable.
    virtual bool Read(std::int64_t& totalBytes, std::int64_t& availableBytes) = 0;
};

class Elevation {
public:
    virtual ~Elevation() = default;
    // Starts `program` (a full path) with `parameters` with an administrator's
    // rights and hands its process over. ERROR_SUCCESS, ERROR_CANCELLED when
    // the person refused or cancelled the prompt, or another Win32 error.
    virtual DWORD Run(const std::wstring& program, const std::wstring& parameters, UniqueHandleObject& process) = 0;
};

// GlobalMemoryStatusEx.
class SystemMemory final : public MemoryReader {
public:
    bool Read(std::int64_t& totalBytes, std::int64_t& availableBytes) override;
};

// ShellExecuteExW with the "runas" verb: the consent prompt, or the
// credentials prompt for a standard user. No error box of its own.
class ShellElevation final : public Elevation {
public:
    DWORD Run(const std::wstring& program, const std::wstring& parameters, UniqueHandleObject& process) override;
};

struct TrayServices {
    AdminSystem& reads;  // settings, batch values, service state; never written through
    MemoryReader& memory;
    Elevation& elevation;
    UiLanguage language = UiLanguage::ulEnglish;
    std::wstring toolFolder;  // where nimbora.exe and NimboraDefrag.exe are, with a trailing backslash
};

// Names shared with the program's second start and with tests.
inline constexpr wchar_t kTrayWindowClass[] = L"Nimbora.Tray.Window";
inline constexpr wchar_t kTrayInstanceMutex[] = L"Local\\Nimbora.Tray.Instance";
// Posted by a second start: show the window.
inline constexpr wchar_t kTrayShowMessage[] = L"Nimbora.Tray.Show";
// Answers what the icon shows: the percent in the low byte, 0x100 when in the
// second colour, 0x200 when the icon is in the notification area, 0x400 when
// the window is shown.
inline constexpr wchar_t kTrayQueryMessage[] = L"Nimbora.Tray.Query";
inline constexpr UINT kTrayIconMessage = WM_APP + 1;
// The window's controls that act, by identifier.
enum TrayControlId : int { idSettingCombo = 101, idValue, idApply, idPause, idFreeNow, idResult };
inline constexpr UINT kTrayIconId = 1;

// The folder of this program's file, with a trailing backslash.
std::wstring ProgramFolder();

// For a second start in the session: asks the running instance to show its
// window, letting it come to the foreground. False when none answered within
// a few seconds (it may still be starting).
bool ShowFirstInstance();

}  // namespace nimbora
