#include "tray/TrayWindow.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>

#include "admin/AdminSettings.h"
#include "settings/SettingsKeys.h"
#include "svchost/Messages.h"

namespace nimbora {

namespace {

using UniqueDc = UniqueHandle<HandleTraits<HDC, &DeleteDC>>;
using UniqueGdi = UniqueHandle<HandleTraits<HGDIOBJ, &DeleteObject>>;

constexpr UINT_PTR kTickTimer = 1;
constexpr wchar_t kChartClass[] = L"Nimbora.Tray.Chart";
constexpr wchar_t kNimboraTool[] = L"nimbora.exe";
constexpr wchar_t kCompanion[] = L"NimboraDefrag.exe";

constexpr UINT idMenuOpen = 201;
constexpr UINT idMenuExit = 202;

// Control access keys live in the label texts; the shield on a button tells
// that it asks for an administrator's approval.
void SetShield(HWND button) { SendMessageW(button, BCM_SETSHIELD, 0, TRUE); }

std::int64_t LocalOffsetSeconds() {
    TIME_ZONE_INFORMATION zone{};
    const DWORD kind = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
    if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
    return -static_cast<std::int64_t>(bias) * 60;
}

std::uint64_t NowUtc() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool HighContrast() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

// Changes a control's text only when it differs: no flicker, no needless
// notifications to screen readers.
void SetTextIfChanged(HWND control, const std::wstring& text) {
    const int length = GetWindowTextLengthW(control);
    std::wstring current(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(control, current.data(), length + 1);
    current.resize(static_cast<std::size_t>(length));
    if (current != text) SetWindowTextW(control, text.c_str());
}

// The icon: the number on a filled square, drawn at the small-icon size of
// the current DPI, in the system's colours under high contrast.
UniqueIcon DrawIconFace(const IconFace& face, bool highContrast, const LOGFONTW& baseFont) {
    const int size = std::max(16, GetSystemMetrics(SM_CXSMICON));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const UniqueDc dc(CreateCompatibleDC(nullptr));
    if (!dc) return {};
    UniqueGdi colour(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    UniqueGdi mask(CreateBitmap(size, size, 1, 1, nullptr));
    if (!colour || !mask || bits == nullptr) return {};

    COLORREF background = face.low ? RGB(196, 43, 28) : RGB(16, 110, 62);
    COLORREF foreground = RGB(255, 255, 255);
    if (highContrast) {
        background = GetSysColor(face.low ? COLOR_HIGHLIGHT : COLOR_WINDOW);
        foreground = GetSysColor(face.low ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
    }
    const HGDIOBJ oldBitmap = SelectObject(dc.get(), colour.get());
    const RECT all{0, 0, size, size};
    const UniqueGdi brush(CreateSolidBrush(background));
    FillRect(dc.get(), &all, static_cast<HBRUSH>(brush.get()));
    if (highContrast) {
        const UniqueGdi frame(CreateSolidBrush(foreground));
        FrameRect(dc.get(), &all, static_cast<HBRUSH>(frame.get()));
    }
    LOGFONTW font = baseFont;
    font.lfHeight = -(size * 11 / 16);
    font.lfWidth = 0;
    font.lfWeight = FW_BOLD;
    font.lfQuality = NONANTIALIASED_QUALITY;  // crisp digits; the alpha below stays whole
    const UniqueGdi digitsFont(CreateFontIndirectW(&font));
    const HGDIOBJ oldFont = SelectObject(dc.get(), digitsFont.get());
    SetBkMode(dc.get(), TRANSPARENT);
    SetTextColor(dc.get(), foreground);
    std::wstring digits = DecimalText(face.percent);
    RECT text = all;
    DrawTextW(dc.get(), digits.c_str(), static_cast<int>(digits.size()), &text,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc.get(), oldFont);
    SelectObject(dc.get(), oldBitmap);
    GdiFlush();
    // N.B. GDI leaves the alpha bytes at 0; every pixel is made opaque.
    auto* pixel = static_cast<std::uint32_t*>(bits);
    for (int i = 0; i < size * size; ++i) pixel[i] |= 0xFF000000u;
    // The mask bitmap starts with undefined bits: all of it opaque.
    {
        const UniqueDc maskDc(CreateCompatibleDC(nullptr));
        const HGDIOBJ oldMask = SelectObject(maskDc.get(), mask.get());
        PatBlt(maskDc.get(), 0, 0, size, size, BLACKNESS);
        SelectObject(maskDc.get(), oldMask);
    }
    ICONINFO icon{};
    icon.fIcon = TRUE;
    icon.hbmMask = static_cast<HBITMAP>(mask.get());
    icon.hbmColor = static_cast<HBITMAP>(colour.get());
    return UniqueIcon(CreateIconIndirect(&icon));
}

NOTIFYICONDATAW IconData(HWND window) {
    NOTIFYICONDATAW data{};
    // N.B. the size of Vista's record (the project builds for it and later):
    // the shell of every supported Windows accepts it with NIF_SHOWTIP.
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = kTrayIconId;
    return data;
}

LOGFONTW MessageFont() {
    NONCLIENTMETRICSW metrics{};
    // N.B. without iPaddedBorderWidth: Vista's size of the record.
    metrics.cbSize = offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth) + sizeof metrics.iPaddedBorderWidth;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) {
        metrics.cbSize = offsetof(NONCLIENTMETRICSW, iPaddedBorderWidth);
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0);
    }
    return metrics.lfMessageFont;
}

}  // namespace

TrayApp::TrayApp(TrayServices services) : services_(std::move(services)) {}

TrayApp::~TrayApp() {
    if (iconAdded_ && window_ != nullptr) {
        NOTIFYICONDATAW data = IconData(window_);
        Shell_NotifyIconW(NIM_DELETE, &data);
    }
    if (window_ != nullptr) DestroyWindow(window_);
}

int TrayApp::Run(HINSTANCE instance) {
    instance_ = instance;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    showMessage_ = RegisterWindowMessageW(kTrayShowMessage);
    queryMessage_ = RegisterWindowMessageW(kTrayQueryMessage);
    // N.B. an elevated instance (UAC off) still hears the shell's restart.
    ChangeWindowMessageFilter(taskbarCreated_, MSGFLT_ADD);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kTrayWindowClass;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    RegisterClassExW(&windowClass);
    WNDCLASSEXW chartClass{};
    chartClass.cbSize = sizeof chartClass;
    chartClass.style = CS_HREDRAW | CS_VREDRAW;
    chartClass.lpfnWndProc = ChartProc;
    chartClass.hInstance = instance;
    chartClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    chartClass.lpszClassName = kChartClass;
    RegisterClassExW(&chartClass);

    {
        const HDC screen = GetDC(nullptr);
        dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    RECT frame{0, 0, Scaled(600), Scaled(640)};
    // N.B. no WS_CLIPCHILDREN: the group box is transparent and the window
    // paints the background behind it; the chart draws off screen.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kTrayWindowClass, Text(services_.language, TextId::txWindowTitle),
                              style, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                              nullptr, nullptr, instance, this);
    if (window_ == nullptr) return 1;
    highContrast_ = HighContrast();
    CreateControls();
    WatchSettings();
    ReadSettings();
    Tick();
    SetTimer(window_, kTickTimer, 1000, nullptr);

    for (;;) {
        HANDLE handles[2];
        DWORD count = 0;
        if (settingsChanged_) handles[count++] = settingsChanged_.get();
        if (pendingProcess_) handles[count++] = pendingProcess_.get();
        const DWORD woken = MsgWaitForMultipleObjectsEx(count, handles, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken < WAIT_OBJECT_0 + count) {
            const HANDLE signalled = handles[woken - WAIT_OBJECT_0];
            if (signalled == settingsChanged_.get()) {
                const bool wasWatchingKey = watchingSettingsKey_;
                WatchSettings();
                if (wasWatchingKey || watchingSettingsKey_) ReadSettings();
                UpdateIcon(false);
                if (Visible()) RefreshWindow();
            } else {
                FinishAction();
            }
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return static_cast<int>(message.wParam);
            if (window_ != nullptr && IsDialogMessageW(window_, &message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void TrayApp::CreateControls() {
    const UiLanguage l = services_.language;
    LOGFONTW font = MessageFont();
    font_.reset(CreateFontIndirectW(&font));
    auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id = 0, DWORD exStyle = 0) {
        HWND control = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, window_,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        return control;
    };
    serviceLine_ = make(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX);
    memoryLine_ = make(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX);
    verdict_ = make(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX);
    chartLabel_ = make(WC_STATICW, Text(l, TextId::txChartLabel), SS_LEFT | SS_NOPREFIX);
    chart_ = make(kChartClass, Text(l, TextId::txChartLabel), 0, 0, WS_EX_CLIENTEDGE);
    historyLabel_ = make(WC_STATICW, Text(l, TextId::txHistoryLabel), SS_LEFT | SS_NOPREFIX);
    history_ = make(WC_LISTVIEWW, Text(l, TextId::txHistoryLabel),
                    WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, 0,
                    WS_EX_CLIENTEDGE);
    ListView_SetExtendedListViewStyle(history_, LVS_EX_FULLROWSELECT);
    const TextId columns[] = {TextId::txColumnTime, TextId::txColumnAsked, TextId::txColumnFreed,
                              TextId::txColumnOutcome};
    const int widths[] = {190, 95, 95, 150};
    for (int i = 0; i < 4; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.fmt = i == 1 || i == 2 ? LVCFMT_RIGHT : LVCFMT_LEFT;
        column.cx = Scaled(widths[i]);
        column.pszText = const_cast<wchar_t*>(Text(l, columns[i]));
        ListView_InsertColumn(history_, i, &column);
    }
    settingsGroup_ = make(WC_BUTTONW, Text(l, TextId::txSettingsLabel), BS_GROUPBOX);
    settingLabel_ = make(WC_STATICW, Text(l, TextId::txSettingLabel), SS_LEFT);
    settingCombo_ = make(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, idSettingCombo);
    for (const SettingDefinition* d : PanelSettings())
        SendMessageW(settingCombo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(d->name));
    SendMessageW(settingCombo_, CB_SETCURSEL, 0, 0);
    meaning_ = make(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX);
    accepted_ = make(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX);
    valueLabel_ = make(WC_STATICW, Text(l, TextId::txValueLabel), SS_LEFT);
    value_ = make(WC_EDITW, L"", WS_TABSTOP | ES_AUTOHSCROLL, idValue, WS_EX_CLIENTEDGE);
    apply_ = make(WC_BUTTONW, Text(l, TextId::txApply), WS_TABSTOP | BS_PUSHBUTTON, idApply);
    pause_ = make(WC_BUTTONW, Text(l, TextId::txPause), WS_TABSTOP | BS_PUSHBUTTON, idPause);
    freeNow_ = make(WC_BUTTONW, Text(l, TextId::txFreeNow), WS_TABSTOP | BS_PUSHBUTTON, idFreeNow);
    result_ = make(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, idResult);
    for (HWND button : {apply_, pause_, freeNow_}) SetShield(button);
    LayoutControls();
}

void TrayApp::LayoutControls() {
    const int margin = Scaled(12);
    const int width = Scaled(600) - 2 * margin;
    int y = margin;
    auto place = [&](HWND control, int x, int top, int w, int h) {
        MoveWindow(control, margin + x, top, w, h, FALSE);
    };
    const int line = Scaled(18);
    place(serviceLine_, 0, y, width, line);
    y += line + Scaled(2);
    place(memoryLine_, 0, y, width, line);
    y += line + Scaled(2);
    place(verdict_, 0, y, width, 2 * line + Scaled(4));
    y += 2 * line + Scaled(10);
    place(chartLabel_, 0, y, width, line);
    y += line;
    place(chart_, 0, y, width, Scaled(130));
    y += Scaled(138);
    place(historyLabel_, 0, y, width, line);
    y += line;
    place(history_, 0, y, width, Scaled(100));
    y += Scaled(108);
    const int groupTop = y;
    const int inner = Scaled(10);
    const int labelWidth = Scaled(110);
    y += Scaled(20);
    place(settingLabel_, inner, y + Scaled(3), labelWidth, line);
    place(settingCombo_, inner + labelWidth, y, Scaled(220), Scaled(300));
    y += Scaled(28);
    place(meaning_, inner, y, width - 2 * inner, 3 * line);
    y += 3 * line + Scaled(2);
    place(accepted_, inner, y, width - 2 * inner, line);
    y += line + Scaled(6);
    place(valueLabel_, inner, y + Scaled(3), labelWidth, line);
    place(value_, inner + labelWidth, y, Scaled(250), Scaled(23));
    place(apply_, width - inner - Scaled(120), y - Scaled(1), Scaled(120), Scaled(26));
    y += Scaled(34);
    place(settingsGroup_, 0, groupTop, width, y - groupTop);
    y += Scaled(8);
    place(pause_, 0, y, Scaled(220), Scaled(28));
    place(freeNow_, Scaled(230), y, Scaled(220), Scaled(28));
    y += Scaled(36);
    place(result_, 0, y, width, 2 * line);
}

void TrayApp::ReadSettings() {
    snapshot_.ReadSettingsFrom(services_.reads);
    std::size_t skipped = 0;
    historyRecords_ = ReadHistory(snapshot_, skipped);
    tickValues_ = TickValuesOf(BuildStatus(snapshot_).settings);
    historyDirty_ = true;
    localOffset_ = LocalOffsetSeconds();
    tipStale_ = true;
}

// N.B. the notification fires once per arming: it is armed again after
// every change, before the values are read, so no change is lost. While the
// settings key does not exist, its nearest existing parent is watched
// instead: a subkey's creation there wakes the program, which then goes one
// level down or, once the key exists, watches it.
void TrayApp::WatchSettings() {
    if (!settingsChanged_) settingsChanged_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    // N.B. a second round when arming fails: the watched key was deleted
    // (that too signals), so the search starts again from the settings key.
    for (int round = 0; round < 2; ++round) {
        if (!watchingSettingsKey_) {
            const std::wstring settingsPath(SubKeyPath(SettingsKey));
            std::wstring path = settingsPath;
            watchedKey_.reset();
            while (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_NOTIFY | KEY_WOW64_32KEY,
                                 watchedKey_.put()) != ERROR_SUCCESS) {
                while (!path.empty() && path.back() == L'\\') path.pop_back();
                const std::size_t parent = path.find_last_of(L'\\');
                if (parent == std::wstring::npos) return;
                path.resize(parent);
            }
            watchingSettingsKey_ = path == settingsPath;
        }
        // The settings key with its subkeys (the batch records), every value
        // change; a parent only for its own subkeys coming and going, which
        // is rare, so software writing below it wakes nothing.
        const BOOL subtree = watchingSettingsKey_ ? TRUE : FALSE;
        const DWORD filter = watchingSettingsKey_ ? REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET
                                                  : REG_NOTIFY_CHANGE_NAME;
        if (RegNotifyChangeKeyValue(watchedKey_.get(), subtree, filter, settingsChanged_.get(), TRUE) ==
            ERROR_SUCCESS)
            return;
        watchedKey_.reset();
        watchingSettingsKey_ = false;
    }
}

void TrayApp::Tick() {
    std::int64_t total = 0;
    std::int64_t available = 0;
    if (services_.memory.Read(total, available)) {
        if (total != snapshot_.machine.totalBytes) {
            snapshot_.machine.totalBytes = total;
            tickValues_ = TickValuesOf(BuildStatus(snapshot_).settings);  // the defaults follow the total
        }
        snapshot_.machine.availableBytes = available;
        trail_.Add(GetTickCount64(), available);
    }
    if (!iconAdded_) AddIcon();
    UpdateIcon(false);
    if (Visible()) RefreshWindow();
}

void TrayApp::AddIcon() {
    UpdateIcon(true);
    NOTIFYICONDATAW data = IconData(window_);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    data.uCallbackMessage = kTrayIconMessage;
    data.hIcon = icon_.get();
    lstrcpynW(data.szTip, shownTip_.c_str(), ARRAYSIZE(data.szTip));
    iconAdded_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
    // N.B. a TaskbarCreated broadcast from a shell that kept our icon: the
    // add is refused, the icon is still there and takes the new face.
    if (!iconAdded_) iconAdded_ = Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
    if (!iconAdded_) return;  // the taskbar is not there yet: the next tick tries again
    data.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
}

void TrayApp::UpdateIcon(bool force) {
    const IconFace face =
        ChooseIconFace(tickValues_, snapshot_.machine.totalBytes, snapshot_.machine.availableBytes);
    const bool faceChanged = force || face != shownFace_ || !icon_;
    // N.B. the common case, once a second: nothing changed, nothing is done.
    if (!faceChanged && !tipStale_) return;
    tipStale_ = false;
    std::optional<BatchRecord> newest;
    if (!historyRecords_.empty()) newest = historyRecords_.front();
    const std::wstring tip = TooltipText(services_.language, face, newest, localOffset_);
    if (!faceChanged && tip == shownTip_) return;
    // N.B. the icon shown until now is destroyed only once the window and
    // the notification area hold the new one.
    UniqueIcon previous;
    if (faceChanged) {
        LOGFONTW font = MessageFont();
        UniqueIcon drawn = DrawIconFace(face, highContrast_, font);
        if (drawn) {
            previous = std::move(icon_);
            icon_ = std::move(drawn);
            SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_.get()));
        }
        shownFace_ = face;
    }
    shownTip_ = tip;
    if (!iconAdded_ || force) return;
    NOTIFYICONDATAW data = IconData(window_);
    data.uFlags = NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    data.hIcon = icon_.get();
    lstrcpynW(data.szTip, shownTip_.c_str(), ARRAYSIZE(data.szTip));
    if (!Shell_NotifyIconW(NIM_MODIFY, &data)) iconAdded_ = false;
}

bool TrayApp::Visible() const { return window_ != nullptr && IsWindowVisible(window_) && !IsIconic(window_); }

void TrayApp::ShowWindowNow() {
    processor_.GetProcessorUsage();  // the first sample of this showing
    ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window_);
    RefreshWindow();
    RefreshSettingPanel();
}

void TrayApp::RefreshWindow() {
    const UiLanguage l = services_.language;
    snapshot_.service = services_.reads.QueryService();
    snapshot_.machine.processorLoad = processor_.GetProcessorUsage();
    SYSTEM_POWER_STATUS power;
    snapshot_.machine.acLineStatus = GetSystemPowerStatus(&power) ? power.ACLineStatus : 255;
    snapshot_.machine.tickCount = GetTickCount64();
    snapshot_.machine.nowUtc = NowUtc();
    report_ = BuildStatus(snapshot_);
    SetTextIfChanged(serviceLine_, ServiceLine(l, snapshot_.service));
    SetTextIfChanged(memoryLine_, MemoryLine(l, snapshot_.machine.totalBytes, snapshot_.machine.availableBytes));
    SetTextIfChanged(verdict_, VerdictSentence(l, *report_));
    const bool paused = snapshot_.service.installed && snapshot_.service.state == ServiceState::ssPaused;
    SetTextIfChanged(pause_, Text(l, paused ? TextId::txResume : TextId::txPause));
    const bool idle = pending_ == Action::acNone;
    EnableWindow(pause_, idle && snapshot_.service.installed);
    EnableWindow(freeNow_, idle);
    EnableWindow(apply_, idle);
    if (historyDirty_) RefreshHistory();
    InvalidateRect(chart_, nullptr, FALSE);
}

void TrayApp::RefreshHistory() {
    historyDirty_ = false;
    ListView_DeleteAllItems(history_);
    const std::vector<HistoryRow> rows = HistoryRows(services_.language, historyRecords_, localOffset_);
    if (rows.empty()) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.pszText = const_cast<wchar_t*>(Text(services_.language, TextId::txNoBatch));
        ListView_InsertItem(history_, &item);
        return;
    }
    int index = 0;
    for (const HistoryRow& row : rows) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = index;
        item.pszText = const_cast<wchar_t*>(row.time.c_str());
        ListView_InsertItem(history_, &item);
        ListView_SetItemText(history_, index, 1, const_cast<wchar_t*>(row.asked.c_str()));
        ListView_SetItemText(history_, index, 2, const_cast<wchar_t*>(row.freed.c_str()));
        ListView_SetItemText(history_, index, 3, const_cast<wchar_t*>(row.outcome.c_str()));
        ++index;
    }
}

