#include "probes/VersionClassification.h"

#include <gtest/gtest.h>

namespace nimbora {
namespace {

TEST(VersionClassification, EveryRowOfTheTable) {
    const struct {
        std::uint32_t major, minor, build;
        std::uint8_t productType;
        TWindowsVersion expected;
    } cases[] = {
        {5, 0, 2195, 0, wvWindows2000},
        {5, 0, 2195, 3, wvWindows2000},
        {5, 1, 2600, 0, wvWindowsXP},
        {5, 1, 2600, 1, wvWindowsXP},
        {5, 2, 3790, 1, wvWindowsXP},
        {5, 2, 3790, 2, wvWindowsServer2003},
        {5, 2, 3790, 3, wvWindowsServer2003},
        {5, 2, 3790, 0, wvUnknown},
        {5, 3, 0, 1, wvUnknown},
        {6, 0, 6002, 1, wvWindowsVista},
        {6, 0, 6002, 2, wvWindowsServer2008},
        {6, 0, 6002, 3, wvWindowsServer2008},
        {6, 1, 7601, 1, wvWindows7},
        {6, 1, 7601, 3, wvWindowsServer2008},
        {6, 1, 7601, 2, wvWindowsServer2008},
        {6, 2, 9200, 1, wvWindows8},
        {6, 2, 9200, 3, wvWindowsServer2012},
        {6, 3, 9600, 1, wvWindows8},
        {6, 3, 9600, 2, wvWindowsServer2012},
        {6, 3, 9600, 255, wvWindowsServer2012},
        {6, 0, 6002, 0, wvUnknown},
        {6, 1, 7601, 0, wvUnknown},
        {6, 2, 9200, 0, wvUnknown},
        {6, 3, 9600, 0, wvUnknown},
        {6, 4, 9841, 1, wvUnknown},
        {10, 0, 19045, 1, wvWindows10},
        {10, 0, 21999, 3, wvWindows10},
        {10, 7, 21999, 0, wvWindows10},
        {10, 0, 22000, 1, wvWindows11},
        {10, 5, 22000, 0, wvWindows11},
        {10, 0, 26100, 3, wvWindows11},
        {10, 0, 0xFFFFFFFF, 1, wvWindows11},  // unsigned comparison
        {10, 0, 0, 1, wvWindows10},
        {4, 0, 1381, 1, wvUnknown},
        {7, 0, 0, 1, wvUnknown},
        {8, 0, 0, 1, wvUnknown},
        {9, 0, 0, 1, wvUnknown},
        {11, 0, 22000, 1, wvUnknown},
        {0, 0, 0, 0, wvUnknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClassifyWindowsVersion(c.major, c.minor, c.build, c.productType), c.expected)
            << c.major << '.' << c.minor << '.' << c.build << " type " << int{c.productType};
}

}  // namespace
}  // namespace nimbora
