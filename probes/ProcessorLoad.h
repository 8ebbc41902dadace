#pragma once
// Processor load from the kernel's accumulated idle time: the share of the
// interval since the previous successful sample that the processors were not
// idle, in percent, with a bias of 0.5 and clamped to [0, 100].
//
// Portable: the kernel records are defined here with the layout of the build
// (the pointer-sized fields make the basic record 44 bytes on 32-bit and 64
// bytes on 64-bit), and the queries go through SystemInformationSource.

#include <cstddef>
#include <cstdint>

namespace nimbora {

// Information classes of the system-information query.
inline constexpr std::uint32_t kSystemBasicInformation = 0;
inline constexpr std::uint32_t kSystemPerformanceInformation = 2;
inline constexpr std::uint32_t kSystemTimeOfDayInformation = 3;

struct SystemBasicInformation {
    std::uint32_t reserved;
    std::uint32_t timerResolution;
    std::uint32_t pageSize;
    std::uint32_t physicalPageCount;
    std::uint32_t lowestPhysicalPage;
    std::uint32_t highestPhysicalPage;
    std::uint32_t allocationGranularity;
    std::uintptr_t minimumUserAddress;
    std::uintptr_t maximumUserAddress;
    std::uintptr_t activeProcessorMask;
    std::uint8_t processorCount;
};

static_assert(sizeof(void*) == 4 ? sizeof(SystemBasicInformation) == 44 : sizeof(SystemBasicInformation) == 64);
static_assert(offsetof(SystemBasicInformation, processorCount) == (sizeof(void*) == 4 ? 40 : 56));

// Times in 100-nanosecond units.
struct SystemTimeOfDayInformation {
    std::int64_t bootTime;
    std::int64_t currentTime;
    std::int64_t timeZoneBias;
    std::uint32_t timeZoneId;
    std::uint32_t reserved;
};

static_assert(sizeof(SystemTimeOfDayInformation) == 32);
static_assert(offsetof(SystemTimeOfDayInformation, currentTime) == 8);

// The performance record is read only for its first field, the idle time of
// all processors together (64-bit, 100-nanosecond units, at offset 0). The
// buffer is always this long; the length passed depends on the release.
inline constexpr std::uint32_t kPerformanceInformationBufferSize = 1000;

// 1000 bytes from Windows 7 on (version code 5 and above), 312 before and for
// an unrecognised release.
std::uint32_t PerformanceInformationLength(std::int32_t versionCode) noexcept;

// The high 32 bits taken as signed times 2^32, plus the low 32 bits taken as
// unsigned.
double LargeIntegerToDouble(std::int64_t value) noexcept;

// 100 - idle fraction x 100 / processor count + 0.5, clamped to [0, 100], the
// idle fraction being the idle-time difference over the time difference.
// Raises EMathError when the time difference or the processor count is 0.
double ComputeProcessorLoad(std::int64_t idleTime, std::int64_t lastIdleTime, std::int64_t systemTime,
                            std::int64_t lastSystemTime, std::uint32_t processorCount);

// The processors whose idle time the performance record adds up: all of the
// machine's. The basic record counts at most 32 in a 32-bit process on 64-bit
// Windows (and only the processors of one group), so the larger of the two
// counts is taken; `systemCount` is 0 when the platform cannot tell.
std::uint32_t IdleTimeProcessorCount(std::uint8_t basicCount, std::uint32_t systemCount) noexcept;

// The group records of GetLogicalProcessorInformationEx with RelationGroup,
// as the platform lays them out for the build (the affinity mask is
// pointer-sized). Only the counts are read.
inline constexpr std::uint32_t kRelationGroup = 4;

struct ProcessorGroupInfo {
    std::uint8_t maximumProcessorCount;
    std::uint8_t activeProcessorCount;
    std::uint8_t reserved[38];
    std::uintptr_t activeProcessorMask;
};

struct GroupRelationRecord {
    std::uint32_t relationship;
    std::uint32_t size;  // of the whole record, its group array included
    std::uint16_t maximumGroupCount;
    std::uint16_t activeGroupCount;
    std::uint8_t reserved[20];
    ProcessorGroupInfo groups[1];
};

static_assert(sizeof(ProcessorGroupInfo) == 40 + sizeof(void*));
static_assert(offsetof(GroupRelationRecord, groups) == 32);

// Every active logical processor of every group, summed over the group
// records in `records` (`length` bytes as the platform returned them);
// records of other relations and groups beyond a record's size are skipped.
// 0 when no group is found.
std::uint32_t ActiveProcessorsOfGroups(const std::uint8_t* records, std::size_t length) noexcept;

// The previous successful sample, and the load since it.
class ProcessorLoadState {
public:
    // One complete reading of the kernel's counts. The first (while no
    // sample is stored) gives 0 and is stored; a later one gives the load
    // since the stored sample and replaces it. A zero divisor gives 0 and
    // keeps the stored sample.
    double Update(std::int64_t idleTime, std::int64_t systemTime, std::uint32_t processorCount) noexcept;

    // Idle time of the stored sample; 0 until the first one.
    std::int64_t LastIdleTime() const noexcept { return lastIdleTime_; }
    // Current time of the stored sample.
    std::int64_t LastSystemTime() const noexcept { return lastSystemTime_; }

private:
    std::int64_t lastIdleTime_ = 0;
    std::int64_t lastSystemTime_ = 0;
};

// What the sampler asks of the platform.
class SystemInformationSource {
public:
    virtual ~SystemInformationSource() = default;
    // The system-information query with no returned length: 0 on success.
    virtual std::uint32_t Query(std::uint32_t infoClass, void* buffer, std::uint32_t length) = 0;
    // The version code of the running release (TWindowsVersion).
    virtual std::int32_t WindowsVersion() = 0;
    // The machine's active logical processors, every group counted; 0 when
    // the platform cannot tell.
    virtual std::uint32_t ActiveProcessorCount() = 0;
};

// One processor sample: the basic, time-of-day and performance queries in
// that order, each into a record on the stack, then `state.Update` with
// IdleTimeProcessorCount as the processor count. The first
// query to fail, or anything raised, ends the sample with 0 and leaves
// `state` as it was.
double SampleProcessorLoad(ProcessorLoadState& state, SystemInformationSource& source) noexcept;

}  // namespace nimbora
