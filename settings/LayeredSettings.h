#pragma once
// The service's settings on a real machine, layered: the policy key first,
// then the settings key, then the default (settings/PolicyLayer.h).
//
// The policy key is opened at most once per half second and held in between,
// so a tick (one a second) opens it once whatever the number of settings it
// reads, and reads none of its values when it does not exist.

#include <windows.h>

#include <cstdint>

#include "svchost/UniqueHandle.h"

namespace nimbora {

class LayeredSettings {
public:
    std::int32_t ReadInteger(const wchar_t* name, std::int32_t defaultValue) noexcept;
    bool ReadBool(const wchar_t* name, bool defaultValue) noexcept;

private:
    HKEY PolicyKey() noexcept;  // null when there is no policy key

    UniqueHKey policy_;
    ULONGLONG openedAt_ = 0;
    bool opened_ = false;
};

}  // namespace nimbora
