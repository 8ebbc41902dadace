#include "svchost/Service.h"

#include "svchost/ServiceApplication.h"
#include "svchost/SystemMessage.h"

namespace nimbora {

namespace {

class Win32ServiceControl final : public ServiceControlApi {
public:
    SERVICE_STATUS_HANDLE RegisterHandler(const wchar_t* serviceName, LPHANDLER_FUNCTION handler) override {
        return RegisterServiceCtrlHandlerW(serviceName, handler);
    }
    bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) override {
        SERVICE_STATUS copy = status;
        return SetServiceStatus(handle, &copy) != FALSE;
    }
};

}  // namespace

ServiceControlApi& SystemServiceControl() {
    // Stateless: only dispatches to the platform.
    static Win32ServiceControl api;
    return api;
}

TService::TService(TServiceApplication& application, std::wstring name, ServiceControlApi& scm,
                   EventLogApi& eventLog)
    : application_(application), name_(std::move(name)), scm_(scm), eventLog_(eventLog) {}

TService::~TService() = default;

const MessageTexts& TService::Texts() const noexcept { return application_.Texts(); }

std::uint32_t TService::NativeServiceType() const noexcept {
    return nimbora::NativeServiceType(ServiceType, interactive_, application_.ServiceCount());
}

std::uint32_t TService::NativeControlsAccepted() const noexcept {
    return nimbora::NativeControlsAccepted(AllowStop, AllowPause);
}

void TService::SetInteractive(bool interactive) {
    interactive_ = interactive;
    if (interactive) {
        password_.clear();
        serviceStartName_.clear();
    }
}

void TService::SetServiceStartName(const std::wstring& account) {
    if (!account.empty() && account != serviceStartName_) interactive_ = false;
    serviceStartName_ = account;
}

void TService::SetPassword(const std::wstring& password) {
    if (!password.empty() && password != password_) interactive_ = false;
    password_ = password;
}

bool TService::Terminated() const noexcept {
    TServiceThread* thread = serviceThread_.load();
    return thread != nullptr && thread->Terminated();
}

void TService::LogMessage(const std::wstring& message, DWORD eventType, WORD category, DWORD id) noexcept {
    try {
        if (!logger_) logger_ = std::make_unique<TEventLogger>(name_, eventLog_);
        logger_->LogMessage(message, eventType, category, id);
    } catch (...) {
        // Logging never fails visibly.
    }
}

void TService::LogFailure(const std::wstring& action, const Exception& e) noexcept {
    try {
        LogMessage(Texts().FailedOn(action, e.Message()));
    } catch (...) {
    }
}

void TService::SetStatus(TCurrentStatus status) noexcept {
    status_ = status;
    ReportStatus();
}

void TService::ReportStatus() noexcept {
    const ServiceReportFields fields{NativeServiceType(), NativeControlsAccepted(), Win32ErrCode, ErrCode, WaitHint};
    const StatusReport r = BuildStatusReport(status_, fields, application_.Checkpoints());
    SERVICE_STATUS status{r.ServiceType,   r.CurrentState,           r.ControlsAccepted, r.Win32ExitCode,
                          r.ServiceSpecificExitCode, r.CheckPoint, r.WaitHint};
    if (!scm_.SetStatus(statusHandle_, status)) {
        const DWORD error = GetLastError();
        try {
            LogMessage(SystemErrorMessage(error));
        } catch (...) {
        }
    }
}

void TService::EnterService(DWORD argc, wchar_t** argv) {
    for (DWORD i = 0; i < argc; ++i) params_.emplace_back(argv[i] != nullptr ? argv[i] : L"");
    statusHandle_ = scm_.RegisterHandler(name_.c_str(), GetServiceController());
    if (statusHandle_ == nullptr) {
        const DWORD error = GetLastError();
        LogMessage(SystemErrorMessage(error));
        return;
    }
    RunServiceThread();
}

std::unique_ptr<TServiceThread> TService::CreateServiceThread() { return std::make_unique<TServiceThread>(*this); }

void TService::ForgetServiceThread() noexcept {
    serviceThread_ = nullptr;
    // N.B. a control handler that loaded the pointer before it was cleared
    // may still be using the object: it lives until every such use is over.
    while (controlsInFlight_.load() != 0) SwitchToThread();
}

void TService::RunServiceThread() {
    SetStatus(TCurrentStatus::csStartPending);
    try {
        const std::unique_ptr<TServiceThread> thread = CreateServiceThread();
        serviceThread_ = thread.get();
        thread->Start();
        thread->WaitFor();
        ForgetServiceThread();
    } catch (const Exception& e) {
        ForgetServiceThread();
        // N.B. the entry goes first: once stopped has been reported the
        // process may be torn down at any moment.
        LogFailure(Texts().Execute, e);
    } catch (...) {
        ForgetServiceThread();
        SetStatus(TCurrentStatus::csStopped);
        throw;
    }
    SetStatus(TCurrentStatus::csStopped);
}

