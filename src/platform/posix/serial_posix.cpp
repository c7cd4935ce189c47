// Serial back ends on posix: a termios tty, and the host end of the virtual serial
// line over a Unix or TCP stream socket. What the port table makes of them is its own.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <deque>
#include <string>
#include <vector>

#include "platform/posix/stream_socket_posix.h"
#include "platform/serial_device.h"
#include "platform/virtual_line.h"

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

// Ceiling of the receive queue: the queue size asked for, but never below what
// a printer can send in one go, since the socket delivers faster than a wire.
constexpr size_t kMinReceiveQueue = 64 * 1024;
// How long opening waits for the printer's first modem status.
constexpr int kFirstModemWaitMs = 200;
constexpr int kConnectTimeoutMs = 3000;
constexpr size_t kMaxDrainPerCall = 256 * 1024;

class VirtualLineDevice final : public SerialDevice {
public:
    explicit VirtualLineDevice(Fd sock) : sock_(std::move(sock)) {
        // The first modem read must see the printer's real lines.
        uint64_t deadline = posix::MonotonicMs() + kFirstModemWaitMs;
        while (!sawModem_ && !closed_) {
            uint64_t t = posix::MonotonicMs();
            if (t >= deadline) break;
            short revents = posix::PollFds(sock_.get(), POLLIN, -1, 0, static_cast<int>(deadline - t), nullptr);
            if (revents == 0) break;
            Drain();
        }
        seenModem_ = modem_;
    }

    bool GetTimeouts(CommTimeouts& t) override {
        t = timeouts_;
        return true;
    }
    bool SetTimeouts(const CommTimeouts& t) override {
        timeouts_ = t;
        return true;
    }
    bool GetState(LineSettings& s) override {
        s = settings_;
        return true;
    }

    bool SetState(const LineSettings& s) override {
        if (closed_) return Refuse(EPIPE);
        std::vector<uint8_t> out;
        vline::AppendSettings(out, {s.baudRate, s.byteSize, s.parity, s.stopBits});
        uint8_t lines = 0;
        if (DtrOnAfterApply(s)) lines |= vline::kHostDtr;
        if (RtsOnAfterApply(s)) lines |= vline::kHostRts;
        if (lines != hostLines_) vline::AppendModem(out, lines);
        if (!Send(out)) return false;
        settings_ = s;
        settings_.length = 28;
        hostLines_ = lines;
        return true;
    }

    bool SetupQueues(uint32_t rx, uint32_t) override {
        rxCapacity_ = std::max<size_t>(rx, kMinReceiveQueue);
        return true;
    }

    bool EscapeFunction(Escape e) override {
        uint8_t lines = hostLines_;
        switch (e) {
            case Escape::SetDtr: lines |= vline::kHostDtr; break;
            case Escape::ClrDtr: lines &= static_cast<uint8_t>(~vline::kHostDtr); break;
            case Escape::SetRts: lines |= vline::kHostRts; break;
            case Escape::ClrRts: lines &= static_cast<uint8_t>(~vline::kHostRts); break;
            case Escape::ResetDev:
                Drain();
                rx_.clear();
                return true;
        }
        std::vector<uint8_t> out;
        vline::AppendModem(out, lines);
        if (!Send(out)) return false;
        hostLines_ = lines;
        return true;
    }

    bool ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) override {
        Drain();
        if (errors) *errors = errors_;
        errors_ = 0;
        seenErrors_ = 0;
        if (rxCount) *rxCount = static_cast<uint32_t>(rx_.size());
        if (txCount) *txCount = 0;
        seenRx_ = rx_.size();
        return true;
    }

    bool SetEventMask(uint32_t) override { return true; }

    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override {
        if (written) *written = 0;
        if (closed_) return Refuse(EPIPE);
        std::vector<uint8_t> out;
        vline::AppendData(out, bytes, n);
        if (!Send(out)) return false;
        if (written) *written = n;
        return true;
    }

    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        Drain();
        uint32_t count = static_cast<uint32_t>(std::min<size_t>(n, rx_.size()));
        std::copy_n(rx_.begin(), count, buffer);
        rx_.erase(rx_.begin(), rx_.begin() + count);
        seenRx_ = rx_.size();
        if (got) *got = count;
        return true;
    }

    bool Purge(uint32_t flags) override {
        if (flags & kPurgeRxClear) {
            Drain();
            rx_.clear();
        }
        return true;
    }

    bool ModemStatus(uint32_t* bits) override {
        Drain();
        seenModem_ = modem_;
        if (bits) *bits = modem_;
        return true;
    }

    void Wait(uint32_t ms) override {
        uint64_t deadline = posix::MonotonicMs() + ms;
        for (;;) {
            lastEmptyDrainUs_ = 0;
            Drain();
            if (modem_ != seenModem_ || errors_ != seenErrors_ || rx_.size() != seenRx_) {
                seenModem_ = modem_;
                seenErrors_ = errors_;
                seenRx_ = rx_.size();
                return;
            }
            uint64_t t = posix::MonotonicMs();
            if (t >= deadline) return;
            int remaining = static_cast<int>(deadline - t);
            // A closed socket is always readable; nothing more can come, so just let the time pass.
            if (closed_)
                posix::SleepMs(remaining);
            else
                posix::PollFds(sock_.get(), POLLIN, -1, 0, remaining, nullptr);
        }
    }

