// A tmpfs of its own for a lane's drive, and the file that fills it.
#include "soak/small_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace moldrin::soak {

namespace {
std::string Filler(const std::string& dir) { return dir + "/DISK-FILLER"; }
}  // namespace

std::string MountSmallDisk(const std::string& path) {
    if (::geteuid() != 0) return "only root may mount the small disk";
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    // A year of a lane's capture and fiscal files takes some 15 MB.
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=48m,mode=0755") != 0)
        return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return {};
}

void UnmountSmallDisk(const std::string& path) { ::umount2(path.c_str(), MNT_DETACH); }

bool FillDisk(const std::string& dir) {
    struct statvfs s {};
    if (::statvfs(dir.c_str(), &s) != 0) return false;
    const int fd = ::open(Filler(dir).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const off_t free = static_cast<off_t>(s.f_bavail) * static_cast<off_t>(s.f_frsize);
    if (free > 0) ::posix_fallocate(fd, 0, free);
    // Whatever the reservation left, to the last byte.
    std::vector<char> block(4096, 0);
    ::lseek(fd, 0, SEEK_END);
    for (std::size_t size = block.size(); size > 0; size /= 2)
        while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
        }
    ::close(fd);
    return true;
}

void FreeDisk(const std::string& dir) { ::unlink(Filler(dir).c_str()); }

}  // namespace moldrin::soak
