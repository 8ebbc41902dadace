#pragma once
// The service's states and configuration as the Service Control Manager sees
// them: the fields of every status report, and the native values that an
// installation passes on. Portable: the Win32 numbers are defined here.

#include <cstdint>
#include <string>
#include <vector>

namespace nimbora {

enum class TCurrentStatus { csStopped, csStartPending, csStopPending, csRunning, csContinuePending, csPausePending, csPaused };
enum class TServiceType { stWin32, stDevice, stFileSystem };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled };
enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };

// SERVICE_STOPPED (1) .. SERVICE_PAUSED (7).
std::uint32_t Win32State(TCurrentStatus status) noexcept;
bool IsPending(TCurrentStatus status) noexcept;

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceWin32ShareProcess = 0x20;
inline constexpr std::uint32_t kServiceInteractiveProcess = 0x100;
inline constexpr std::uint32_t kErrorServiceSpecificError = 1066;

std::uint32_t NativeServiceType(TServiceType type, bool interactive, int serviceCount) noexcept;
std::uint32_t NativeControlsAccepted(bool allowStop, bool allowPause) noexcept;
// Boot and system start are for device drivers only; others start automatically.
std::uint32_t NativeStartType(TStartType start, TServiceType type) noexcept;
std::uint32_t NativeErrorControl(TErrorSeverity severity) noexcept;

struct TDependency {
    std::wstring Name;
    bool IsGroup = false;  // the name denotes a load-order group
};
using TDependencies = std::vector<TDependency>;

// A double-NUL-terminated list ("+" before a group), or the empty text when
// there are no dependencies. An empty name still contributes its NUL.
std::wstring NativeDependencies(const std::vector<TDependency>& dependencies);

// The record sent by one status report, in the order of SERVICE_STATUS.
struct StatusReport {
    std::uint32_t ServiceType;
    std::uint32_t CurrentState;
    std::uint32_t ControlsAccepted;
    std::uint32_t Win32ExitCode;
    std::uint32_t ServiceSpecificExitCode;
    std::uint32_t CheckPoint;
    std::uint32_t WaitHint;
    bool operator==(const StatusReport&) const = default;
};

// The last reported state and checkpoint, shared by every service of the
// process. The first start-pending report carries checkpoint 1.
class CheckpointTracker {
public:
    // The checkpoint for a report of `status`: one more than the last when the
    // same pending state is reported again, otherwise 0. Remembers the result.
    std::uint32_t Next(TCurrentStatus status) noexcept;

private:
    TCurrentStatus lastReported_ = TCurrentStatus::csStartPending;
    std::uint32_t lastCheckpoint_ = 0;
};

struct ServiceReportFields {
    std::uint32_t ServiceType;
    std::uint32_t ControlsAccepted;  // used in every state but start pending
    std::uint32_t Win32ErrCode;
    std::uint32_t ErrCode;
    std::uint32_t WaitHint;
};
StatusReport BuildStatusReport(TCurrentStatus status, const ServiceReportFields& fields, CheckpointTracker& tracker) noexcept;

}  // namespace nimbora
