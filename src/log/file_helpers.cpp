// File helpers over the platform's file system, and the text helpers
// ParseNumber and IsFilledWith. Nothing here logs or shows anything.
#include "log/file_helpers.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace moldrin::log {

using platform::FileCreation;
using platform::Files;

namespace {

// Handles whose write failed, until they are closed. Few files are open at a
// time; a full table forgets nothing, it only stops taking new entries.
constexpr std::size_t kFailedSlots = 64;
std::mutex g_failedMutex;
std::array<FileHandle, kFailedSlots> g_failed = [] {
    std::array<FileHandle, kFailedSlots> a{};
    a.fill(kInvalidFile);
    return a;
}();
std::size_t g_failedCount = 0;  // entries in use, so that the common case looks at none

void MarkFailed(FileHandle h) {
    std::lock_guard lock(g_failedMutex);
    for (FileHandle& slot : g_failed) {
        if (slot == h) return;
    }
    for (FileHandle& slot : g_failed) {
        if (slot != kInvalidFile) continue;
        slot = h;
        ++g_failedCount;
        return;
    }
}

// A handle value comes back for the next file opened: what its last file
// suffered is not the new one's.
void Forget(FileHandle h) {
    if (h == kInvalidFile) return;
    std::lock_guard lock(g_failedMutex);
    if (g_failedCount == 0) return;
    for (FileHandle& slot : g_failed) {
        if (slot != h) continue;
        slot = kInvalidFile;
        --g_failedCount;
    }
}

FileHandle Opened(FileHandle h) {
    Forget(h);
    return h;
}

// How long a delete still pending (another opener holds the file on Windows)
// or a creator racing us may keep the path taken.
constexpr uint32_t kRecreateWaitMs = 100;
constexpr uint32_t kRecreateStepMs = 5;

}  // namespace

FileHandle FileOpenShared(const char* path) {
    if (!path) return kInvalidFile;
    return Opened(Files().Open(path, platform::kAccessRead | platform::kAccessWrite,
                               platform::kShareRead | platform::kShareWrite, FileCreation::OpenExisting));
}

FileHandle FileOpenRead(const char* path) {
    if (!path) return kInvalidFile;
    return Opened(Files().Open(path, platform::kAccessRead, platform::kShareRead | platform::kShareWrite,
                               FileCreation::OpenExisting));
}

FileHandle FileCreate(const char* path) {
    if (!path) return kInvalidFile;
    return Opened(Files().Open(path, platform::kAccessRead | platform::kAccessWrite, platform::kShareNone,
                               FileCreation::CreateAlways));
}

FileHandle FileRecreate(const char* path) {
    if (!path) return kInvalidFile;
    // Created anew, never truncated: truncating would share the file with
    // whoever opened it before us, and a wait before creating protects nothing.
    uint32_t waited = 0;
    for (;;) {
        Files().Delete(path);
        const FileHandle h = Files().Open(path, platform::kAccessWrite, platform::kShareNone, FileCreation::CreateNew);
        if (h != kInvalidFile) return Opened(h);
        if (waited >= kRecreateWaitMs || !Files().Exists(path)) return kInvalidFile;
        platform::SleepMs(kRecreateStepMs);
        waited += kRecreateStepMs;
    }
}

FileHandle FileCreateNew(const char* path, bool ownerOnly) {
    if (!path) return kInvalidFile;
    return Opened(Files().Open(path, platform::kAccessRead | platform::kAccessWrite, platform::kShareNone,
                               ownerOnly ? FileCreation::CreateNewPrivate : FileCreation::CreateNew));
}

FileHandle FileOpenAppend(const char* path) {
    FileHandle h = FileOpenShared(path);
    if (h == kInvalidFile) return kInvalidFile;
    if (Files().Seek(h, 0, 2) < 0) {
        Files().Close(h);
        return kInvalidFile;
    }
    return h;
}

FileHandle FileOpenMode(const char* path, unsigned mode) {
    if (!path) return kInvalidFile;
    unsigned access = 0;
    switch (mode & 3u) {
        case 0: access = platform::kAccessRead; break;
        case 1: access = platform::kAccessWrite; break;
        case 2: access = platform::kAccessRead | platform::kAccessWrite; break;
        default: access = 0; break;
    }
    unsigned share = 0;
    switch ((mode >> 4) & 0xFu) {
        case 0: case 1: share = platform::kShareNone; break;
        case 2: share = platform::kShareRead; break;
        case 3: share = platform::kShareWrite; break;
        case 4: share = platform::kShareRead | platform::kShareWrite; break;
        default: return kInvalidFile;
    }
    return Opened(Files().Open(path, access, share, FileCreation::OpenExisting));
}

int FileClose(FileHandle h) {
    if (h == kInvalidFile) return 0;
    Forget(h);
    return Files().Close(h) ? 0 : -1;
}

int FileCloseHandle(FileHandle h) {
    Forget(h);
    return Files().Close(h) ? 1 : 0;
}

bool FileWriteFailed(FileHandle h) {
    std::lock_guard lock(g_failedMutex);
    return g_failedCount != 0 && std::find(g_failed.begin(), g_failed.end(), h) != g_failed.end();
}

uint32_t FileWrite(FileHandle h, const void* bytes, uint32_t n) {
    uint32_t done = 0;
    if (!Files().Write(h, bytes, n, &done)) {
        MarkFailed(h);
        return 0;
    }
    return done;
}

int FileWriteText(FileHandle h, const char* text) {
    if (!text) return -1;
    auto n = static_cast<uint32_t>(std::strlen(text));
    if (n == 0) return 0;
    return FileWrite(h, text, n) == n ? 0 : -1;
}

int32_t FileWriteBlock(FileHandle h, const void* bytes, uint32_t n) {
    uint32_t done = 0;
    if (!Files().Write(h, bytes, n, &done)) {
        MarkFailed(h);
        return -1;
    }
    return static_cast<int32_t>(done);
}

int32_t FileReadBlock(FileHandle h, void* buffer, uint32_t n) {
    uint32_t done = 0;
    if (!Files().Read(h, buffer, n, &done)) return -1;
    return static_cast<int32_t>(done);
}

int32_t FileSeek(FileHandle h, int32_t offset, int origin) {
    int64_t pos = Files().Seek(h, offset, origin);
    if (pos < 0 || pos > INT32_MAX) return -1;
    return static_cast<int32_t>(pos);
}

uint16_t ParseNumber(const char* text, int n) {
    if (!text || n < 0 || n >= 256) return 0;
    char work[256];
    int i = 0;
    for (; i < n && text[i]; ++i) work[i] = text[i];
    work[i] = 0;
    const char* p = work;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    return static_cast<uint16_t>(value);
}

int IsFilledWith(const void* bytes, char c, int n) {
    const auto* b = static_cast<const char*>(bytes);
    for (int i = 0; i < n; ++i)
        if (b[i] != c) return 0;
    return 1;
}

}  // namespace moldrin::log
