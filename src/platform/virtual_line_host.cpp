// The host end of the virtual serial line: receive queue, modem and error bookkeeping,
// and the line's messages; the stream beneath (socket, connect, poll) is each system's.
#include "platform/virtual_line_host.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/virtual_line.h"

namespace moldrin::platform {

namespace {

// Ceiling of the receive queue: the queue size asked for, but never below what
// a printer can send in one go, since the socket delivers faster than a wire.
constexpr size_t kMinReceiveQueue = 64 * 1024;
// How long opening waits for the printer's first modem status.
constexpr uint64_t kFirstModemWaitMs = 200;
constexpr size_t kMaxDrainPerCall = 256 * 1024;
// How long a write blocked by a full stream waits before it looks again.
constexpr uint32_t kSendWaitMs = 1000;
// Least time between two attempts to reach a printer end that went away.
constexpr uint64_t kReconnectGapMs = 250;
constexpr uint32_t kPurgeRxClear = 0x0008;
// Modem-status bits beyond CTS and DSR, reported the way the Windows call does.
constexpr uint32_t kModemRing = 0x40, kModemRlsd = 0x80;
constexpr uint32_t kLineErrorBits = kErrRxOver | kErrOverrun | kErrParity | kErrFrame | kErrBreak;

// Applying settings moves DTR and RTS the way the device-control block says:
// "disable" lowers the line, which is why the port table re-asserts them.
bool DtrOnAfterApply(const LineSettings& s) { return s.dtrControl != kDtrControlDisable; }
bool RtsOnAfterApply(const LineSettings& s) { return s.rtsControl != kRtsControlDisable; }

// These are real waits on a real stream, so the real monotonic clock.
uint64_t NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}
uint64_t NowMs() { return NowUs() / 1000u; }

// Every call but Wait holds ops_ from start to end, so messages never interleave
// on the stream; the state below (decoder, queues, lines, the stream itself) is
// m_'s, which is let go while a call blocks on the stream, so that Wait can run
// on another thread meanwhile.
class VirtualLineHost final : public SerialDevice {
public:
    explicit VirtualLineHost(LineConnector connect) : connect_(std::move(connect)) {}

    // Connects and takes the printer's first modem status. False when no
    // connection was made, or when the printer end closed it before or instead
    // of that status: it serves another host, and the port is in use.
    bool Start(int* systemError) {
        std::scoped_lock lock(ops_, m_);
        return ConnectLocked(systemError, false);
    }

    bool GetTimeouts(CommTimeouts& t) override {
        std::scoped_lock lock(ops_, m_);
        t = timeouts_;
        return true;
    }
    // Reads never wait on this line, whatever the time-outs say.
    bool SetTimeouts(const CommTimeouts& t) override {
        std::scoped_lock lock(ops_, m_);
        timeouts_ = t;
        return true;
    }
    bool GetState(LineSettings& s) override {
        std::scoped_lock lock(ops_, m_);
        s = settings_;
        return true;
    }

    bool SetState(const LineSettings& s) override {
        std::lock_guard op(ops_);
        std::unique_lock lock(m_);
        if (!ReviveLocked(lock)) return Refuse();
        std::vector<uint8_t> out;
        vline::AppendSettings(out, {s.baudRate, s.byteSize, s.parity, s.stopBits});
        uint8_t lines = 0;
        if (DtrOnAfterApply(s)) lines |= vline::kHostDtr;
        if (RtsOnAfterApply(s)) lines |= vline::kHostRts;
        if (lines != hostLines_) vline::AppendModem(out, lines);
        if (!SendLocked(lock, out)) return false;
        settings_ = s;
        settings_.length = 28;
        hostLines_ = lines;
        return true;
    }

    bool SetupQueues(uint32_t rx, uint32_t) override {
        std::scoped_lock lock(ops_, m_);
        rxCapacity_ = std::max<size_t>(rx, kMinReceiveQueue);
        return true;
    }

    bool EscapeFunction(Escape e) override {
        std::lock_guard op(ops_);
        std::unique_lock lock(m_);
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
        if (!ReviveLocked(lock)) return Refuse();
        std::vector<uint8_t> out;
        vline::AppendModem(out, lines);
        if (!SendLocked(lock, out)) return false;
        hostLines_ = lines;
        return true;
    }

