// The termios tty back end: a serial port driven through its terminal settings and
// its modem-control and queue ioctls. Which name opens a tty is serial_posix's.
#include "platform/posix/tty_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#include <sys/eventfd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/posix/stream_socket_posix.h"

namespace moldrin::platform::posix {

namespace {

// Windows purge flags the tty can honour.
constexpr uint32_t kPurgeTxClear = 0x0004, kPurgeRxClear = 0x0008;
// Modem-status bits beyond CTS and DSR, reported the way the Windows call does.
constexpr uint32_t kModemRing = 0x40, kModemRlsd = 0x80;

// Applying settings moves DTR and RTS the way the device-control block says:
// "disable" lowers the line, which is why the port table re-asserts them.
bool DtrOnAfterApply(const LineSettings& s) { return s.dtrControl != kDtrControlDisable; }
bool RtsOnAfterApply(const LineSettings& s) { return s.rtsControl != kRtsControlDisable; }

struct SpeedCode {
    uint32_t rate;
    speed_t code;
};
constexpr SpeedCode kSpeeds[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool SpeedToCode(uint32_t rate, speed_t* code) {
    for (const auto& s : kSpeeds)
        if (s.rate == rate) {
            *code = s.code;
            return true;
        }
    return false;
}

uint32_t CodeToSpeed(speed_t code) {
    for (const auto& s : kSpeeds)
        if (s.code == code) return s.rate;
    return 0;
}


// Modem lines whose change ends a wait: those the modem status reports.
constexpr int kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;

// Where nothing wakes us for a modem-line change, a wait looks at the lines this
// often: the transmitter must see CTS and DSR rise within a millisecond or two,
// and a driver without the change wait leaves no cheaper way to know.
constexpr int kLinePollMs = 2;

// A line that takes no byte for this long is held (hand-shake, XOFF), not slow:
// even at 110 bit/s the terminal frees room for a byte several times a second.
constexpr uint64_t kWriteStallMs = 10000;

// How long close waits for the watcher to end once cancelled; it ends at once
// from a wait the driver makes interruptible, as every driver's is.
constexpr int kWatchStopMs = 2000;

int SystemGetLines(int fd, int* lines) { return ::ioctl(fd, TIOCMGET, lines); }

int SystemWaitChange(int fd, int mask) {
#if defined(TIOCMIWAIT)
    return ::ioctl(fd, TIOCMIWAIT, mask);
#else
    (void)fd;
    (void)mask;
    errno = ENOTTY;
    return -1;
#endif
}

// The driver's wait for a modem-line change has no time-out, so it cannot be made on
// the waiting thread: a thread of the device's own sits in it and makes each change
// a readable event descriptor, which Wait polls beside the tty. The watcher ends on
// its own when the driver cannot wait (a pseudo-terminal, some adapters), and
// otherwise by cancellation at close: the one thing that ends the driver's wait
// without touching the lines.
class ModemWatch {
public:
    ModemWatch() = default;
    ModemWatch(const ModemWatch&) = delete;
    ModemWatch& operator=(const ModemWatch&) = delete;

    // False when no watcher could be started; Wait then looks at the lines itself.
    bool Start(int ttyFd, const ModemLineCalls& calls) {
#if defined(__linux__)
        shared_->tty = ttyFd;
        shared_->waitChange = calls.waitChange;
        shared_->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (shared_->wake < 0) return false;
        // The application's signals are not ours to take.
        sigset_t all, old;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &old);
        shared_->active.store(true);
        bool started = ::pthread_create(&thread_, nullptr, &ModemWatch::Run, shared_.get()) == 0;
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (!started) {
            shared_->active.store(false);
            ::close(shared_->wake);
            shared_->wake = -1;
            return false;
        }
        running_ = true;
        return true;
#else
        (void)ttyFd;
        (void)calls;
        return false;
#endif
    }

    // Ends the watcher; false when it could not be seen to end, in which case it
    // may still use the tty and the wake descriptor, and the caller must leave the
    // tty open.
    bool Stop() {
        if (!running_) return true;
        running_ = false;
        ::pthread_cancel(thread_);
        timespec until{};
        ::clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += kWatchStopMs / 1000;
        until.tv_nsec += static_cast<long>(kWatchStopMs % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        if (Join(until) != 0) {
            // What it shares with us must outlive it: left to it, like the tty.
            ::pthread_detach(thread_);
            (void)shared_.release();
            return false;
        }
        ::close(shared_->wake);
        shared_->wake = -1;
        shared_->active.store(false);
        return true;
    }

    // True while changes of the lines wake the wake descriptor.
    bool Active() const { return running_ && shared_->active.load(); }
    int WakeFd() const { return running_ ? shared_->wake : -1; }
    uint32_t Changes() const { return shared_ ? shared_->changes.load() : 0; }

    void Drain() const {
        uint64_t count = 0;
        if (shared_ && shared_->wake >= 0 && ::read(shared_->wake, &count, sizeof count) < 0) {
            // Nothing pending: another waiter took it.
        }
    }

private:
    struct Shared {
        int tty = -1;
        int wake = -1;
        int (*waitChange)(int fd, int mask) = nullptr;
        std::atomic<bool> active{false};
        std::atomic<uint32_t> changes{0};
    };

    int Join(const timespec& until) {
#if defined(__GLIBC__)
        return ::pthread_clockjoin_np(thread_, nullptr, CLOCK_MONOTONIC, &until);
#else
        // Without a join on the monotonic clock, the same span on the wall clock.
        timespec now{}, wall{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        ::clock_gettime(CLOCK_REALTIME, &wall);
        wall.tv_sec += until.tv_sec - now.tv_sec;
        wall.tv_nsec += until.tv_nsec - now.tv_nsec;
        if (wall.tv_nsec < 0) {
            wall.tv_sec -= 1;
            wall.tv_nsec += 1000000000L;
        } else if (wall.tv_nsec >= 1000000000L) {
            wall.tv_sec += 1;
            wall.tv_nsec -= 1000000000L;
        }
        return ::pthread_timedjoin_np(thread_, nullptr, &wall);
#endif
    }

    static void Signal(int wake) {
        // A full counter already wakes every poller; nothing is lost by a refusal.
        static const uint64_t one = 1;
        if (::write(wake, &one, sizeof one) < 0) {
        }
    }

    // Cancellation may unwind these two frames from inside the driver's wait: it runs
    // no destructor, so nothing here may own anything, nor keep a local whose address
    // is taken.
    static int WaitChange(Shared* w) {
        ::pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
        int r = w->waitChange(w->tty, kWatchedLines);
        int err = errno;
        ::pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
        errno = err;
        return r;
    }

    static void* Run(void* arg) {
        Shared* w = static_cast<Shared*>(arg);
        for (;;) {
            if (WaitChange(w) == 0) {
                w->changes.fetch_add(1);
                Signal(w->wake);
            } else if (errno != EINTR) {
                // The driver cannot wait for the lines (or the line is gone): the
                // waiters look at the lines themselves from now on.
                w->active.store(false);
                Signal(w->wake);
                return nullptr;
            }
        }
    }

    std::unique_ptr<Shared> shared_ = std::make_unique<Shared>();
    pthread_t thread_{};
    bool running_ = false;
};

class TtyDevice final : public SerialDevice {
public:
    TtyDevice(Fd fd, const ModemLineCalls& calls) : fd_(std::move(fd)), calls_(calls) {
        int lines = 0;
        hasModemLines_ = calls_.get(fd_.get(), &lines) == 0;
        ReadTermios();
        // Raw from the start: a line discipline must never eat printer bytes,
        // whatever settings the caller applies later.
        termios t{};
        if (::tcgetattr(fd_.get(), &t) == 0) {
            ::cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD;
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 0;
            ::tcsetattr(fd_.get(), TCSANOW, &t);
        }
        ReadCounters(&lastCounters_);
        // Asked again on every wait: a driver without them is not asked twice.
        hasCounters_ = lastCounters_.valid;
        seen_ = Take();
        if (hasModemLines_ && calls_.waitChange) watch_.Start(fd_.get(), calls_);
    }

    ~TtyDevice() override {
        if (!watch_.Stop()) {
            // A watcher that did not end may still be in the driver with this
            // descriptor: keeping it open is better than letting its number be
            // reused under that watcher.
            fd_.Release();
            return;
        }
        // The exclusive flag outlives this open while anyone else holds the terminal
        // (a pseudo-terminal's far end does): without this, our own next open would be refused.
        ::ioctl(fd_.get(), TIOCNXCL);
    }

    bool GetTimeouts(CommTimeouts& t) override {
        std::lock_guard lock(mutex_);
        t = timeouts_;
        return true;
    }
    // Reads never wait on this back end, whatever the time-outs say.
    bool SetTimeouts(const CommTimeouts& t) override {
        std::lock_guard lock(mutex_);
        timeouts_ = t;
        return true;
    }

    bool GetState(LineSettings& s) override {
        std::lock_guard lock(mutex_);
        s = settings_;
        return true;
    }

    bool SetState(const LineSettings& s) override {
        std::lock_guard lock(mutex_);
        termios t{};
        if (::tcgetattr(fd_.get(), &t) != 0) return false;
        speed_t speed;
        if (!SpeedToCode(s.baudRate, &speed)) return Refuse(EINVAL);
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
        switch (s.byteSize) {
            case 5: t.c_cflag |= CS5; break;
            case 6: t.c_cflag |= CS6; break;
            case 7: t.c_cflag |= CS7; break;
            case 8: t.c_cflag |= CS8; break;
            default: return Refuse(EINVAL);
        }
        t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
        t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
        switch (s.parity) {
            case 0: break;
            case 1: t.c_cflag |= PARENB | PARODD; break;
            case 2: t.c_cflag |= PARENB; break;
#ifdef CMSPAR
            case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
            case 4: t.c_cflag |= PARENB | CMSPAR; break;
#endif
            default: return Refuse(EINVAL);
        }
        // cfmakeraw leaves these as they were; the block decides them.
        t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
        if (s.parity != 0 && s.parityCheck) t.c_iflag |= INPCK;
        switch (s.stopBits) {
            case 0: t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
            case 1:  // one and a half exists only on the wire of 5-bit lines; two is the nearest
            case 2: t.c_cflag |= CSTOPB; break;
            default: return Refuse(EINVAL);
        }
#ifdef CRTSCTS
        if (s.outxCtsFlow || s.rtsControl == kRtsControlHandshake)
            t.c_cflag |= CRTSCTS;
        else
            t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
        if (s.outX) t.c_iflag |= IXON;
        if (s.inX) t.c_iflag |= IXOFF;
        t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
        if (::tcsetattr(fd_.get(), TCSANOW, &t) != 0) return false;
        settings_ = s;
        settings_.length = 28;
        SetLine(TIOCM_DTR, DtrOnAfterApply(s));
        SetLine(TIOCM_RTS, RtsOnAfterApply(s));
        return true;
    }

    bool SetupQueues(uint32_t, uint32_t) override { return true; }

    bool EscapeFunction(Escape e) override {
        switch (e) {
            case Escape::SetDtr: return SetLine(TIOCM_DTR, true);
            case Escape::ClrDtr: return SetLine(TIOCM_DTR, false);
            case Escape::SetRts: return SetLine(TIOCM_RTS, true);
            case Escape::ClrRts: return SetLine(TIOCM_RTS, false);
            case Escape::ResetDev: return ::tcflush(fd_.get(), TCIOFLUSH) == 0;
        }
        return false;
    }

    bool ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) override {
        int in = 0, out = 0;
        bool ok = ::ioctl(fd_.get(), FIONREAD, &in) == 0;
        if (::ioctl(fd_.get(), TIOCOUTQ, &out) != 0) out = 0;
        uint32_t bits = 0;
        {
            // Read and cleared in one step: an error is reported to one reader, once.
            std::lock_guard lock(mutex_);
            Counters now;
            ReadCounters(&now);
            bits = ErrorsSince(lastCounters_, now);
            if (now.valid) lastCounters_ = now;
            seen_.errorEvents = 0;
            seen_.inQueue = ok ? in : 0;
        }
        if (errors) *errors = bits;
        if (rxCount) *rxCount = ok ? static_cast<uint32_t>(in) : 0;
        if (txCount) *txCount = static_cast<uint32_t>(out);
        return ok;
    }

    bool SetEventMask(uint32_t) override { return true; }

    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override {
        uint32_t done = 0;
        // A Windows write without a time-out returns when all is handed over; a
        // full output buffer is waited out, not spun on, but a line that takes
        // nothing at all fails the write instead of holding the caller for ever.
        uint64_t stalledSince = MonotonicMs();
        while (done < n) {
            ssize_t w = ::write(fd_.get(), bytes + done, n - done);
            if (w > 0) {
                done += static_cast<uint32_t>(w);
                stalledSince = MonotonicMs();
            } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                uint64_t now = MonotonicMs();
                if (now - stalledSince >= kWriteStallMs) {
                    errno = ETIMEDOUT;
                    break;
                }
                int left = static_cast<int>(kWriteStallMs - (now - stalledSince));
                PollFds(fd_.get(), POLLOUT, -1, 0, std::min(left, 1000), nullptr);
            } else if (w < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        if (written) *written = done;
        return done == n;
    }

    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        if (got) *got = 0;
        if (n == 0) return true;
        for (;;) {
            ssize_t r = ::read(fd_.get(), buffer, n);
            if (r >= 0) {
                if (got) *got = static_cast<uint32_t>(r);
                int in = 0;
                if (::ioctl(fd_.get(), FIONREAD, &in) == 0) {
                    std::lock_guard lock(mutex_);
                    seen_.inQueue = in;
                }
                return true;
            }
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }

    bool Purge(uint32_t flags) override {
        bool ok = true;
        if (flags & kPurgeTxClear) ok = ::tcflush(fd_.get(), TCOFLUSH) == 0 && ok;
        if (flags & kPurgeRxClear) ok = ::tcflush(fd_.get(), TCIFLUSH) == 0 && ok;
        return ok;
    }

    bool ModemStatus(uint32_t* bits) override {
        uint32_t status = 0;
        if (!ReadLines(&status, true)) {
            if (bits) *bits = 0;
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            seen_.modem = status;
        }
        if (bits) *bits = status;
        return true;
    }

    // Ends when the input, the modem lines or the line errors differ from what the
    // device last reported, or a line changed, or the time is up. Input and errors
    // wake poll(); line changes wake it through the watcher. Each wait compares
    // with what was reported when it began, so a report made meanwhile to another
    // thread cannot hide news from this one.
    void Wait(uint32_t ms) override {
        const uint64_t deadline = MonotonicMs() + ms;
        Snapshot base;
        {
            std::lock_guard lock(mutex_);
            base = seen_;
        }
        const uint32_t changes = watch_.Changes();
        bool hungUp = false;
        for (;;) {
            Snapshot now = Take();
            if (now != base || watch_.Changes() != changes) {
                std::lock_guard lock(mutex_);
                seen_ = now;
                return;
            }
            uint64_t t = MonotonicMs();
            if (t >= deadline) return;
            int step = static_cast<int>(deadline - t);
            // Unread input keeps the tty readable, and a hung-up tty (a cable or an
            // adapter pulled) reports it for ever: neither can wake us for news.
            bool pollTty = now.inQueue == 0 && !hungUp;
            if (!pollTty || (hasModemLines_ && !watch_.Active())) step = std::min(step, kLinePollMs);
            short wake = 0;
            short tty = PollFds(pollTty ? fd_.get() : -1, POLLIN, watch_.WakeFd(), POLLIN, step, &wake);
            if (tty & (POLLHUP | POLLERR | POLLNVAL)) hungUp = true;
            if (wake & POLLIN) watch_.Drain();
        }
    }

private:
    struct Counters {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
        bool valid = false;
    };
    struct Snapshot {
        int inQueue = 0;
        uint32_t modem = 0;
        int errorEvents = 0;
        bool operator!=(const Snapshot& o) const {
            return inQueue != o.inQueue || modem != o.modem || errorEvents != o.errorEvents;
        }
    };

    static uint32_t LinesToStatus(int lines) {
        uint32_t status = 0;
        if (lines & TIOCM_CTS) status |= kModemCts;
        if (lines & TIOCM_DSR) status |= kModemDsr;
        if (lines & TIOCM_RI) status |= kModemRing;
        if (lines & TIOCM_CD) status |= kModemRlsd;
        return status;
    }

    bool Refuse(int err) {
        errno = err;
        return false;
    }

    bool SetLine(int line, bool on) {
        return ::ioctl(fd_.get(), on ? TIOCMBIS : TIOCMBIC, &line) == 0;
    }

    void ReadCounters(Counters* c) {
        *c = Counters{};
#if defined(__linux__) && defined(TIOCGICOUNT)
        if (!hasCounters_) return;
        serial_icounter_struct ic{};
        if (::ioctl(fd_.get(), TIOCGICOUNT, &ic) == 0) {
            c->frame = ic.frame;
            c->overrun = ic.overrun;
            c->parity = ic.parity;
            c->brk = ic.brk;
            c->bufOverrun = ic.buf_overrun;
            c->valid = true;
        }
#endif
    }

    // Error bits for counters that moved; a driver without counters reports none.
    static uint32_t ErrorsSince(const Counters& before, const Counters& now) {
        if (!now.valid || !before.valid) return 0;
        uint32_t bits = 0;
        if (now.bufOverrun != before.bufOverrun) bits |= kErrRxOver;
        if (now.overrun != before.overrun) bits |= kErrOverrun;
        if (now.parity != before.parity) bits |= kErrParity;
        if (now.frame != before.frame) bits |= kErrFrame;
        if (now.brk != before.brk) bits |= kErrBreak;
        return bits;
    }

    // The modem lines; `fresh` false takes them as last read while the watcher has
    // counted no change since: on a UART behind a hypervisor every read of them
    // traps (some 15 us), and an idle wait would spend most of its time there.
    bool ReadLines(uint32_t* status, bool fresh) {
        // Counted before the read: a change during it leaves a count that differs.
        const uint32_t changes = watch_.Changes();
        if (!fresh && watch_.Active()) {
            std::lock_guard lock(mutex_);
            if (linesKnown_ && linesChanges_ == changes) {
                *status = lastLines_;
                return true;
            }
        }
        int lines = 0;
        if (calls_.get(fd_.get(), &lines) != 0) return false;
        *status = LinesToStatus(lines);
        std::lock_guard lock(mutex_);
        lastLines_ = *status;
        linesChanges_ = changes;
        linesKnown_ = true;
        return true;
    }

    Snapshot Take() {
        Snapshot s;
        if (::ioctl(fd_.get(), FIONREAD, &s.inQueue) != 0) s.inQueue = 0;
        if (uint32_t status = 0; hasModemLines_ && ReadLines(&status, false)) s.modem = status;
        Counters now;
        ReadCounters(&now);
        std::lock_guard lock(mutex_);
        s.errorEvents = static_cast<int>(ErrorsSince(lastCounters_, now));
        return s;
    }

    void ReadTermios() {
        termios t{};
        if (::tcgetattr(fd_.get(), &t) != 0) return;
        settings_.length = 28;
        if (uint32_t rate = CodeToSpeed(::cfgetospeed(&t))) settings_.baudRate = rate;
        switch (t.c_cflag & CSIZE) {
            case CS5: settings_.byteSize = 5; break;
            case CS6: settings_.byteSize = 6; break;
            case CS7: settings_.byteSize = 7; break;
            default: settings_.byteSize = 8; break;
        }
        settings_.parity = 0;
        if (t.c_cflag & PARENB) {
            settings_.parity = (t.c_cflag & PARODD) ? 1 : 2;
#ifdef CMSPAR
            if (t.c_cflag & CMSPAR) settings_.parity = (t.c_cflag & PARODD) ? 3 : 4;
#endif
        }
        settings_.parityCheck = (t.c_iflag & INPCK) != 0;
        settings_.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
#ifdef CRTSCTS
        settings_.outxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
        if (settings_.outxCtsFlow) settings_.rtsControl = kRtsControlHandshake;
#endif
        settings_.outX = (t.c_iflag & IXON) != 0;
        settings_.inX = (t.c_iflag & IXOFF) != 0;
        settings_.xonChar = static_cast<char>(t.c_cc[VSTART]);
        settings_.xoffChar = static_cast<char>(t.c_cc[VSTOP]);
        int lines = 0;
        if (calls_.get(fd_.get(), &lines) == 0) {
            settings_.dtrControl = (lines & TIOCM_DTR) ? 1 : 0;
            if (!settings_.outxCtsFlow) settings_.rtsControl = (lines & TIOCM_RTS) ? 1 : 0;
        }
    }

    Fd fd_;
    const ModemLineCalls calls_;
    bool hasModemLines_ = false;
    bool hasCounters_ = true;
    // What other threads may read or change while one waits: the settings and
    // time-outs as last applied, and what was last reported of the line.
    std::mutex mutex_;
    LineSettings settings_;
    CommTimeouts timeouts_;
    Counters lastCounters_;
    Snapshot seen_;
    // The modem lines as last read, and the watcher's count of changes before that read.
    uint32_t lastLines_ = 0;
    uint32_t linesChanges_ = 0;
    bool linesKnown_ = false;
    ModemWatch watch_;
};

}  // namespace

ModemLineCalls SystemModemLineCalls() { return {&SystemGetLines, &SystemWaitChange}; }

std::unique_ptr<SerialDevice> OpenTty(const std::string& name, int* systemError, const ModemLineCalls& calls) {
    Fd fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (systemError) *systemError = errno;
        return nullptr;
    }
    if (!::isatty(fd.get())) {
        if (systemError) *systemError = ENOTTY;
        return nullptr;
    }
    // The port is not shared, as on Windows: a second opener is refused at once.
    // TIOCEXCL keeps out other processes but not root; the advisory lock holds for
    // root too, and for a second open inside this process. A file system without
    // locks does not make the port unusable.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (systemError) *systemError = EBUSY;
        return nullptr;
    }
    ::ioctl(fd.get(), TIOCEXCL);
    return std::make_unique<TtyDevice>(std::move(fd), calls);
}

}  // namespace moldrin::platform::posix
