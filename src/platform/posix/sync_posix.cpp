// Semaphores and threads on posix. A semaphore is an entry in a table keyed by
// a handle number that is never reused, so waiting on a closed or unknown
// handle fails at once, and closing wakes every waiter with a failure.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/handle_table.h"
#include "platform/sync.h"

namespace moldrin::platform {

namespace {

struct Semaphore {
    std::mutex m;
    std::condition_variable cv;
    int32_t count = 0;
    int32_t maximum = 1;
    bool closed = false;
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
    if (lastError) *lastError = 0;
    if (maximum < 1 || initial < 0 || initial > maximum) {
        if (lastError) *lastError = 87;  // invalid parameter
        return 0;
    }
    auto s = std::make_shared<Semaphore>();
    s->count = initial;
    s->maximum = maximum;
    return Table().Add(std::move(s));
}

WaitResult SemaphoreWait(SemaphoreHandle h, uint32_t timeoutMs) {
    auto s = Table().Find(h);
    if (!s) return WaitResult::Failed;
    if (g_soleThread.load()) timeoutMs = 0;
    std::unique_lock lock(s->m);
    auto ready = [&] { return s->closed || s->count > 0; };
    if (timeoutMs == kWaitForever) {
        s->cv.wait(lock, ready);
    } else if (!s->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return g_soleThread.load() ? WaitResult::Failed : WaitResult::TimedOut;
    }
    if (s->closed) return WaitResult::Failed;
    --s->count;
    return WaitResult::Signaled;
}

bool SemaphoreRelease(SemaphoreHandle h, int32_t count) {
    auto s = Table().Find(h);
    if (!s || count < 1) return false;
    std::lock_guard lock(s->m);
    if (s->closed || s->count + count > s->maximum) return false;
    s->count += count;
    s->cv.notify_all();
    return true;
}

bool SemaphoreClose(SemaphoreHandle h) {
    std::shared_ptr<Semaphore> s = Table().Take(h);
    if (!s) return false;
    std::lock_guard lock(s->m);
    s->closed = true;
    s->cv.notify_all();
    return true;
}

namespace {
struct ThreadStartArgs {
    void (*fn)(void*);
    void* arg;
};
void* ThreadTrampoline(void* p) {
    std::unique_ptr<ThreadStartArgs> args(static_cast<ThreadStartArgs*>(p));
    args->fn(args->arg);
    return nullptr;
}
}  // namespace

bool ThreadStart(void (*fn)(void*), void* arg) {
    auto* args = new ThreadStartArgs{fn, arg};
    pthread_t t;
    if (pthread_create(&t, nullptr, ThreadTrampoline, args) != 0) {
        delete args;
        return false;
    }
    pthread_detach(t);
    return true;
}

namespace {
// A joinable thread: its end is told through `done`, so that a join can have a
// deadline; pthread_join then only collects a thread that has left fn.
struct JoinableThread {
    pthread_t thread{};
    void (*fn)(void*) = nullptr;
    void* arg = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool detached = false;
};

void* JoinableTrampoline(void* p) {
    auto* t = static_cast<JoinableThread*>(p);
    t->fn(t->arg);
    bool orphan = false;
    {
        std::lock_guard lock(t->m);
        t->done = true;
        orphan = t->detached;
        t->cv.notify_all();
    }
    if (orphan) delete t;
    return nullptr;
}
}  // namespace

ThreadHandle ThreadStartJoinable(void (*fn)(void*), void* arg) {
    auto* t = new JoinableThread;
    t->fn = fn;
    t->arg = arg;
    if (pthread_create(&t->thread, nullptr, JoinableTrampoline, t) != 0) {
        delete t;
        return 0;
    }
    return reinterpret_cast<ThreadHandle>(t);
}

WaitResult ThreadJoin(ThreadHandle h, uint32_t timeoutMs) {
    auto* t = reinterpret_cast<JoinableThread*>(h);
    if (!t) return WaitResult::Failed;
    {
        std::unique_lock lock(t->m);
        auto ended = [&] { return t->done; };
        if (timeoutMs == kWaitForever) t->cv.wait(lock, ended);
        else if (!t->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ended)) return WaitResult::TimedOut;
    }
    pthread_join(t->thread, nullptr);
    delete t;
    return WaitResult::Signaled;
}

void ThreadDetach(ThreadHandle h) {
    auto* t = reinterpret_cast<JoinableThread*>(h);
    if (!t) return;
    bool ended = false;
    {
        std::lock_guard lock(t->m);
        ended = t->done;
        if (!ended) {
            t->detached = true;
            pthread_detach(t->thread);
        }
    }
    if (ended) {
        pthread_join(t->thread, nullptr);
        delete t;
    }
}

}  // namespace moldrin::platform
