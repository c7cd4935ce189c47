// Files and directories, named by their Windows paths ("c:\TALMA\RFD\E00.BIN").
// The file system is one replaceable table of operations so tests can inject
// faults; the default one maps drive paths under MOLDRIN_ROOT on Linux.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace moldrin::platform {

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

enum FileAccess : unsigned { kAccessRead = 1, kAccessWrite = 2 };
enum FileShare : unsigned { kShareNone = 0, kShareRead = 1, kShareWrite = 2 };
// CreateNew fails when anything, a link included, is already at the path;
// CreateNewPrivate is CreateNew for a file only its owner may read (a key).
enum class FileCreation { OpenExisting, CreateAlways, CreateNew, CreateNewPrivate };

// Whatever a file system opens for writing or creates is a regular file reached
// without following a link at the path's last component.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual FileHandle Open(const char* path, unsigned access, unsigned share, FileCreation how) = 0;
    virtual bool Close(FileHandle h) = 0;
    // Read/Write report the bytes moved through *done; false when the system refused.
    virtual bool Read(FileHandle h, void* buffer, uint32_t n, uint32_t* done) = 0;
    virtual bool Write(FileHandle h, const void* bytes, uint32_t n, uint32_t* done) = 0;
    virtual bool Flush(FileHandle h) = 0;
    // origin 0 start, 1 current, 2 end; new position or -1.
    virtual int64_t Seek(FileHandle h, int64_t offset, int origin) = 0;
    virtual int64_t Size(FileHandle h) = 0;  // -1 on failure
    // Cuts the file to `size` bytes; false when the system refused.
    virtual bool Truncate(FileHandle h, int64_t size) = 0;
    // Creation time in local time; nullopt where the file system keeps none.
    virtual std::optional<LocalTime> CreationTime(FileHandle h) = 0;
    virtual bool Delete(const char* path) = 0;
    virtual bool Rename(const char* from, const char* to) = 0;  // replaces `to`
    virtual bool CreateDirectory(const char* path) = 0;         // one level, like the system call
    virtual bool IsDirectory(const char* path) = 0;
    // Something, of any kind, is at the path; true too when the system cannot tell.
    virtual bool Exists(const char* path) = 0;
    // Takes the lock of an open file for this handle alone, against every other
    // handle, in this process or another, without waiting: true when taken. It
    // goes with the handle's close. A file system no other program sees has
    // no one to lock out.
    virtual bool TryLock(FileHandle) { return true; }
};

FileSystem& Files();
void SetFileSystem(FileSystem* fs);  // nullptr puts the system's back
FileSystem& SystemFileSystem();

// The host path a Windows path stands for (identity on Windows).
std::string HostPath(const char* windowsPath);

#if !defined(_WIN32)
// A drive path's host root (MOLDRIN_ROOT) and the path below it ("c/TALMA/RFD");
// false for any other path, or when there is no root.
bool DrivePathParts(const char* windowsPath, std::string* root, std::string* below);
#endif

// Tells the operator, once a path, that the library refused a link in place of a
// folder or a file it writes; the refused call still fails.
void TellRefusedLink(const char* windowsPath, bool folder);

}  // namespace moldrin::platform
