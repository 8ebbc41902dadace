// A companion that cannot be started: a shell that shows an error box for it
// would show it on the service's invisible desktop, where nobody can dismiss
// it, and its modal loop would deliver the timer's events to a tick still
// inside the launch. The service launches without any UI, shows nothing and
// still stops and ends. (Wine's shell shows no box for such a launch either;
// the tick's own tests cover the modal loop.)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/NimboraFixture.h"

namespace nimbora::e2e {
namespace {

using namespace std::chrono_literals;

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindowOfProcess(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    // N.B. "#32770" is the class of every dialog, message boxes included.
    if (owner == search->processId && std::wstring(name) == L"#32770") search->windows.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectStation(wchar_t* name, LPARAM param) {
    reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(name);
    return TRUE;
}

// The dialogs of `processId` on the default desktop of every window station,
// the service's own included; -1 when no desktop could be searched.
int DialogsOfProcess(DWORD processId) {
    std::vector<std::wstring> stations;
    EnumWindowStationsW(&CollectStation, reinterpret_cast<LPARAM>(&stations));
    const HWINSTA own = GetProcessWindowStation();
    int searched = 0;
    WindowSearch search{processId, {}};
    for (const std::wstring& name : stations) {
        const HWINSTA station = OpenWindowStationW(name.c_str(), FALSE, WINSTA_ENUMDESKTOPS | WINSTA_ACCESSGLOBALATOMS);
        if (station == nullptr) continue;
        // N.B. a desktop is opened within the process's window station.
        if (SetProcessWindowStation(station)) {
            const HDESK desktop = OpenDesktopW(L"Default", 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
            SetProcessWindowStation(own);
            if (desktop != nullptr) {
                if (EnumDesktopWindows(desktop, &CollectWindowOfProcess, reinterpret_cast<LPARAM>(&search))) ++searched;
                CloseDesktop(desktop);
            }
        }
        if (station != own) CloseWindowStation(station);
    }
    return searched == 0 ? -1 : static_cast<int>(search.windows.size());
}

class LaunchE2e : public NimboraFixture {};

TEST_F(LaunchE2e, ACompanionThatCannotStartShowsNothingAndTheServiceStillStops) {
    WaitOutUptimeGate();
    Install();
    // Not a program: the shell cannot start it.
    {
        const std::wstring companion = folder_ + L"NimboraDefrag.exe";
        const HANDLE raw =
            CreateFileW(companion.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(raw, INVALID_HANDLE_VALUE);
        const UniqueHandleObject file(raw);
        const char text[] = "not a program\r\n";
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), text, sizeof text - 1, &written, nullptr));
    }
    settings_.SetDword(L"MemoryMaintain", 100);  // due on every tick
    settings_.SetDword(L"ProcessorLimit", 0);
    settings_.SetDword(L"ExecutePeriod", 0);  // a batch on every tick

    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForState(SERVICE_RUNNING, 10s));
    const DWORD processId = service_.Query().dwProcessId;
    const UniqueHandleObject process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    ASSERT_TRUE(process);

    // A few ticks, each of which tries a batch. A box's modal loop would let
    // the next ticks in, each with a box of its own.
    int dialogs = 0;
    for (int second = 0; second < 4; ++second) {
        Sleep(1000);
        dialogs = std::max(dialogs, DialogsOfProcess(processId));
    }
    std::printf("dialogs of the service process after 4 s of failing launches: %d\n", dialogs);
    EXPECT_EQ(dialogs, 0);

    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(service_.Control(SERVICE_CONTROL_STOP));
    EXPECT_TRUE(service_.WaitForState(SERVICE_STOPPED, 20s));
    EXPECT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0) << "the process did not end";
    std::printf("stop with failing launches: the process ended %lld ms after the request\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
                        .count()));
}

}  // namespace
}  // namespace nimbora::e2e
