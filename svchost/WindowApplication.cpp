#include "svchost/WindowApplication.h"

namespace nimbora {

namespace {
constexpr wchar_t kWindowClass[] = L"NimboraApplication";
}

HWND CreateHiddenWindow(const wchar_t* className, WNDPROC windowProc, const wchar_t* title, void* createParam) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);  // fails harmlessly once the class exists
    return CreateWindowExW(WS_EX_TOOLWINDOW, className, title, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                           createParam);
}

TWindowApplication::TWindowApplication() : mainThreadId_(GetCurrentThreadId()) {
    window_ = CreateHiddenWindow(kWindowClass, &TWindowApplication::WindowProc, L"Nimbora", this);
    // N.B. the queue exists from here on, so a quit posted early is not lost.
    MSG m;
    PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

TWindowApplication::~TWindowApplication() {
    if (window_ != nullptr) DestroyWindow(window_);
}

void TWindowApplication::HookMainWindow(WindowHook hook) { hooks_.push_back(std::move(hook)); }

void TWindowApplication::UnhookMainWindow() { hooks_.clear(); }

void TWindowApplication::HandleMessage() {
    MSG message;
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            terminated_ = true;
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
        return;
    }
    WaitMessage();
}

void TWindowApplication::ProcessMessages() {
    MSG message;
    while (!terminated_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            terminated_ = true;
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void TWindowApplication::PostQuit() noexcept {
    if (window_ == nullptr || !PostMessageW(window_, WM_QUIT, 0, 0))
        PostThreadMessageW(mainThreadId_, WM_QUIT, 0, 0);
}

void TWindowApplication::HandleException(const Exception& e) noexcept {
    if (dynamic_cast<const EAbort*>(&e) != nullptr) return;
    try {
        if (onException_) onException_(e);
    } catch (...) {
        // The handler of last resort must not raise into the message loop.
    }
}

void TWindowApplication::HandleForeignError() noexcept {
    try {
        if (onForeignError_) onForeignError_();
    } catch (...) {
    }
}

LRESULT CALLBACK TWindowApplication::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TWindowApplication*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->window_ != window) return DefWindowProcW(window, message, wParam, lParam);
    try {
        return self->Dispatch(message, wParam, lParam);
    } catch (const Exception& e) {
        self->HandleException(e);
        return 0;
    } catch (...) {
        self->HandleForeignError();
        return 0;
    }
}

LRESULT TWindowApplication::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m{window_, message, wParam, lParam, 0, {}};
    for (const WindowHook& hook : hooks_)
        if (hook(m)) return 0;
    if (message == WM_ENDSESSION && wParam != 0) {
        // The session ends: an unhooked application ends with it.
        Terminate();
        PostQuit();
        return 0;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

}  // namespace nimbora
