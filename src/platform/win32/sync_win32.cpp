// Semaphores and the worker thread on Windows. Handles are numbers into a table
// over the system's semaphores, so a wait on a closed handle fails at once.
#include "platform/win32/win32.h"

#include <atomic>
#include <memory>

#include "platform/handle_table.h"
#include "platform/sync.h"

namespace moldrin::platform {

namespace {

// A system semaphore and the event that tells its waiters it was closed: closing
// a handle another thread is waiting on would leave that thread waiting forever.
struct Semaphore {
    HANDLE sem = nullptr;
    HANDLE closed = nullptr;
    ~Semaphore() {
        if (sem) ::CloseHandle(sem);
        if (closed) ::CloseHandle(closed);
    }
};

// Never destroyed: a session closed from the process-exit path still finds it.
HandleTable<Semaphore>& Table() {
    static auto* table = new HandleTable<Semaphore>();
    return *table;
}
std::atomic<bool> g_soleThread{false};

}  // namespace

void SetSoleThread(bool sole) { g_soleThread.store(sole); }
bool SoleThread() { return g_soleThread.load(); }

SemaphoreHandle SemaphoreCreate(int32_t initial, int32_t maximum, uint32_t* lastError) {
    ::SetLastError(0);
    HANDLE sem = ::CreateSemaphoreA(nullptr, initial, maximum, nullptr);
    DWORD err = ::GetLastError();
    if (lastError) *lastError = sem ? err : (err ? err : ERROR_INVALID_PARAMETER);
    if (!sem) return 0;
    auto s = std::make_shared<Semaphore>();
    s->sem = sem;
    s->closed = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!s->closed) {
        if (lastError) *lastError = ::GetLastError();
        return 0;
    }
    return Table().Add(std::move(s));
}

WaitResult SemaphoreWait(SemaphoreHandle h, uint32_t timeoutMs) {
    auto s = Table().Find(h);
    if (!s) return WaitResult::Failed;
    // With every other thread gone nothing can release the semaphore later, so
    // blocking would only hang the process on its way out.
    if (g_soleThread.load()) timeoutMs = 0;
    HANDLE both[2] = {s->closed, s->sem};
    DWORD r = ::WaitForMultipleObjects(2, both, FALSE, timeoutMs == kWaitForever ? INFINITE : timeoutMs);
    if (r == WAIT_OBJECT_0 + 1) return WaitResult::Signaled;
    if (r == WAIT_TIMEOUT) return g_soleThread.load() ? WaitResult::Failed : WaitResult::TimedOut;
    return WaitResult::Failed;
}

bool SemaphoreRelease(SemaphoreHandle h, int32_t count) {
    auto s = Table().Find(h);
    if (!s || count < 1) return false;
    return ::ReleaseSemaphore(s->sem, count, nullptr) != 0;
}

bool SemaphoreClose(SemaphoreHandle h) {
    std::shared_ptr<Semaphore> s = Table().Take(h);
    if (!s) return false;
    ::SetEvent(s->closed);
    return true;
}

namespace {
struct ThreadStartArgs {
    void (*fn)(void*);
    void* arg;
    HMODULE module;
};

DWORD WINAPI ThreadTrampoline(LPVOID p) {
    ThreadStartArgs args = *static_cast<ThreadStartArgs*>(p);
    delete static_cast<ThreadStartArgs*>(p);
    args.fn(args.arg);
    // The thread holds its own reference to the library, so the library cannot be
    // unloaded under the code it is still running; the system drops the reference
    // only once the thread has left that code.
    ::FreeLibraryAndExitThread(args.module, 0);
    return 0;
}
}  // namespace

bool ThreadStart(void (*fn)(void*), void* arg) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&ThreadTrampoline), &module))
        return false;
    auto* args = new ThreadStartArgs{fn, arg, module};
    HANDLE t = ::CreateThread(nullptr, 0, ThreadTrampoline, args, 0, nullptr);
    if (!t) {
        delete args;
        ::FreeLibrary(module);
        return false;
    }
    ::CloseHandle(t);
    return true;
}

namespace {
// The thread handle of a joinable thread; its trampoline is the detached one's,
// so the thread keeps the library loaded until it has left the library's code.
struct JoinableThread {
    HANDLE thread = nullptr;
};
}  // namespace

ThreadHandle ThreadStartJoinable(void (*fn)(void*), void* arg) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&ThreadTrampoline), &module))
        return 0;
    auto* args = new ThreadStartArgs{fn, arg, module};
    HANDLE t = ::CreateThread(nullptr, 0, ThreadTrampoline, args, 0, nullptr);
    if (!t) {
        delete args;
        ::FreeLibrary(module);
        return 0;
    }
    return reinterpret_cast<ThreadHandle>(new JoinableThread{t});
}

WaitResult ThreadJoin(ThreadHandle h, uint32_t timeoutMs) {
    auto* t = reinterpret_cast<JoinableThread*>(h);
    if (!t) return WaitResult::Failed;
    const DWORD r = ::WaitForSingleObject(t->thread, timeoutMs == kWaitForever ? INFINITE : timeoutMs);
    if (r == WAIT_TIMEOUT) return WaitResult::TimedOut;
    ::CloseHandle(t->thread);
    delete t;
    return r == WAIT_OBJECT_0 ? WaitResult::Signaled : WaitResult::Failed;
}

void ThreadDetach(ThreadHandle h) {
    auto* t = reinterpret_cast<JoinableThread*>(h);
    if (!t) return;
    ::CloseHandle(t->thread);
    delete t;
}

}  // namespace moldrin::platform
