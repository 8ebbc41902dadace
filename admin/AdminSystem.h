#pragma once
// What the administrator's tool asks of the machine, behind one interface so
// that the commands run in a test against a scripted machine. The Windows
// shell (AdminPlatform) answers from the registry's 32-bit view of the
// settings key, the Service Control Manager and the probes.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nimbora {

// Win32 error codes the commands tell apart.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;

// Service states as the Service Control Manager numbers them.
enum class ServiceState : std::uint32_t {
    ssStopped = 1,
    ssStartPending = 2,
    ssStopPending = 3,
    ssRunning = 4,
    ssContinuePending = 5,
    ssPausePending = 6,
    ssPaused = 7,
};

inline constexpr std::uint32_t kStartDisabled = 4;

struct ServiceQuery {
    bool installed = false;
    std::uint32_t error = kErrorSuccess;  // a failed query other than "not installed"
    ServiceState state = ServiceState::ssStopped;
    std::uint32_t processId = 0;
    std::wstring displayName;
    std::wstring binaryPath;
    std::wstring account;
    std::uint32_t startType = 0;  // 2 automatic, 3 on demand, 4 disabled (kStartDisabled)
};

struct MachineReadings {
    std::int64_t totalBytes = 0;
    std::int64_t availableBytes = 0;
    double processorLoad = 0;      // percent over one second
    std::uint8_t acLineStatus = 255;
    std::uint64_t tickCount = 0;   // milliseconds since the machine started
    std::uint64_t nowUtc = 0;      // FILETIME
};

// What `nimbora start`, `stop`, `pause` and `continue` ask of the service.
enum class ServiceControlAction { caStart, caStop, caPause, caContinue };

// A value as the registry holds it.
struct StoredSetting {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
};

class AdminSystem {
public:
    virtual ~AdminSystem() = default;
    // The named value under the settings key; nothing when it is missing.
    virtual std::optional<StoredSetting> ReadSetting(const std::wstring& name) = 0;
    // The named value under the policy key (64-bit view); nothing when missing.
    virtual std::optional<StoredSetting> ReadPolicy(const std::wstring& name) = 0;
    // Win32 error codes; kErrorSuccess when done.
    virtual std::uint32_t WriteSetting(const std::wstring& name, std::uint32_t type,
                                       const std::vector<std::uint8_t>& bytes) = 0;
    virtual std::uint32_t DeleteSetting(const std::wstring& name) = 0;
    // The text values under the Batches subkey: name and text.
    virtual std::vector<std::pair<std::wstring, std::wstring>> ReadBatchValues() = 0;
    virtual ServiceQuery QueryService() = 0;
    // Takes about a second: the processor load is measured over one.
    virtual MachineReadings ReadMachine() = 0;
    // The installer's steps. Each returns a Win32 error code, with `detail`
    // saying what failed.
    // Gives the folder of the programs a protected access list: full control
    // for LocalSystem and the Administrators, read and execute for Users,
    // inherited by its files, whatever the folder it was installed under.
    virtual std::uint32_t SecureProgramFolder(std::wstring& detail) = 0;
    // Registers the service through the product's own /install.
    virtual std::uint32_t CreateServiceEntry(std::wstring& detail) = 0;
    // Points the registered service at the product beside this tool and
    // names it from the Language setting's caption table; its start type,
    // account, recovery actions and permissions stay as they are.
    virtual std::uint32_t UpdateServiceEntry(std::wstring& detail) = 0;
    // Recovery: restart a minute after each failure, the count of failures
    // reset after a day.
    virtual std::uint32_t SetServiceRecovery(std::wstring& detail) = 0;
    // Starts the service and waits until it runs.
    virtual std::uint32_t StartServiceAndWait(std::wstring& detail) = 0;
    // Stops the service and waits until it and the programs it started from
    // its folder have ended; success when it is not installed or not running.
    virtual std::uint32_t StopServiceAndWait(std::wstring& detail) = 0;
    // Stops and removes the service; success when it is not installed.
    virtual std::uint32_t UnregisterService(std::wstring& detail) = 0;
    // Asks the service to start, stop, pause or continue and waits until it
    // reports the state that follows. Win32 error code, with `detail` saying
    // what failed.
    virtual std::uint32_t ControlService(ServiceControlAction action, std::wstring& detail) = 0;
};

}  // namespace nimbora
