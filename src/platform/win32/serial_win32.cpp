// Serial back ends on Windows: a COM device through the communications calls, and the
// virtual serial line over TCP through winsock. What the port table does with them is its own.
#include "platform/win32/win32.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "platform/virtual_line.h"

namespace moldrin::platform {

namespace {

// ---- COM device -------------------------------------------------------------

void ToDcb(const LineSettings& s, DCB& d) {
    d.DCBlength = sizeof(DCB);
    d.BaudRate = s.baudRate;
    d.ByteSize = s.byteSize;
    d.Parity = s.parity;
    d.StopBits = s.stopBits;
    d.fBinary = s.binary;
    d.fParity = s.parityCheck;
    d.fOutxCtsFlow = s.outxCtsFlow;
    d.fOutxDsrFlow = s.outxDsrFlow;
    d.fDtrControl = s.dtrControl;
    d.fDsrSensitivity = s.dsrSensitivity;
    d.fTXContinueOnXoff = s.txContinueOnXoff;
    d.fOutX = s.outX;
    d.fInX = s.inX;
    d.fErrorChar = s.errorChar;
    d.fNull = s.nullStrip;
    d.fRtsControl = s.rtsControl;
    d.fAbortOnError = s.abortOnError;
    d.XonLim = s.xonLim;
    d.XoffLim = s.xoffLim;
    d.XonChar = s.xonChar;
    d.XoffChar = s.xoffChar;
}

void FromDcb(const DCB& d, LineSettings& s) {
    s.baudRate = d.BaudRate;
    s.byteSize = d.ByteSize;
    s.parity = d.Parity;
    s.stopBits = d.StopBits;
    s.binary = d.fBinary;
    s.parityCheck = d.fParity;
    s.outxCtsFlow = d.fOutxCtsFlow;
    s.outxDsrFlow = d.fOutxDsrFlow;
    s.dtrControl = static_cast<uint8_t>(d.fDtrControl);
    s.dsrSensitivity = d.fDsrSensitivity;
    s.txContinueOnXoff = d.fTXContinueOnXoff;
    s.outX = d.fOutX;
    s.inX = d.fInX;
    s.errorChar = d.fErrorChar;
    s.nullStrip = d.fNull;
    s.rtsControl = static_cast<uint8_t>(d.fRtsControl);
    s.abortOnError = d.fAbortOnError;
    s.xonLim = d.XonLim;
    s.xoffLim = d.XoffLim;
    s.xonChar = d.XonChar;
    s.xoffChar = d.XoffChar;
}

class ComDevice final : public SerialDevice {
public:
    explicit ComDevice(HANDLE h) : h_(h) {}
    ~ComDevice() override { ::CloseHandle(h_); }

