#include "svchost/Timer.h"

namespace nimbora {

namespace {
constexpr wchar_t kTimerClass[] = L"NimboraTimerWindow";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kUpdateMessage = WM_APP + 1;  // asks the owner thread to apply a change
constexpr UINT kUpdateTimeoutMs = 5000;
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
    bool created;
    if (GetCurrentThreadId() == ownerThread_) {
        created = UpdateTimer();
    } else {
        DWORD_PTR result = 0;
        // N.B. a timed-out request leaves the platform timer as it was; the
        // enabled mark alone already keeps events from being delivered.
        if (!SendMessageTimeoutW(window_, kUpdateMessage, 0, 0, SMTO_NORMAL, kUpdateTimeoutMs, &result)) return;
        created = result != 0;
    }
    if (!created) throw EOutOfResources(refusedText_);
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
    if (message == kUpdateMessage) return self->UpdateTimer() ? 1 : 0;
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
