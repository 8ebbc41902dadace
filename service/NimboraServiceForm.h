#pragma once
// The Nimbora service module: the one service the process hosts. Its timer
// drives the maintenance tick once a second on the main thread; the service
// events open the way for the tick and switch the timer off and on; the
// installation hooks give the service its localized name and description.

#include <atomic>

#include "service/MaintenanceTick.h"
#include "service/TickPlatform.h"
#include "svchost/Service.h"
#include "svchost/ServiceApplication.h"
#include "svchost/Timer.h"

namespace nimbora {

class TNimbora final : public TService {
public:
    explicit TNimbora(TServiceApplication& application, ServiceControlApi& scm = SystemServiceControl());

    TTimer MainTimer;
    // Set by the start handler and never cleared: the tick acts only once set.
    bool ServiceStarted() const noexcept { return serviceStarted_; }
    const MaintenanceTick& Tick() const noexcept { return tick_; }

    void MainTimerTimer();
    void ServiceStart(TService& sender, bool& started);
    void ServiceStop(TService& sender, bool& stopped);
    void ServicePause(TService& sender, bool& paused);
    void ServiceContinue(TService& sender, bool& continued);
    void ServiceShutdown(TService& sender);
    void ServiceExecute(TService& sender);
    void ServiceBeforeInstall(TService& sender);
    void ServiceAfterInstall(TService& sender);

protected:
    LPHANDLER_FUNCTION GetServiceController() override;

private:
    // Switches the timer; a refused timer is swallowed, keeping the request accepted.
    void SwitchTimer(bool enabled) noexcept;

    std::atomic<bool> serviceStarted_{false};
    TickPlatform platform_;
    MaintenanceTick tick_;
};

// The process's module, for the control handler, which the platform calls
// without any context of its own.
extern TNimbora* ServiceModule;

// The registered control handler: forwards every code to ServiceModule.
void WINAPI ServiceController(DWORD code);

}  // namespace nimbora
