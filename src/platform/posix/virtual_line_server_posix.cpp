// The printer end on posix: a listening Unix or TCP socket that serves one host
// at a time, or a tty on a null-modem cable; what the printer answers is its user's.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>

#include "platform/posix/stream_socket_posix.h"
#include "platform/serial_device.h"
#include "platform/virtual_line_server.h"

namespace moldrin::platform {

namespace {

using posix::Fd;

// A host that stops reading is given this long to make room before a send fails.
constexpr int kSendStallMs = 5000;
// Longest a tty poll runs before looking at the wake request.
constexpr int kTtyWakeCheckMs = 20;
// A poll the system refused is tried again after this long, not at once.
constexpr int kPollRetryMs = 10;

// Self-pipe that interrupts a blocking poll.
class WakePipe {
public:
    WakePipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            read_.Reset(fds[0]);
            write_.Reset(fds[1]);
        }
    }
    int fd() const { return read_.get(); }
    void Signal() {
        uint8_t b = 1;
        ssize_t r = ::write(write_.get(), &b, 1);
        (void)r;  // a full pipe is already signalled
    }
    void Clear() {
        uint8_t buf[64];
        while (::read(read_.get(), buf, sizeof buf) > 0) {
        }
    }

private:
    Fd read_, write_;
};

class SocketPrinterEnd final : public VirtualLinePrinterEnd {
public:
    SocketPrinterEnd(Fd listener, std::string address, std::string unixPath)
        : listener_(std::move(listener)), address_(std::move(address)), unixPath_(std::move(unixPath)) {
        struct stat st{};
        if (!unixPath_.empty() && ::stat(unixPath_.c_str(), &st) == 0) {
            socketDev_ = st.st_dev;
            socketIno_ = st.st_ino;
        }
    }
    // Removes our socket file, but not one a later printer end put in its place.
    ~SocketPrinterEnd() override {
        listener_.Reset();
        struct stat st{};
        if (!unixPath_.empty() && ::stat(unixPath_.c_str(), &st) == 0 && st.st_dev == socketDev_ &&
            st.st_ino == socketIno_)
            ::unlink(unixPath_.c_str());
    }

    std::string Address() const override { return address_; }

    bool Accept(int timeoutMs) override {
        {
            std::lock_guard lock(mutex_);
            if (conn_.valid() && !dropping_) return true;
            if (conn_.valid()) CloseLocked();
        }
        short wake = 0;
        short revents = posix::PollFds(listener_.get(), POLLIN, wake_.fd(), POLLIN, timeoutMs, &wake);
        if (wake) wake_.Clear();
        if (!(revents & POLLIN)) return false;
        Fd conn = posix::AcceptStream(listener_.get());
        if (!conn.valid()) return false;
        std::lock_guard lock(mutex_);
        conn_ = std::move(conn);
        dropping_ = false;
        parser_.Reset();
        events_.clear();
        hostLines_ = 0;
        std::vector<uint8_t> out;
        vline::AppendModem(out, modem_);
        SendLocked(out);
        return conn_.valid();
    }

    bool Connected() const override {
        std::lock_guard lock(mutex_);
        return conn_.valid() && !dropping_;
    }

