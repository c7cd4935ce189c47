// The replaceable file system.
#include "platform/files.h"

#include <atomic>

namespace moldrin::platform {

namespace {
std::atomic<FileSystem*> g_files{nullptr};
}

FileSystem& Files() {
    FileSystem* fs = g_files.load(std::memory_order_acquire);
    return fs ? *fs : SystemFileSystem();
}

void SetFileSystem(FileSystem* fs) { g_files.store(fs, std::memory_order_release); }

}  // namespace moldrin::platform