private:
    bool Refuse(int err) {
        errno = err;
        return false;
    }

    void PeerGone() {
        closed_ = true;
        modem_ = 0;
        parser_.Reset();
    }

    // Takes what the socket holds, without waiting; a peer that never stops
    // sending cannot keep the caller here for ever.
    void Drain() {
        if (closed_) return;
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
        if (now - lastEmptyDrainUs_ < kDrainQuietUs) return;
        uint8_t buf[4096];
        for (size_t taken = 0; taken < kMaxDrainPerCall;) {
            ssize_t r = ::recv(sock_.get(), buf, sizeof buf, 0);
            if (r > 0) {
                taken += static_cast<size_t>(r);
                Parse(buf, static_cast<size_t>(r));
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) PeerGone();
            if (taken == 0) lastEmptyDrainUs_ = now;
            return;
        }
    }
    // The link asks for the modem lines and queue counts before every byte; an
    // empty socket is not asked again for this long (a UART FIFO is no fresher),
    // which saves a system call per question. Wait() always looks.
    static constexpr uint64_t kDrainQuietUs = 50;
    uint64_t lastEmptyDrainUs_ = 0;

    void Parse(const uint8_t* bytes, size_t n) {
        size_t pos = 0;
        vline::Message m;
        while (pos < n) {
            size_t used = 0;
            auto result = parser_.Next(bytes + pos, n - pos, &used, m);
            pos += used;
            switch (result) {
                case vline::Parser::Result::NeedMore: break;
                // A garbled stream is what line noise looks like on a wire.
                case vline::Parser::Result::BadTag:
                case vline::Parser::Result::BadLength: errors_ |= kErrFrame; break;
                case vline::Parser::Result::Complete: Accept(m); break;
            }
        }
    }

    void Accept(const vline::Message& m) {
        switch (m.tag) {
            case vline::kTagData: {
                size_t room = rxCapacity_ > rx_.size() ? rxCapacity_ - rx_.size() : 0;
                size_t take = std::min<size_t>(room, m.length);
                rx_.insert(rx_.end(), m.data.begin(), m.data.begin() + static_cast<std::ptrdiff_t>(take));
                if (take < m.length) errors_ |= kErrRxOver;
                break;
            }
            case vline::kTagModem:
                modem_ = m.bits & (kModemCts | kModemDsr | kModemRing | kModemRlsd);
                sawModem_ = true;
                break;
            case vline::kTagErrors: errors_ |= m.bits & 0x1Fu; break;
            default: break;  // settings only travel towards the printer
        }
    }

    // Hands whole messages to the socket; what arrives meanwhile is taken in, so
    // two ends writing at once cannot stall each other.
    bool Send(const std::vector<uint8_t>& out) {
        size_t done = 0;
        while (done < out.size()) {
            if (closed_) return Refuse(EPIPE);
            ssize_t w = ::send(sock_.get(), out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                short revents = posix::PollFds(sock_.get(), POLLIN | POLLOUT, -1, 0, 1000, nullptr);
                if (revents & POLLIN) Drain();
                continue;
            }
            int err = errno;
            PeerGone();
            return Refuse(err);
        }
        return true;
    }

    Fd sock_;
    bool closed_ = false;
    vline::Parser parser_;
    std::deque<uint8_t> rx_;
    size_t rxCapacity_ = kMinReceiveQueue;
    uint32_t modem_ = 0;
    bool sawModem_ = false;
    uint32_t errors_ = 0;
    uint8_t hostLines_ = 0;
    uint32_t seenModem_ = 0, seenErrors_ = 0;
    size_t seenRx_ = 0;
    LineSettings settings_;
    CommTimeouts timeouts_;
};

std::unique_ptr<SerialDevice> OpenVirtualLine(const std::string& name, int* systemError) {
    posix::Endpoint ep;
    if (!posix::ParseEndpoint(name, ep, systemError)) return nullptr;
    Fd sock = posix::ConnectStream(ep, kConnectTimeoutMs, systemError);
    if (!sock.valid()) return nullptr;
    return std::make_unique<VirtualLineDevice>(std::move(sock));
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
