#include "svchost/Thread.h"

#include "svchost/SystemMessage.h"

namespace nimbora {

TThread::TThread() {
    handle_.reset(CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &id_));
    if (!handle_) RaiseLastOSError();
}

TThread::~TThread() {
    if (started_) WaitFor();
}

void TThread::Start() {
    started_ = true;
    ResumeThread(handle_.get());
}

void TThread::WaitFor() { WaitForSingleObject(handle_.get(), INFINITE); }

DWORD WINAPI TThread::ThreadProc(void* self) {
    auto* thread = static_cast<TThread*>(self);
    try {
        thread->Execute();
    } catch (...) {
        // A thread body reports its own failures; nothing may unwind past here.
    }
    try {
        thread->DoTerminate();
    } catch (...) {
    }
    return static_cast<DWORD>(thread->returnValue_.load());
}

void TThread::SuspendSelf() {
    // N.B. the mark goes up before the queue is checked, and a resumer claims
    // it (exchange) before it resumes: a request posted at any moment either
    // is seen here, or finds the mark and wakes the thread once it has stopped.
    for (;;) {
        suspended_ = true;
        MSG waiting;
        if (PeekMessageW(&waiting, nullptr, 0, 0, PM_NOREMOVE) && suspended_.exchange(false)) return;
        if (SuspendCurrentThread() == static_cast<DWORD>(-1)) {
            const DWORD error = GetLastError();
            // N.B. a resumer that has claimed the mark waits for the
            // suspension: tell it that none comes. With the mark still up
            // nobody has claimed it, and the failure must not be left for
            // the next resumer, which would then stop waiting too early.
            if (!suspended_.exchange(false)) suspendFailed_ = true;
            RaiseOSError(error);
        }
        // A resumer posts before it looks at the mark, so a real wake finds
        // its request queued. An empty queue means the resumer's request had
        // already been taken before the mark went up (typically the very
        // request that led here): suspend again.
        if (PeekMessageW(&waiting, nullptr, 0, 0, PM_NOREMOVE)) return;
    }
}

DWORD TThread::SuspendCurrentThread() noexcept { return SuspendThread(GetCurrentThread()); }

void TThread::Resume() noexcept {
    if (!suspended_.exchange(false)) return;
    // The thread may have raised its mark without having stopped yet: wait
    // until the resume takes hold (the previous suspend count is then 1).
    for (;;) {
        const DWORD previous = ResumeThread(handle_.get());
        if (previous == static_cast<DWORD>(-1) || previous >= 1 || suspendFailed_.exchange(false)) return;
        // N.B. not Sleep(0), which gives way only to threads of the same
        // priority or higher.
        SwitchToThread();
    }
}

}  // namespace nimbora
