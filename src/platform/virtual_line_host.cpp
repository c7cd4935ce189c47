// The host end of the virtual serial line: receive queue, modem and error bookkeeping,
// and the line's messages; the stream beneath (socket, connect, poll) is each system's.
#include "platform/virtual_line_host.h"

#include <algorithm>
#include <chrono>
#include <deque>
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

class VirtualLineHost final : public SerialDevice {
public:
    explicit VirtualLineHost(std::unique_ptr<LineTransport> transport) : io_(std::move(transport)) {
        // The first modem read must see the printer's real lines.
        uint64_t deadline = NowMs() + kFirstModemWaitMs;
        while (!sawModem_ && !closed_) {
            uint64_t t = NowMs();
            if (t >= deadline) break;
            if (io_->Wait(LineTransport::kReadable, static_cast<uint32_t>(deadline - t)) == 0) break;
            Drain();
        }
        seenModem_ = modem_;
    }

    bool GetTimeouts(CommTimeouts& t) override {
        t = timeouts_;
        return true;
    }
    // Reads never wait on this line, whatever the time-outs say.
    bool SetTimeouts(const CommTimeouts& t) override {
        timeouts_ = t;
        return true;
    }
    bool GetState(LineSettings& s) override {
        s = settings_;
        return true;
    }

    bool SetState(const LineSettings& s) override {
        if (closed_) return Refuse();
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
        if (txCount) *txCount = 0;  // a write returns only once the bytes are on the line
        seenRx_ = rx_.size();
        return true;
    }

    bool SetEventMask(uint32_t) override { return true; }

    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override {
        if (written) *written = 0;
        if (closed_) return Refuse();
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

    // Returns as soon as anything the port reports changed (bytes, lines, errors).
    void Wait(uint32_t ms) override {
        uint64_t deadline = NowMs() + ms;
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
            // A closed stream is always readable; nothing more can come, so just let the time pass.
            if (closed_)
                io_->Sleep(remaining);
            else
                io_->Wait(LineTransport::kReadable, remaining);
        }
    }

private:
    bool Refuse() {
        io_->SetBrokenPipe();
        return false;
    }

    void PeerGone() {
        closed_ = true;
        modem_ = 0;
        parser_.Reset();
    }

    // Takes what the stream holds, without waiting; a peer that never stops
    // sending cannot keep the caller here for ever.
    void Drain() {
        if (closed_) return;
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
    // two ends writing at once cannot stall each other.
    bool Send(const std::vector<uint8_t>& out) {
        size_t done = 0;
        while (done < out.size()) {
            if (closed_) return Refuse();
            long w = io_->Send(out.data() + done, out.size() - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w == 0) {
                if (io_->Wait(LineTransport::kReadable | LineTransport::kWritable, kSendWaitMs) &
                    LineTransport::kReadable)
                    Drain();
                continue;
            }
            // The transport left the system's reason for the failure in place.
            PeerGone();
            return false;
        }
        return true;
    }

    std::unique_ptr<LineTransport> io_;
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

}  // namespace

std::unique_ptr<SerialDevice> OpenVirtualLineHost(std::unique_ptr<LineTransport> transport) {
    if (!transport) return nullptr;
    return std::make_unique<VirtualLineHost>(std::move(transport));
}

}  // namespace moldrin::platform
