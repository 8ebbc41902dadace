#include "svchost/Timer.h"

namespace nimbora {

namespace {
constexpr wchar_t kTimerClass[] = L"NimboraTimerWindow";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kUpdateMessage = WM_APP + 1;  // asks the owner thread to apply a change
}  // namespace

TTimer::TTimer(TWindowApplication& owner, std::wstring refusedText)
    : owner_(owner), refusedText_(std::move(refusedText)), ownerThread_(GetCurrentThreadId()) {
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
    Update();
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
    // N.B. another thread never waits for the owner, which may be busy for
    // seconds: it asks the owner to apply the change and returns. The owner
    // reads the state as it is when it gets there, so a late application is
    // harmless and several changes need one request. Until then the enabled
    // mark alone keeps events from being delivered.
    if (window_ == nullptr || updatePending_.exchange(true)) return;
    if (!PostMessageW(window_, kUpdateMessage, 0, 0)) updatePending_ = false;
}

bool TTimer::UpdateTimer() noexcept {
    if (window_ == nullptr) return !enabled_;
    KillTimer(window_, kTimerId);
    if (!enabled_ || interval_ == 0 || !onTimer_) return true;
    return SetTimer(window_, kTimerId, interval_, nullptr) != 0;
}

LRESULT CALLBACK TTimer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TTimer*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    if (message == kUpdateMessage) {
        // N.B. cleared first: a change made from here on asks again. A timer
        // that the platform refuses here stays off until the next change.
        self->updatePending_ = false;
        return self->UpdateTimer() ? 1 : 0;
    }
    if (message == WM_TIMER) {
        if (!self->enabled_ || !self->onTimer_) return 0;
        try {
            self->onTimer_();
        } catch (const Exception& e) {
            self->owner_.HandleException(e);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace nimbora