void TService::PostControlCode(DWORD code) noexcept {
    // N.B. counted before the pointer is loaded, so that the ServiceMain
    // thread, which clears the pointer and then waits for the count to drop,
    // never destroys the thread object under this call.
    ++controlsInFlight_;
    TServiceThread* thread = serviceThread_.load();
    if (thread != nullptr) {
        scm_.PostControl(thread->ThreadId(), code);
        if (thread->Suspended()) thread->Resume();
    }
    --controlsInFlight_;
}

bool TService::HandleStop() {
    bool stopped = true;
    SetStatus(TCurrentStatus::csStopPending);
    if (OnStop) OnStop(*this, stopped);
    if (stopped) serviceThread_.load()->Terminate();
    return stopped;
}

bool TService::HandlePause() {
    bool paused = true;
    SetStatus(TCurrentStatus::csPausePending);
    if (OnPause) OnPause(*this, paused);
    if (!paused) return false;
    SetStatus(TCurrentStatus::csPaused);
    try {
        serviceThread_.load()->SuspendSelf();
    } catch (const Exception& e) {
        // N.B. the thread runs on: undo what the pause handler did (a timer
        // switched off), so that the running state the caller reports again
        // is true. Should that be refused, the service stays paused, which is
        // then the truth, and the thread serves the next request.
        bool continued = true;
        try {
            if (OnContinue) OnContinue(*this, continued);
        } catch (...) {
            continued = false;
        }
        if (continued) throw;
        LogFailure(Texts().ActionWord(SERVICE_CONTROL_PAUSE), e);
    }
    return true;
}

bool TService::HandleContinue() {
    bool continued = true;
    SetStatus(TCurrentStatus::csContinuePending);
    if (OnContinue) OnContinue(*this, continued);
    if (continued) SetStatus(TCurrentStatus::csRunning);
    return continued;
}

void TService::HandleInterrogate() { ReportStatus(); }

void TService::HandleShutdown() {
    SetStatus(TCurrentStatus::csStopPending);
    // N.B. the thread ends even when the handler raises; the error is still
    // reported by the caller.
    struct TerminateOnExit {
        TServiceThread* thread;
        ~TerminateOnExit() { thread->Terminate(); }
    } terminate{serviceThread_.load()};
    if (OnShutdown) OnShutdown(*this);
}

bool TService::HandleCustomControl(DWORD) { return true; }

void TService::ProcessRequest(DWORD code) {
    const TCurrentStatus old = status_;
    // N.B. once a stop or shutdown has been accepted the thread is marked
    // terminated: a pause would suspend it and a continue report it running,
    // and the stop would never complete. Both are refused; the stop-pending
    // state is reported again. The same holds once the execute loop has
    // ended without a stop (it swallowed an error): the thread is on its way
    // out, and a pause would suspend it there for good.
    const TServiceThread* thread = serviceThread_.load();
    const bool stopping = Terminated() || (thread != nullptr && thread->LoopEnded());
    try {
        bool actionOk = true;
        switch (code) {
            case SERVICE_CONTROL_STOP: actionOk = HandleStop(); break;
            case SERVICE_CONTROL_PAUSE: actionOk = !stopping && HandlePause(); break;
            case SERVICE_CONTROL_CONTINUE: actionOk = !stopping && HandleContinue(); break;
            case SERVICE_CONTROL_INTERROGATE: HandleInterrogate(); break;
            case SERVICE_CONTROL_SHUTDOWN: HandleShutdown(); break;
            default: actionOk = HandleCustomControl(code); break;
        }
        if (!actionOk) SetStatus(old);
    } catch (const Exception& e) {
        if (code != SERVICE_CONTROL_SHUTDOWN) SetStatus(old);
        if (code >= 1 && code <= 5)
            LogFailure(Texts().ActionWord(code), e);
        else
            LogMessage(Texts().FailedInCustom(code, e.Message()));
    }
}

void TServiceThread::ProcessRequests(bool waitForMessage) {
    for (;;) {
        if (waitForMessage && Terminated()) return;
        MSG message;
        if (waitForMessage) {
            if (GetMessageW(&message, nullptr, 0, 0) <= 0) return;
        } else if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            return;
        }
        if (message.hwnd != nullptr || message.message != ServiceControlMessage) {
            DispatchMessageW(&message);
            continue;
        }
        service_.ProcessRequest(static_cast<DWORD>(message.wParam));
    }
}

void TServiceThread::Execute() {
    MSG m;
    PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
    TService& s = service_;
    bool running = false;
    try {
        if (s.Application().DelayInitialize) s.Application().Initialize();
        s.SetStatus(TCurrentStatus::csStartPending);
        bool started = true;
        if (s.OnStart) s.OnStart(s, started);
        if (!started) return;
        running = true;
        s.SetStatus(TCurrentStatus::csRunning);
        if (s.OnExecute)
            s.OnExecute(s);
        else
            ProcessRequests(true);
        loopEnded_ = true;
        ProcessRequests(false);
    } catch (const Exception& e) {
        s.LogFailure(running ? s.Texts().Execute : s.Texts().Start, e);
    }
}

}  // namespace nimbora