    bool ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) override {
        std::scoped_lock lock(ops_, m_);
        Drain();
        if (errors) *errors = errors_;
        errors_ = 0;
        seenErrors_ = 0;
        if (rxCount) *rxCount = static_cast<uint32_t>(rx_.size());
        if (txCount) *txCount = 0;  // a write returns only once the bytes are on the line
        seenRx_ = rx_.size();
        return true;
    }

    bool SetEventMask(uint32_t) override { return true; }

    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override {
        if (written) *written = 0;
        std::lock_guard op(ops_);
        std::unique_lock lock(m_);
        if (!ReviveLocked(lock)) return Refuse();
        std::vector<uint8_t> out;
        vline::AppendData(out, bytes, n);
        if (!SendLocked(lock, out)) return false;
        if (written) *written = n;
        return true;
    }

    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        std::scoped_lock lock(ops_, m_);
        Drain();
        uint32_t count = static_cast<uint32_t>(std::min<size_t>(n, rx_.size()));
        std::copy_n(rx_.begin(), count, buffer);
        rx_.erase(rx_.begin(), rx_.begin() + count);
        seenRx_ = rx_.size();
        if (got) *got = count;
        return true;
    }

    bool Purge(uint32_t flags) override {
        std::scoped_lock lock(ops_, m_);
        if (flags & kPurgeRxClear) {
            Drain();
            rx_.clear();
        }
        return true;
    }

    bool ModemStatus(uint32_t* bits) override {
        std::scoped_lock lock(ops_, m_);
        Drain();
        seenModem_ = modem_;
        if (bits) *bits = modem_;
        return true;
    }

    // Returns as soon as anything the port reports changed (bytes, lines, errors).
    void Wait(uint32_t ms) override {
        uint64_t deadline = NowMs() + ms;
        std::unique_lock lock(m_);
        for (;;) {
            lastEmptyDrainUs_ = 0;
            Drain();
            if (modem_ != seenModem_ || errors_ != seenErrors_ || rx_.size() != seenRx_) {
                seenModem_ = modem_;
                seenErrors_ = errors_;
                seenRx_ = rx_.size();
                return;
            }
            uint64_t t = NowMs();
            if (t >= deadline) return;
            uint32_t remaining = static_cast<uint32_t>(deadline - t);
            // Our own reference: a call on another thread may drop the stream meanwhile.
            std::shared_ptr<LineTransport> io = io_;
            lock.unlock();
            // A gone line has nothing more to say until it is used again: just let the time pass.
            if (io)
                io->Wait(LineTransport::kReadable, remaining);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(remaining));
            lock.lock();
        }
    }

    void SetWriteLimit(uint32_t ms) override { writeLimitMs_.store(ms, std::memory_order_relaxed); }

