#pragma once
// A coarse classification of the running Windows release, from the numbers
// the version query reports. Its one user is the processor sampler, which
// sizes its performance query by it.

#include <cstdint>

namespace nimbora {

enum TWindowsVersion : std::int32_t {
    wvUnknown = -1,
    wvWindows2000 = 0,
    wvWindowsXP = 1,  // also the 5.2 workstation edition (XP Professional x64)
    wvWindowsServer2003 = 2,
    wvWindowsVista = 3,
    wvWindowsServer2008 = 4,  // 2008 and 2008 R2
    wvWindows7 = 5,
    wvWindows8 = 6,  // 8 and 8.1
    wvWindowsServer2012 = 7,  // 2012 and 2012 R2
    wvWindows10 = 8,  // major version 10, build below 22000
    wvWindows11 = 9,  // major version 10, build 22000 and above
};

// `productType`: 1 workstation, 2 domain controller, 3 server, 0 when the
// query did not fill it in (which leaves 5.2 and 6.x unrecognised).
TWindowsVersion ClassifyWindowsVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t build,
                                       std::uint8_t productType) noexcept;

}  // namespace nimbora
