// Stream sockets for both ends of the virtual serial line on posix: names,
// connecting, listening, waiting; the line's messages are left to the ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace moldrin::platform::posix {

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept;
    ~Fd() { Reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// "unix:PATH" or "tcp:HOST:PORT" (HOST may be "[v6]"); anything else is no socket.
struct Endpoint {
    enum class Kind { Unix, Tcp } kind = Kind::Unix;
    std::string path;  // Unix
    std::string host;  // Tcp
    std::string port;  // Tcp
};
bool IsSocketName(const std::string& name);
// False with *systemError = EINVAL for a malformed socket name.
bool ParseEndpoint(const std::string& name, Endpoint& endpoint, int* systemError);

// A connected, non-blocking stream (TCP with no delay); invalid on failure with
// the reason in *systemError.
Fd ConnectStream(const Endpoint& endpoint, int timeoutMs, int* systemError);
// A listening, non-blocking socket; a stale Unix socket file is removed first.
// *address receives the name a host connects to (the real port for port 0).
Fd ListenStream(const Endpoint& endpoint, std::string* address, int* systemError);
// The next connection (non-blocking, TCP with no delay), or invalid.
Fd AcceptStream(int listener);

bool SetNonBlocking(int fd);
// poll() for one or two descriptors (second < 0: none), riding over signals.
// Returns the revents of the first, and of the second in *secondEvents.
short PollFds(int first, short events, int second, short secondEvents, int timeoutMs, short* secondRevents);
// Sleeps without looking at any descriptor.
void SleepMs(int ms);
// Milliseconds on the monotonic clock (the real one: these are real waits).
uint64_t MonotonicMs();

}  // namespace moldrin::platform::posix