void TrayApp::RefreshSettingPanel() {
    const UiLanguage l = services_.language;
    const auto panel = PanelSettings();
    const LRESULT selected = SendMessageW(settingCombo_, CB_GETCURSEL, 0, 0);
    if (selected < 0 || static_cast<std::size_t>(selected) >= panel.size()) return;
    const SettingDefinition& definition = *panel[static_cast<std::size_t>(selected)];
    std::wstring current;
    if (report_)
        for (const SettingReading& r : report_->settings)
            if (r.definition == &definition) current = CurrentValueText(l, r);
    SetTextIfChanged(meaning_, Text(l, MeaningOf(definition)));
    SetTextIfChanged(accepted_, AcceptedText(l, definition) + L" " + current);
    if (report_)
        for (const SettingReading& r : report_->settings)
            if (r.definition == &definition)
                SetWindowTextW(value_, definition.kind == SettingKind::skText ? r.text.c_str()
                                                                              : DecimalText(r.number).c_str());
}

void TrayApp::SetResult(const std::wstring& text) { SetWindowTextW(result_, text.c_str()); }

void TrayApp::StartAction(Action action) {
    if (pending_ != Action::acNone) return;
    const UiLanguage l = services_.language;
    std::wstring program = services_.toolFolder + kNimboraTool;
    std::wstring parameters;
    switch (action) {
        case Action::acSet: {
            const auto panel = PanelSettings();
            const LRESULT selected = SendMessageW(settingCombo_, CB_GETCURSEL, 0, 0);
            if (selected < 0 || static_cast<std::size_t>(selected) >= panel.size()) return;
            const SettingDefinition& definition = *panel[static_cast<std::size_t>(selected)];
            const int length = GetWindowTextLengthW(value_);
            std::wstring typed(static_cast<std::size_t>(length) + 1, L'\0');
            GetWindowTextW(value_, typed.data(), length + 1);
            typed.resize(static_cast<std::size_t>(length));
            const SettingCheck check = CheckSettingInput(l, definition, typed);
            if (!check.accepted) {
                SetResult(check.problem);
                SetFocus(value_);
                return;
            }
            pendingName_ = definition.name;
            pendingValue_ = check.value;
            parameters = SetParameters(definition, check.value);
            break;
        }
        case Action::acPause: parameters = L"pause"; break;
        case Action::acResume: parameters = L"continue"; break;
        case Action::acFreeNow: {
            if (!report_ || !report_->verdict) return;
            program = services_.toolFolder + kCompanion;
            parameters = DecimalText(report_->verdict->freeMegabytes);
            SetResult(FormatText(Text(l, TextId::txFreeRunning), {MegabytesText(l, report_->verdict->freeMegabytes)}));
            break;
        }
        case Action::acNone: return;
    }
    if (action != Action::acFreeNow) SetResult(Text(l, TextId::txWaitingForApproval));
    UpdateWindow(result_);
    pendingSinceUtc_ = NowUtc();
    UniqueHandleObject process;
    const DWORD error = services_.elevation.Run(program, parameters, process);
    if (error == ERROR_CANCELLED) {
        SetResult(Text(l, TextId::txCancelled));
        return;
    }
    if (error != ERROR_SUCCESS) {
        const std::wstring name = program.substr(program.find_last_of(L'\\') + 1);
        SetResult(FormatText(Text(l, TextId::txCannotStart), {name, DecimalText(error)}));
        return;
    }
    pending_ = action;
    pendingProcess_ = std::move(process);
    RefreshWindow();
}

