// The executable path that stands in for the process's own, shared by the posix
// and Windows halves of module.h; asking the system is theirs.
#include <mutex>
#include <string>

#include "platform/module.h"

namespace moldrin::platform {

namespace {
std::mutex g_overrideLock;
std::string g_override;
}  // namespace

void OverrideExecutablePath(const std::string& path) {
    std::lock_guard lock(g_overrideLock);
    g_override = path;
}

std::string ExecutablePathOverride() {
    std::lock_guard lock(g_overrideLock);
    return g_override;
}

}  // namespace moldrin::platform
