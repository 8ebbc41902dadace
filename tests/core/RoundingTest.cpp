#include "probes/Rounding.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <thread>

#include "probes/ProcessorLoad.h"
#include "svchost/Exception.h"

namespace nimbora {
namespace {

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
    const struct {
        Real in;
        std::int64_t out;
    } cases[] = {{2.5L, 2}, {3.5L, 4}, {4.5L, 4}, {85.5L, 86}, {-2.5L, -2}, {84.5L, 84}, {0.4999L, 0}, {-0.5L, 0}};
    for (const auto& c : cases) EXPECT_EQ(Round(c.in), c.out) << static_cast<double>(c.in);
}

#if defined(__i386__) || defined(__x86_64__)
unsigned short ControlWord() {
    unsigned short word = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(word) : : "memory");
    return word;
}

void SetControlWord(unsigned short word) { __asm__ __volatile__("fldcw %0" : : "m"(word) : "memory"); }

// Each row is computed on a thread set to a 53-bit mantissa, where threads
// that Windows creates start, and on one set to 64 bits; the results agree.
// 7 / 100 x 150 is 10.5 less a little at a 64-bit mantissa and 10.5 plus a
// little at 53 bits. The processor loads were found by a search over one
// second's counts: at 53 bits 5 500 000 of 10 000 000 idle gives 45.4999...
// (rounds to 45) and 5 800 000 gives 42.5000...07 (rounds to 43).
TEST(Rounding, ResultsAreTheSameAtEveryThreadPrecision) {
    const struct {
        const char* what;
        std::function<std::int64_t()> compute;
        std::int64_t expected;
    } cases[] = {
        {"7 percent of 150", [] { return RoundedPercentOf(7, 150); }, 10},
        {"load 45.5", [] { return Round(ComputeProcessorLoad(5'500'000, 0, 10'000'000, 0, 1)); }, 46},
        {"load 42.5", [] { return Round(ComputeProcessorLoad(5'800'000, 0, 10'000'000, 0, 1)); }, 42},
        {"load 45.5 over two processors",
         [] { return Round(ComputeProcessorLoad(10'999'945, 0, 9'999'950, 0, 2)); }, 46},
    };
    const unsigned short precision53 = 0x0200, precisionMask = 0x0300;
    for (const auto& c : cases) {
        for (const unsigned short precision : {precision53, precisionMask}) {
            std::int64_t result = -1;
            unsigned short after = 0, set = 0;
            std::thread thread([&] {
                set = static_cast<unsigned short>((ControlWord() & ~precisionMask) | precision);
                SetControlWord(set);
                result = c.compute();
                after = ControlWord();
            });
            thread.join();
            EXPECT_EQ(result, c.expected) << c.what << ", precision bits " << precision;
            EXPECT_EQ(after, set) << c.what << ": the thread's own precision is put back";
        }
    }
    EXPECT_EQ(RoundedPercentOf(30, 8589934592), 2576980378);
    EXPECT_EQ(RoundedPercentOf(0, 8589934592), 0);
    EXPECT_EQ(RoundedPercentOf(100, 1610088447), 1610088447);
}
#endif

TEST(Rounding, MegabytesOfTheWorkedTotals) {
    EXPECT_EQ(BytesToMegabytes(1610088448), 1536);  // 1535.5 rounds to even
    EXPECT_EQ(BytesToMegabytes(1610088447), 1535);
    EXPECT_EQ(BytesToMegabytes(8589934592), 8192);
    EXPECT_EQ(BytesToMegabytes(0), 0);
}

TEST(Rounding, Low32BitsOfAWideResult) {
    EXPECT_EQ(Round32(4294967296.0L + 7), 7);
    EXPECT_EQ(Round32(-1.0L), -1);
}

TEST(Rounding, OutOfRangeAndNonFiniteRaise) {
    EXPECT_THROW(Round(9223372036854775808.0L), EMathError);
    EXPECT_THROW(Round(std::numeric_limits<Real>::infinity()), EMathError);
    EXPECT_THROW(Round(std::numeric_limits<Real>::quiet_NaN()), EMathError);
    EXPECT_THROW(Divide(1, 0), EMathError);
    EXPECT_EQ(Round(-9223372036854775808.0L), std::numeric_limits<std::int64_t>::min());
}

}  // namespace
}  // namespace nimbora
