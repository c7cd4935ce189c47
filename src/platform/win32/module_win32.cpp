// The library's own file on Windows: its module handle, the executable's
// directory and the version read back from the version resource of the file on disk.
#include "platform/win32/win32.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/module.h"

namespace moldrin::platform {

namespace {
void* g_module = nullptr;
constexpr DWORD kPathRoom = 512;
constexpr std::size_t kValueRoom = 512;

// One value of the Portuguese (Brazil) string table, cut to the room the
// version text allows; empty when the query finds nothing.
std::string QueryString(void* info, const char* key) {
    std::string path = std::string("\\StringFileInfo\\041604b0\\") + key;
    char* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(info, path.c_str(), reinterpret_cast<void**>(&value), &length) || !value || length == 0)
        return {};
    return std::string(value, ::strnlen(value, std::min<std::size_t>(length, kValueRoom - 1)));
}
}  // namespace

void SetModuleHandle(void* handle) { g_module = handle; }
void* GetModuleHandle() { return g_module; }

std::string ExecutablePath() {
    if (std::string path = ExecutablePathOverride(); !path.empty()) return path;
    char buf[MAX_PATH + 1] = {};
    DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
    // A path cut at MAX_PATH would name some other file.
    if (n == 0 || n >= MAX_PATH) return std::string();
    return std::string(buf, n);
}

std::string ExecutableDirectory() {
    std::string path = ExecutablePath();
    if (path.empty()) return ".\\";
    auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? ".\\" : path.substr(0, slash + 1);
}

void ReadVersion(std::string& name, std::string& version) {
    name.clear();
    version.clear();
    char path[kPathRoom + 1] = {};
    DWORD n = ::GetModuleFileNameA(static_cast<HMODULE>(g_module), path, kPathRoom);
    if (n == 0 || n >= kPathRoom) return;
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return;
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) return;
    if (void* info = ::GlobalLock(block)) {
        if (::GetFileVersionInfoA(path, 0, size, info)) {
            name = QueryString(info, "ProductName");
            version = QueryString(info, "ProductVersion");
        }
        ::GlobalUnlock(block);
    }
    ::GlobalFree(block);
}

}  // namespace moldrin::platform
