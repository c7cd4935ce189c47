// Opening and closing the session, the API lock that admits one exported call
// at a time, and the library's load and unload. The command calls live in
// commands.cpp; the exports themselves in exports.cpp.
#include "api/session.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "session/session_state.h"
#include "api/version.h"
#include "capture/capture.h"
#include "link/status_queries.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "log/traffic_log.h"
#include "platform/clock.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "serial/checked.h"
#include "serial/port_table.h"
#include "ui/boxes.h"

namespace moldrin::api {

using log::LogSerial;
using log::LogSerialf;

// Beyond the read time-out, what a transition gives the one in progress (and
// the unload a running call) to finish before it gives up.
constexpr uint32_t kGraceMs = 500;
// How long the unload waits for a command inside the capture to come out.
constexpr uint32_t kUnloadCaptureWaitMs = 120000;
constexpr uint32_t kUnloadStepMs = 10;

namespace {

// Serialises the session's transitions (open, close, unload): a session is
// never opened while another thread is closing it, or the other way round.
// Taken before the API semaphore. Never destroyed, for the unload path.
class Lifecycle {
public:
    static Lifecycle& Get() {
        static auto& lifecycle = *new Lifecycle;
        return lifecycle;
    }
    // False when the time ran out first.
    bool Enter(uint32_t timeoutMs) {
        std::unique_lock lock(m_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !busy_; })) return false;
        busy_ = true;
        return true;
    }
    void Leave() {
        {
            std::lock_guard lock(m_);
            busy_ = false;
        }
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool busy_ = false;
};

// The turn of one transition, if it came within the time given.
class Transition {
public:
    explicit Transition(uint32_t timeoutMs) : entered_(Lifecycle::Get().Enter(timeoutMs)) {}
    ~Transition() {
        if (entered_) Lifecycle::Get().Leave();
    }
    Transition(const Transition&) = delete;
    Transition& operator=(const Transition&) = delete;
    bool entered() const { return entered_; }

private:
    const bool entered_;
};

// An open or close in progress on another thread is done within moments
// unless it waits for the printer (a line-speed detection on a silent printer
// tries for a minute or more); the caller is told rather than held that long.
uint32_t TransitionLimitMs() { return g_session.ReadTimeoutSeconds * 1000u + kGraceMs; }

int TransitionBusy(const char* call) {
    LogSerialf(CP1252("ERRO - %s NÃO ATENDIDO: SESSÃO OCUPADA POR OUTRA THREAD"), call);
    return -1;
}

// Waits for the session's semaphore. A wait that ends on a semaphore that is
// no longer the session's (closed meanwhile; handles are never reused) fails
// as a call on a closed session does.
int LockSemaphore(uint32_t timeoutMs) {
    const platform::SemaphoreHandle h = g_session.ApiSemaphore.load();
    if (h == 0) return -1;
    if (platform::SemaphoreWait(h, timeoutMs) != platform::WaitResult::Signaled) return -1;
    if (g_session.ApiSemaphore.load() != h) {
        platform::SemaphoreRelease(h, 1);
        return -1;
    }
    return 0;
}

// Closes the session held by the caller (the API lock, when it got it): stops
// the capture, closes the port, logs, and closes the semaphore without
// releasing it, so that every call still waiting for it fails.
void CloseLocked(platform::SemaphoreHandle sem) {
    SessionState& s = g_session;
    LogSerial(CP1252("Executando a função ECFClose()"));
    capture::CaptureStop(s.CaptureEnabled);

    const int port = s.PortIndex + 1;
    s.LastPortStatus = serial::PortClose(s.PortIndex);
    if (s.LastPortStatus == serial::kNoSuchPort) {
        LogSerialf("ERRO PORTA COM%d DEIXOU DE EXISTIR ???", port);
    } else if (s.LastPortStatus < 0) {
        LogSerialf("ERRO - CONFLITO DE PORTA NO SISTEMA - porta =(%d) ", port);
    }
    s.PortIndex = -1;
    s.ApiSemaphore = 0;
    platform::SemaphoreClose(sem);
}

}  // namespace

