// Stream sockets for the virtual serial line on posix: name parsing, connect with
// a time-out, listen and accept; the message traffic is left to the two ends.
#include "platform/posix/stream_socket_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace moldrin::platform::posix {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

void Fd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

bool IsSocketName(const std::string& name) { return name.rfind("unix:", 0) == 0 || name.rfind("tcp:", 0) == 0; }

bool ParseEndpoint(const std::string& name, Endpoint& ep, int* systemError) {
    auto fail = [&] {
        if (systemError) *systemError = EINVAL;
        return false;
    };
    if (name.rfind("unix:", 0) == 0) {
        ep = Endpoint{};
        ep.kind = Endpoint::Kind::Unix;
        ep.path = name.substr(5);
        return ep.path.empty() ? fail() : true;
    }
    if (name.rfind("tcp:", 0) != 0) return fail();
    std::string rest = name.substr(4);
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) return fail();
    ep = Endpoint{};
    ep.kind = Endpoint::Kind::Tcp;
    ep.host = rest.substr(0, colon);
    ep.port = rest.substr(colon + 1);
    if (ep.host.size() >= 2 && ep.host.front() == '[' && ep.host.back() == ']') ep.host = ep.host.substr(1, ep.host.size() - 2);
    for (char c : ep.port)
        if (c < '0' || c > '9') return fail();
    return !ep.host.empty() ? true : fail();
}

namespace {

bool UnixAddress(const std::string& path, sockaddr_un& addr, int* systemError) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        if (systemError) *systemError = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

void NoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Connects a non-blocking socket, waiting at most timeoutMs for the answer.
bool ConnectWithin(int fd, const sockaddr* addr, socklen_t len, int timeoutMs, int* systemError) {
    if (::connect(fd, addr, len) == 0) return true;
    if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) {
        if (systemError) *systemError = errno;
        return false;
    }
    short revents = PollFds(fd, POLLOUT, -1, 0, timeoutMs, nullptr);
    if (revents == 0) {
        if (systemError) *systemError = ETIMEDOUT;
        return false;
    }
    int soError = 0;
    socklen_t soLen = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) != 0) soError = errno;
    if (soError != 0) {
        if (systemError) *systemError = soError;
        return false;
    }
    return true;
}

struct AddrInfoList {
    addrinfo* list = nullptr;
    ~AddrInfoList() {
        if (list) ::freeaddrinfo(list);
    }
};

int ResolveError(int gai) {
    if (gai == EAI_SYSTEM) return errno;
    return gai == EAI_NONAME ? EHOSTUNREACH : EADDRNOTAVAIL;
}

}  // namespace

Fd ConnectStream(const Endpoint& ep, int timeoutMs, int* systemError) {
    if (ep.kind == Endpoint::Kind::Unix) {
        sockaddr_un addr;
        if (!UnixAddress(ep.path, addr, systemError)) return Fd();
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid()) {
            if (systemError) *systemError = errno;
            return Fd();
        }
        if (!ConnectWithin(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr, timeoutMs, systemError)) return Fd();
        return fd;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfoList res;
    int gai = ::getaddrinfo(ep.host.c_str(), ep.port.c_str(), &hints, &res.list);
    if (gai != 0) {
        if (systemError) *systemError = ResolveError(gai);
        return Fd();
    }
    int lastError = ECONNREFUSED;
    for (addrinfo* ai = res.list; ai; ai = ai->ai_next) {
        Fd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid()) {
            lastError = errno;
            continue;
        }
        if (ConnectWithin(fd.get(), ai->ai_addr, ai->ai_addrlen, timeoutMs, &lastError)) {
            NoDelay(fd.get());
            return fd;
        }
    }
    if (systemError) *systemError = lastError;
    return Fd();
}

namespace {
// A connection that goes through, or waits in a full queue, has a listener
// behind it; a socket file nobody listens on refuses it.
bool SomeoneListens(const sockaddr_un& addr) {
    Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid()) return false;
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
    return errno == EAGAIN || errno == EINPROGRESS;
}
}  // namespace

Fd ListenStream(const Endpoint& ep, std::string* address, int* systemError) {
    auto fail = [&](int err) {
        if (systemError) *systemError = err;
        return Fd();
    };
    if (ep.kind == Endpoint::Kind::Unix) {
        sockaddr_un addr;
        if (!UnixAddress(ep.path, addr, systemError)) return Fd();
        // Only a socket file left by an earlier run is removed, never anything
        // else, and never one that a live listener still answers on.
        struct stat st{};
        if (::lstat(ep.path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) return fail(EEXIST);
            if (SomeoneListens(addr)) return fail(EADDRINUSE);
            ::unlink(ep.path.c_str());
        }
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid()) return fail(errno);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(errno);
        if (::listen(fd.get(), 1) != 0) return fail(errno);
        if (address) *address = "unix:" + ep.path;
        return fd;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    AddrInfoList res;
    int gai = ::getaddrinfo(ep.host.c_str(), ep.port.c_str(), &hints, &res.list);
    if (gai != 0) return fail(ResolveError(gai));
    int lastError = EADDRNOTAVAIL;
    for (addrinfo* ai = res.list; ai; ai = ai->ai_next) {
        Fd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid()) {
            lastError = errno;
            continue;
        }
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), 1) != 0) {
            lastError = errno;
            continue;
        }
        if (address) {
            sockaddr_storage bound{};
            socklen_t len = sizeof bound;
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
            unsigned port = 0;
            if (bound.ss_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            if (bound.ss_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
            bool v6 = ep.host.find(':') != std::string::npos;
            *address = "tcp:" + (v6 ? "[" + ep.host + "]" : ep.host) + ":" + std::to_string(port);
        }
        return fd;
    }
    return fail(lastError);
}

Fd AcceptStream(int listener) {
    Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.valid()) return Fd();
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0 && addr.ss_family != AF_UNIX) NoDelay(fd.get());
    return fd;
}

bool SetNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

uint64_t MonotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

short PollFds(int first, short events, int second, short secondEvents, int timeoutMs, short* secondRevents) {
    pollfd fds[2] = {{first, events, 0}, {second, secondEvents, 0}};
    nfds_t count = second >= 0 ? 2 : 1;
    uint64_t deadline = MonotonicMs() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = static_cast<int>(deadline > MonotonicMs() ? deadline - MonotonicMs() : 0);
        int r = ::poll(fds, count, wait);
        if (r >= 0 || errno != EINTR) break;
    }
    if (secondRevents) *secondRevents = count == 2 ? fds[1].revents : 0;
    return fds[0].revents;
}

void SleepMs(int ms) {
    if (ms <= 0) return;
    timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

}  // namespace moldrin::platform::posix
