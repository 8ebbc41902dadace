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

class PlatformSystemInformation final : public SystemInformationSource {
public:
    std::uint32_t Query(std::uint32_t infoClass, void* buffer, std::uint32_t length) override {
        return QuerySystemInformation(infoClass, buffer, length, nullptr);
    }
    std::int32_t WindowsVersion() override { return GetWindowsVersion(); }
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
