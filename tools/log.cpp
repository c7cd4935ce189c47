// `moldrin log`: today's traffic log of a port, readable on a terminal (UTF-8, one
// line per entry, control bytes escaped), and where it lies. Writing it is the library's.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log/traffic_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "tools/command.h"
#include "tools/options.h"
#include "tools/printable.h"

namespace moldrin::tools {

namespace {

std::atomic<bool> g_stop{false};
extern "C" void StopFollowing(int) { g_stop = true; }

// Prints what the file holds from `offset` on and moves `offset` past it. A file
// that became shorter was renewed: it is read again from its start.
bool PrintFrom(const std::string& hostPath, long& offset, bool* endsLine = nullptr) {
    std::FILE* f = std::fopen(hostPath.c_str(), "rb");
    if (!f) return false;
    if (std::fseek(f, 0, SEEK_END) == 0) {
        const long size = std::ftell(f);
        if (size < offset) offset = 0;
    }
    std::fseek(f, offset, SEEK_SET);
    std::string text;
    char chunk[8192];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
    // A CR whose LF has not been written yet waits for the next round.
    std::size_t take = text.size();
    if (take && text[take - 1] == '\r') --take;
    offset += static_cast<long>(take);
    const std::string out = Printable(std::string_view(text).substr(0, take), true);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (endsLine) *endsLine = out.empty() || out.back() == '\n';
    return true;
}

int Run(int argc, char** argv) {
    int64_t port = 1;
    bool follow = false;
    Options options("moldrin log", "[--port N] [--follow]",
                    "The log of today's weekday for COM<N>, as the library names it (c:\\TEMP\\ECF-<weekday>.CM<N>)\n"
                    "and where that is on disk ($MOLDRIN_ROOT, default ~/.moldrin). The log is Windows-1252 with\n"
                    "CR LF line ends; here it is UTF-8 with control bytes shown as \\x1B and so on.\n");
    options.Number("port", "N", "COM port number, 1 to 16 (default 1)", 1, 16, &port);
    options.Flag("follow", "keep printing what is added (also across midnight and renewals) until interrupted",
                 &follow);
    options.Arguments("", 0, 0);
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;

    const int32_t portIndex = static_cast<int32_t>(port - 1);
    std::string path = log::TrafficLogPath(platform::Now(), portIndex);
    std::string host = platform::HostPath(path.c_str());
    std::fprintf(stderr, "traffic log: %s (%s)\n", path.c_str(), host.c_str());
    long offset = 0;
    bool endsLine = true;
    if (!PrintFrom(host, offset, &endsLine)) {
        const int err = errno;
        if (!follow) return options.Failure("cannot read " + host + ": " + std::strerror(err));
        std::fprintf(stderr, "moldrin log: %s does not exist yet; waiting for it\n", host.c_str());
    }
    if (!follow) {
        // Each entry starts with its own line break, so the last one has none.
        if (!endsLine) std::fputc('\n', stdout);
        return kExitOk;
    }

    std::signal(SIGINT, StopFollowing);
    std::signal(SIGTERM, StopFollowing);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // At midnight the library moves on to the next weekday's file, and so does this.
        const std::string now = log::TrafficLogPath(platform::Now(), portIndex);
        if (now != path) {
            path = now;
            host = platform::HostPath(path.c_str());
            offset = 0;
            std::fprintf(stderr, "traffic log: %s (%s)\n", path.c_str(), host.c_str());
        }
        PrintFrom(host, offset);
    }
    return kExitOk;
}

RegisterCommand reg("log", "show today's traffic log of a port, readable, and where it is", Run);

}  // namespace

}  // namespace moldrin::tools
