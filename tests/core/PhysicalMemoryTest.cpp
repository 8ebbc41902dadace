#include "probes/PhysicalMemory.h"

#include <gtest/gtest.h>

namespace nimbora {
namespace {

TEST(PhysicalMemory, CountsWithTheTopBitSetReadAsZero) {
    EXPECT_EQ(PhysicalMemoryBytes(8589934592u), 8589934592);
    EXPECT_EQ(PhysicalMemoryBytes(0), 0);
    EXPECT_EQ(PhysicalMemoryBytes(0x7FFFFFFFFFFFFFFFu), 0x7FFFFFFFFFFFFFFF);
    EXPECT_EQ(PhysicalMemoryBytes(0x8000000000000000u), 0);
    EXPECT_EQ(PhysicalMemoryBytes(0xFFFFFFFFFFFFFFFFu), 0);
}

}  // namespace
}  // namespace nimbora