    int Poll(PrinterEndEvent& event, int timeoutMs) override {
        uint64_t deadline = posix::MonotonicMs() + static_cast<uint64_t>(std::max(timeoutMs, 0));
        for (;;) {
            int fd;
            {
                std::lock_guard lock(mutex_);
                if (!events_.empty()) {
                    event = std::move(events_.front());
                    events_.pop_front();
                    return 1;
                }
                if (!conn_.valid()) return -1;
                fd = conn_.get();
            }
            uint64_t t = posix::MonotonicMs();
            if (t >= deadline) return 0;
            // The listener is watched too: a host that comes while another is
            // served is turned away at once rather than left hanging unanswered.
            pollfd fds[3] = {{fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
            if (::poll(fds, 3, static_cast<int>(deadline - t)) < 0) {
                if (errno != EINTR) posix::SleepMs(static_cast<int>(std::min<uint64_t>(deadline - t, kPollRetryMs)));
                continue;
            }
            const short revents = fds[0].revents, wake = fds[1].revents;
            if (fds[2].revents) RefuseNewcomers();
            if (wake) {
                wake_.Clear();
                std::lock_guard lock(mutex_);
                if (events_.empty() && conn_.valid() && !(revents & (POLLIN | POLLHUP | POLLERR))) return 0;
            }
            if (revents) {
                std::lock_guard lock(mutex_);
                DrainLocked();
            }
        }
    }

    bool SendData(const uint8_t* bytes, size_t n) override {
        std::vector<uint8_t> out;
        vline::AppendData(out, bytes, n);
        std::lock_guard lock(mutex_);
        if (!conn_.valid() || dropping_) return false;
        return SendLocked(out);
    }

    bool SendModem(uint8_t bits) override {
        std::lock_guard lock(mutex_);
        modem_ = bits;
        if (!conn_.valid() || dropping_) return true;
        std::vector<uint8_t> out;
        vline::AppendModem(out, bits);
        SendLocked(out);
        return true;
    }

    uint8_t Modem() const override {
        std::lock_guard lock(mutex_);
        return modem_;
    }

    bool SendErrors(uint8_t bits) override {
        std::lock_guard lock(mutex_);
        if (!conn_.valid() || dropping_) return false;
        std::vector<uint8_t> out;
        vline::AppendErrors(out, bits);
        return SendLocked(out);
    }

    uint8_t HostLines() const override {
        std::lock_guard lock(mutex_);
        return hostLines_;
    }
    vline::WireSettings HostSettings() const override {
        std::lock_guard lock(mutex_);
        return hostSettings_;
    }
    bool SetLineSettings(const vline::WireSettings&) override { return true; }

    // The descriptor may be inside another thread's poll(): shut it down so that
    // poll wakes, and let the polling side close it.
    void Disconnect() override {
        {
            std::lock_guard lock(mutex_);
            if (!conn_.valid()) return;
            ::shutdown(conn_.get(), SHUT_RDWR);
            dropping_ = true;
        }
        wake_.Signal();
    }

    void Wake() override { wake_.Signal(); }

private:
    // One host at a time: while the one we serve is still there, every other
    // connection is closed as soon as it comes. One that left first is the
    // departure noticed here, and its successor is left for Accept().
    void RefuseNewcomers() {
        std::lock_guard lock(mutex_);
        DrainLocked();
        if (!conn_.valid() || dropping_) return;
        for (;;) {
            Fd newcomer = posix::AcceptStream(listener_.get());
            if (!newcomer.valid()) return;
        }
    }

    void CloseLocked() {
        conn_.Reset();
        dropping_ = false;
        parser_.Reset();
    }

    void GoneLocked() {
        CloseLocked();
        PrinterEndEvent ev;
        ev.kind = PrinterEndEvent::Kind::Disconnected;
        events_.push_back(std::move(ev));
    }

    void DrainLocked() {
        if (!conn_.valid()) return;
        uint8_t buf[4096];
        for (;;) {
            ssize_t r = ::recv(conn_.get(), buf, sizeof buf, 0);
            if (r > 0) {
                ParseLocked(buf, static_cast<size_t>(r));
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) GoneLocked();
            return;
        }
    }

    void ParseLocked(const uint8_t* bytes, size_t n) {
        size_t pos = 0;
        vline::Message m;
        while (pos < n) {
            size_t used = 0;
            auto result = parser_.Next(bytes + pos, n - pos, &used, m);
            pos += used;
            if (result != vline::Parser::Result::Complete) continue;  // noise from a host is dropped
            PrinterEndEvent ev;
            switch (m.tag) {
                case vline::kTagData:
                    // Consecutive data reaches the printer as one piece.
                    if (!events_.empty() && events_.back().kind == PrinterEndEvent::Kind::Data) {
                        events_.back().data.insert(events_.back().data.end(), m.data.begin(), m.data.begin() + m.length);
                        continue;
                    }
                    ev.kind = PrinterEndEvent::Kind::Data;
                    ev.data.assign(m.data.begin(), m.data.begin() + m.length);
                    break;
                case vline::kTagModem:
                    hostLines_ = m.bits & (vline::kHostDtr | vline::kHostRts);
                    ev.kind = PrinterEndEvent::Kind::HostLines;
                    ev.hostLines = hostLines_;
                    break;
                case vline::kTagSettings:
                    hostSettings_ = m.settings;
                    ev.kind = PrinterEndEvent::Kind::Settings;
                    ev.settings = m.settings;
                    break;
                default: continue;  // error bits only travel towards the host
            }
            events_.push_back(std::move(ev));
        }
    }

    bool SendLocked(const std::vector<uint8_t>& out) {
        size_t done = 0;
        uint64_t deadline = posix::MonotonicMs() + kSendStallMs;
        while (done < out.size()) {
            if (!conn_.valid()) return false;
            ssize_t w = ::send(conn_.get(), out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                uint64_t t = posix::MonotonicMs();
                if (t >= deadline) return false;
                posix::PollFds(conn_.get(), POLLOUT, -1, 0, static_cast<int>(deadline - t), nullptr);
                continue;
            }
            // The host is gone; the next Poll reports it.
            ::shutdown(conn_.get(), SHUT_RDWR);
            return false;
        }
        return true;
    }

    mutable std::mutex mutex_;
    Fd listener_;
    std::string address_;
    std::string unixPath_;
    dev_t socketDev_ = 0;
    ino_t socketIno_ = 0;
    Fd conn_;
    bool dropping_ = false;
    WakePipe wake_;
    vline::Parser parser_;
    std::deque<PrinterEndEvent> events_;
    uint8_t modem_ = 0;
    uint8_t hostLines_ = 0;
    vline::WireSettings hostSettings_;
};

// A tty on a null-modem cable: our RTS reaches the host's CTS and our DTR its
// DSR; the host's RTS and DTR come back as our CTS and DSR.
class TtyPrinterEnd final : public VirtualLinePrinterEnd {
public:
    TtyPrinterEnd(std::unique_ptr<SerialDevice> device, std::string path)
        : device_(std::move(device)), path_(std::move(path)) {
        SetLineSettings(vline::WireSettings{});
        uint32_t status = 0;
        device_->ModemStatus(&status);
        hostLines_ = StatusToHostLines(status);
    }

    std::string Address() const override { return path_; }
    bool Accept(int) override { return true; }
    bool Connected() const override { return true; }

    int Poll(PrinterEndEvent& event, int timeoutMs) override {
        uint64_t deadline = posix::MonotonicMs() + static_cast<uint64_t>(std::max(timeoutMs, 0));
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (!events_.empty()) {
                    event = std::move(events_.front());
                    events_.pop_front();
                    return 1;
                }
            }
            if (wake_.exchange(false)) return 0;
            uint64_t t = posix::MonotonicMs();
            if (t >= deadline) return 0;
            device_->Wait(static_cast<uint32_t>(std::min<uint64_t>(deadline - t, kTtyWakeCheckMs)));
            Collect();
        }
    }

