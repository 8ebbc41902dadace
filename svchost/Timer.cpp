#include "svchost/Timer.h"

namespace nimbora {

namespace {
constexpr wchar_t kTimerClass[] = L"NimboraTimerWindow";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kUpdateMessage = WM_APP + 1;  // asks the owner thread to apply a change
}  // namespace

TimerWindowApi& SystemTimerWindow() {
    // Stateless: only dispatches to the platform.
    static TimerWindowApi api;
    return api;
}

TTimer::TTimer(TWindowApplication& owner, std::wstring refusedText, TimerWindowApi& api)
    : owner_(owner), refusedText_(std::move(refusedText)), api_(api), ownerThread_(GetCurrentThreadId()) {
    window_ = CreateHiddenWindow(kTimerClass, &TTimer::WindowProc, L"", nullptr);
    if (window_ != nullptr) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TTimer::~TTimer() {
    enabled_ = false;
    if (window_ != nullptr) {
        KillTimer(window_, kTimerId);
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled_.exchange(enabled) == enabled) return;
    // N.B. only the mark changes: the platform timer runs on, and its events
    // are dropped while the mark is down. A platform timer refused earlier is
    // asked for again by the owner.
    if (enabled && GetCurrentThreadId() == ownerThread_ && running_ == 0) Update();
}

void TTimer::SetInterval(UINT milliseconds) {
    if (interval_.exchange(milliseconds) == milliseconds) return;
    Update();
}

void TTimer::SetOnTimer(std::function<void()> handler) {
    onTimer_ = std::move(handler);
    Update();
}

void TTimer::Update() {
    if (GetCurrentThreadId() == ownerThread_) {
        if (!UpdateTimer()) throw EOutOfResources(refusedText_);
        return;
    }
    // N.B. another thread never waits for the owner: it asks the owner to
    // apply the change. Should the request be lost, the next event applies
    // it (see WindowProc).
    if (window_ == nullptr || updatePending_.exchange(true)) return;
    if (!api_.Post(window_, kUpdateMessage)) updatePending_ = false;
}

bool TTimer::UpdateTimer() noexcept {
    if (window_ == nullptr) return !enabled_;
    KillTimer(window_, kTimerId);
    running_ = 0;
    const UINT interval = interval_;
    if (interval == 0 || !onTimer_) return true;
    if (!api_.Set(window_, kTimerId, interval)) return !enabled_;
    running_ = interval;
    return true;
}

LRESULT CALLBACK TTimer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TTimer*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    if (message == kUpdateMessage) {
        // N.B. cleared first: a change made from here on asks again.
        self->updatePending_ = false;
        return self->UpdateTimer() ? 1 : 0;
    }
    if (message == WM_TIMER) {
        if (self->running_ != self->interval_) self->UpdateTimer();
        if (!self->enabled_ || !self->onTimer_) return 0;
        try {
            self->onTimer_();
        } catch (const Exception& e) {
            self->owner_.HandleException(e);
        } catch (...) {
            self->owner_.HandleForeignError();
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace nimbora
