// The posix file system: descriptors as handles, drive paths mapped under
// MOLDRIN_ROOT, and the Windows sharing rules kept among this process's own
// openers (a file opened without sharing refuses a second opener here).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/files.h"

namespace moldrin::platform {

namespace {

// Folders we make are the data's, never a place where others may plant files.
constexpr mode_t kFolderMode = 0750;

// The folder that holds a path's last part, reached from MOLDRIN_ROOT one folder
// at a time without following a link: a link planted in place of c/TALMA/RFD
// would carry every write of ours out of the data folder. Paths that are not
// drive paths are the caller's own and are taken as given.
class Place {
public:
    explicit Place(const char* windowsPath) {
        std::string root, below;
        if (!DrivePathParts(windowsPath, &root, &below)) {
            leaf_ = HostPath(windowsPath);
            ok_ = !leaf_.empty();
            return;
        }
        while (!below.empty() && below.back() == '/') below.pop_back();
        int fd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        std::size_t start = 0;
        for (;;) {
            const std::size_t slash = below.find('/', start);
            const std::string part = below.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (slash == std::string::npos) {
                leaf_ = part;
                break;
            }
            start = slash + 1;
            if (part.empty() || part == ".") continue;
            // Nothing below the root may lead out of it.
            const int next = part == ".." ? -1 : ::openat(fd, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            struct stat st{};
            if (next < 0 || ::fstat(next, &st) != 0 || !S_ISDIR(st.st_mode)) {
                linked_ = next >= 0 && S_ISLNK(st.st_mode);
                const int error = next < 0 ? (part == ".." ? EINVAL : errno) : (linked_ ? ELOOP : ENOTDIR);
                if (next >= 0) ::close(next);
                ::close(fd);
                errno = error;
                return;
            }
            ::close(fd);
            fd = next;
        }
        if (leaf_.empty() || leaf_ == "." || leaf_ == "..") {
            ::close(fd);
            errno = EINVAL;
            return;
        }
        dir_ = fd;
        ok_ = true;
    }
    ~Place() {
        if (dir_ != AT_FDCWD) ::close(dir_);
    }
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;

    // False when the folder could not be reached; a linked folder was told of.
    bool Reached(const char* windowsPath) const {
        if (linked_) {
            TellRefusedLink(windowsPath, true);
            errno = ELOOP;
        }
        return ok_;
    }
    int dir() const { return dir_; }
    const char* leaf() const { return leaf_.c_str(); }

private:
    int dir_ = AT_FDCWD;
    std::string leaf_;
    bool ok_ = false, linked_ = false;
};

struct OpenInfo {
    dev_t dev;
    ino_t ino;
    unsigned access;
    unsigned share;
};

class PosixFileSystem final : public FileSystem {
public:
    FileHandle Open(const char* path, unsigned access, unsigned share, FileCreation how) override {
        if (!path) return kInvalidFile;
        std::string host = HostPath(path);
        const bool creates = how != FileCreation::OpenExisting;
        const bool exclusive = how == FileCreation::CreateNew || how == FileCreation::CreateNewPrivate;
        // Non-blocking only while opening: a pipe planted in a file's place must not hang us.
        int flags = O_CLOEXEC | O_NONBLOCK;
        if ((access & kAccessRead) && (access & kAccessWrite)) flags |= O_RDWR;
        else if (access & kAccessWrite) flags |= O_WRONLY;
        else flags |= O_RDONLY;
        // A link planted in the data folder must not let us write somewhere else.
        if ((access & kAccessWrite) || creates) flags |= O_NOFOLLOW;
        if (creates) flags |= O_CREAT;
        if (exclusive) flags |= O_EXCL;
        const mode_t mode = how == FileCreation::CreateNewPrivate ? 0600 : 0666;
        const bool writes = (access & kAccessWrite) || creates;
        std::optional<Place> place;
        if (writes) {
            place.emplace(path);
            if (!place->Reached(path)) return kInvalidFile;
        }
        std::lock_guard lock(mutex_);
        int fd = writes ? ::openat(place->dir(), place->leaf(), flags, mode) : ::open(host.c_str(), flags, mode);
        if (fd < 0) return kInvalidFile;
        auto refuse = [fd](int error) {
            ::close(fd);
            errno = error;
            return kInvalidFile;
        };
        struct stat st{};
        if (::fstat(fd, &st) != 0) return refuse(errno);
        if (S_ISDIR(st.st_mode)) return refuse(EISDIR);
        if (!S_ISREG(st.st_mode)) return refuse(EINVAL);
        // A second name of the file (a hard link planted at ours) would have
        // us write into someone else's file.
        if (writes && st.st_nlink > 1) {
            TellRefusedLink(path, false);
            return refuse(EMLINK);
        }
        // Sharing is judged before truncating, so a refused opener changes nothing.
        if (!Compatible(st.st_dev, st.st_ino, access, share)) return refuse(EBUSY);
        if (how == FileCreation::CreateAlways && ::ftruncate(fd, 0) != 0) return refuse(errno);
        const int status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return refuse(errno);
        open_[fd] = OpenInfo{st.st_dev, st.st_ino, access, share};
        return fd;
    }

    bool Close(FileHandle h) override {
        std::lock_guard lock(mutex_);
        auto it = open_.find(static_cast<int>(h));
        if (it == open_.end()) return false;
        open_.erase(it);
        return ::close(static_cast<int>(h)) == 0;
    }

