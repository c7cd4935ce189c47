// The library's own file on posix: the executable's directory from
// /proc/self/exe, and the version compiled into the library.
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/module.h"
#include "platform/version_info.h"

namespace moldrin::platform {

namespace {
void* g_module = nullptr;
}

void SetModuleHandle(void* handle) { g_module = handle; }
void* GetModuleHandle() { return g_module; }

std::string ExecutablePath() {
    if (std::string path = ExecutablePathOverride(); !path.empty()) return path;
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

std::string ExecutableDirectory() {
    std::string path = ExecutablePath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

void ReadVersion(std::string& name, std::string& version) {
    name = MOLDRIN_PRODUCT_NAME;
    version = MOLDRIN_PRODUCT_VERSION;
}

}  // namespace moldrin::platform
