#pragma once
// The desktop program's Win32 shell: the notification-area icon with the
// available memory, and the window (chart, service state, verdict, last
// batches, settings, maintenance actions). One object owns every window,
// icon, font and handle it creates; Run is its message loop.

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "probes/CPU.h"
#include "svchost/UniqueHandle.h"
#include "tray/TrayPlatform.h"
#include "tray/TraySnapshot.h"
#include "tray/TrayView.h"

namespace nimbora {

using UniqueIcon = UniqueHandle<HandleTraits<HICON, &DestroyIcon>>;
using UniqueFont = UniqueHandle<HandleTraits<HFONT, &DeleteObject>>;
using UniqueMenu = UniqueHandle<HandleTraits<HMENU, &DestroyMenu>>;

class TrayApp {
public:
    explicit TrayApp(TrayServices services);
    ~TrayApp();
    TrayApp(const TrayApp&) = delete;
    TrayApp& operator=(const TrayApp&) = delete;

    // Creates the hidden window and the icon, then runs until the program is
    // asked to end. The exit code.
    int Run(HINSTANCE instance);

private:
    enum class Action { acNone, acSet, acPause, acResume, acFreeNow };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ChartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    void CreateControls();
    void LayoutControls();
    void ApplyTexts();
    void ReadSettings();
    void WatchSettings();
    void Tick();
    void UpdateIcon(bool force);
    void AddIcon();
    void ShowWindowNow();
    void RefreshWindow();
    void RefreshHistory();
    void RefreshSettingPanel();
    void PaintChart(HDC dc, const RECT& area);
    void StartAction(Action action);
    void FinishAction();
    void SetResult(const std::wstring& text);
    void ShowMenu(POINT at);
    bool Visible() const;
    int Scaled(int pixels) const { return MulDiv(pixels, dpi_, 96); }

    TrayServices services_;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    HWND chart_ = nullptr;
    HWND serviceLine_ = nullptr, memoryLine_ = nullptr, verdict_ = nullptr, chartLabel_ = nullptr;
    HWND historyLabel_ = nullptr, history_ = nullptr, settingsGroup_ = nullptr, settingLabel_ = nullptr;
    HWND settingCombo_ = nullptr, meaning_ = nullptr, accepted_ = nullptr, valueLabel_ = nullptr, value_ = nullptr;
    HWND apply_ = nullptr, pause_ = nullptr, freeNow_ = nullptr, result_ = nullptr;
    int dpi_ = 96;
    UniqueFont font_;
    UniqueIcon icon_;
    UINT taskbarCreated_ = 0;
    UINT showMessage_ = 0;
    UINT queryMessage_ = 0;
    bool iconAdded_ = false;
    IconFace shownFace_{-1, false};
    std::wstring shownTip_;
    bool highContrast_ = false;

    TraySnapshot snapshot_;
    TickSettingValues tickValues_;
    std::vector<BatchRecord> historyRecords_;
    MemoryTrail trail_;
    ProcessorSampler processor_;
    std::optional<StatusReport> report_;
    bool historyDirty_ = true;

    UniqueHKey watchedKey_;
    bool watchingSettingsKey_ = false;  // false: a parent, until the key exists
    std::int64_t localOffset_ = 0;      // seconds east of UTC, read when the time zone may have changed
    bool tipStale_ = true;
    UniqueHandleObject settingsChanged_;

    Action pending_ = Action::acNone;
    UniqueHandleObject pendingProcess_;
    std::wstring pendingName_, pendingValue_;
    std::uint64_t pendingSinceUtc_ = 0;
};

}  // namespace nimbora
