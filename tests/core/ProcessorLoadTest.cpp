#include "probes/ProcessorLoad.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "probes/Rounding.h"
#include "probes/VersionClassification.h"

namespace nimbora {
namespace {

TEST(ProcessorLoad, LargeIntegerToDoubleJoinsSignedHighAndUnsignedLowHalves) {
    const struct {
        std::int64_t in;
        double out;
    } cases[] = {
        {0, 0.0},
        {1, 1.0},
        {0xFFFFFFFF, 4294967295.0},
        {0x100000000, 4294967296.0},
        {0x180000000, 6442450944.0},
        {-1, -1.0},
        {-0x100000000, -4294967296.0},
        {std::numeric_limits<std::int64_t>::min(), -9223372036854775808.0},
        {std::numeric_limits<std::int64_t>::max(), 9223372036854775807.0},
    };
    for (const auto& c : cases) EXPECT_EQ(LargeIntegerToDouble(c.in), c.out) << c.in;
}

// The length of the performance query for each release.
const struct {
    std::int32_t version;
    std::uint32_t performanceLength;
} kPerformanceLengths[] = {{wvUnknown, 312},          {wvWindows2000, 312}, {wvWindowsServer2008, 312},
                           {wvWindows7, 1000},        {wvWindows11, 1000}};

TEST(ProcessorLoad, PerformanceLengthFollowsTheVersionCode) {
    for (const auto& c : kPerformanceLengths)
        EXPECT_EQ(PerformanceInformationLength(c.version), c.performanceLength) << c.version;
}

constexpr std::int64_t kSecond = 10'000'000;  // 100-nanosecond units

TEST(ProcessorLoad, FirstSampleGivesZeroAndIsStored) {
    ProcessorLoadState state;
    // N.B. the first sample computes nothing, so even a zero processor count
    // is no failure here.
    EXPECT_EQ(state.Update(5 * kSecond, 1000 * kSecond, 0), 0.0);
    EXPECT_EQ(state.LastIdleTime(), 5 * kSecond);
    EXPECT_EQ(state.LastSystemTime(), 1000 * kSecond);
}

class PrimedState : public ::testing::Test {
protected:
    static constexpr std::int64_t kIdle = 40 * kSecond;
    static constexpr std::int64_t kTime = 133'000'000'000'000'000;  // a plausible system time

    void SetUp() override { ASSERT_EQ(state.Update(kIdle, kTime, 2), 0.0); }

    void ExpectUnchanged() const {
        EXPECT_EQ(state.LastIdleTime(), kIdle);
        EXPECT_EQ(state.LastSystemTime(), kTime);
    }