void TrayApp::FinishAction() {
    const UiLanguage l = services_.language;
    DWORD code = 1;
    GetExitCodeProcess(pendingProcess_.get(), &code);
    pendingProcess_.reset();
    const Action action = std::exchange(pending_, Action::acNone);
    // N.B. what the tool wrote is read now, not when the key's notice
    // arrives: the window tells the outcome from it at once.
    ReadSettings();
    UpdateIcon(false);
    std::wstring text;
    switch (action) {
        case Action::acSet:
            text = code == 0 ? FormatText(Text(l, TextId::txApplied), {pendingName_, pendingValue_})
                             : FormatText(Text(l, TextId::txToolFailed), {kNimboraTool, DecimalText(code)});
            break;
        case Action::acPause:
        case Action::acResume:
            text = code == 0 ? Text(l, action == Action::acPause ? TextId::txPausedDone : TextId::txResumedDone)
                             : FormatText(Text(l, TextId::txToolFailed), {kNimboraTool, DecimalText(code)});
            break;
        case Action::acFreeNow: {
            const std::optional<BatchRecord> batch = BatchSince(historyRecords_, pendingSinceUtc_);
            text = batch ? FreeOutcomeText(l, *batch, localOffset_)
                         : FormatText(Text(l, TextId::txFreeNoRecord), {kCompanion, DecimalText(code)});
            break;
        }
        case Action::acNone: break;
    }
    if (Visible()) {
        RefreshWindow();
        RefreshSettingPanel();
    }
    // N.B. the outcome comes last: whoever reads it finds the window settled.
    SetResult(text);
}

