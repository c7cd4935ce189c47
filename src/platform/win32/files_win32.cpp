// The Windows file system through the ANSI calls: paths are used as the library
// writes them, and sharing is the system's own. Path mapping exists only on posix.
#include "platform/win32/win32.h"

#include <string>

#include "platform/files.h"

namespace moldrin::platform {

namespace {

HANDLE AsHandle(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Every folder of the path up to its last part is a real folder, not a reparse
// point (a junction or link planted in place of c:\TALMA\RFD would carry our
// writes elsewhere). Checked step by step before the call that writes.
bool FoldersPlain(const char* path) {
    const std::string p = path;
    // From the first folder after the drive (or share) on.
    std::size_t at = p.size() >= 3 && p[1] == ':' ? 3 : 0;
    for (;;) {
        const std::size_t slash = p.find_first_of("\\/", at);
        if (slash == std::string::npos) return true;
        if (slash > at && IsReparsePoint(::GetFileAttributesA(p.substr(0, slash).c_str()))) {
            TellRefusedLink(path, true);
            ::SetLastError(ERROR_CANT_ACCESS_FILE);
            return false;
        }
        at = slash + 1;
    }
}

std::optional<LocalTime> ToLocal(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME st{};
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st)) return std::nullopt;
    return FromSystemTime(st);
}

class Win32FileSystem final : public FileSystem {
public:
    FileHandle Open(const char* path, unsigned access, unsigned share, FileCreation how) override {
        if (!path) return kInvalidFile;
        DWORD acc = 0;
        if (access & kAccessRead) acc |= GENERIC_READ;
        if (access & kAccessWrite) acc |= GENERIC_WRITE;
        DWORD shr = 0;
        if (share & kShareRead) shr |= FILE_SHARE_READ;
        if (share & kShareWrite) shr |= FILE_SHARE_WRITE;
        DWORD disposition = OPEN_EXISTING;
        if (how == FileCreation::CreateAlways) disposition = CREATE_ALWAYS;
        else if (how == FileCreation::CreateNew || how == FileCreation::CreateNewPrivate) disposition = CREATE_NEW;
        // A link (reparse point) planted in the data folder must not let us write
        // somewhere else: refuse it, and open the link itself should one appear meanwhile.
        const bool writes = (access & kAccessWrite) != 0 || disposition != OPEN_EXISTING;
        DWORD flags = FILE_ATTRIBUTE_NORMAL;
        if (writes) {
            if (!FoldersPlain(path)) return kInvalidFile;
            if (IsReparsePoint(::GetFileAttributesA(path))) {
                ::SetLastError(ERROR_CANT_ACCESS_FILE);
                return kInvalidFile;
            }
            flags |= FILE_FLAG_OPEN_REPARSE_POINT;
        }
        HANDLE h = ::CreateFileA(path, acc, shr, nullptr, disposition, flags, nullptr);
        if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
        BY_HANDLE_FILE_INFORMATION info{};
        if (writes && (!::GetFileInformationByHandle(h, &info) || IsReparsePoint(info.dwFileAttributes))) {
            ::CloseHandle(h);
            ::SetLastError(ERROR_CANT_ACCESS_FILE);
            return kInvalidFile;
        }
        // A second name of the file (a hard link planted at ours) would have us
        // write into someone else's file. CREATE_ALWAYS has emptied it already,
        // which a second name cannot be kept from; nothing of ours goes in.
        if (writes && info.nNumberOfLinks > 1) {
            ::CloseHandle(h);
            TellRefusedLink(path, false);
            ::SetLastError(ERROR_CANT_ACCESS_FILE);
            return kInvalidFile;
        }
        return reinterpret_cast<FileHandle>(h);
    }

    bool Close(FileHandle h) override { return h != kInvalidFile && ::CloseHandle(AsHandle(h)) != 0; }

    bool Read(FileHandle h, void* buffer, uint32_t n, uint32_t* done) override {
        *done = 0;
        if (h == kInvalidFile) return false;
        DWORD got = 0;
        BOOL ok = ::ReadFile(AsHandle(h), buffer, n, &got, nullptr);
        *done = got;
        return ok != 0;
    }

    bool Write(FileHandle h, const void* bytes, uint32_t n, uint32_t* done) override {
        *done = 0;
        if (h == kInvalidFile) return false;
        DWORD put = 0;
        BOOL ok = ::WriteFile(AsHandle(h), bytes, n, &put, nullptr);
        *done = put;
        return ok != 0 && put == n;
    }

    bool Flush(FileHandle h) override { return h != kInvalidFile && ::FlushFileBuffers(AsHandle(h)) != 0; }

    int64_t Seek(FileHandle h, int64_t offset, int origin) override {
        if (h == kInvalidFile) return -1;
        DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : 0xFFFFFFFFu;
        if (method == 0xFFFFFFFFu) return -1;
        LARGE_INTEGER dist{};
        dist.QuadPart = offset;
        LARGE_INTEGER pos{};
        if (!::SetFilePointerEx(AsHandle(h), dist, &pos, method)) return -1;
        return pos.QuadPart;
    }

    int64_t Size(FileHandle h) override {
        LARGE_INTEGER size{};
        if (h == kInvalidFile || !::GetFileSizeEx(AsHandle(h), &size)) return -1;
        return size.QuadPart;
    }

    bool Truncate(FileHandle h, int64_t size) override {
        if (h == kInvalidFile || size < 0) return false;
        LARGE_INTEGER to{};
        to.QuadPart = size;
        LARGE_INTEGER was{};
        const LARGE_INTEGER none{};
        if (!::SetFilePointerEx(AsHandle(h), none, &was, FILE_CURRENT)) return false;
        const bool cut = ::SetFilePointerEx(AsHandle(h), to, nullptr, FILE_BEGIN) && ::SetEndOfFile(AsHandle(h));
        ::SetFilePointerEx(AsHandle(h), was.QuadPart > size ? to : was, nullptr, FILE_BEGIN);
        return cut;
    }

    std::optional<LocalTime> CreationTime(FileHandle h) override {
        FILETIME created{};
        if (h == kInvalidFile || !::GetFileTime(AsHandle(h), &created, nullptr, nullptr)) return std::nullopt;
        return ToLocal(created);
    }

    bool Delete(const char* path) override { return path && FoldersPlain(path) && ::DeleteFileA(path) != 0; }

    bool Rename(const char* from, const char* to) override {
        if (!from || !to || IsReparsePoint(::GetFileAttributesA(from))) return false;
        if (!FoldersPlain(from) || !FoldersPlain(to)) return false;
        return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
    }

    bool TryLock(FileHandle h) override {
        OVERLAPPED at{};
        return h != kInvalidFile &&
               ::LockFileEx(AsHandle(h), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
    }

    bool CreateDirectory(const char* path) override {
        return path && FoldersPlain(path) && ::CreateDirectoryA(path, nullptr) != 0;
    }

    bool IsDirectory(const char* path) override {
        if (!path) return false;
        DWORD attrs = ::GetFileAttributesA(path);
        return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    bool Exists(const char* path) override {
        if (!path) return false;
        if (::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
        const DWORD error = ::GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
};

}  // namespace

FileSystem& SystemFileSystem() {
    // Never destroyed: the unload path writes the traffic log after exit handlers ran.
    static Win32FileSystem& fs = *new Win32FileSystem;
    return fs;
}

}  // namespace moldrin::platform
