#include "probes/ProcessorLoad.h"

#include <algorithm>
#include <cstring>

#include "probes/Rounding.h"

namespace nimbora {

std::uint32_t PerformanceInformationLength(std::int32_t versionCode) noexcept {
    return versionCode >= 5 ? 1000 : 312;
}

double LargeIntegerToDouble(std::int64_t value) noexcept {
    const auto bits = static_cast<std::uint64_t>(value);
    const auto high = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32));
    const auto low = static_cast<std::uint32_t>(bits);
    return static_cast<double>(high) * 4294967296.0 + static_cast<double>(low);
}

double ComputeProcessorLoad(std::int64_t idleTime, std::int64_t lastIdleTime, std::int64_t systemTime,
                            std::int64_t lastSystemTime, std::uint32_t processorCount) {
    const ExtendedPrecision precision;
    // N.B. the differences are taken between the converted values, not
    // between the integers.
    const Real idle = Real{LargeIntegerToDouble(idleTime)} - Real{LargeIntegerToDouble(lastIdleTime)};
    const Real elapsed = Real{LargeIntegerToDouble(systemTime)} - Real{LargeIntegerToDouble(lastSystemTime)};
    const Real idleFraction = Divide(idle, elapsed);
    Real load = 100 - Divide(idleFraction * 100, processorCount) + 0.5L;
    // N.B. the clamps come after the bias: an idle interval gives 0.5, a busy
    // one 100.
    if (load < 0) load = 0;
    if (load > 100) load = 100;
    return static_cast<double>(load);
}

std::uint32_t IdleTimeProcessorCount(std::uint8_t basicCount, std::uint32_t systemCount) noexcept {
    return std::max<std::uint32_t>(basicCount, systemCount);
}

std::uint32_t ActiveProcessorsOfGroups(const std::uint8_t* records, std::size_t length) noexcept {
    constexpr std::size_t kHeader = offsetof(GroupRelationRecord, groups);
    std::uint32_t processors = 0;
    std::size_t offset = 0;
    while (records != nullptr && length - offset >= 8) {
        std::uint32_t relationship = 0, size = 0;
        std::memcpy(&relationship, records + offset, sizeof relationship);
        std::memcpy(&size, records + offset + 4, sizeof size);
        if (size < 8 || size > length - offset) break;
        if (relationship == kRelationGroup && size >= kHeader) {
            std::uint16_t activeGroups = 0;
            std::memcpy(&activeGroups, records + offset + offsetof(GroupRelationRecord, activeGroupCount),
                        sizeof activeGroups);
            for (std::size_t g = 0; g < activeGroups; ++g) {
                const std::size_t at = offset + kHeader + g * sizeof(ProcessorGroupInfo);
                if (at + sizeof(ProcessorGroupInfo) > offset + size) break;
                processors += records[at + offsetof(ProcessorGroupInfo, activeProcessorCount)];
            }
        }
        offset += size;
    }
    return processors;
}

double ProcessorLoadState::Update(std::int64_t idleTime, std::int64_t systemTime,
                                  std::uint32_t processorCount) noexcept {
    double load = 0;
    if (lastIdleTime_ != 0) {
        try {
            load = ComputeProcessorLoad(idleTime, lastIdleTime_, systemTime, lastSystemTime_, processorCount);
        } catch (...) {
            return 0;
        }
    }
    lastIdleTime_ = idleTime;
    lastSystemTime_ = systemTime;
    return load;
}

double SampleProcessorLoad(ProcessorLoadState& state, SystemInformationSource& source) noexcept {
    try {
        SystemBasicInformation basic{};
        if (source.Query(kSystemBasicInformation, &basic, sizeof basic) != 0) return 0;

        SystemTimeOfDayInformation timeOfDay{};
        if (source.Query(kSystemTimeOfDayInformation, &timeOfDay, sizeof timeOfDay) != 0) return 0;

        alignas(8) std::uint8_t performance[kPerformanceInformationBufferSize] = {};
        const std::uint32_t length = PerformanceInformationLength(source.WindowsVersion());
        if (source.Query(kSystemPerformanceInformation, performance, length) != 0) return 0;
        std::int64_t idleTime = 0;
        std::memcpy(&idleTime, performance, sizeof idleTime);

        const std::uint32_t processors = IdleTimeProcessorCount(basic.processorCount, source.ActiveProcessorCount());
        return state.Update(idleTime, timeOfDay.currentTime, processors);
    } catch (...) {
        return 0;
    }
}

}  // namespace nimbora
