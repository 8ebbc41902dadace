#pragma once
// The handle kinds of the defragmenter beyond those of svchost/UniqueHandle.h.

#include <windows.h>

#include "svchost/UniqueHandle.h"

namespace nimbora {

// A toolhelp snapshot: invalid is INVALID_HANDLE_VALUE, not null.
struct SnapshotTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Handle h) noexcept { CloseHandle(h); }
};
using UniqueSnapshot = UniqueHandle<SnapshotTraits>;

inline void ReleaseRegion(void* base) noexcept { VirtualFree(base, 0, MEM_RELEASE); }
inline void UnmapView(void* base) noexcept { UnmapViewOfFile(base); }
inline void ReleaseOwnedMutex(HANDLE mutex) noexcept { ReleaseMutex(mutex); }
inline void FreeArgumentList(LPWSTR* list) noexcept { LocalFree(list); }

using UniqueRegion = UniqueHandle<HandleTraits<void*, &ReleaseRegion>>;  // VirtualAlloc'ed, released whole
using UniqueView = UniqueHandle<HandleTraits<void*, &UnmapView>>;        // MapViewOfFile
// Ownership of a mutex that is held: releases it, does not close the handle.
using MutexOwnership = UniqueHandle<HandleTraits<HANDLE, &ReleaseOwnedMutex>>;
using UniqueArgumentList = UniqueHandle<HandleTraits<LPWSTR*, &FreeArgumentList>>;  // CommandLineToArgvW
using UniqueFile = UniqueHandle<SnapshotTraits>;  // CreateFileW: invalid is INVALID_HANDLE_VALUE too

}  // namespace nimbora
