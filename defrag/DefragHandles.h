#pragma once
// The handle kinds of the defragmenter beyond those of svchost/UniqueHandle.h.

#include <windows.h>

#include "svchost/UniqueHandle.h"

namespace nimbora {

inline void UnmapView(void* base) noexcept { UnmapViewOfFile(base); }
inline void ReleaseOwnedMutex(HANDLE mutex) noexcept { ReleaseMutex(mutex); }
inline void FreeArgumentList(LPWSTR* list) noexcept { LocalFree(list); }
inline void FreeLocal(void* memory) noexcept { LocalFree(memory); }
inline void CloseNamespace(HANDLE space) noexcept { ClosePrivateNamespace(space, 0); }
inline void DeleteBoundary(HANDLE boundary) noexcept { DeleteBoundaryDescriptor(boundary); }

using UniqueView = UniqueHandle<HandleTraits<void*, &UnmapView>>;        // MapViewOfFile
// Ownership of a mutex that is held: releases it, does not close the handle.
using MutexOwnership = UniqueHandle<HandleTraits<HANDLE, &ReleaseOwnedMutex>>;
using UniqueLocal = UniqueHandle<HandleTraits<void*, &FreeLocal>>;  // LocalAlloc'ed by a system call
// CreatePrivateNamespaceW, OpenPrivateNamespaceW: the namespace goes with its
// last handle.
using UniqueNamespace = UniqueHandle<HandleTraits<HANDLE, &CloseNamespace>>;
using UniqueBoundary = UniqueHandle<HandleTraits<HANDLE, &DeleteBoundary>>;  // CreateBoundaryDescriptorW
using UniqueArgumentList = UniqueHandle<HandleTraits<LPWSTR*, &FreeArgumentList>>;  // CommandLineToArgvW

}  // namespace nimbora
