// Serial back ends on posix: a termios tty, and the Unix or TCP socket beneath the
// virtual serial line (whose host end is virtual_line_host's). The port table's use is its own.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/posix/stream_socket_posix.h"
#include "platform/serial_device.h"
#include "platform/virtual_line_host.h"

namespace moldrin::platform {

namespace {

using posix::Fd;

// Windows purge flags the tty can honour.
constexpr uint32_t kPurgeTxClear = 0x0004, kPurgeRxClear = 0x0008;
// Modem-status bits beyond CTS and DSR, reported the way the Windows call does.
constexpr uint32_t kModemRing = 0x40, kModemRlsd = 0x80;

// Applying settings moves DTR and RTS the way the device-control block says:
// "disable" lowers the line, which is why the port table re-asserts them.
bool DtrOnAfterApply(const LineSettings& s) { return s.dtrControl != kDtrControlDisable; }
bool RtsOnAfterApply(const LineSettings& s) { return s.rtsControl != kRtsControlDisable; }

// ---------------------------------------------------------------- tty

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

class TtyDevice final : public SerialDevice {
public:
    explicit TtyDevice(Fd fd) : fd_(std::move(fd)) {
        int lines = 0;
        hasModemLines_ = ::ioctl(fd_.get(), TIOCMGET, &lines) == 0;
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
        seen_ = Take();
    }

    bool GetTimeouts(CommTimeouts& t) override {
        t = timeouts_;
        return true;
    }
    // Reads never wait on this back end, whatever the time-outs say.
    bool SetTimeouts(const CommTimeouts& t) override {
        timeouts_ = t;
        return true;
    }

    bool GetState(LineSettings& s) override {
        s = settings_;
        return true;
    }

    bool SetState(const LineSettings& s) override {
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
        uint32_t bits = PendingErrors();
        ReadCounters(&lastCounters_);
        seen_.errorEvents = 0;
        if (errors) *errors = bits;
        int in = 0, out = 0;
        bool ok = ::ioctl(fd_.get(), FIONREAD, &in) == 0;
        if (::ioctl(fd_.get(), TIOCOUTQ, &out) != 0) out = 0;
        if (rxCount) *rxCount = ok ? static_cast<uint32_t>(in) : 0;
        if (txCount) *txCount = static_cast<uint32_t>(out);
        seen_.inQueue = ok ? in : 0;
        return ok;
    }

