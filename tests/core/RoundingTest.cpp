#include "probes/Rounding.h"

#include <gtest/gtest.h>

#include <limits>

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