private:
    // Called with m_ held.
    bool Refuse() {
        if (io_) io_->SetBrokenPipe();
        return false;
    }

    // The printer end is gone: its lines read as off, and the stream is let go
    // (the printer end sees the host leave) until the next use connects again.
    void PeerGone() {
        closed_ = true;
        modem_ = 0;
        parser_.Reset();
        io_.reset();
    }

    bool ConnectLocked(int* systemError, bool requireModem) {
        if (!connect_) return false;
        std::unique_ptr<LineTransport> fresh = connect_(systemError);
        if (!fresh) return false;
        io_ = std::move(fresh);
        closed_ = false;
        sawModem_ = false;
        modem_ = 0;
        parser_.Reset();
        lastEmptyDrainUs_ = 0;
        // The first modem read must see the printer's real lines.
        uint64_t deadline = NowMs() + kFirstModemWaitMs;
        while (!sawModem_ && !closed_) {
            uint64_t t = NowMs();
            if (t >= deadline) break;
            if (io_->Wait(LineTransport::kReadable, static_cast<uint32_t>(deadline - t)) == 0) break;
            lastEmptyDrainUs_ = 0;
            Drain();
        }
        // A refusal may come right behind a status already sent.
        lastEmptyDrainUs_ = 0;
        Drain();
        if (closed_) {
            if (systemError) *systemError = EBUSY;
            return false;
        }
        // A printer end that came back says so at once; one that is not
        // listening to us (only the system queued the connection) is not back.
        if (requireModem && !sawModem_) {
            PeerGone();
            return false;
        }
        seenModem_ = modem_;
        return true;
    }

    // A printer end that went away (switched off, restarted) is connected again
    // when the line is next used, as a cable carries the next command to a
    // printer that came back; our settings and lines go first, as at open.
    // False while it stays away; attempts are spaced so that a busy caller does
    // not hammer a printer end that is not there.
    bool ReviveLocked(std::unique_lock<std::mutex>& lock) {
        Drain();
        if (!closed_) return true;
        const uint64_t now = NowMs();
        if (lastReconnectMs_ != 0 && now - lastReconnectMs_ < kReconnectGapMs) return false;
        lastReconnectMs_ = now;
        if (!ConnectLocked(nullptr, true)) return false;
        std::vector<uint8_t> out;
        vline::AppendSettings(out, {settings_.baudRate, settings_.byteSize, settings_.parity, settings_.stopBits});
        vline::AppendModem(out, hostLines_);
        if (!SendLocked(lock, out)) return false;
        lastReconnectMs_ = 0;
        return true;
    }

    // Takes what the stream holds, without waiting; a peer that never stops
    // sending cannot keep the caller here for ever.
    void Drain() {
        if (closed_ || !io_) return;
        const uint64_t now = NowUs();
        if (now - lastEmptyDrainUs_ < kDrainQuietUs) return;
        uint8_t buf[4096];
        for (size_t taken = 0; taken < kMaxDrainPerCall;) {
            long r = io_->Receive(buf, sizeof buf);
            if (r > 0) {
                taken += static_cast<size_t>(r);
                Parse(buf, static_cast<size_t>(r));
                continue;
            }
            if (r < 0) PeerGone();
            if (taken == 0) lastEmptyDrainUs_ = now;
            return;
        }
    }
    // The link asks for the modem lines and queue counts before every byte; an
    // empty stream is not asked again for this long (a UART FIFO is no fresher),
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
            case vline::kTagErrors: errors_ |= m.bits & kLineErrorBits; break;
            default: break;  // settings only travel towards the printer
        }
    }

    // Hands whole messages to the stream; what arrives meanwhile is taken in, so
    // two ends writing at once cannot stall each other. A printer end that takes
    // nothing for the write limit fails the write, as a wire that does not move
    // would; the stream then holds half a message, so it is dropped and comes
    // back at the next use.
    bool SendLocked(std::unique_lock<std::mutex>& lock, const std::vector<uint8_t>& out) {
        const uint32_t limit = writeLimitMs_.load(std::memory_order_relaxed);
        const uint64_t deadline = limit ? NowMs() + limit : 0;
        size_t done = 0;
        while (done < out.size()) {
            if (closed_ || !io_) return Refuse();
            long w = io_->Send(out.data() + done, out.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0) {
                // The transport left the system's reason for the failure in place.
                PeerGone();
                return false;
            }
            uint32_t slice = kSendWaitMs;
            if (deadline) {
                const uint64_t now = NowMs();
                if (now >= deadline) {
                    io_->SetBrokenPipe();
                    PeerGone();
                    return false;
                }
                slice = static_cast<uint32_t>(std::min<uint64_t>(slice, deadline - now));
            }
            std::shared_ptr<LineTransport> io = io_;
            lock.unlock();
            const int ready = io->Wait(LineTransport::kReadable | LineTransport::kWritable, slice);
            lock.lock();
            if (ready & LineTransport::kReadable) {
                lastEmptyDrainUs_ = 0;
                Drain();
            }
        }
        return true;
    }

    LineConnector connect_;
    std::mutex ops_;
    std::mutex m_;
    std::shared_ptr<LineTransport> io_;
    bool closed_ = true;
    uint64_t lastReconnectMs_ = 0;
    std::atomic<uint32_t> writeLimitMs_{0};
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

}  // namespace

std::unique_ptr<SerialDevice> OpenVirtualLineHost(LineConnector connect, int* systemError) {
    if (!connect) return nullptr;
    auto host = std::make_unique<VirtualLineHost>(std::move(connect));
    if (!host->Start(systemError)) return nullptr;
    return host;
}

std::unique_ptr<SerialDevice> OpenVirtualLineHost(std::unique_ptr<LineTransport> transport) {
    if (!transport) return nullptr;
    // One stream and no way to a second: a printer end that goes stays gone.
    auto once = std::make_shared<std::unique_ptr<LineTransport>>(std::move(transport));
    return OpenVirtualLineHost([once](int*) { return std::move(*once); }, nullptr);
}

}  // namespace moldrin::platform
