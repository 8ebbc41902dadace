#pragma once
// A hosted service as the Service Control Manager drives it: ServiceMain work,
// the service thread that raises every service event, control requests
// carried from the dispatcher thread to the service thread as thread messages,
// and the status reports.
//
// Threads: EnterService runs on the ServiceMain thread the manager creates;
// PostControlCode on the dispatcher thread; every event handler and every
// report in between on the service thread. The ServiceMain thread reports only
// before the service thread starts and after it has ended, so reports of one
// service never overlap.

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "svchost/EventLogger.h"
#include "svchost/Exception.h"
#include "svchost/Messages.h"
#include "svchost/ServiceStatus.h"
#include "svchost/Thread.h"

namespace nimbora {

class TService;
class TServiceApplication;

// The thread message that carries a control code (wParam) to the service thread.
inline constexpr UINT ServiceControlMessage = WM_USER + 1;

// The two manager calls a service makes, so a test can record every report,
// and the post that hands a control code to the service thread.
class ServiceControlApi {
public:
    virtual ~ServiceControlApi() = default;
    virtual SERVICE_STATUS_HANDLE RegisterHandler(const wchar_t* serviceName, LPHANDLER_FUNCTION handler) = 0;
    virtual bool SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) = 0;
    virtual void PostControl(DWORD threadId, DWORD code) {
        PostThreadMessageW(threadId, ServiceControlMessage, code, 0);
    }
};
ServiceControlApi& SystemServiceControl();

class TServiceThread : public TThread {
public:
    explicit TServiceThread(TService& service) : service_(service) {}
    // Serves the thread's queue. Waiting: blocks until a handled request has
    // marked the thread terminated (or WM_QUIT). Not waiting: serves what is
    // queued and returns when the queue is empty.
    void ProcessRequests(bool waitForMessage);
    // The execute handler (or the waiting loop) has returned: what is left
    // in the queue is served on the way out, and the service ends.
    bool LoopEnded() const noexcept { return loopEnded_; }

protected:
    void Execute() override;

private:
    TService& service_;
    std::atomic<bool> loopEnded_{false};
};

using TServiceEvent = std::function<void(TService& sender)>;
using TFlagEvent = std::function<void(TService& sender, bool& flag)>;

class TService {
public:
    TService(TServiceApplication& application, std::wstring name, ServiceControlApi& scm = SystemServiceControl(),
             EventLogApi& eventLog = SystemEventLog());
    virtual ~TService();
    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    // ServiceMain work: registers the control handler, runs the service thread
    // to its end, reports start pending first and stopped last.
    void EnterService(DWORD argc, wchar_t** argv);
    // Dispatcher thread: hands a control code to the service thread and wakes
    // it when it is paused. Dropped when there is no service thread. Takes no
    // lock: the ServiceMain thread keeps the thread object until every call
    // that may have loaded it has returned.
    void PostControlCode(DWORD code) noexcept;

    void ReportStatus() noexcept;
    TCurrentStatus Status() const noexcept { return status_; }
    void SetStatus(TCurrentStatus status) noexcept;

    // Writes one entry under the service's own event source (its Name at the
    // first entry).
    void LogMessage(const std::wstring& message, DWORD eventType = EVENTLOG_ERROR_TYPE, WORD category = 0,
                    DWORD id = 0) noexcept;

    bool Terminated() const noexcept;
    TServiceThread* ServiceThread() const noexcept { return serviceThread_.load(); }
    std::size_t ParamCount() const noexcept { return params_.size(); }
    const std::wstring& Param(std::size_t index) const { return params_.at(index); }

    const std::wstring& Name() const noexcept { return name_; }
    // DisplayName, or Name when it is empty.
    const std::wstring& GetDisplayName() const noexcept { return DisplayName.empty() ? name_ : DisplayName; }
    std::uint32_t NativeServiceType() const noexcept;
    std::uint32_t NativeControlsAccepted() const noexcept;
    std::uint32_t NativeStartType() const noexcept { return nimbora::NativeStartType(StartType, ServiceType); }
    std::uint32_t NativeErrorControl() const noexcept { return nimbora::NativeErrorControl(ErrorSeverity); }
    std::wstring NativeDependencies() const { return nimbora::NativeDependencies(Dependencies); }

    // The manager's handle for one install or uninstall; see ServiceInstaller.
    void InstallService(SC_HANDLE manager);
    void UninstallService(SC_HANDLE manager);

    // Installing an account excludes the interactive flag and the other way round.
    bool Interactive() const noexcept { return interactive_; }
    void SetInteractive(bool interactive);
    const std::wstring& ServiceStartName() const noexcept { return serviceStartName_; }
    void SetServiceStartName(const std::wstring& account);
    const std::wstring& Password() const noexcept { return password_; }
    void SetPassword(const std::wstring& password);

    std::wstring DisplayName;
    bool AllowStop = true;
    bool AllowPause = true;
    TServiceType ServiceType = TServiceType::stWin32;
    TStartType StartType = TStartType::stAuto;
    TErrorSeverity ErrorSeverity = TErrorSeverity::esNormal;
    std::wstring LoadGroup;
    DWORD TagID = 0;
    TDependencies Dependencies;
    DWORD WaitHint = 5000;
    DWORD ErrCode = 0;
    DWORD Win32ErrCode = 0;

    TFlagEvent OnStart, OnStop, OnPause, OnContinue;
    TServiceEvent OnExecute, OnShutdown;
    TServiceEvent BeforeInstall, AfterInstall, BeforeUninstall, AfterUninstall;

protected:
    // The routine registered as the service's control handler; it must pass
    // each code to PostControlCode of this object and let nothing escape.
    virtual LPHANDLER_FUNCTION GetServiceController() = 0;

    virtual void RunServiceThread();
    // The service thread object, created suspended; raises when the
    // platform refuses the thread.
    virtual std::unique_ptr<TServiceThread> CreateServiceThread();
    virtual bool HandleStop();
    virtual bool HandlePause();
    virtual bool HandleContinue();
    virtual void HandleInterrogate();
    virtual void HandleShutdown();
    virtual bool HandleCustomControl(DWORD code);

    TServiceApplication& Application() const noexcept { return application_; }
    const MessageTexts& Texts() const noexcept;

private:
    friend class TServiceThread;
    void ProcessRequest(DWORD code);
    void LogFailure(const std::wstring& action, const Exception& e) noexcept;
    // Clears the service-thread pointer and waits until no control handler
    // still uses the object it named.
    void ForgetServiceThread() noexcept;

    TServiceApplication& application_;
    std::wstring name_;
    ServiceControlApi& scm_;
    EventLogApi& eventLog_;  // where the ServiceLogger writes
    std::vector<std::wstring> params_;
    std::unique_ptr<TEventLogger> logger_;
    // Set by the ServiceMain thread while the service thread exists; read by
    // the dispatcher thread.
    std::atomic<TServiceThread*> serviceThread_{nullptr};
    // Control handlers between loading serviceThread_ and their last use of
    // the object; the ServiceMain thread keeps the object until this is 0.
    std::atomic<int> controlsInFlight_{0};
    SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
    std::atomic<TCurrentStatus> status_{TCurrentStatus::csStopped};
    bool interactive_ = false;
    std::wstring serviceStartName_;
    std::wstring password_;
};

}  // namespace nimbora
