#pragma once
// What the desktop program last read, answered as the administrator's tool's
// machine, so that the program's verdict comes from the tool's own status
// (BuildStatus) without reading the registry or the service again. The
// program refreshes the parts when they change: the settings and batches when
// the settings key reports a change, the memory once a second, the service's
// state while its window is shown. It never writes through this: every
// write goes through nimbora.exe, elevated.

#include <map>

#include "admin/AdminSystem.h"

namespace nimbora {

class TraySnapshot final : public AdminSystem {
public:
    std::map<std::wstring, StoredSetting> settings;
    std::map<std::wstring, StoredSetting> policies;  // values Group Policy sets
    std::vector<std::pair<std::wstring, std::wstring>> batchValues;
    ServiceQuery service;
    MachineReadings machine;

    // Reads every setting of the table, its policy value and the batch
    // values from `source`.
    void ReadSettingsFrom(AdminSystem& source);

    std::optional<StoredSetting> ReadSetting(const std::wstring& name) override;
    std::optional<StoredSetting> ReadPolicy(const std::wstring& name) override;
    std::vector<std::pair<std::wstring, std::wstring>> ReadBatchValues() override { return batchValues; }
    ServiceQuery QueryService() override { return service; }
    MachineReadings ReadMachine() override { return machine; }
    std::uint32_t WriteSetting(const std::wstring&, std::uint32_t, const std::vector<std::uint8_t>&) override {
        return kErrorAccessDenied;
    }
    std::uint32_t DeleteSetting(const std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t SecureProgramFolder(std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t CreateServiceEntry(std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t UpdateServiceEntry(std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t SetServiceRecovery(std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t StartServiceAndWait(std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t StopServiceAndWait(std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t UnregisterService(std::wstring&) override { return kErrorAccessDenied; }
    std::uint32_t ControlService(ServiceControlAction, std::wstring&) override { return kErrorAccessDenied; }
};

}  // namespace nimbora
