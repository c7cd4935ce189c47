// Serial back ends on Windows: a COM device through the communications calls, and the TCP socket
// beneath the virtual serial line (whose host end is virtual_line_host's). The port table's use is its own.
#include "platform/win32/win32.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/serial_device.h"
#include "platform/virtual_line_host.h"

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
// The stream beneath the line's host end (virtual_line_host's), over winsock.

constexpr DWORD kConnectTimeoutMs = 3000;

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

class TcpTransport final : public LineTransport {
public:
    TcpTransport(std::unique_ptr<Winsock> ws, SOCKET s) : ws_(std::move(ws)), s_(s) {}
    ~TcpTransport() override { ::closesocket(s_); }
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    long Send(const uint8_t* bytes, size_t n) override {
        int chunk = static_cast<int>(std::min<size_t>(n, 0x7FFFFFFF));
        int w = ::send(s_, reinterpret_cast<const char*>(bytes), chunk, 0);
        if (w >= 0) return w;
        if (::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
        SetBrokenPipe();
        return -1;
    }

    long Receive(uint8_t* buffer, size_t n) override {
        int chunk = static_cast<int>(std::min<size_t>(n, 0x7FFFFFFF));
        int r = ::recv(s_, reinterpret_cast<char*>(buffer), chunk, 0);
        if (r > 0) return r;
        if (r == 0) return -1;
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }

    int Wait(int events, uint32_t ms) override {
        const bool wantWrite = (events & kWritable) != 0;
        fd_set r, w;
        FD_ZERO(&r);
        FD_ZERO(&w);
        FD_SET(s_, &r);
        if (wantWrite) FD_SET(s_, &w);
        timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
        if (::select(0, &r, wantWrite ? &w : nullptr, nullptr, &tv) <= 0) return 0;
        return (FD_ISSET(s_, &r) ? kReadable : 0) | (wantWrite && FD_ISSET(s_, &w) ? kWritable : 0);
    }

    void Sleep(uint32_t ms) override { ::Sleep(ms); }

    void SetBrokenPipe() override { ::SetLastError(ERROR_BROKEN_PIPE); }

private:
    std::unique_ptr<Winsock> ws_;
    SOCKET s_;
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

// One connection to host:port, or null with the reason in *systemError.
std::unique_ptr<LineTransport> ConnectTcp(const std::string& host, const std::string& port, int* systemError) {
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
    return std::make_unique<TcpTransport>(std::move(ws), s);
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
    // The host end connects again by itself after the printer end went away.
    return OpenVirtualLineHost([host, port](int* err) { return ConnectTcp(host, port, err); }, systemError);
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
