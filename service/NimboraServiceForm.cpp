#include "service/NimboraServiceForm.h"

#include "settings/Captions.h"
#include "settings/CustomRegistry.h"
#include "settings/SettingsKeys.h"

namespace nimbora {

TNimbora* ServiceModule = nullptr;

void WINAPI ServiceController(DWORD code) {
    try {
        if (ServiceModule != nullptr) ServiceModule->PostControlCode(code);
    } catch (...) {
    }
}

TNimbora::TNimbora(TServiceApplication& application, ServiceControlApi& scm)
    : TService(application, L"Nimbora", scm),
      MainTimer(application.WindowApplication(), application.Texts().TimersExhausted),
      platform_(application.WindowApplication().Handle()),
      tick_(platform_, platform_, platform_) {
    DisplayName = L"Nimbora";
    BeforeInstall = [this](TService& s) { ServiceBeforeInstall(s); };
    AfterInstall = [this](TService& s) { ServiceAfterInstall(s); };
    OnStart = [this](TService& s, bool& f) { ServiceStart(s, f); };
    OnStop = [this](TService& s, bool& f) { ServiceStop(s, f); };
    OnPause = [this](TService& s, bool& f) { ServicePause(s, f); };
    OnContinue = [this](TService& s, bool& f) { ServiceContinue(s, f); };
    OnShutdown = [this](TService& s) { ServiceShutdown(s); };
    OnExecute = [this](TService& s) { ServiceExecute(s); };
    // N.B. binding the handler starts the timer: it runs from here on, and its
    // ticks do nothing until the start handler has run.
    MainTimer.SetOnTimer([this] { MainTimerTimer(); });
}

LPHANDLER_FUNCTION TNimbora::GetServiceController() { return &ServiceController; }

void TNimbora::MainTimerTimer() { tick_.Run(serviceStarted_); }

void TNimbora::SwitchTimer(bool enabled) noexcept {
    try {
        MainTimer.SetEnabled(enabled);
    } catch (...) {
    }
}

void TNimbora::ServiceStart(TService&, bool& started) {
    started = true;
    serviceStarted_ = true;
}

// N.B. the flags arrive set: a refused timer leaves them so, and the request
// is accepted all the same.
void TNimbora::ServiceStop(TService&, bool& stopped) {
    SwitchTimer(false);
    stopped = true;
}

void TNimbora::ServicePause(TService&, bool& paused) {
    SwitchTimer(false);
    paused = true;
}

void TNimbora::ServiceContinue(TService&, bool& continued) {
    SwitchTimer(true);
    continued = true;
}

void TNimbora::ServiceShutdown(TService&) { SwitchTimer(false); }

void TNimbora::ServiceExecute(TService&) {
    try {
        while (!Terminated()) {
            Sleep(500);
            ServiceThread()->ProcessRequests(false);
        }
    } catch (...) {
    }
}

void TNimbora::ServiceBeforeInstall(TService&) {
    try {
        std::wstring text;
        GetCaption(Name(), L"DisplayName", text);
        // An empty caption leaves the display name empty, so the Name is used.
        DisplayName = text;
    } catch (...) {
    }
}

void TNimbora::ServiceAfterInstall(TService&) {
    try {
        std::wstring text;
        GetCaption(Name(), L"Description", text);
        RegWriteString(HKEY_LOCAL_MACHINE, ServiceKey, kDescription, text);
    } catch (...) {
    }
}

}  // namespace nimbora