    ProcessorLoadState state;
};

TEST_F(PrimedState, LoadOverTheIntervalWithBiasAndClamps) {
    const struct {
        const char* what;
        std::int64_t idleDelta, timeDelta;
        std::uint8_t processors;
        double expected;
    } cases[] = {
        {"wholly idle", 2 * kSecond, kSecond, 2, 0.5},
        {"half idle", kSecond, kSecond, 2, 50.5},
        {"one processor, a quarter idle", kSecond / 4, kSecond, 1, 75.5},
        {"wholly busy", 0, kSecond, 2, 100.0},
        {"more idle than the interval holds", 3 * kSecond, kSecond, 2, 0.0},
        {"clock jumped back", kSecond, -kSecond, 2, 100.0},
        {"clock jumped far forward", 2 * kSecond, 100'000 * kSecond, 2, 100.0},
        {"idle time went back", -kSecond, kSecond, 1, 100.0},
    };
    for (const auto& c : cases) {
        ProcessorLoadState s = state;
        EXPECT_DOUBLE_EQ(s.Update(kIdle + c.idleDelta, kTime + c.timeDelta, c.processors), c.expected) << c.what;
        EXPECT_EQ(s.LastIdleTime(), kIdle + c.idleDelta) << c.what;
        EXPECT_EQ(s.LastSystemTime(), kTime + c.timeDelta) << c.what;
    }
}

TEST(ProcessorLoad, DifferencesAreTakenBetweenTheConvertedCounts) {
    // Near 2^60 a double steps by 256: both idle counts convert to the same
    // value, so the interval reads as wholly busy although the integers
    // differ by the whole interval.
    ProcessorLoadState s;
    const std::int64_t idle = std::int64_t{1} << 60;
    s.Update(idle, 1000 * kSecond, 1);
    EXPECT_EQ(s.Update(idle + 100, 1000 * kSecond + 100, 1), 100.0);
}

// The system times are beyond 2^53, where a double steps by 16: converted to
// real doubles the interval reads 10000016 and the load 85.499994, which
// rounds to 85. Kept at the x87 unit's 64-bit mantissa the interval would be
// exact and the load 85.5, which rounds to 86.
TEST(ProcessorLoad, CountsConvertToRealDoubles) {
    ProcessorLoadState s;
    const std::int64_t lastTime = 133'000'000'000'000'024;
    const std::int64_t lastIdle = 40 * kSecond;
    s.Update(lastIdle, lastTime, 1);
    const double load = s.Update(lastIdle + 1'500'003, lastTime + 10'000'020, 1);
    EXPECT_NEAR(load, 85.499994, 1e-6);
    EXPECT_EQ(Round(load), 85);
}

TEST(ProcessorLoad, DividesByEveryProcessorWhoseIdleTimeIsAdded) {
    const struct {
        std::uint8_t basic;
        std::uint32_t system;
        std::uint32_t expected;
    } cases[] = {
        {32, 48, 48},  // a 32-bit process on 64-bit Windows sees 32
        {8, 8, 8},     {8, 0, 8},  // unknown to the platform: the basic record's count
        {64, 72, 72},  // processors of a second group
        {4, 2, 4},     {0, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IdleTimeProcessorCount(c.basic, c.system), c.expected) << int{c.basic} << " " << c.system;
}

// Group records as GetLogicalProcessorInformationEx gives them for
// RelationGroup: one record holding `active` groups with these counts.
std::vector<std::uint8_t> GroupRecords(const std::vector<std::uint8_t>& active, std::uint16_t declared) {
    const std::size_t size = offsetof(GroupRelationRecord, groups) + active.size() * sizeof(ProcessorGroupInfo);
    std::vector<std::uint8_t> bytes(size, 0xA5);
    const std::uint32_t relationship = kRelationGroup, recordSize = static_cast<std::uint32_t>(size);
    std::memcpy(bytes.data(), &relationship, 4);
    std::memcpy(bytes.data() + 4, &recordSize, 4);
    std::memcpy(bytes.data() + offsetof(GroupRelationRecord, activeGroupCount), &declared, 2);
    for (std::size_t g = 0; g < active.size(); ++g)
        bytes[offsetof(GroupRelationRecord, groups) + g * sizeof(ProcessorGroupInfo) +
              offsetof(ProcessorGroupInfo, activeProcessorCount)] = active[g];
    return bytes;
}

// A 32-bit process on 64-bit Windows sees at most 32 processors in its basic
// record and in GetActiveProcessorCount; the group records count them all.
TEST(ProcessorLoad, GroupRecordsCountEveryProcessorOfEveryGroup) {
    const struct {
        const char* what;
        std::vector<std::uint8_t> groups;
        std::uint16_t declared;
        std::uint32_t expected;
    } cases[] = {
        {"48 in one group", {48}, 1, 48},
        {"64 in one group", {64}, 1, 64},
        {"two groups", {40, 32}, 2, 72},
        {"a group count beyond the record's size", {16}, 3, 16},
        {"no group", {}, 0, 0},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> records = GroupRecords(c.groups, c.declared);
        EXPECT_EQ(ActiveProcessorsOfGroups(records.data(), records.size()), c.expected) << c.what;
    }
    // A record of another relation, then a group record: only the group counts.
    std::vector<std::uint8_t> mixed = GroupRecords({8}, 1);
    const std::uint32_t other = 0;  // RelationProcessorCore
    std::memcpy(mixed.data(), &other, 4);
    const std::vector<std::uint8_t> group = GroupRecords({48}, 1);
    mixed.insert(mixed.end(), group.begin(), group.end());
    EXPECT_EQ(ActiveProcessorsOfGroups(mixed.data(), mixed.size()), 48u);
    // A record that claims more than the buffer holds ends the walk.
    EXPECT_EQ(ActiveProcessorsOfGroups(group.data(), group.size() - 1), 0u);
    EXPECT_EQ(ActiveProcessorsOfGroups(nullptr, 0), 0u);
}

TEST_F(PrimedState, ZeroDivisorFailsAndKeepsTheStoredSample) {
    EXPECT_EQ(state.Update(kIdle + kSecond, kTime + 2 * kSecond, 0), 0.0) << "no processors";
    ExpectUnchanged();
    EXPECT_EQ(state.Update(kIdle + kSecond, kTime, 2), 0.0) << "no time passed";
    ExpectUnchanged();
    EXPECT_EQ(state.Update(kIdle, kTime, 2), 0.0) << "nothing changed at all";
    ExpectUnchanged();
    // The next good sample measures from the last one that succeeded.
    EXPECT_DOUBLE_EQ(state.Update(kIdle + 2 * kSecond, kTime + 4 * kSecond, 2), 75.5);
}

// The kernel as the sampler sees it: answers each query by writing the whole
// length it is given (so a buffer shorter than that trips the address
// sanitizer) and then the fields the sampler reads, at their raw offsets.
class FakeSystem final : public SystemInformationSource {
public:
    static constexpr std::size_t kProcessorCountOffset = sizeof(void*) == 4 ? 40 : 56;
    static constexpr std::uint32_t kBasicLength = sizeof(void*) == 4 ? 44 : 64;

    std::uint8_t processors = 2;
    std::uint32_t activeProcessors = 0;  // 0: the platform cannot tell
    std::int64_t idleTime = 40 * kSecond;
    std::int64_t currentTime = 133'000'000'000'000'000;
    std::int32_t version = wvWindows10;
    std::optional<std::uint32_t> failing;
    std::optional<std::uint32_t> throwing;
    std::vector<std::string> log;

    std::uint32_t Query(std::uint32_t infoClass, void* buffer, std::uint32_t length) override {
        log.push_back("query " + std::to_string(infoClass) + " " + std::to_string(length));
        if (throwing == infoClass) throw std::runtime_error("query raised");
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        std::memset(bytes, 0xA5, length);
        if (failing == infoClass) return 0xC0000004;  // length mismatch
        switch (infoClass) {
        case kSystemBasicInformation: bytes[kProcessorCountOffset] = processors; break;
        case kSystemTimeOfDayInformation: std::memcpy(bytes + 8, &currentTime, sizeof currentTime); break;
        case kSystemPerformanceInformation: std::memcpy(bytes, &idleTime, sizeof idleTime); break;
        default: return 0xC0000003;
        }
        return 0;
    }

    std::int32_t WindowsVersion() override {
        log.push_back("version");
        return version;
    }

    std::uint32_t ActiveProcessorCount() override { return activeProcessors; }
};

std::vector<std::string> FullSample(std::uint32_t performanceLength) {
    return {"query 0 " + std::to_string(FakeSystem::kBasicLength), "query 3 32", "version",
            "query 2 " + std::to_string(performanceLength)};
}

TEST(ProcessorSampling, QueriesInFixedOrderWithLengthsOfTheBuildAndRelease) {
    for (const auto& c : kPerformanceLengths) {
        FakeSystem system;
        system.version = c.version;
        ProcessorLoadState state;
        SampleProcessorLoad(state, system);
        EXPECT_EQ(system.log, FullSample(c.performanceLength)) << c.version;
    }
}

TEST(ProcessorSampling, FirstSampleStoresTheKernelCountsThenLoadFollows) {
    FakeSystem system;
    ProcessorLoadState state;
    EXPECT_EQ(SampleProcessorLoad(state, system), 0.0);
    EXPECT_EQ(state.LastIdleTime(), system.idleTime);
    EXPECT_EQ(state.LastSystemTime(), system.currentTime);

    system.idleTime += kSecond / 2;
    system.currentTime += kSecond;
    system.processors = 1;
    EXPECT_DOUBLE_EQ(SampleProcessorLoad(state, system), 50.5);
    EXPECT_EQ(state.LastIdleTime(), system.idleTime);
    EXPECT_EQ(state.LastSystemTime(), system.currentTime);
}

// 48 processors at half load: 24 seconds of idle time in a second.
TEST(ProcessorSampling, LoadOfAMachineWithMoreProcessorsThanTheBasicRecordShows) {
    FakeSystem system;
    system.processors = 32;
    system.activeProcessors = 48;
    ProcessorLoadState state;
    SampleProcessorLoad(state, system);
    system.idleTime += 24 * kSecond;
    system.currentTime += kSecond;
    EXPECT_DOUBLE_EQ(SampleProcessorLoad(state, system), 50.5);

    system.activeProcessors = 0;
    system.processors = 2;
    system.idleTime += kSecond;
    system.currentTime += kSecond;
    EXPECT_DOUBLE_EQ(SampleProcessorLoad(state, system), 50.5) << "the basic record's count";
}

TEST(ProcessorSampling, AFailingOrRaisingQueryEndsTheSampleAndKeepsTheStoredOne) {
    const struct {
        std::uint32_t infoClass;
        std::size_t queriesMade;
    } cases[] = {{kSystemBasicInformation, 1}, {kSystemTimeOfDayInformation, 2}, {kSystemPerformanceInformation, 4}};
    for (const bool raise : {false, true}) {
        for (const auto& c : cases) {
            FakeSystem system;
            ProcessorLoadState state;
            SampleProcessorLoad(state, system);
            const ProcessorLoadState before = state;

            system.log.clear();
            system.idleTime += kSecond;
            system.currentTime += kSecond;
            (raise ? system.throwing : system.failing) = c.infoClass;
            EXPECT_EQ(SampleProcessorLoad(state, system), 0.0) << c.infoClass << " raise " << raise;
            EXPECT_EQ(state.LastIdleTime(), before.LastIdleTime());
            EXPECT_EQ(state.LastSystemTime(), before.LastSystemTime());
            const std::vector<std::string> expected = FullSample(1000);
            EXPECT_EQ(system.log, std::vector<std::string>(expected.begin(), expected.begin() + c.queriesMade))
                << c.infoClass << " raise " << raise;
        }
    }
}

TEST(ProcessorSampling, RefusedPerformanceQueryMakesEveryCallAFirstCall) {
    FakeSystem system;
    system.failing = kSystemPerformanceInformation;
    ProcessorLoadState state;
    for (int i = 0; i < 3; ++i) {
        system.currentTime += kSecond;
        EXPECT_EQ(SampleProcessorLoad(state, system), 0.0);
        EXPECT_EQ(state.LastIdleTime(), 0);
        EXPECT_EQ(state.LastSystemTime(), 0);
    }
    system.failing.reset();
    EXPECT_EQ(SampleProcessorLoad(state, system), 0.0);
    EXPECT_EQ(state.LastIdleTime(), system.idleTime);
}

}  // namespace
}  // namespace nimbora