int ApiLock() {
    // An unloading library admits no new call: the unload is closing the session.
    if (g_session.Unloading.load() != 0) return -1;
    if (LockSemaphore(platform::kWaitForever) != 0) return -1;
    if (g_session.Unloading.load() != 0) {
        ApiUnlock();
        return -1;
    }
    return 0;
}

int ApiLockWithin(uint32_t timeoutMs) {
    if (g_session.Unloading.load() != 0) return -1;
    const platform::SemaphoreHandle h = g_session.ApiSemaphore.load();
    if (h == 0) return -1;
    if (LockSemaphore(timeoutMs) == 0) {
        if (g_session.Unloading.load() == 0) return 0;
        ApiUnlock();
        return -1;
    }
    return g_session.ApiSemaphore.load() == h ? -2 : -1;
}

void ApiUnlock() { platform::SemaphoreRelease(g_session.ApiSemaphore.load(), 1); }

int OpenSession(int port, unsigned timeout, unsigned logMode, int dialogs) {
    SessionState& s = g_session;
    if (s.Unloading.load() != 0) return -1;
    const uint32_t limitMs = TransitionLimitMs();
    Transition transition(limitMs);
    if (!transition.entered()) return TransitionBusy("ECFopen()");
    if (s.PortIndex >= 0) {
        ui::InfoBox(CP1252("ECFopen -> TALMA:  ERRO - NÃO FOI DADO ECFClose"));
        return -1;
    }

    // A semaphore left by an open that failed early is replaced, not leaked; a
    // call that holds it (reporting the missing session) finishes first, and
    // the calls still waiting for it fail when it closes. One that keeps it (an
    // operator box left open) makes this open fail, leaving everything as it was.
    if (platform::SemaphoreHandle old = s.ApiSemaphore.load(); old != 0) {
        if (platform::GetClock().WaitSemaphore(old, limitMs) == platform::WaitResult::TimedOut) {
            return TransitionBusy("ECFopen()");
        }
        s.ApiSemaphore = 0;
        platform::SemaphoreClose(old);
    }
    uint32_t lastError = 0;
    platform::SemaphoreHandle sem = platform::SemaphoreCreate(0, 1, &lastError);
    if (sem == 0 || lastError == platform::kErrorAlreadyExists) {
        if (sem != 0) platform::SemaphoreClose(sem);
        char text[128];
        std::snprintf(text, sizeof text, "ECFopen -> TALMA:  ERRO - HANDLE SEMAFORO INVALIDO = %8lu",
                      static_cast<unsigned long>(lastError));
        ui::InfoBox(text);
        return -1;
    }
    s.ApiSemaphore = sem;
    auto fail = [] {
        ApiUnlock();
        return -1;
    };

    s.TaxRateTable.fill(0);
    s.LogMode = logMode;
    s.PortIndex = port - 1;
    s.ReplyBuffer[0] = 0;
    log::ClearLogPath();
    s.ModelGate = 0;
    s.LinkModelLetter = 0;
    s.ShowDialogs = dialogs;
    s.DialogsEnabled = dialogs != 0 ? 1 : 0;

    char version[1100];
    VersionText(version, sizeof version);
    std::snprintf(s.CommandBuffer.data(), s.CommandBuffer.size(),
                  "<<< Moldrin.DLL - Versao %s- TALMA INFORMATICA >>>", version);
    s.CommandBuffer[500] = 0;
    LogSerial(s.CommandBuffer.data());

    if (logMode == 1) LogSerial("LOG habilitado - renovacao semanal");
    else if (logMode > 1) LogSerialf("LOG habilitado - tamanho limite:  %d K", static_cast<int>(logMode));
    LogSerial(dialogs != 0 ? "Mostra CAIXA DE DIALOGO de erro" : "N A O   mostra CAIXA DE DIALOGO de erro");

    if (port == 0) {
        LogSerial("ERRO - Aplicativo informou Porta ZERO !!!");
        ui::InfoBox("ERRO - Aplicativo informou Porta ZERO !!!");
        return fail();
    }

    serial::PortClose(s.PortIndex);

    if (timeout == 0 || timeout > 60) {
        char text[96];
        std::snprintf(text, sizeof text, "ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = %u", timeout);
        LogSerial(text);
        ui::InfoBox(text);
        return fail();
    }
    s.ReadTimeoutSeconds = timeout;
    LogSerialf("Timeout informado == %d  segundos", static_cast<int>(timeout));

    s.LastPortStatus = serial::Parms(-1);
    if (s.LastPortStatus < 0) return fail();
    s.LastPortStatus = serial::PortSetBaud(-1, 9600);
    if (s.LastPortStatus < 0) return fail();

    s.LastPortStatus = serial::PortOpen(s.PortIndex, 1600, 1600);
    if (s.LastPortStatus == serial::kNoSuchPort) {
        LogSerialf(CP1252("PORTA SERIAL NÃO EXISTE - informado: COM%d"), port);
        return fail();
    }
    if (s.LastPortStatus < 0) {
        LogSerialf("CONFLITO DE PORTA NO SISTEMA - status =(%d) [", s.LastPortStatus);
        LogSerialf("<<<< Porta informada COM%d  >>>>", port);
        s.LastPortStatus = serial::Parms(s.PortIndex);
        s.LastPortStatus = serial::PortSetBaud(s.PortIndex, 9600);
        serial::PortSetFlow(s.PortIndex, 'N');
        return fail();
    }

    LogSerialf("<<<< ECFopen > TALMA:    O   K    !!!  -  porta COM%d  inicializada >>>>", port);

    s.LastPortStatus = serial::Parms(s.PortIndex);
    if (s.LastPortStatus < 0) return fail();
    // The library drives RTS and DTR and reads CTS and DSR itself; the port's own flow control stays off.
    if (serial::PortSetFlow(s.PortIndex, 'N') != 0) {
        ui::InfoBox("Erro ao Programar Controle de Fluxo");
        return fail();
    }

    link::DetectLineSpeed();

    log::FileHandle ini = log::FileOpenShared("c:\\TALMA\\talma.ini");
    if (ini != log::kInvalidFile) s.CaptureEnabled = 0;
    log::FileClose(ini);

    capture::CaptureStart(s.CaptureEnabled);
    ApiUnlock();
    return 0;
}

