#pragma once
// The maintenance tick's view of a real Windows machine: settings from the
// registry, memory and processor probes, uptime, power status, and launches
// through the shell.

#include <windows.h>

#include "probes/CPU.h"
#include "service/MaintenanceTick.h"
#include "settings/LayeredSettings.h"

namespace nimbora {

class TickPlatform final : public TickSettings, public TickMachine, public ProgramLauncher {
public:
    // `owner` is the window that owns the launched programs.
    explicit TickPlatform(HWND owner) noexcept : owner_(owner) {}

    std::int32_t ReadInteger(const wchar_t* name, std::int32_t defaultValue) override;
    bool ReadBool(const wchar_t* name, bool defaultValue) override;

    std::int64_t TotalPhysicalMemory() override;
    std::int64_t AvailablePhysicalMemory() override;
    double ProcessorUsage() override;
    std::uint64_t TickCount() override;
    std::uint8_t AcLineStatus() override;
    std::wstring ExecutableFolder() override;

    void Open(const std::wstring& file, const std::wstring& parameters) override;

private:
    HWND owner_;
    ProcessorSampler sampler_;  // the process's one processor sampler
    LayeredSettings settings_;  // policy, then the settings key, then the default
};

}  // namespace nimbora
