#include "probes/WindowsVersion.h"

#include <cstddef>
#include <cstring>

#include "probes/VersionClassification.h"

namespace nimbora {

static_assert(sizeof(OSVERSIONINFOEXW) == 284 && sizeof(OSVERSIONINFOW) == 276);
static_assert(offsetof(OSVERSIONINFOEXW, wProductType) == 282);

std::int32_t GetWindowsVersion(VersionQuery query) noexcept {
    try {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
        if (!query(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
            // The basic record is the first part of the extended one; the
            // product type past it stays 0, so 5.2 and 6.x are not recognised.
            std::memset(&info, 0, sizeof(OSVERSIONINFOW));
            info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
            query(reinterpret_cast<OSVERSIONINFOW*>(&info));
        }
        return ClassifyWindowsVersion(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber,
                                      info.wProductType);
    } catch (...) {
        return wvUnknown;
    }
}

std::int32_t GetWindowsVersion() noexcept {
    return GetWindowsVersion(&GetVersionExW);
}

}  // namespace nimbora
