#include "svchost/ServiceStatus.h"

namespace nimbora {

std::uint32_t Win32State(TCurrentStatus status) noexcept { return static_cast<std::uint32_t>(status) + 1; }

bool IsPending(TCurrentStatus status) noexcept {
    switch (status) {
        case TCurrentStatus::csStartPending:
        case TCurrentStatus::csStopPending:
        case TCurrentStatus::csContinuePending:
        case TCurrentStatus::csPausePending:
            return true;
        default:
            return false;
    }
}

std::uint32_t NativeServiceType(TServiceType type, bool interactive, int serviceCount) noexcept {
    switch (type) {
        case TServiceType::stDevice:
            return 0x1;
        case TServiceType::stFileSystem:
            return 0x2;
        case TServiceType::stWin32:
            break;
    }
    std::uint32_t result = serviceCount > 1 ? kServiceWin32ShareProcess : kServiceWin32OwnProcess;
    if (interactive) result |= kServiceInteractiveProcess;
    return result;
}

std::uint32_t NativeControlsAccepted(bool allowStop, bool allowPause) noexcept {
    std::uint32_t result = 4;  // SERVICE_ACCEPT_SHUTDOWN
    if (allowStop) result |= 1;
    if (allowPause) result |= 2;
    return result;
}

std::uint32_t NativeStartType(TStartType start, TServiceType type) noexcept {
    if ((start == TStartType::stBoot || start == TStartType::stSystem) && type != TServiceType::stDevice)
        return 2;  // SERVICE_AUTO_START
    return static_cast<std::uint32_t>(start);
}

std::uint32_t NativeErrorControl(TErrorSeverity severity) noexcept { return static_cast<std::uint32_t>(severity); }

std::wstring NativeDependencies(const std::vector<TDependency>& dependencies) {
    if (dependencies.empty()) return {};
    std::wstring list;
    for (const TDependency& d : dependencies) {
        if (d.IsGroup) list += L'+';
        list += d.Name;
        list += L'\0';
    }
    list += L'\0';
    return list;
}

std::uint32_t CheckpointTracker::Next(TCurrentStatus status) noexcept {
    const std::uint32_t checkpoint = (IsPending(status) && status == lastReported_) ? lastCheckpoint_ + 1 : 0;
    lastReported_ = status;
    lastCheckpoint_ = checkpoint;
    return checkpoint;
}

StatusReport BuildStatusReport(TCurrentStatus status, const ServiceReportFields& fields, CheckpointTracker& tracker) noexcept {
    StatusReport r{};
    r.ServiceType = fields.ServiceType;
    r.CurrentState = Win32State(status);
    r.ControlsAccepted = status == TCurrentStatus::csStartPending ? 0 : fields.ControlsAccepted;
    r.Win32ExitCode = fields.ErrCode != 0 ? kErrorServiceSpecificError : fields.Win32ErrCode;
    r.ServiceSpecificExitCode = fields.ErrCode;
    r.CheckPoint = tracker.Next(status);
    r.WaitHint = fields.WaitHint;
    return r;
}

}  // namespace nimbora
