// Drive paths: the library names files by their Windows paths everywhere; only
// here, when a file is touched, does "X:\a\b" become $MOLDRIN_ROOT/x/a/b.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#if !defined(_WIN32)
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <vector>
#endif

#include "platform/files.h"
#include "platform/operator.h"

namespace moldrin::platform {

#if !defined(_WIN32)
namespace {

// A real directory (not a link to one) that belongs to this user.
bool OwnFolder(const std::string& dir, bool privateToo) {
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    return !privateToo || (st.st_mode & 077) == 0;
}

// Capture files are fiscal evidence: without HOME they still go to a folder of
// this user's alone, never to a shared one where others could read them or plant
// links. "" when there is no such folder; every file operation then fails.
std::string DefaultRoot() {
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.moldrin";
    // The account's own home, as HOME would have named it.
    std::vector<char> buffer(16384);
    struct passwd entry{};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/' && found->pw_dir[1] != 0 && OwnFolder(found->pw_dir, false))
        return std::string(found->pw_dir) + "/.moldrin";
    const std::string own = "/tmp/moldrin-" + std::to_string(::geteuid());
    ::mkdir(own.c_str(), 0700);
    if (OwnFolder(own, true)) return own;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        std::fprintf(stderr, "moldrin: HOME is not set and %s is not a folder of this user's alone; set MOLDRIN_ROOT\n",
                     own.c_str());
    return "";
}

}  // namespace
#endif

#if !defined(_WIN32)
bool DrivePathParts(const char* windowsPath, std::string* root, std::string* below) {
    const std::string in = windowsPath ? windowsPath : "";
    const bool drive = in.size() >= 2 && in[1] == ':' &&
                       ((in[0] >= 'a' && in[0] <= 'z') || (in[0] >= 'A' && in[0] <= 'Z'));
    if (!drive) return false;
    if (const char* r = std::getenv("MOLDRIN_ROOT"); r && *r) *root = r;
    else *root = DefaultRoot();
    if (root->empty()) return false;
    while (root->size() > 1 && root->back() == '/') root->pop_back();
    std::string rest = in.substr(2);
    for (char& c : rest)
        if (c == '\\') c = '/';
    *below = std::string(1, static_cast<char>(in[0] | 0x20));
    if (rest.empty() || rest[0] != '/') *below += '/';
    *below += Cp1252ToUtf8(rest);
    return true;
}
#endif

std::string HostPath(const char* windowsPath) {
    std::string in = windowsPath ? windowsPath : "";
#if defined(_WIN32)
    return in;
#else
    std::string root, below;
    if (DrivePathParts(windowsPath, &root, &below)) return root + "/" + below;
    const bool drive = in.size() >= 2 && in[1] == ':' &&
                       ((in[0] >= 'a' && in[0] <= 'z') || (in[0] >= 'A' && in[0] <= 'Z'));
    if (drive) return "";
    return Cp1252ToUtf8(in);
#endif
}

void TellRefusedLink(const char* windowsPath, bool folder) {
    static std::mutex told;
    static std::set<std::string>& paths = *new std::set<std::string>;
    const std::string path = windowsPath ? windowsPath : "";
    {
        // By the host path: the same name under another root is another place. (Built up
        // rather than "d" + HostPath(...): the 32-bit MinGW compiler warns, wrongly, of an
        // overlapping copy in that form.)
        std::string key(folder ? "d" : "f");
        key += HostPath(windowsPath);
        std::lock_guard lock(told);
        if (paths.size() > 256 || !paths.insert(std::move(key)).second) return;
    }
    const std::string text = std::string(folder ? "ERRO: UMA PASTA DO CAMINHO E UM LINK, NADA GRAVADO: "
                                                : "ERRO: ARQUIVO COM MAIS DE UM NOME (LINK), NADA GRAVADO: ") +
                             path;
    GetOperator().MessageBox(text.c_str(), "ERRO", MOLDRIN_MB_OK | MOLDRIN_MB_ICONERROR);
}

}  // namespace moldrin::platform
