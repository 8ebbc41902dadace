#include "probes/CPU.h"

#include <windows.h>

#include "probes/WindowsVersion.h"
#include "probes/LateBound.h"

namespace nimbora {

namespace {

// STATUS_UNSUCCESSFUL: the query could not be made at all.
constexpr std::uint32_t kQueryUnavailable = 0xC0000001;

using NtQuerySystemInformationProc = std::int32_t(WINAPI*)(std::uint32_t infoClass, void* buffer,
                                                             std::uint32_t length, std::uint32_t* returnLength);
using GetActiveProcessorCountProc = DWORD(WINAPI*)(WORD groupNumber);

// Every active logical processor of the machine. Windows 7 and later count
// all processor groups, also for a 32-bit process on 64-bit Windows; before
// that, the native system information counts the machine's processors where
// a 32-bit process's own view stops at 32.
std::uint32_t MachineProcessorCount() noexcept {
    try {
        const DWORD all = CallLateBound<GetActiveProcessorCountProc>(L"kernel32.dll", "GetActiveProcessorCount",
                                                                     DWORD{0}, WORD{ALL_PROCESSOR_GROUPS});
        if (all != 0) return all;
        SYSTEM_INFO native{};
        GetNativeSystemInfo(&native);
        return native.dwNumberOfProcessors;
    } catch (...) {
        return 0;
    }
}

class PlatformSystemInformation final : public SystemInformationSource {
public:
    std::uint32_t Query(std::uint32_t infoClass, void* buffer, std::uint32_t length) override {
        return QuerySystemInformation(infoClass, buffer, length, nullptr);
    }
    std::int32_t WindowsVersion() override { return GetWindowsVersion(); }
    std::uint32_t ActiveProcessorCount() override { return MachineProcessorCount(); }
};

}  // namespace

std::uint32_t QuerySystemInformation(std::uint32_t infoClass, void* buffer, std::uint32_t length,
                                     std::uint32_t* returnLength) noexcept {
    try {
        return CallLateBound<NtQuerySystemInformationProc>(L"ntdll.dll", "NtQuerySystemInformation",
                                                           kQueryUnavailable, infoClass, buffer, length, returnLength);
    } catch (...) {
        return kQueryUnavailable;
    }
}

double ProcessorSampler::GetProcessorUsage() noexcept {
    PlatformSystemInformation source;
    return SampleProcessorLoad(state_, source);
}

}  // namespace nimbora
