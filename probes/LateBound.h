#pragma once
// Calls into a system library that is loaded for the one call and released
// right after it: no library handle or entry point survives the call.

#include <windows.h>

#include "svchost/UniqueHandle.h"

namespace nimbora {

// Calls the entry point `name` of `library`, a function of type Proc, with
// `args`; `unavailable` when the library cannot be loaded or lacks the entry.
template <typename Proc, typename Result, typename... Args>
Result CallLateBound(const wchar_t* library, const char* name, Result unavailable, Args... args) {
    const UniqueModule module(LoadLibraryW(library));
    if (!module) return unavailable;
    const FARPROC proc = GetProcAddress(module.get(), name);
    if (!proc) return unavailable;
    // N.B. through void(*)() so the conversion of the entry point's type is
    // explicit and not warned about.
    const auto call = reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(proc));
    return static_cast<Result>(call(args...));
}

}  // namespace nimbora
