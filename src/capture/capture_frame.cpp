// The capture's frame: the capture semaphore, the worker that keeps the status
// cache current while the application is idle, starting and stopping both,
// and the hand-off of each command to the interception (interception.cpp).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "session/session_state.h"
#include "capture/capture.h"
#include "store/capture_state.h"
#include "store/rfd_file.h"
#include "capture/interception.h"
#include "capture/status_refresh.h"
#include "link/block_protocol.h"
#include "log/text.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "serial/checked.h"
#include "ui/boxes.h"

namespace moldrin::capture {

namespace {

constexpr uint32_t kLockWaitMs = 15000;
// An application call gives up after this many waits: the worker gives way
// within one query once it sees the call waiting, so only a worker held up
// by something else (an operator's box) can hold the capture this long.
constexpr int kLockWaits = 4;
constexpr uint32_t kWorkerWaitMs = 100;
constexpr uint32_t kPauseMs = 300;
constexpr int kPauseSteps = 10;
constexpr int kPauseStepsGivingWay = 300;
// Records that are not a command's (replies, status) reach the disk with the
// next command's record; when none follows this soon, the worker flushes them.
constexpr uint32_t kIdleFlushMs = 1000;
// How long a stop waits for the worker to end, in steps that pump messages.
constexpr uint32_t kStopStepMs = 10;
constexpr int kStopSteps = 3000;

// One run of the capture, from CaptureStart to CaptureStop. The worker is
// handed its own run, so that it never reaches the semaphore of a later one.
struct CaptureRun {
    platform::SemaphoreHandle semaphore = 0;
    platform::SemaphoreHandle wake = 0;  // released by the stop, to cut the worker's pause short
    platform::ThreadHandle worker = 0;
    std::atomic<int32_t> running{0};
    std::atomic<bool> stop{false};
    // Calls made without the API lock (the fast writer) that are using this
    // run; counted under RunUsers(), so the stop frees no run still in use.
    int users = 0;
};

// The current run. Only the application's calls change it, and the API lock
// admits one of them at a time; an atomic pointer, so no exit handler ever
// destroys it under a session closed at unload.
std::atomic<CaptureRun*> g_run{nullptr};

// Guards the hand-over of g_run to a call outside the API lock. Never destroyed.
std::mutex& RunUsers() {
    static auto& m = *new std::mutex;
    return m;
}

// The current run, counted as used; null when no capture runs.
CaptureRun* UseRun() {
    std::lock_guard lock(RunUsers());
    CaptureRun* run = g_run.load();
    if (run) ++run->users;
    return run;
}

void LeaveRun(CaptureRun* run) {
    std::lock_guard lock(RunUsers());
    --run->users;
}

// How long a stop waits for the fast writer to leave the run it ends: a byte
// may take the read time-out, and the writer gives up once the semaphore closes.
constexpr int kUsersWaitSteps = 3000;
constexpr uint32_t kUsersWaitStepMs = 10;

// True once no call outside the API lock uses the run any more.
bool RunUnused(CaptureRun& run) {
    for (int i = 0; i < kUsersWaitSteps; ++i) {
        {
            std::lock_guard lock(RunUsers());
            if (run.users == 0) return true;
        }
        platform::SleepMs(kUsersWaitStepMs);
    }
    return false;
}

// Once the process has begun to exit, the objects a pass uses (the port table
// among them) may already be gone: no pass starts, and the one under way is
// waited for before the exit handlers go on.
std::atomic<bool> g_exiting{false};
std::atomic<int32_t> g_passesRunning{0};
constexpr int kExitWaitSteps = 2000;

void OnProcessExit() {
    g_exiting = true;
    if (!g_run.load()) return;
    g_session.CaptureStopRequest = 1;
    for (int i = 0; i < kExitWaitSteps && g_passesRunning.load() != 0; ++i) platform::SleepMs(1);
}

bool ApplicationWaiting() { return g_session.ApplicationWaiting.load() != 0; }
bool Ending(const CaptureRun& run) { return run.stop.load() || g_exiting.load(); }
bool GiveWay(const CaptureRun& run) { return ApplicationWaiting() || Ending(run); }

int LockRun(CaptureRun& run) {
    g_session.ApplicationWaiting = 0;
    platform::WaitResult r = platform::WaitResult::Failed;
    for (int wait = 0; wait < kLockWaits; ++wait) {
        r = platform::GetClock().WaitSemaphore(run.semaphore, kLockWaitMs);
        if (r != platform::WaitResult::TimedOut) break;
        g_session.ApplicationWaiting = 1;
    }
    g_session.ApplicationWaiting = 0;
    return r == platform::WaitResult::Signaled ? 0 : -1;
}

// One pass of the worker, under the capture semaphore: whatever the last
// commands made stale is read again, giving way as soon as a call waits.
void RefreshPass(const CaptureRun& run) {
    // Nothing is asked before the first command's full refresh, nor of a
    // printer without DSR.
    if (g_capture.CaptureState != 1 || GiveWay(run)) return;
    if (serial::SioDSR() < 1) return;
    StatusCache& c = g_capture.cache;
    if (!c.status1Current) RefreshStatus1();
    if (!c.status1[0] || static_cast<unsigned char>(c.status1[124]) >= 'G') return;
    if (!c.status1Current) return;
    CopyText(g_capture.fiscalDate, c.status1.data() + 7, 6);
    if (GiveWay(run)) return;
    if (!c.groupCurrent) {
        RefreshGroup();
        if (GiveWay(run) || !c.status1Current) return;
    }
    if (c.groupCurrent && !c.fCurrent) {
        RefreshStatusF();
        if (GiveWay(run) || !c.status1Current) return;
    }
    if (c.groupCurrent && c.fCurrent && c.gState == 0) {
        RefreshStatusG();
        if (GiveWay(run) || !c.status1Current) return;
    }
    if (c.status28State == 2) RefreshStatus28();
}

// The pause between passes, longer after a call had to wait. True when the
// worker is to end.
bool Pause(CaptureRun& run) {
    const int steps = ApplicationWaiting() ? kPauseStepsGivingWay : kPauseSteps;
    const uint32_t deadline = platform::TickMs() + kPauseMs;
    for (int i = 0; i < steps; ++i) {
        ui::PumpMessages();
        platform::GetClock().WaitSemaphore(run.wake, 1);
        if (Ending(run)) return true;
        if (platform::TickReached(platform::TickMs(), deadline)) break;
    }
    return false;
}

void CaptureWorker(void* arg) {
    CaptureRun& run = *static_cast<CaptureRun*>(arg);
    run.running = 1;
    for (;;) {
        const platform::WaitResult w = platform::SemaphoreWait(run.semaphore, kWorkerWaitMs);
        if (w != platform::WaitResult::Signaled) {
            ui::PumpMessages();
            // A closed semaphore means the run is over, whether or not the stop was seen.
            if (Ending(run) || w == platform::WaitResult::Failed) break;
            continue;
        }
        ++g_passesRunning;
        if (Ending(run)) {
            --g_passesRunning;
            platform::SemaphoreRelease(run.semaphore);
            break;
        }
        {
            // Its boxes wait for the application's next call: one left open
            // here would hold the capture, and every call with it.
            ui::KeepErrorBoxes keep;
            RefreshPass(run);
            RfdFlushIdle(kIdleFlushMs);
        }
        --g_passesRunning;
        platform::SemaphoreRelease(run.semaphore);
        if (Pause(run)) break;
    }
    run.running = 0;
}

// Waits for the worker to end, pumping messages. True once it is gone.
bool EndWorker(CaptureRun& run) {
    if (!run.worker) return true;
    for (int i = 0; i < kStopSteps; ++i) {
        ui::PumpMessages();
        if (platform::ThreadJoin(run.worker, kStopStepMs) != platform::WaitResult::TimedOut) {
            run.worker = 0;
            return true;
        }
    }
    return false;
}

}  // namespace

int CaptureStart(int enabled) {
    if (enabled != 1) return 1;
    if (g_run.load()) CaptureStop(1);
    // Registered after the port table was first used, so it runs before that goes.
    static const bool exitHandler = std::atexit(OnProcessExit) == 0;
    (void)exitHandler;

    uint32_t lastError = 0;
    const platform::SemaphoreHandle sem = platform::SemaphoreCreate(0, 1, &lastError);
    if (sem == 0 || lastError == platform::kErrorAlreadyExists) {
        // A semaphore that is never released would hold every later command
        // for ever: without a run, they fail at once.
        if (sem != 0) platform::SemaphoreClose(sem);
        char text[64];
        std::snprintf(text, sizeof text, "ERRO - HANDLE SEMAFORO INVALIDO = %8lu", static_cast<unsigned long>(lastError));
        ui::ErrorBox(text);
        return -1;
    }

    // What a run of another session left is not this printer's.
    ResetCaptureState();
    g_capture.fiscalDate[0] = 0;
    g_capture.fileDay = CalendarDay{};
    g_capture.closedDate[0] = 0;
    // A status request of an earlier session was answered, if at all, on a
    // port since closed: its reply will never come to this one.
    g_capture.pendingStatus1 = false;
    g_session.CaptureStopRequest = 0;
    g_session.ApplicationWaiting = 0;

    auto* run = new CaptureRun;
    run->semaphore = sem;
    run->wake = platform::SemaphoreCreate(0, 1, nullptr);
    if (run->wake != 0) run->worker = platform::ThreadStartJoinable(CaptureWorker, run);
    g_run = run;
    if (run->worker == 0) {
        // The commands are still captured, only without the background refresh.
        ui::ErrorBox(CP1252("ERRO NA ALOCAÇÃO DO THREAD"));
        platform::SemaphoreRelease(sem);
        return -1;
    }
    platform::SemaphoreRelease(sem);
    return 1;
}

int CaptureStop(int enabled) {
    if (enabled != 1) return 1;
    CaptureRun* run = g_run.load();
    if (!run) {
        ResetCaptureState();
        g_capture.pendingStatus1 = false;
        return 1;
    }
    g_session.CaptureStopRequest = 1;
    run->stop = true;
    platform::SemaphoreRelease(run->wake);
    // Once the stop holds the semaphore no pass is under way, and the worker
    // ends at its next wait.
    const bool locked = LockRun(*run) == 0;
    // What the session recorded is on disk when it ends.
    if (locked) RfdFlush();
    const bool ended = EndWorker(*run);
    // A worker that could not be waited for may still be inside a pass: the
    // state is left to it, and the next start empties it.
    if (ended) {
        ResetCaptureState();
        // The port closes after the stop: a reply still owed is never read.
        g_capture.pendingStatus1 = false;
    }
    if (locked) platform::SemaphoreRelease(run->semaphore);
    {
        std::lock_guard lock(RunUsers());
        g_run = nullptr;
    }
    platform::SemaphoreClose(run->semaphore);
    const bool unused = RunUnused(*run);
    if (ended && unused) {
        platform::SemaphoreClose(run->wake);
        delete run;
    } else if (!ended) {
        // It keeps its run, which is never freed: with its semaphore closed
        // it ends at its next wait without touching anything else.
        platform::ThreadDetach(run->worker);
    }
    g_session.CaptureStopRequest = 0;
    g_session.ApplicationWaiting = 0;
    // What the worker had to say; not while unloading, with nobody to answer.
    if (g_session.Unloading.load() == 0) ui::ShowKeptErrorBoxes();
    return 1;
}

int CaptureLock() {
    CaptureRun* run = g_run.load();
    return run ? LockRun(*run) : -1;
}

void CaptureUnlock() {
    if (CaptureRun* run = g_run.load()) platform::SemaphoreRelease(run->semaphore);
}

int CaptureFastSend(const char* bytes, uint32_t count, uint32_t holdMs) {
    CaptureRun* run = UseRun();
    if (!run) {
        const int sent = link::TxFast(bytes, count);
        if (holdMs) platform::SleepMs(holdMs);
        return sent;
    }
    int sent = 0;
    if (LockRun(*run) == 0) {
        // The reply to the status request sent after the last command is
        // read first: the bytes may be followed by clearing what came in.
        if (g_capture.pendingStatus1) {
            ui::KeepErrorBoxes keep;
            RefreshStatus1();
            g_capture.pendingStatus1 = false;
        }
        sent = link::TxFast(bytes, count);
        if (holdMs) platform::SleepMs(holdMs);
        platform::SemaphoreRelease(run->semaphore);
    }
    LeaveRun(run);
    return sent;
}

namespace {
// Commands inside the capture; the unload closes no session under one.
std::atomic<int32_t> g_feeding{0};

struct Feeding {
    Feeding() { ++g_feeding; }
    ~Feeding() { --g_feeding; }
};
}  // namespace

bool CaptureBusy() { return g_feeding.load() != 0; }

int CaptureFeed(char* command, int enabled) {
    if (enabled != 1) return 2;
    const Feeding feeding;
    if (CaptureLock() != 0) {
        ui::ErrorBox(CP1252("Erro Semáforo"));
        SetText(g_session.ReplyBuffer, ".-P666}");
        return -1;
    }
    const int r = InterceptCommand(command);
    CaptureUnlock();
    ui::ShowKeptErrorBoxes();
    return r <= 0 ? r : 1;
}

}  // namespace moldrin::capture
