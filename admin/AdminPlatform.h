#pragma once
// The administrator's tool on a real Windows machine: the settings key in the
// registry's 32-bit view (the view the 32-bit service reads, in both builds),
// the Service Control Manager, the probes, and the product's own installer
// for the service's registration.

#include "admin/AdminSystem.h"

namespace nimbora {

class AdminPlatform final : public AdminSystem {
public:
    std::optional<StoredSetting> ReadSetting(const std::wstring& name) override;
    std::optional<StoredSetting> ReadPolicy(const std::wstring& name) override;
    std::uint32_t WriteSetting(const std::wstring& name, std::uint32_t type,
                               const std::vector<std::uint8_t>& bytes) override;
    std::uint32_t DeleteSetting(const std::wstring& name) override;
    std::vector<std::pair<std::wstring, std::wstring>> ReadBatchValues() override;
    ServiceQuery QueryService() override;
    MachineReadings ReadMachine() override;
    std::uint32_t SecureProgramFolder(std::wstring& detail) override;
    std::uint32_t CreateServiceEntry(std::wstring& detail) override;
    std::uint32_t UpdateServiceEntry(std::wstring& detail) override;
    std::uint32_t SetServiceRecovery(std::wstring& detail) override;
    std::uint32_t StartServiceAndWait(std::wstring& detail) override;
    std::uint32_t StopServiceAndWait(std::wstring& detail) override;
    std::uint32_t UnregisterService(std::wstring& detail) override;
    std::uint32_t ControlService(ServiceControlAction action, std::wstring& detail) override;
};

}  // namespace nimbora
