// Making and reading the token file: created exclusively with mode 0600, never
// through a link, and refused when its mode lets others read it.
#include "serve/token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace moldrin::serve {

namespace {

std::string Reason(const std::string& path, const char* what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

}  // namespace

bool LoadOrMakeToken(const std::string& hostPath, std::string* token, std::string* why) {
    int fd = ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        unsigned char raw[32];
        if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) {
            *why = Reason(hostPath, "no random bytes");
            ::close(fd);
            ::unlink(hostPath.c_str());
            return false;
        }
        static const char kHex[] = "0123456789abcdef";
        std::string made;
        for (unsigned char b : raw) {
            made += kHex[b >> 4];
            made += kHex[b & 15];
        }
        const std::string line = made + "\n";
        const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
        ::close(fd);
        if (!ok) {
            *why = Reason(hostPath, "cannot be written");
            ::unlink(hostPath.c_str());
            return false;
        }
        *token = made;
        return true;
    }
    if (errno != EEXIST) {
        *why = Reason(hostPath, "cannot be made");
        return false;
    }
    fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *why = Reason(hostPath, "cannot be read");
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode) || (st.st_mode & 077) != 0 || st.st_uid != ::getuid()) {
        ::close(fd);
        *why = hostPath + ": must be a file of this user that only its owner may read (chmod 600)";
        return false;
    }
    char buffer[130] = {};
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    std::string text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.size() < 32) {
        *why = hostPath + ": holds no token (remove it to have a new one made)";
        return false;
    }
    *token = text;
    return true;
}

}  // namespace moldrin::serve