    bool GetTimeouts(CommTimeouts& t) override {
        COMMTIMEOUTS c{};
        if (!::GetCommTimeouts(h_, &c)) return false;
        t = {c.ReadIntervalTimeout, c.ReadTotalTimeoutMultiplier, c.ReadTotalTimeoutConstant,
             c.WriteTotalTimeoutMultiplier, c.WriteTotalTimeoutConstant};
        return true;
    }
    bool SetTimeouts(const CommTimeouts& t) override {
        COMMTIMEOUTS c{t.readInterval, t.readTotalMultiplier, t.readTotalConstant, t.writeTotalMultiplier,
                       t.writeTotalConstant};
        return ::SetCommTimeouts(h_, &c) != 0;
    }
    bool GetState(LineSettings& s) override {
        DCB d{};
        d.DCBlength = sizeof(DCB);
        if (!::GetCommState(h_, &d)) return false;
        FromDcb(d, s);
        return true;
    }
    bool SetState(const LineSettings& s) override {
        // Fields the line settings do not carry keep what the device reported.
        DCB d{};
        d.DCBlength = sizeof(DCB);
        ::GetCommState(h_, &d);
        ToDcb(s, d);
        return ::SetCommState(h_, &d) != 0;
    }
    bool SetupQueues(uint32_t rx, uint32_t tx) override { return ::SetupComm(h_, rx, tx) != 0; }
    bool EscapeFunction(Escape e) override {
        DWORD f = e == Escape::SetDtr ? SETDTR
                  : e == Escape::ClrDtr ? CLRDTR
                  : e == Escape::SetRts ? SETRTS
                  : e == Escape::ClrRts ? CLRRTS
                                        : RESETDEV;
        return ::EscapeCommFunction(h_, f) != 0;
    }
    bool ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) override {
        DWORD e = 0;
        COMSTAT st{};
        BOOL ok = ::ClearCommError(h_, &e, &st);
        if (errors) *errors = ok ? e : 0;
        if (rxCount) *rxCount = ok ? st.cbInQue : 0;
        if (txCount) *txCount = ok ? st.cbOutQue : 0;
        return ok != 0;
    }
    bool SetEventMask(uint32_t mask) override { return ::SetCommMask(h_, mask) != 0; }
    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override {
        DWORD put = 0;
        BOOL ok = ::WriteFile(h_, bytes, n, &put, nullptr);
        if (written) *written = put;
        return ok != 0;
    }
    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        DWORD in = 0;
        BOOL ok = ::ReadFile(h_, buffer, n, &in, nullptr);
        if (got) *got = in;
        return ok != 0;
    }
    bool Purge(uint32_t flags) override { return ::PurgeComm(h_, flags) != 0; }
    bool ModemStatus(uint32_t* bits) override {
        DWORD s = 0;
        BOOL ok = ::GetCommModemStatus(h_, &s);
        if (bits) *bits = ok ? s : 0;
        return ok != 0;
    }
    // The device is not opened for overlapped use, so there is nothing to block on:
    // a short sleep keeps an idle poll from spinning.
    void Wait(uint32_t ms) override { ::Sleep(ms < 1 ? 0 : 1); }

private:
    HANDLE h_;
};

// ---- Virtual serial line over TCP ------------------------------------------
// The same host end as on posix (the line's messages are virtual_line.h's), over winsock.

// Ceiling of the receive queue: the queue size asked for, but never below what
// a printer can send in one go, since the socket delivers faster than a wire.
constexpr size_t kMinReceiveQueue = 64 * 1024;
// How long opening waits for the printer's first modem status.
constexpr DWORD kFirstModemWaitMs = 200;
constexpr DWORD kConnectTimeoutMs = 3000;
constexpr size_t kMaxDrainPerCall = 256 * 1024;
constexpr uint32_t kPurgeRxClear = 0x0008;  // PURGE_RXCLEAR

// Applying settings moves DTR and RTS the way the device-control block says:
// "disable" lowers the line, which is why the port table re-asserts them.
bool DtrOnAfterApply(const LineSettings& s) { return s.dtrControl != kDtrControlDisable; }
bool RtsOnAfterApply(const LineSettings& s) { return s.rtsControl != kRtsControlDisable; }

