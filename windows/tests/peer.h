// The printer's end of the virtual serial line for the programs run under wine: a
// loopback listener the test drives byte by byte. The line's format is the library's.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

inline bool WaitUntil(const std::function<bool()>& ready, DWORD ms) {
    DWORD end = ::GetTickCount() + ms;
    while (!ready()) {
        if (static_cast<int32_t>(::GetTickCount() - end) >= 0) return false;
        ::Sleep(5);
    }
    return true;
}

class Peer {
public:
    Peer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        int len = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Peer() {
        Hang();
        ::closesocket(listen_);
    }
    std::string Name() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    bool Accept(DWORD ms = 5000) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(listen_, &r);
        timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
        if (::select(0, &r, nullptr, nullptr, &tv) != 1) return false;
        conn_ = ::accept(listen_, nullptr, nullptr);
        return conn_ != INVALID_SOCKET;
    }
    void Send(const std::string& bytes) { ::send(conn_, bytes.data(), static_cast<int>(bytes.size()), 0); }
    // Exactly n bytes, or what came before ms passed.
    std::string Receive(size_t n, DWORD ms = 5000) {
        std::string out;
        DWORD end = ::GetTickCount() + ms;
        while (out.size() < n) {
            int left = static_cast<int>(end - ::GetTickCount());
            if (left <= 0) break;
            fd_set r;
            FD_ZERO(&r);
            FD_SET(conn_, &r);
            timeval tv{left / 1000, (left % 1000) * 1000};
            if (::select(0, &r, nullptr, nullptr, &tv) != 1) break;
            char buf[512];
            int want = static_cast<int>(std::min(n - out.size(), sizeof buf));
            int got = ::recv(conn_, buf, want, 0);
            if (got <= 0) break;
            out.append(buf, static_cast<size_t>(got));
        }
        return out;
    }
    void Hang() {
        if (conn_ != INVALID_SOCKET) ::closesocket(conn_);
        conn_ = INVALID_SOCKET;
    }

private:
    SOCKET listen_ = INVALID_SOCKET;
    SOCKET conn_ = INVALID_SOCKET;
    int port_ = 0;
};

}  // namespace
