#pragma once
// A periodic timer whose events are delivered on the thread that created it,
// through that thread's message loop (a hidden window and a platform timer).
//
// Enabled may be switched from any thread: the switch takes effect at once
// (no event is delivered while off, even one already queued) and the platform
// timer is re-created on the owner thread, which alone may own it. A switch
// from another thread does not wait for the owner: the owner applies it when
// it next serves its queue.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "svchost/WindowApplication.h"

namespace nimbora {

class TTimer {
public:
    // `owner` receives errors escaping the handler. `refusedText` is the
    // message raised when the platform refuses a timer.
    TTimer(TWindowApplication& owner, std::wstring refusedText);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const noexcept { return enabled_; }
    // Raises EOutOfResources when the platform refuses the timer to the
    // owner thread. Another thread learns nothing of a refusal: the timer
    // then stays off until the next change.
    void SetEnabled(bool enabled);
    UINT Interval() const noexcept { return interval_; }
    void SetInterval(UINT milliseconds);
    void SetOnTimer(std::function<void()> handler);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Kills the platform timer and re-creates it when it should run. Runs on
    // the owner thread; false when the platform refused.
    bool UpdateTimer() noexcept;
    void Update();

    TWindowApplication& owner_;
    std::wstring refusedText_;
    HWND window_ = nullptr;
    DWORD ownerThread_;
    std::atomic<bool> enabled_{true};
    std::atomic<UINT> interval_{1000};
    // A request to apply the state is on its way to the owner thread.
    std::atomic<bool> updatePending_{false};
    std::function<void()> onTimer_;
};

}  // namespace nimbora
