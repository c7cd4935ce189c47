// Serial back ends on Windows: a COM device through the communications calls, and
// the virtual serial line over TCP ("tcp:HOST:PORT") through winsock. The port table
// above decides what to do with them; this file only moves bytes and line states.
#include "platform/win32/win32.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial_device.h"

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

class TcpLine final : public SerialDevice {
public:
    TcpLine(std::unique_ptr<Winsock> ws, SOCKET s) : ws_(std::move(ws)), s_(s) {}
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
        settings_ = s;
        uint8_t msg[8] = {'S',
                          static_cast<uint8_t>(s.baudRate),
                          static_cast<uint8_t>(s.baudRate >> 8),
                          static_cast<uint8_t>(s.baudRate >> 16),
                          static_cast<uint8_t>(s.baudRate >> 24),
                          s.byteSize,
                          s.parity,
                          s.stopBits};
        return SendAll(msg, sizeof msg);
    }
    bool SetupQueues(uint32_t, uint32_t) override { return !broken_; }
    bool EscapeFunction(Escape e) override {
        switch (e) {
            case Escape::SetDtr: lines_ |= 1; break;
            case Escape::ClrDtr: lines_ &= ~1u; break;
            case Escape::SetRts: lines_ |= 2; break;
            case Escape::ClrRts: lines_ &= ~2u; break;
            case Escape::ResetDev: return !broken_;
        }
        uint8_t msg[2] = {'M', static_cast<uint8_t>(lines_)};
        return SendAll(msg, sizeof msg);
    }
    bool ClearErrors(uint32_t* errors, uint32_t* rxCount, uint32_t* txCount) override {
        Pump();
        if (errors) *errors = errors_;
        errors_ = 0;
        if (rxCount) *rxCount = static_cast<uint32_t>(rx_.size());
        if (txCount) *txCount = 0;  // a write returns only once the bytes are on the line
        return true;
    }
    bool SetEventMask(uint32_t) override { return !broken_; }
    bool Write(const uint8_t* bytes, uint32_t n, uint32_t* written) override {
        if (written) *written = 0;
        uint32_t done = 0;
        while (done < n) {
            uint32_t chunk = n - done > 255 ? 255 : n - done;
            uint8_t msg[257];
            msg[0] = 'D';
            msg[1] = static_cast<uint8_t>(chunk);
            std::memcpy(msg + 2, bytes + done, chunk);
            if (!SendAll(msg, chunk + 2)) return false;
            done += chunk;
            if (written) *written = done;
        }
        return true;
    }
    bool Read(uint8_t* buffer, uint32_t n, uint32_t* got) override {
        Pump();
        uint32_t k = 0;
        while (k < n && !rx_.empty()) {
            buffer[k++] = rx_.front();
            rx_.pop_front();
        }
        if (got) *got = k;
        return true;
    }
    bool Purge(uint32_t) override { return true; }
    bool ModemStatus(uint32_t* bits) override {
        Pump();
        if (bits) *bits = modem_;
        return true;
    }
    void Wait(uint32_t ms) override {
        Pump();
        if (!rx_.empty() || broken_) {
            if (broken_) ::Sleep(ms < 1 ? 0 : 1);
            return;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s_, &readable);
        timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
        ::select(0, &readable, nullptr, nullptr, &tv);
    }

private:
    // Takes everything the printer has sent so far and sorts it into received
    // bytes, modem lines and line errors. Never waits. A line whose printer went
    // away reads like a cable pulled out: what had arrived stays, the lines drop.
    void Pump() {
        char buf[4096];
        while (!broken_) {
            int r = ::recv(s_, buf, sizeof buf, 0);
            if (r > 0) {
                in_.insert(in_.end(), buf, buf + r);
                continue;
            }
            if (r == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) broken_ = true;
            break;
        }
        std::size_t i = 0;
        while (i < in_.size()) {
            uint8_t tag = in_[i];
            if (tag == 'D') {
                if (i + 1 >= in_.size()) break;
                std::size_t n = in_[i + 1];
                if (n == 0) {
                    NotAPrinter();
                    return;
                }
                if (i + 2 + n > in_.size()) break;
                rx_.insert(rx_.end(), in_.begin() + static_cast<std::ptrdiff_t>(i + 2),
                           in_.begin() + static_cast<std::ptrdiff_t>(i + 2 + n));
                i += 2 + n;
            } else if (tag == 'M' || tag == 'E') {
                if (i + 1 >= in_.size()) break;
                if (tag == 'M') modem_ = in_[i + 1] & (kModemCts | kModemDsr);
                else errors_ |= in_[i + 1];
                i += 2;
            } else {
                NotAPrinter();
                return;
            }
        }
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(i));
        if (broken_) modem_ = 0;
    }

    // A peer that does not speak the line's language is no printer: drop it.
    void NotAPrinter() {
        broken_ = true;
        modem_ = 0;
        in_.clear();
    }

    bool SendAll(const uint8_t* bytes, uint32_t n) {
        if (broken_) return false;
        uint32_t done = 0;
        while (done < n) {
            int r = ::send(s_, reinterpret_cast<const char*>(bytes) + done, static_cast<int>(n - done), 0);
            if (r > 0) {
                done += static_cast<uint32_t>(r);
                continue;
            }
            if (r < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
                fd_set writable;
                FD_ZERO(&writable);
                FD_SET(s_, &writable);
                timeval tv{1, 0};
                ::select(0, nullptr, &writable, nullptr, &tv);
                continue;
            }
            broken_ = true;
            modem_ = 0;
            return false;
        }
        return true;
    }

    std::unique_ptr<Winsock> ws_;
    SOCKET s_;
    CommTimeouts timeouts_{};
    LineSettings settings_{};
    uint32_t lines_ = 0;   // bit 0 DTR, bit 1 RTS, as last sent
    uint32_t modem_ = 0;   // CTS/DSR bits, as last reported
    uint32_t errors_ = 0;  // line errors not yet read
    bool broken_ = false;
    std::vector<uint8_t> in_;  // what came from the socket and is not yet sorted
    std::deque<uint8_t> rx_;   // received bytes not yet read
};

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
    int err = 0;
    for (addrinfo* a = found; a; a = a->ai_next) {
        s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            err = ::WSAGetLastError();
            continue;
        }
        if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) break;
        err = ::WSAGetLastError();
        ::closesocket(s);
        s = INVALID_SOCKET;
    }
    ::freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        if (systemError) *systemError = err;
        return nullptr;
    }
    // One byte at a time is how the printer link talks: no waiting to fill segments.
    BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
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