int CloseSession() {
    SessionState& s = g_session;
    Transition transition(TransitionLimitMs());
    if (!transition.entered()) return TransitionBusy("ECFClose()");
    if (ApiLock() != 0) return -1;
    if (s.PortIndex < 0) {
        LogSerial(CP1252("ERRO SISTEMA - NÃO FOI CHAMADO ECFopen()"));
        ApiUnlock();
        return -1;
    }
    CloseLocked(s.ApiSemaphore.load());
    return 0;
}

void ProcessAttach(void* moduleHandle) { platform::SetModuleHandle(moduleHandle); }

void ProcessDetach() {
    SessionState& s = g_session;
    // From here on the printer link gives up at once and no call gets the lock,
    // so the call that holds it, if any, lets go within moments.
    s.Unloading = 1;
    if (s.PortIndex < 0) return;
    // A call that does not let go (an operator box left open, a thread stopped
    // by the system) must not hold the process on its way out: after about a
    // read time-out the session is closed all the same, at once when every
    // other thread was already ended by the system.
    const uint32_t limitMs = platform::SoleThread() ? 0 : TransitionLimitMs();
    const Transition transition(limitMs);
    if (s.PortIndex >= 0) {
        const platform::SemaphoreHandle sem = s.ApiSemaphore.load();
        const bool locked = transition.entered() && LockSemaphore(limitMs) == 0;
        // A command still inside the capture gives up its printer exchanges at
        // once, but a day's fiscal file being made takes what it takes: the
        // session is not closed under it, nor its state emptied.
        if (!locked && !platform::SoleThread()) {
            for (uint32_t waited = 0; capture::CaptureBusy() && waited < kUnloadCaptureWaitMs; waited += kUnloadStepMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(kUnloadStepMs));
            if (capture::CaptureBusy()) {
                LogSerial(CP1252("ERRO - DESCARGA DA DLL COM COMANDO EM ANDAMENTO: SESSÃO NÃO FECHADA"));
                return;
            }
            // Out of the capture, the call lets go of the lock within moments.
            LockSemaphore(limitMs);
        }
        CloseLocked(sem);
    }
}

}  // namespace moldrin::api