    bool SetEventMask(uint32_t) override { return true; }

    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override {
        uint32_t done = 0;
        // A Windows write without a time-out returns when all is handed over;
        // a full output buffer is waited out, not spun on.
        while (done < n) {
            ssize_t w = ::write(fd_.get(), bytes + done, n - done);
            if (w > 0) {
                done += static_cast<uint32_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                posix::PollFds(fd_.get(), POLLOUT, -1, 0, 1000, nullptr);
            } else if (w < 0 && errno == EINTR) {
                continue;
            } else {
                if (written) *written = done;
                return false;
            }
        }
        if (written) *written = done;
        return true;
    }

    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        if (got) *got = 0;
        if (n == 0) return true;
        for (;;) {
            ssize_t r = ::read(fd_.get(), buffer, n);
            if (r >= 0) {
                if (got) *got = static_cast<uint32_t>(r);
                int in = 0;
                if (::ioctl(fd_.get(), FIONREAD, &in) == 0) seen_.inQueue = in;
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
        int lines = 0;
        if (::ioctl(fd_.get(), TIOCMGET, &lines) != 0) {
            if (bits) *bits = 0;
            return false;
        }
        uint32_t status = LinesToStatus(lines);
        seen_.modem = status;
        if (bits) *bits = status;
        return true;
    }

    // Input wakes poll(); modem lines do not (and the wait for their change has
    // no time-out), so while there are lines to watch the wait looks every 1 ms.
    void Wait(uint32_t ms) override {
        uint64_t deadline = posix::MonotonicMs() + ms;
        for (;;) {
            Snapshot now = Take();
            if (now.inQueue != seen_.inQueue || now.modem != seen_.modem || now.errorEvents != seen_.errorEvents) {
                seen_ = now;
                return;
            }
            uint64_t t = posix::MonotonicMs();
            if (t >= deadline) return;
            int remaining = static_cast<int>(deadline - t);
            // Bytes already waiting keep poll() readable: look again in 1 ms instead.
            bool watch = hasModemLines_ || now.inQueue > 0;
            int step = watch ? std::min(remaining, 1) : remaining;
            if (now.inQueue > 0)
                posix::SleepMs(step);
            else
                posix::PollFds(fd_.get(), POLLIN, -1, 0, step, nullptr);
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

    // Error bits for counters that moved since the last error read; a driver
    // without counters reports none.
    uint32_t PendingErrors() {
        Counters now;
        ReadCounters(&now);
        if (!now.valid || !lastCounters_.valid) return 0;
        uint32_t bits = 0;
        if (now.bufOverrun != lastCounters_.bufOverrun) bits |= kErrRxOver;
        if (now.overrun != lastCounters_.overrun) bits |= kErrOverrun;
        if (now.parity != lastCounters_.parity) bits |= kErrParity;
        if (now.frame != lastCounters_.frame) bits |= kErrFrame;
        if (now.brk != lastCounters_.brk) bits |= kErrBreak;
        return bits;
    }

    Snapshot Take() {
        Snapshot s;
        if (::ioctl(fd_.get(), FIONREAD, &s.inQueue) != 0) s.inQueue = 0;
        int lines = 0;
        if (hasModemLines_ && ::ioctl(fd_.get(), TIOCMGET, &lines) == 0) s.modem = LinesToStatus(lines);
        s.errorEvents = static_cast<int>(PendingErrors());
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
        if (::ioctl(fd_.get(), TIOCMGET, &lines) == 0) {
            settings_.dtrControl = (lines & TIOCM_DTR) ? 1 : 0;
            if (!settings_.outxCtsFlow) settings_.rtsControl = (lines & TIOCM_RTS) ? 1 : 0;
        }
    }

    Fd fd_;
    LineSettings settings_;
    CommTimeouts timeouts_;
    bool hasModemLines_ = false;
    Counters lastCounters_;
    Snapshot seen_;
};

std::unique_ptr<SerialDevice> OpenTty(const std::string& name, int* systemError) {
    Fd fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (systemError) *systemError = errno;
        return nullptr;
    }
    if (!::isatty(fd.get())) {
        if (systemError) *systemError = ENOTTY;
        return nullptr;
    }
    // The port is not shared, as on Windows: a second opener is refused.
    ::ioctl(fd.get(), TIOCEXCL);
    return std::make_unique<TtyDevice>(std::move(fd));
}

// ---------------------------------------------------------------- virtual line

constexpr int kConnectTimeoutMs = 3000;

// The virtual line's stream: a connected, non-blocking Unix or TCP socket.
class SocketTransport final : public LineTransport {
public:
    explicit SocketTransport(Fd sock) : sock_(std::move(sock)) {}

    long Send(const uint8_t* bytes, size_t n) override {
        for (;;) {
            ssize_t w = ::send(sock_.get(), bytes, n, MSG_NOSIGNAL);
            if (w >= 0) return static_cast<long>(w);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return -1;  // errno says why
        }
    }

    long Receive(uint8_t* buffer, size_t n) override {
        for (;;) {
            ssize_t r = ::recv(sock_.get(), buffer, n, 0);
            if (r > 0) return static_cast<long>(r);
            if (r == 0) return -1;
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }

    int Wait(int events, uint32_t ms) override {
        short want = POLLIN;
        if (events & kWritable) want |= POLLOUT;
        short revents = posix::PollFds(sock_.get(), want, -1, 0, static_cast<int>(ms), nullptr);
        int ready = 0;
        if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ready |= kReadable;
        if (revents & POLLOUT) ready |= kWritable;
        return ready;
    }

    void Sleep(uint32_t ms) override { posix::SleepMs(static_cast<int>(ms)); }

    void SetBrokenPipe() override { errno = EPIPE; }

private:
    Fd sock_;
};

std::unique_ptr<SerialDevice> OpenVirtualLine(const std::string& name, int* systemError) {
    posix::Endpoint ep;
    if (!posix::ParseEndpoint(name, ep, systemError)) return nullptr;
    // The host end connects again by itself after the printer end went away.
    return OpenVirtualLineHost(
        [ep](int* err) -> std::unique_ptr<LineTransport> {
            Fd sock = posix::ConnectStream(ep, kConnectTimeoutMs, err);
            if (!sock.valid()) return nullptr;
            return std::make_unique<SocketTransport>(std::move(sock));
        },
        systemError);
}

}  // namespace

std::unique_ptr<SerialDevice> OpenSerialByName(const std::string& name, int* systemError) {
    if (systemError) *systemError = 0;
    if (name.empty()) {
        if (systemError) *systemError = ENOENT;
        return nullptr;
    }
    if (posix::IsSocketName(name)) return OpenVirtualLine(name, systemError);
    return OpenTty(name, systemError);
}

}  // namespace moldrin::platform
