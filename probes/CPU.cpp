#include "probes/CPU.h"

#include <windows.h>

#include <algorithm>

#include "probes/WindowsVersion.h"
#include "probes/LateBound.h"

namespace nimbora {

namespace {

// STATUS_UNSUCCESSFUL: the query could not be made at all.
constexpr std::uint32_t kQueryUnavailable = 0xC0000001;

using NtQuerySystemInformationProc = std::int32_t(WINAPI*)(std::uint32_t infoClass, void* buffer,
                                                             std::uint32_t length, std::uint32_t* returnLength);
using GetLogicalProcessorInformationExProc = BOOL(WINAPI*)(LOGICAL_PROCESSOR_RELATIONSHIP relationship,
                                                           SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX* buffer,
                                                           DWORD* length);

static_assert(sizeof(ProcessorGroupInfo) == sizeof(PROCESSOR_GROUP_INFO));
static_assert(offsetof(GroupRelationRecord, groups) ==
              offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, Group) + offsetof(GROUP_RELATIONSHIP, GroupInfo));
static_assert(kRelationGroup == RelationGroup);

// Every active logical processor of the machine. The group records (Windows
// 7 and later) count every processor of every group, also to a 32-bit
// process on 64-bit Windows, whose other views (the basic record, and
// GetActiveProcessorCount under WOW64) can stop at 32. Before Windows 7
// there is one group, which the native system information counts.
std::uint32_t MachineProcessorCount() noexcept {
    try {
        // N.B. a few groups of a few dozen bytes each: the stack holds them.
        alignas(8) std::uint8_t records[2048];
        DWORD length = sizeof records;
        const BOOL read = CallLateBound<GetLogicalProcessorInformationExProc>(
            L"kernel32.dll", "GetLogicalProcessorInformationEx", FALSE, RelationGroup,
            reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(records), &length);
        if (read) {
            const std::uint32_t processors = ActiveProcessorsOfGroups(records, std::min<DWORD>(length, sizeof records));
            if (processors != 0) return processors;
        }
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