void TrayApp::ShowMenu(POINT at) {
    const UniqueMenu menu(CreatePopupMenu());
    AppendMenuW(menu.get(), MF_STRING, idMenuOpen, Text(services_.language, TextId::txMenuOpen));
    AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu.get(), MF_STRING, idMenuExit, Text(services_.language, TextId::txMenuExit));
    SetMenuDefaultItem(menu.get(), idMenuOpen, FALSE);
    // N.B. the menu closes when the person clicks elsewhere only if the
    // window is in the foreground while it is shown.
    SetForegroundWindow(window_);
    const UINT chosen = TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0,
                                       window_, nullptr);
    PostMessageW(window_, WM_NULL, 0, 0);
    if (chosen == idMenuOpen) ShowWindowNow();
    if (chosen == idMenuExit) DestroyWindow(window_);
}

void TrayApp::PaintChart(HDC dc, const RECT& area) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const COLORREF background = GetSysColor(COLOR_WINDOW);
    const COLORREF lineColour = highContrast_ ? GetSysColor(COLOR_WINDOWTEXT) : RGB(16, 110, 62);
    const COLORREF triggerColour = highContrast_ ? GetSysColor(COLOR_HIGHLIGHT) : RGB(196, 43, 28);
    const COLORREF markColour = GetSysColor(COLOR_GRAYTEXT);
    const UniqueGdi brush(CreateSolidBrush(background));
    FillRect(dc, &area, static_cast<HBRUSH>(brush.get()));
    std::optional<std::int64_t> trigger;
    if (report_ && report_->verdict) trigger = report_->verdict->maintainBytes;
    const ChartLayout layout = LayoutChart(trail_, GetTickCount64(), snapshot_.machine.totalBytes, trigger,
                                           historyRecords_, NowUtc(), width, height);
    const UniqueGdi markPen(CreatePen(PS_DOT, 1, markColour));
    HGDIOBJ old = SelectObject(dc, markPen.get());
    for (const int x : layout.batchX) {
        MoveToEx(dc, x, 0, nullptr);
        LineTo(dc, x, height);
    }
    if (layout.triggerY >= 0) {
        const UniqueGdi triggerPen(CreatePen(PS_DASH, 1, triggerColour));
        SelectObject(dc, triggerPen.get());
        MoveToEx(dc, 0, layout.triggerY, nullptr);
        LineTo(dc, width, layout.triggerY);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, triggerColour);
        const HGDIOBJ oldFont = SelectObject(dc, font_.get());
        const wchar_t* label = Text(services_.language, TextId::txChartTrigger);
        TextOutW(dc, Scaled(4), std::max(0, layout.triggerY - Scaled(16)), label, lstrlenW(label));
        SelectObject(dc, oldFont);
        SelectObject(dc, markPen.get());
    }
    if (layout.line.size() >= 2) {
        const UniqueGdi linePen(CreatePen(PS_SOLID, std::max(1, Scaled(2)), lineColour));
        SelectObject(dc, linePen.get());
        std::vector<POINT> points;
        points.reserve(layout.line.size());
        for (const ChartPoint& p : layout.line) points.push_back({p.x, p.y});
        Polyline(dc, points.data(), static_cast<int>(points.size()));
        SelectObject(dc, markPen.get());
    }
    SelectObject(dc, old);
}

