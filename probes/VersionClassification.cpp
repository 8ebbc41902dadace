#include "probes/VersionClassification.h"

namespace nimbora {

namespace {

// Workstation or server edition of one release; no product type, no answer.
TWindowsVersion ByEdition(std::uint8_t productType, TWindowsVersion workstation, TWindowsVersion server) {
    if (productType == 0) return wvUnknown;
    return productType == 1 ? workstation : server;
}

}  // namespace

TWindowsVersion ClassifyWindowsVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t build,
                                       std::uint8_t productType) noexcept {
    switch (major) {
    case 5:
        switch (minor) {
        case 0: return wvWindows2000;
        case 1: return wvWindowsXP;
        case 2: return ByEdition(productType, wvWindowsXP, wvWindowsServer2003);
        default: return wvUnknown;
        }
    case 6:
        switch (minor) {
        case 0: return ByEdition(productType, wvWindowsVista, wvWindowsServer2008);
        case 1: return ByEdition(productType, wvWindows7, wvWindowsServer2008);
        case 2:
        case 3: return ByEdition(productType, wvWindows8, wvWindowsServer2012);
        default: return wvUnknown;
        }
    case 10:
        return build < 22000 ? wvWindows10 : wvWindows11;
    default:
        return wvUnknown;
    }
}

}  // namespace nimbora
