#pragma once
// A platform thread that is created suspended and started explicitly, can be
// waited for, carries a terminated mark and a return value, and can suspend
// itself until another thread resumes it.

#include <windows.h>

#include <atomic>

#include "svchost/UniqueHandle.h"

namespace nimbora {

class TThread {
public:
    TThread();  // created suspended; raises EOSError when the platform refuses
    virtual ~TThread();  // waits for a started thread to end
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    void WaitFor();

    void Terminate() noexcept { terminated_ = true; }
    bool Terminated() const noexcept { return terminated_; }
    DWORD ThreadId() const noexcept { return id_; }
    int ReturnValue() const noexcept { return returnValue_; }

    // Called on this thread only: marks it suspended and suspends it until
    // Resume, unless a message is already waiting in its queue; a Resume that
    // leaves the queue empty does not end the suspension. If suspending
    // fails, the mark is restored and EOSError raised.
    void SuspendSelf();
    bool Suspended() const noexcept { return suspended_; }
    // Called from another thread after posting to it: wakes a thread that
    // suspended itself, waiting out one that has set its mark but not stopped.
    void Resume() noexcept;

protected:
    virtual void Execute() = 0;
    // Runs on the thread after Execute has returned or raised.
    virtual void DoTerminate() {}
    void SetReturnValue(int value) noexcept { returnValue_ = value; }
    // SuspendThread on the calling thread: the previous suspend count, or
    // (DWORD)-1 with the error in GetLastError.
    virtual DWORD SuspendCurrentThread() noexcept;

private:
    static DWORD WINAPI ThreadProc(void* self);

    UniqueHandleObject handle_;
    DWORD id_ = 0;
    bool started_ = false;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> suspended_{false};
    std::atomic<bool> suspendFailed_{false};
    std::atomic<int> returnValue_{0};
};

}  // namespace nimbora
