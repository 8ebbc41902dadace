// Drives the desktop program's running instance from outside, as the shell
// and a person would, and prints what it shows:
//   TrayDriver wait-icon [percent [low|high]]
//                                    until the icon is in the notification area
//                                    (and shows that number, in that colour);
//                                    prints its state
//   TrayDriver click                 the icon's callback message for a click,
//                                    once the icon is there
//   TrayDriver taskbar-created       what Explorer broadcasts when it starts
//                                    again; then waits for the icon as wait-icon
//   TrayDriver instances             how many of its windows exist
//   TrayDriver set NAME VALUE        chooses the setting, types the value,
//                                    presses Apply, prints the outcome line
//   TrayDriver press pause|free      presses Pause maintenance or Free memory now,
//                                    prints the outcome line
//   TrayDriver setting NAME          the value in the registry's 32-bit view
//   TrayDriver close                 WM_CLOSE, as taskkill and the Restart Manager's
//                                    last resort send it
//   TrayDriver endsession            what the Restart Manager sends first to close
//                                    a program whose file an installer replaces:
//                                    WM_QUERYENDSESSION, then WM_ENDSESSION, both
//                                    with ENDSESSION_CLOSEAPP
// Several commands run in one start when separated by "+" (each Wine start
// of a 32-bit program costs about a second); the first failure ends the run.
// Exit code 0 when done, 1 when the program did not answer in time.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "svchost/CommandLine.h"
#include "tray/TrayPlatform.h"

namespace {

using namespace nimbora;

HWND TrayWindow() { return FindWindowW(kTrayWindowClass, nullptr); }

std::wstring WindowText(HWND control) {
    wchar_t text[1024] = {};
    GetWindowTextW(control, text, 1024);
    return text;
}

void PrintUtf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    std::printf("%s\n", bytes.c_str());
}

LRESULT Query(HWND window) {
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, RegisterWindowMessageW(kTrayQueryMessage), 0, 0, SMTO_ABORTIFHUNG, 2000, &answer);
    return static_cast<LRESULT>(answer);
}

// `low`: -1 either colour, 0 the first, 1 the second (at or below the trigger level).
int WaitIcon(int wanted, int low) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        if (HWND window = TrayWindow()) {
            const LRESULT state = Query(window);
            if ((state & 0x200) != 0 && (wanted < 0 || (state & 0xFF) == wanted) &&
                (low < 0 || ((state & 0x100) != 0) == (low == 1))) {
                std::printf("icon %d%s%s\n", static_cast<int>(state & 0xFF), (state & 0x100) ? " low" : "",
                            (state & 0x400) ? " window" : "");
                return 0;
            }
        }
        Sleep(100);
    }
    HWND window = TrayWindow();
    std::printf("no such icon; state %ld\n", window ? static_cast<long>(Query(window)) : -1L);
    return 1;
}

BOOL CALLBACK CountWindow(HWND window, LPARAM count) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (std::wstring(name) == kTrayWindowClass) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// Presses `button` and prints the outcome line once it has settled (the tool
// has ended, or at once on a refusal).
int PressAndReport(HWND window, int button) {
    HWND result = GetDlgItem(window, idResult);
    SetWindowTextW(result, L"");
    SendMessageW(GetDlgItem(window, button), BM_CLICK, 0, 0);
    std::wstring last;
    for (int attempt = 0; attempt < 600; ++attempt) {
        last = WindowText(result);
        if (!last.empty() && last.back() != L'\u2026') {
            PrintUtf8(last);
            return 0;
        }
        Sleep(100);
    }
    PrintUtf8(L"no outcome: " + last);
    return 1;
}

int Set(const std::wstring& name, const std::wstring& value) {
    HWND window = TrayWindow();
    if (window == nullptr) return 1;
    HWND combo = GetDlgItem(window, idSettingCombo);
    const LRESULT index = SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                       reinterpret_cast<LPARAM>(name.c_str()));
    if (index < 0) return 1;
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(idSettingCombo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    SetWindowTextW(GetDlgItem(window, idValue), value.c_str());
    return PressAndReport(window, idApply);
}

int Setting(const std::wstring& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\Nimbora", 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
        std::printf("missing\n");
        return 0;
    }
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    const LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_DWORD)
        std::printf("missing\n");
    else
        std::printf("%lu\n", static_cast<unsigned long>(data));
    return 0;
}

}  // namespace

int RunCommand(const std::vector<std::wstring>& a) {
    if (a.empty()) return 2;
    if (a[0] == L"wait-icon")
        return WaitIcon(a.size() > 1 ? _wtoi(a[1].c_str()) : -1, a.size() > 2 ? (a[2] == L"low" ? 1 : 0) : -1);
    if (a[0] == L"click") {
        for (int attempt = 0; attempt < 300; ++attempt) {
            HWND shown = TrayWindow();
            if (shown != nullptr && (Query(shown) & 0x200) != 0) break;
            Sleep(100);
        }
        HWND window = TrayWindow();
        if (window == nullptr) return 1;
        // What the notification area sends, NOTIFYICON_VERSION_4, for a click.
        SendMessageW(window, kTrayIconMessage, 0, MAKELPARAM(NIN_SELECT, kTrayIconId));
        return (Query(window) & 0x400) != 0 ? 0 : 1;
    }
    if (a[0] == L"taskbar-created") {
        HWND window = TrayWindow();
        if (window == nullptr) return 1;
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
        return WaitIcon(-1, -1);
    }
    if (a[0] == L"instances") {
        int count = 0;
        EnumWindows(CountWindow, reinterpret_cast<LPARAM>(&count));
        std::printf("%d\n", count);
        return 0;
    }
    if (a[0] == L"set" && a.size() == 3) return Set(a[1], a[2]);
    if (a[0] == L"setting" && a.size() == 2) return Setting(a[1]);
    if (a[0] == L"press" && a.size() == 2 && TrayWindow() != nullptr)
        return PressAndReport(TrayWindow(), a[1] == L"free" ? idFreeNow : idPause);
    if (a[0] == L"close" || a[0] == L"endsession") {
        HWND window = TrayWindow();
        if (window == nullptr) return 1;
        if (a[0] == L"close") {
            PostMessageW(window, WM_CLOSE, 0, 0);
        } else {
            DWORD_PTR agreed = 0;
            SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, &agreed);
            if (agreed == 0) {
                std::printf("the program refused to end\n");
                return 1;
            }
            SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, nullptr);
        }
        // N.B. this window, not any of the class: a test host may open the
        // next one at once.
        for (int attempt = 0; attempt < 100 && IsWindow(window); ++attempt) Sleep(100);
        return IsWindow(window) ? 1 : 0;
    }
    return 2;
}

int wmain() {
    const std::vector<std::wstring> words = CommandLineArguments(GetCommandLineW());
    std::vector<std::wstring> command;
    for (std::size_t i = 0; i <= words.size(); ++i) {
        if (i < words.size() && words[i] != L"+") {
            command.push_back(words[i]);
            continue;
        }
        const int code = RunCommand(command);
        std::fflush(stdout);
        if (code != 0) {
            std::printf("FAIL %ls\n", command.empty() ? L"(nothing)" : command[0].c_str());
            return code;
        }
        command.clear();
    }
    return 0;
}