    bool SendData(const uint8_t* bytes, size_t n) override {
        std::lock_guard lock(mutex_);
        uint32_t written = 0;
        return device_->Write(bytes, static_cast<uint32_t>(n), &written) && written == n;
    }

    bool SendModem(uint8_t bits) override {
        std::lock_guard lock(mutex_);
        modem_ = bits;
        bool ok = device_->EscapeFunction((bits & vline::kPrinterCts) ? Escape::SetRts : Escape::ClrRts);
        ok = device_->EscapeFunction((bits & vline::kPrinterDsr) ? Escape::SetDtr : Escape::ClrDtr) && ok;
        return ok;
    }

    uint8_t Modem() const override {
        std::lock_guard lock(mutex_);
        return modem_;
    }
    bool SendErrors(uint8_t) override { return false; }
    uint8_t HostLines() const override {
        std::lock_guard lock(mutex_);
        return hostLines_;
    }
    vline::WireSettings HostSettings() const override {
        std::lock_guard lock(mutex_);
        return settings_;
    }

    bool SetLineSettings(const vline::WireSettings& s) override {
        std::lock_guard lock(mutex_);
        LineSettings ls;
        ls.baudRate = s.baudRate;
        ls.byteSize = s.byteSize;
        ls.parity = s.parity;
        ls.stopBits = s.stopBits;
        // Lines stay where the printer put them.
        ls.dtrControl = (modem_ & vline::kPrinterDsr) ? 1 : 0;
        ls.rtsControl = (modem_ & vline::kPrinterCts) ? 1 : 0;
        if (!device_->SetState(ls)) return false;
        settings_ = s;
        return true;
    }

    void Disconnect() override {}
    void Wake() override { wake_ = true; }

private:
    static uint8_t StatusToHostLines(uint32_t status) {
        uint8_t lines = 0;
        if (status & kModemDsr) lines |= vline::kHostDtr;
        if (status & kModemCts) lines |= vline::kHostRts;
        return lines;
    }

    void Collect() {
        std::lock_guard lock(mutex_);
        uint8_t buf[4096];
        uint32_t got = 0;
        while (device_->Read(buf, sizeof buf, &got) && got > 0) {
            if (!events_.empty() && events_.back().kind == PrinterEndEvent::Kind::Data) {
                events_.back().data.insert(events_.back().data.end(), buf, buf + got);
            } else {
                PrinterEndEvent ev;
                ev.kind = PrinterEndEvent::Kind::Data;
                ev.data.assign(buf, buf + got);
                events_.push_back(std::move(ev));
            }
        }
        uint32_t status = 0;
        if (device_->ModemStatus(&status)) {
            uint8_t lines = StatusToHostLines(status);
            if (lines != hostLines_) {
                hostLines_ = lines;
                PrinterEndEvent ev;
                ev.kind = PrinterEndEvent::Kind::HostLines;
                ev.hostLines = lines;
                events_.push_back(std::move(ev));
            }
        }
    }

    mutable std::mutex mutex_;
    std::unique_ptr<SerialDevice> device_;
    std::string path_;
    std::deque<PrinterEndEvent> events_;
    std::atomic<bool> wake_{false};
    uint8_t modem_ = 0;
    uint8_t hostLines_ = 0;
    vline::WireSettings settings_;
};

}  // namespace

std::unique_ptr<VirtualLinePrinterEnd> VirtualLinePrinterEnd::Open(const std::string& name, int* systemError) {
    if (systemError) *systemError = 0;
    if (!posix::IsSocketName(name)) {
        auto device = OpenSerialByName(name, systemError);
        if (!device) return nullptr;
        return std::make_unique<TtyPrinterEnd>(std::move(device), name);
    }
    posix::Endpoint ep;
    if (!posix::ParseEndpoint(name, ep, systemError)) return nullptr;
    std::string address;
    Fd listener = posix::ListenStream(ep, &address, systemError);
    if (!listener.valid()) return nullptr;
    return std::make_unique<SocketPrinterEnd>(std::move(listener), address,
                                              ep.kind == posix::Endpoint::Kind::Unix ? ep.path : std::string());
}

}  // namespace moldrin::platform