// One WSAStartup per line, paired with its cleanup.
struct Winsock {
    bool ok = false;
    Winsock() {
        WSADATA data{};
        ok = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Winsock() {
        if (ok) ::WSACleanup();
    }
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
};

// Waits up to ms for the socket to become readable (or writable too); the bits that came.
enum : int { kReadable = 1, kWritable = 2 };
int SocketWait(SOCKET s, bool wantWrite, DWORD ms) {
    fd_set r, w;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_SET(s, &r);
    if (wantWrite) FD_SET(s, &w);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    if (::select(0, &r, wantWrite ? &w : nullptr, nullptr, &tv) <= 0) return 0;
    return (FD_ISSET(s, &r) ? kReadable : 0) | (wantWrite && FD_ISSET(s, &w) ? kWritable : 0);
}

class TcpLine final : public SerialDevice {
public:
    TcpLine(std::unique_ptr<Winsock> ws, SOCKET s) : ws_(std::move(ws)), s_(s) {
        // The first modem read must see the printer's real lines.
        DWORD start = ::GetTickCount();
        while (!sawModem_ && !closed_) {
            DWORD spent = ::GetTickCount() - start;
            if (spent >= kFirstModemWaitMs || !SocketWait(s_, false, kFirstModemWaitMs - spent)) break;
            Drain();
        }
        seenModem_ = modem_;
    }
    ~TcpLine() override { ::closesocket(s_); }

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
        DWORD start = ::GetTickCount();
        for (;;) {
            Drain();
            if (modem_ != seenModem_ || errors_ != seenErrors_ || rx_.size() != seenRx_) {
                seenModem_ = modem_;
                seenErrors_ = errors_;
                seenRx_ = rx_.size();
                return;
            }
            DWORD spent = ::GetTickCount() - start;
            if (spent >= ms) return;
            // A closed socket is always readable; nothing more can come, so just let the time pass.
            if (closed_) ::Sleep(ms - spent);
            else SocketWait(s_, false, ms - spent);
        }
    }

private:
    bool Refuse() {
        ::SetLastError(ERROR_BROKEN_PIPE);
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
        char buf[4096];
        for (size_t taken = 0; taken < kMaxDrainPerCall;) {
            int r = ::recv(s_, buf, sizeof buf, 0);
            if (r > 0) {
                taken += static_cast<size_t>(r);
                Parse(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(r));
                continue;
            }
            if (r == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) PeerGone();
            return;
        }
    }

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
                modem_ = m.bits & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
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
            if (closed_) return Refuse();
            int w = ::send(s_, reinterpret_cast<const char*>(out.data()) + done, static_cast<int>(out.size() - done), 0);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
                if (SocketWait(s_, true, 1000) & kReadable) Drain();
                continue;
            }
            PeerGone();
            return Refuse();
        }
        return true;
    }

    std::unique_ptr<Winsock> ws_;
    SOCKET s_;
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

// Connects without blocking past the time-out: a host that does not answer must
// not hold ECFOpen for the system's own minute-long connect time-out.
SOCKET ConnectWithin(const addrinfo* a, DWORD ms, int* err) {
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
        *err = ::WSAGetLastError();
        return s;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return s;
    *err = ::WSAGetLastError();
    if (*err == WSAEWOULDBLOCK) {
        fd_set w, e;
        FD_ZERO(&w);
        FD_ZERO(&e);
        FD_SET(s, &w);
        FD_SET(s, &e);
        timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
        int r = ::select(0, nullptr, &w, &e, &tv);
        if (r > 0 && FD_ISSET(s, &w)) return s;
        int soErr = 0;
        int len = sizeof soErr;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len);
        *err = r == 0 ? WSAETIMEDOUT : (soErr ? soErr : WSAECONNREFUSED);
    }
    ::closesocket(s);
    return INVALID_SOCKET;
}

std::unique_ptr<SerialDevice> OpenTcpLine(const std::string& where, int* systemError) {
    auto colon = where.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == where.size()) {
        if (systemError) *systemError = ERROR_INVALID_NAME;
        return nullptr;
    }
    std::string host = where.substr(0, colon);
    std::string port = where.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    auto ws = std::make_unique<Winsock>();
    if (!ws->ok) {
        if (systemError) *systemError = ::WSAGetLastError();
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (int r = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); r != 0) {
        if (systemError) *systemError = r;
        return nullptr;
    }
    SOCKET s = INVALID_SOCKET;
    int err = WSAHOST_NOT_FOUND;
    for (addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next) s = ConnectWithin(a, kConnectTimeoutMs, &err);
    ::freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        if (systemError) *systemError = err;
        return nullptr;
    }
    // One byte at a time is how the printer link talks: no waiting to fill segments.
    BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    if (systemError) *systemError = 0;
    return std::make_unique<TcpLine>(std::move(ws), s);
}

}  // namespace

std::unique_ptr<SerialDevice> OpenSerialByName(const std::string& name, int* systemError) {
    if (name.rfind("tcp:", 0) == 0) return OpenTcpLine(name.substr(4), systemError);
    if (name.rfind("unix:", 0) == 0) {
        if (systemError) *systemError = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_NO_BUFFERING, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (systemError) *systemError = static_cast<int>(::GetLastError());
        return nullptr;
    }
    if (systemError) *systemError = 0;
    return std::make_unique<ComDevice>(h);
}

}  // namespace moldrin::platform
