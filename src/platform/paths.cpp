// Drive paths: the library names files by their Windows paths everywhere; only
// here, when a file is touched, does "X:\a\b" become $MOLDRIN_ROOT/x/a/b.
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/operator.h"

namespace moldrin::platform {

std::string HostPath(const char* windowsPath) {
    std::string in = windowsPath ? windowsPath : "";
#if defined(_WIN32)
    return in;
#else
    bool drive = in.size() >= 2 && in[1] == ':' &&
                 ((in[0] >= 'a' && in[0] <= 'z') || (in[0] >= 'A' && in[0] <= 'Z'));
    if (!drive) return Cp1252ToUtf8(in);
    std::string root;
    if (const char* r = std::getenv("MOLDRIN_ROOT"); r && *r) {
        root = r;
    } else {
        const char* home = std::getenv("HOME");
        root = std::string(home && *home ? home : "/tmp") + "/.moldrin";
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    std::string rest = in.substr(2);
    for (char& c : rest)
        if (c == '\\') c = '/';
    std::string out = root + "/" + static_cast<char>(in[0] | 0x20);
    if (rest.empty() || rest[0] != '/') out += '/';
    out += Cp1252ToUtf8(rest);
    return out;
#endif
}

}  // namespace moldrin::platform
