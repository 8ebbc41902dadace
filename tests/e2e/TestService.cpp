// A small service built on the service-host classes, for end-to-end tests of
// the host under the real Service Control Manager. Its behaviour is chosen by
// start parameters:
//   refuse-stop     OnStop leaves Stopped false (until a second stop)
//   raise-shutdown  OnShutdown raises
//   raise-timer     a 200 ms timer whose handler raises every time
//   no-execute      no OnExecute handler: the host waits on its queue
// User control 200 sends WM_ENDSESSION to the application's hidden window;
// 201 writes the process's handle count to HKLM\Software\Korvex\NimboraHostTest.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "svchost/ServiceApplication.h"
#include "svchost/Timer.h"

namespace nimbora {
namespace {

constexpr DWORD kEndSessionControl = 200;
constexpr DWORD kCountHandlesControl = 201;

class TTestService;
TTestService* testService = nullptr;

void WINAPI TestController(DWORD code);

class TTestService final : public TService {
public:
    explicit TTestService(TServiceApplication& application)
        : TService(application, L"NimboraHostTest"), timer_(application.WindowApplication(), L"timer refused") {
        timer_.SetEnabled(false);
        timer_.SetInterval(200);
        timer_.SetOnTimer([this] {
            ++timerEvents_;
            throw Exception(L"timer handler failed " + std::to_wstring(timerEvents_.load()));
        });
        OnStart = [this](TService& s, bool&) {
            for (std::size_t i = 1; i < s.ParamCount(); ++i) {
                const std::wstring& p = s.Param(i);
                if (p == L"refuse-stop") refuseStop_ = true;
                if (p == L"raise-shutdown") raiseShutdown_ = true;
                if (p == L"raise-timer") timer_.SetEnabled(true);
                if (p == L"no-execute") OnExecute = nullptr;
            }
        };
        OnStop = [this](TService&, bool& stopped) {
            if (refuseStop_) {
                refuseStop_ = false;
                stopped = false;
            }
        };
        OnShutdown = [this](TService&) {
            if (raiseShutdown_) throw Exception(L"shutdown handler failed");
        };
        OnExecute = [](TService& s) {
            while (!s.Terminated()) {
                Sleep(100);
                s.ServiceThread()->ProcessRequests(false);
            }
        };
    }

protected:
    LPHANDLER_FUNCTION GetServiceController() override { return &TestController; }
    bool HandleCustomControl(DWORD code) override {
        if (code == kEndSessionControl)
            SendMessageTimeoutW(Application().WindowApplication().Handle(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL,
                                2000, nullptr);
        if (code == kCountHandlesControl) {
            // Wine does not count handles for GetProcessHandleCount: probe
            // every handle value instead (they are multiples of 4).
            DWORD count = 0;
            for (std::uintptr_t h = 4; h < (1u << 16); h += 4) {
                DWORD flags = 0;
                if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) ++count;
            }
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Korvex\\NimboraHostTest", L"Handles", REG_DWORD, &count,
                            sizeof count);
        }
        return true;
    }

private:
    TTimer timer_;
    std::atomic<int> timerEvents_{0};
    bool refuseStop_ = false;
    bool raiseShutdown_ = false;
};

void WINAPI TestController(DWORD code) {
    if (testService != nullptr) testService->PostControlCode(code);
}

}  // namespace
}  // namespace nimbora

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace nimbora;
    try {
        TWindowApplication windowApplication;
        TServiceApplication application(windowApplication, GetCommandLineW(), LoadMessageTexts());
        if (!application.Installing()) application.Initialize();
        testService = application.CreateForm<TTestService>();
        application.Run();
        testService = nullptr;
        return 0;
    } catch (const Exception& e) {
        ShowLastChanceError(e.ClassName(), e.Message(), e.Address());
        return 1;
    }
}
