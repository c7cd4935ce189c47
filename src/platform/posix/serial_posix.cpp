// Serial devices by name on posix: the Unix or TCP socket beneath the virtual serial
// line (whose host end is virtual_line_host's), else a tty (tty_posix's).
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "platform/posix/stream_socket_posix.h"
#include "platform/posix/tty_posix.h"
#include "platform/serial_device.h"
#include "platform/virtual_line_host.h"

namespace moldrin::platform {

namespace {

using posix::Fd;

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
    return posix::OpenTty(name, systemError);
}

}  // namespace moldrin::platform