LRESULT CALLBACK TrayApp::ChartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_ERASEBKGND) return 1;
        if (message == WM_PAINT) {
            auto* app = reinterpret_cast<TrayApp*>(GetWindowLongPtrW(GetParent(window), GWLP_USERDATA));
            PAINTSTRUCT paint;
            const HDC dc = BeginPaint(window, &paint);
            RECT area;
            GetClientRect(window, &area);
            // Drawn off screen, then copied: no flicker once a second.
            const UniqueDc memory(CreateCompatibleDC(dc));
            const UniqueGdi bitmap(CreateCompatibleBitmap(dc, area.right, area.bottom));
            const HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
            if (app != nullptr) app->PaintChart(memory.get(), area);
            BitBlt(dc, 0, 0, area.right, area.bottom, memory.get(), 0, 0, SRCCOPY);
            SelectObject(memory.get(), old);
            EndPaint(window, &paint);
            return 0;
        }
    } catch (...) {
        ValidateRect(window, nullptr);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK TrayApp::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_NCCREATE) {
            auto* app = static_cast<TrayApp*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            app->window_ = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
        }
        auto* app = reinterpret_cast<TrayApp*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_NCDESTROY) SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        if (app != nullptr) return app->Handle(window, message, wParam, lParam);
    } catch (...) {
        // A failure in one message leaves the program running; the next tick
        // draws afresh.
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TrayApp::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == taskbarCreated_ && taskbarCreated_ != 0) {
        iconAdded_ = false;
        AddIcon();
        return 0;
    }
    if (message == showMessage_ && showMessage_ != 0) {
        ShowWindowNow();
        return 0;
    }
    if (message == queryMessage_ && queryMessage_ != 0)
        return (shownFace_.percent & 0xFF) | (shownFace_.low ? 0x100 : 0) | (iconAdded_ ? 0x200 : 0) |
               (Visible() ? 0x400 : 0);
    switch (message) {
        case kTrayIconMessage:
            switch (LOWORD(lParam)) {
                case NIN_SELECT:
                case NIN_KEYSELECT:
                case WM_LBUTTONUP: ShowWindowNow(); return 0;
                case WM_CONTEXTMENU:
                    // N.B. NOTIFYICON_VERSION_4 gives the point in wParam: the
                    // icon's own place when the menu key or Shift+F10 asked.
                    ShowMenu(POINT{GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)});
                    return 0;
                case WM_RBUTTONUP: {
                    POINT at;
                    GetCursorPos(&at);
                    ShowMenu(at);
                    return 0;
                }
            }
            return 0;
        case WM_TIMER:
            if (wParam == kTickTimer) Tick();
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case idSettingCombo:
                    if (HIWORD(wParam) == CBN_SELCHANGE) RefreshSettingPanel();
                    return 0;
                case idApply: StartAction(Action::acSet); return 0;
                case idPause: {
                    if (!IsWindowEnabled(pause_)) return 0;  // no service to pause
                    const bool paused = snapshot_.service.installed && snapshot_.service.state == ServiceState::ssPaused;
                    StartAction(paused ? Action::acResume : Action::acPause);
                    return 0;
                }
                case idFreeNow: StartAction(Action::acFreeNow); return 0;
                case IDOK:
                    if (GetFocus() == value_) StartAction(Action::acSet);
                    return 0;
                case IDCANCEL: ShowWindow(window_, SW_HIDE); return 0;
            }
            break;
        case WM_SYSCOMMAND:
            // The close box hides the window; the program stays in the notification area.
            if ((wParam & 0xFFF0) == SC_CLOSE) {
                ShowWindow(window_, SW_HIDE);
                return 0;
            }
            break;
        case WM_QUERYENDSESSION: return TRUE;
        case WM_ENDSESSION:
            // N.B. ENDSESSION_CLOSEAPP: the Restart Manager (an installer
            // replacing this file) asks the program to end; so does a log-off.
            if (wParam != 0) DestroyWindow(window_);
            return 0;
        case WM_CLOSE:
            // Sent from outside (the Restart Manager, taskkill): the program ends.
            DestroyWindow(window_);
            return 0;
        case WM_TIMECHANGE:
            localOffset_ = LocalOffsetSeconds();
            tipStale_ = true;
            historyDirty_ = true;
            UpdateIcon(false);
            return 0;
        case WM_SETTINGCHANGE:
            localOffset_ = LocalOffsetSeconds();  // the time zone may have changed
            tipStale_ = true;
            historyDirty_ = true;
            [[fallthrough]];
        case WM_SYSCOLORCHANGE:
        case WM_DISPLAYCHANGE:
        case WM_THEMECHANGED:
            highContrast_ = HighContrast();
            shownFace_ = IconFace{-1, false};  // drawn again in the new colours or size
            UpdateIcon(false);
            InvalidateRect(window_, nullptr, TRUE);
            break;
        case WM_DESTROY:
            KillTimer(window_, kTickTimer);
            if (iconAdded_) {
                NOTIFYICONDATAW data = IconData(window_);
                Shell_NotifyIconW(NIM_DELETE, &data);
                iconAdded_ = false;
            }
            window_ = nullptr;
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace nimbora
