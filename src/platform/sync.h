// Semaphores and threads. Semaphores are handles into a table, so a wait on a
// handle that was closed, or never created, fails at once instead of touching
// freed memory.
#pragma once
#include <cstdint>

namespace moldrin::platform {

using SemaphoreHandle = uintptr_t;  // 0 = none
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
constexpr uint32_t kErrorAlreadyExists = 183;

enum class WaitResult { Signaled, TimedOut, Failed };

// Creates an unnamed semaphore; *lastError receives the system's last error (0 when none).
SemaphoreHandle SemaphoreCreate(int32_t initial, int32_t maximum, uint32_t* lastError);
WaitResult SemaphoreWait(SemaphoreHandle h, uint32_t timeoutMs);
bool SemaphoreRelease(SemaphoreHandle h, int32_t count = 1);
bool SemaphoreClose(SemaphoreHandle h);

// Starts a detached thread running fn(arg); false when it could not start.
bool ThreadStart(void (*fn)(void*), void* arg);

// A thread whose end can be waited for, with a deadline.
using ThreadHandle = uintptr_t;  // 0 = none
// Starts a thread running fn(arg); 0 when it could not start.
ThreadHandle ThreadStartJoinable(void (*fn)(void*), void* arg);
// Waits at most timeoutMs for the thread to end. Signaled: it has ended and the
// handle is gone; TimedOut: it still runs and the handle stays valid.
WaitResult ThreadJoin(ThreadHandle h, uint32_t timeoutMs);
// Gives the handle up: a thread still running ends on its own later.
void ThreadDetach(ThreadHandle h);

// Told while the process is ending with every other thread already gone (the
// Windows process-detach notification at exit): no wait may block then, since
// nothing is left to release it, so waits take what is free and fail otherwise.
void SetSoleThread(bool sole);
bool SoleThread();

// Takes a lock, except while SoleThread(): a lock held then belongs to a thread
// the system has already ended and would never be given back, so it is only
// tried. False when the lock was not taken.
template <class Lock>
bool LockUnlessAbandoned(Lock& lock) {
    if (!SoleThread()) {
        lock.lock();
        return true;
    }
    return lock.try_lock();
}

}  // namespace moldrin::platform
