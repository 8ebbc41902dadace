#pragma once
// A periodic timer whose events are delivered on the thread that created it,
// through that thread's message loop (a hidden window and a platform timer).
//
// Enabled may be switched from any thread and takes effect at once: no event
// is delivered while off, even one already queued. The platform timer keeps
// running while the timer is switched off, so that switching it on again
// needs nothing from the owner thread, which may be busy, and nothing can be
// lost on the way to it: events that arrive while off are dropped.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "svchost/WindowApplication.h"

namespace nimbora {

// The calls that reach the owner thread's window, so a test can refuse them.
class TimerWindowApi {
public:
    virtual ~TimerWindowApi() = default;
    virtual bool Post(HWND window, UINT message) { return PostMessageW(window, message, 0, 0) != FALSE; }
    virtual bool Set(HWND window, UINT_PTR id, UINT milliseconds) {
        return SetTimer(window, id, milliseconds, nullptr) != 0;
    }
};
TimerWindowApi& SystemTimerWindow();

class TTimer {
public:
    // `owner` receives errors escaping the handler. `refusedText` is the
    // message raised when the platform refuses a timer.
    TTimer(TWindowApplication& owner, std::wstring refusedText, TimerWindowApi& api = SystemTimerWindow());
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const noexcept { return enabled_; }
    // From any thread, without waiting for the owner. On the owner thread,
    // switching on raises EOutOfResources when the platform refuses the timer
    // it still lacks; another thread learns nothing of that, and the owner
    // tries again at its next change.
    void SetEnabled(bool enabled);
    UINT Interval() const noexcept { return interval_; }
    // From another thread the new interval is applied when the owner serves
    // its queue, or at the next event.
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
    TimerWindowApi& api_;
    HWND window_ = nullptr;
    DWORD ownerThread_;
    std::atomic<bool> enabled_{true};
    std::atomic<UINT> interval_{1000};
    // The interval of the running platform timer; 0 while there is none.
    // Owner thread only.
    UINT running_ = 0;
    // A request to apply the interval is on its way to the owner thread.
    std::atomic<bool> updatePending_{false};
    std::function<void()> onTimer_;
};

}  // namespace nimbora
