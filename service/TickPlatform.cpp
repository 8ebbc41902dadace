#include "service/TickPlatform.h"

#include "probes/RAM.h"
#include "service/Shell.h"
#include "settings/CustomRegistry.h"
#include "settings/SettingsKeys.h"
#include "svchost/ServiceApplication.h"

namespace nimbora {

std::int32_t TickPlatform::ReadInteger(const wchar_t* name, std::int32_t defaultValue) {
    return settings_.ReadInteger(name, defaultValue);
}

bool TickPlatform::ReadBool(const wchar_t* name, bool defaultValue) {
    return settings_.ReadBool(name, defaultValue);
}

std::int64_t TickPlatform::TotalPhysicalMemory() { return GetTotalPhysicalMemory(); }

std::int64_t TickPlatform::AvailablePhysicalMemory() { return GetAvailablePhysicalMemory(); }

double TickPlatform::ProcessorUsage() { return sampler_.GetProcessorUsage(); }

// The 64-bit count does not wrap after 49.7 days as the 32-bit one does.
std::uint64_t TickPlatform::TickCount() { return GetTickCount64(); }

std::uint8_t TickPlatform::AcLineStatus() {
    SYSTEM_POWER_STATUS status;
    // A failed query leaves the record unfilled: report "unknown", never "offline".
    if (!GetSystemPowerStatus(&status)) return 255;
    return status.ACLineStatus;
}

std::wstring TickPlatform::ExecutableFolder() {
    const std::wstring path = ExecutablePath();
    return path.substr(0, path.find_last_of(L"\\:") + 1);
}

void TickPlatform::Open(const std::wstring& file, const std::wstring& parameters) {
    ShellOpen(owner_, file, parameters);
}

}  // namespace nimbora
