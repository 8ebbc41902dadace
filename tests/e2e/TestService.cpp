// A small service built on the service-host classes, for end-to-end tests of
// the host under the real Service Control Manager. Its behaviour is chosen by
// start parameters:
//   refuse-stop     OnStop leaves Stopped false (until a second stop)
//   raise-shutdown  OnShutdown raises
//   raise-timer     a 200 ms timer whose handler raises every time
//   no-execute      no OnExecute handler: the host waits on its queue
// User control 200 sends WM_ENDSESSION to the application's hidden window;
// 201 writes the process's handle count to HKLM\Software\Korvex\NimboraHostTest
// (value Handles); 202 writes MainThread 1 there once the application's
// window has answered a message. A refused stop writes StopRefused 1 there.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "svchost/ServiceApplication.h"
#include "svchost/Timer.h"

namespace nimbora {
namespace {

constexpr DWORD kEndSessionControl = 200;
constexpr DWORD kCountHandlesControl = 201;
constexpr DWORD kMainThreadControl = 202;
constexpr wchar_t kReportKey[] = L"Software\\Korvex\\NimboraHostTest";

void Report(const wchar_t* name, DWORD value) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kReportKey, name, REG_DWORD, &value, sizeof value);
}

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
                Report(L"StopRefused", 1);
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
            Report(L"Handles", count);
        }
        if (code == kMainThreadControl) {
            DWORD_PTR result = 0;
            if (SendMessageTimeoutW(Application().WindowApplication().Handle(), WM_NULL, 0, 0, SMTO_NORMAL, 5000,
                                    &result) != 0)
                Report(L"MainThread", 1);
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
