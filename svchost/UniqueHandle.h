#pragma once
// One owner for every kind of platform handle: a handle is closed exactly once,
// by the object that holds it. Each kind is one line of traits at the bottom.
//
// Closing preserves the thread's last error, so a caller can read
// GetLastError() after a failed call even when clean-up runs in between.

#include <windows.h>

#include <utility>

namespace nimbora {

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle h) noexcept : h_(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return Traits::IsValid(h_); }

    // For out-parameters: closes what is held and hands out the slot.
    Handle* put() noexcept {
        reset();
        return &h_;
    }
    Handle release() noexcept { return std::exchange(h_, Traits::Invalid()); }
    void reset(Handle h = Traits::Invalid()) noexcept {
        const Handle old = std::exchange(h_, h);
        if (Traits::IsValid(old)) {
            const DWORD lastError = GetLastError();
            Traits::Close(old);
            SetLastError(lastError);
        }
    }

private:
    Handle h_ = Traits::Invalid();
};

template <typename H, auto CloseFn, H InvalidValue = H{}>
struct HandleTraits {
    using Handle = H;
    static constexpr Handle Invalid() noexcept { return InvalidValue; }
    static bool IsValid(Handle h) noexcept { return h != Invalid(); }
    static void Close(Handle h) noexcept { CloseFn(h); }
};

// Files, whose failed opening is INVALID_HANDLE_VALUE rather than null.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Handle h) noexcept { CloseHandle(h); }
};

using UniqueHKey = UniqueHandle<HandleTraits<HKEY, &RegCloseKey>>;
using UniqueModule = UniqueHandle<HandleTraits<HMODULE, &FreeLibrary>>;
using UniqueServiceHandle = UniqueHandle<HandleTraits<SC_HANDLE, &CloseServiceHandle>>;
using UniqueEventSource = UniqueHandle<HandleTraits<HANDLE, &DeregisterEventSource>>;
using UniqueHandleObject = UniqueHandle<HandleTraits<HANDLE, &CloseHandle>>;  // threads, events, processes
using UniqueFile = UniqueHandle<FileHandleTraits>;

}  // namespace nimbora