    bool Read(FileHandle h, void* buffer, uint32_t n, uint32_t* done) override {
        *done = 0;
        if (!Known(h)) return false;
        auto* p = static_cast<char*>(buffer);
        while (*done < n) {
            ssize_t r = ::read(static_cast<int>(h), p + *done, n - *done);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return false;
            if (r == 0) break;
            *done += static_cast<uint32_t>(r);
        }
        return true;
    }

    bool Write(FileHandle h, const void* bytes, uint32_t n, uint32_t* done) override {
        *done = 0;
        if (!Known(h)) return false;
        const auto* p = static_cast<const char*>(bytes);
        while (*done < n) {
            ssize_t r = ::write(static_cast<int>(h), p + *done, n - *done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            *done += static_cast<uint32_t>(r);
        }
        return true;
    }

    bool Flush(FileHandle h) override { return Known(h) && ::fsync(static_cast<int>(h)) == 0; }

    int64_t Seek(FileHandle h, int64_t offset, int origin) override {
        if (!Known(h)) return -1;
        int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
        if (whence < 0) return -1;
        off_t r = ::lseek(static_cast<int>(h), static_cast<off_t>(offset), whence);
        return r < 0 ? -1 : static_cast<int64_t>(r);
    }

    int64_t Size(FileHandle h) override {
        struct stat st{};
        if (!Known(h) || ::fstat(static_cast<int>(h), &st) != 0) return -1;
        return static_cast<int64_t>(st.st_size);
    }

    bool Truncate(FileHandle h, int64_t size) override {
        return Known(h) && size >= 0 && ::ftruncate(static_cast<int>(h), static_cast<off_t>(size)) == 0;
    }

    std::optional<LocalTime> CreationTime(FileHandle h) override {
        if (!Known(h)) return std::nullopt;
#if defined(STATX_BTIME)
        struct statx sx{};
        if (::statx(static_cast<int>(h), "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
            time_t secs = static_cast<time_t>(sx.stx_btime.tv_sec);
            tm t{};
            if (!localtime_r(&secs, &t)) return std::nullopt;
            LocalTime lt;
            lt.year = t.tm_year + 1900;
            lt.month = t.tm_mon + 1;
            lt.day = t.tm_mday;
            lt.hour = t.tm_hour;
            lt.minute = t.tm_min;
            lt.second = t.tm_sec;
            lt.weekday = t.tm_wday;
            return lt;
        }
#endif
        return std::nullopt;
    }

    bool Delete(const char* path) override {
        if (!path) return false;
        const Place place(path);
        if (!place.Reached(path)) return false;
        struct stat st{};
        if (::fstatat(place.dir(), place.leaf(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return false;
        return ::unlinkat(place.dir(), place.leaf(), 0) == 0;
    }

    bool Rename(const char* from, const char* to) override {
        if (!from || !to) return false;
        const Place source(from), target(to);
        if (!source.Reached(from) || !target.Reached(to)) return false;
        // Only a file of our own is moved into place, never a link put where it was.
        struct stat st{};
        if (::fstatat(source.dir(), source.leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (!S_ISREG(st.st_mode)) {
            errno = EINVAL;
            return false;
        }
        return ::renameat(source.dir(), source.leaf(), target.dir(), target.leaf()) == 0;
    }

    bool TryLock(FileHandle h) override { return Known(h) && ::flock(static_cast<int>(h), LOCK_EX | LOCK_NB) == 0; }

    bool CreateDirectory(const char* path) override {
        if (!path) return false;
        // A drive always exists on Windows: make its directory under the root on demand.
        if (path[0] && path[1] == ':') {
            std::string drive = HostPath(std::string(path, 2).append("\\").c_str());
            for (std::size_t i = 1; i <= drive.size(); ++i)
                if (i == drive.size() || drive[i] == '/') ::mkdir(drive.substr(0, i).c_str(), kFolderMode);
        }
        const Place place(path);
        return place.Reached(path) && ::mkdirat(place.dir(), place.leaf(), kFolderMode) == 0;
    }

    bool IsDirectory(const char* path) override {
        struct stat st{};
        return path && ::stat(HostPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    bool Exists(const char* path) override {
        if (!path) return false;
        struct stat st{};
        if (::lstat(HostPath(path).c_str(), &st) == 0) return true;
        return errno != ENOENT && errno != ENOTDIR;
    }

private:
    bool Known(FileHandle h) {
        std::lock_guard lock(mutex_);
        return open_.count(static_cast<int>(h)) != 0;
    }

    // The Windows rule: every opener's access must be allowed by every other's sharing.
    bool Compatible(dev_t dev, ino_t ino, unsigned access, unsigned share) const {
        for (const auto& [fd, info] : open_) {
            if (info.dev != dev || info.ino != ino) continue;
            if ((access & kAccessRead) && !(info.share & kShareRead)) return false;
            if ((access & kAccessWrite) && !(info.share & kShareWrite)) return false;
            if ((info.access & kAccessRead) && !(share & kShareRead)) return false;
            if ((info.access & kAccessWrite) && !(share & kShareWrite)) return false;
        }
        return true;
    }

    std::mutex mutex_;
    std::map<int, OpenInfo> open_;
};

}  // namespace

FileSystem& SystemFileSystem() {
    // Never destroyed: the unload path writes the traffic log after exit handlers ran.
    static PosixFileSystem& fs = *new PosixFileSystem;
    return fs;
}

}  // namespace moldrin::platform
