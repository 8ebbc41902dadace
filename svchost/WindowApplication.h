#pragma once
// The main thread's window application: a hidden top-level window that exists
// from the start of the process, the message loop that serves the main
// thread's queue, a chain of window hooks, and the routing of errors raised by
// message handlers.

#include <windows.h>

#include <functional>
#include <vector>

#include "svchost/Exception.h"

namespace nimbora {

// Dropped silently by the window application's error handling.
class EAbort : public Exception {
public:
    using Exception::Exception;
    const wchar_t* ClassName() const noexcept override { return L"EAbort"; }
};

// A hidden pop-up tool window of class `className` on the calling thread; null
// where the window station holds no windows. `createParam` reaches WM_NCCREATE.
HWND CreateHiddenWindow(const wchar_t* className, WNDPROC windowProc, const wchar_t* title, void* createParam);

class TWindowApplication {
public:
    using WindowHook = std::function<bool(MSG& message)>;  // true: consumed
    using ExceptionHandler = std::function<void(const Exception&)>;

    // Creates the hidden window on the calling thread, which becomes the
    // application's main thread. Without a window station able to hold
    // windows the application runs without one (Handle() is null).
    TWindowApplication();
    ~TWindowApplication();
    TWindowApplication(const TWindowApplication&) = delete;
    TWindowApplication& operator=(const TWindowApplication&) = delete;

    HWND Handle() const noexcept { return window_; }
    DWORD MainThreadId() const noexcept { return mainThreadId_; }

    // Hooks see every message of the hidden window first, in the order added.
    void HookMainWindow(WindowHook hook);
    void UnhookMainWindow();

    // Removes one message and dispatches it, or waits for one. WM_QUIT marks
    // the application terminated.
    void HandleMessage();
    void ProcessMessages();  // dispatches what is queued, without waiting
    bool Terminated() const noexcept { return terminated_; }
    void Terminate() noexcept { terminated_ = true; }
    // Ends the main loop from any thread.
    void PostQuit() noexcept;

    // Errors escaping message handlers come here: aborts are dropped, others go
    // to the installed handler (none: dropped).
    void HandleException(const Exception& e) noexcept;
    void SetExceptionHandler(ExceptionHandler handler) { onException_ = std::move(handler); }
    // Errors that are not ours come here, from inside the catch block that
    // caught them (the handler may rethrow to learn what they are); none
    // may unwind through the platform's message dispatch. Without a handler
    // they are dropped.
    void HandleForeignError() noexcept;
    void SetForeignErrorHandler(std::function<void()> handler) { onForeignError_ = std::move(handler); }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    HWND window_ = nullptr;
    DWORD mainThreadId_;
    bool terminated_ = false;
    std::vector<WindowHook> hooks_;
    ExceptionHandler onException_;
    std::function<void()> onForeignError_;
};

}  // namespace nimbora
