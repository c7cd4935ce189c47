// A pseudo-terminal pair standing in for a serial cable: the tty back end opens
// the terminal side by name, the test plays the far end on the controlling side.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace moldrin::testing {

class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        if (const char* name = ::ptsname(master_)) name_ = name;
        // Keep the terminal side open so the far end never sees a hang-up
        // between the back end's opens and closes.
        if (!name_.empty()) keep_ = ::open(name_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~PtyPair() {
        if (keep_ >= 0) ::close(keep_);
        if (master_ >= 0) ::close(master_);
    }
    bool ok() const { return master_ >= 0 && keep_ >= 0; }
    const std::string& name() const { return name_; }

    // The terminal side's input flags, as the back end left them.
    tcflag_t InputFlags() const {
        termios t{};
        ::tcgetattr(keep_, &t);
        return t.c_iflag;
    }

    void Send(const std::vector<uint8_t>& bytes) {
        ssize_t w = ::write(master_, bytes.data(), bytes.size());
        (void)w;
    }
    // What the back end wrote, waiting up to timeoutMs for the first byte.
    std::vector<uint8_t> Receive(size_t n, int timeoutMs = 2000) {
        std::vector<uint8_t> got;
        while (got.size() < n) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            uint8_t buf[256];
            ssize_t r = ::read(master_, buf, sizeof buf);
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }

private:
    int master_ = -1;
    int keep_ = -1;
    std::string name_;
};

}  // namespace moldrin::testing
