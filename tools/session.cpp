// Opening the library's session for the tool: the notices of long waits, the line-speed
// search made visible, and the reason of a failed open read back from the traffic log.
#include "tools/session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "moldrin.h"
#include "platform/files.h"
#include "platform/operator.h"
#include "session/session_state.h"
#include "tools/options.h"

namespace moldrin::tools {

namespace {

constexpr auto kQuietWait = std::chrono::seconds(1);
constexpr auto kWaitReminder = std::chrono::seconds(10);

// What the traffic log says about the last ECFOpen: its lines after the banner, less the
// ones every open writes, without their time stamps, on one line.
std::string OpenFailureReason() {
    char logPath[300] = {};
    if (ECFPathLog(logPath) != 0 || logPath[0] != 'c') return "no traffic log to tell why (log mode 0?)";
    std::FILE* f = std::fopen(platform::HostPath(logPath).c_str(), "rb");
    if (!f) return "no traffic log to tell why";
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
    const std::size_t banner = text.rfind("<<< Moldrin.DLL - Versao");
    if (banner == std::string::npos) return "no traffic log to tell why";
    std::string reason;
    std::size_t pos = text.find("\r\n", banner);
    while (pos != std::string::npos) {
        const std::size_t next = text.find("\r\n", pos + 2);
        std::string line = text.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
        pos = next;
        const std::size_t stamp = line.find(" == ");
        if (stamp != std::string::npos && stamp < 24) line.erase(0, stamp + 4);
        if (line.rfind("LOG habilitado", 0) == 0 || line.find("mostra CAIXA DE DIALOGO") != std::string::npos ||
            line.rfind("Timeout informado", 0) == 0 || line.empty())
            continue;
        if (!reason.empty()) reason += " / ";
        reason += platform::Cp1252ToUtf8(line);
    }
    return reason.empty() ? "the traffic log gives no reason" : reason;
}

}  // namespace

WaitNotice::WaitNotice(std::string command, std::string what)
    : command_(std::move(command)), what_(std::move(what)) {
    watcher_ = std::thread([this] {
        std::unique_lock lock(m_);
        const auto start = std::chrono::steady_clock::now();
        auto next = start + kQuietWait;
        while (!cv_.wait_until(lock, next, [this] { return done_; })) {
            const auto waited = std::chrono::duration_cast<std::chrono::seconds>(next - start).count();
            if (!shown_) std::fprintf(stderr, "%s: waiting for %s\n", command_.c_str(), what_.c_str());
            else
                std::fprintf(stderr, "%s: ... still waiting (%lld s)\n", command_.c_str(),
                             static_cast<long long>(waited));
            std::fflush(stderr);
            shown_ = true;
            next = start + kWaitReminder * (waited / 10 + 1);
        }
    });
}

bool WaitNotice::Done() {
    {
        std::lock_guard lock(m_);
        done_ = true;
    }
    cv_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    return shown_;
}

WaitNotice::~WaitNotice() { Done(); }

bool OpenSession(const Options& options, int port, unsigned timeout, unsigned logMode, int showDialogs) {
    const std::string var = "MOLDRIN_COM" + std::to_string(port);
    const char* device = std::getenv(var.c_str());
    if (!device || !*device)
        std::fprintf(stderr, "%s: COM%d is /dev/ttyS%d (%s is not set)\n", options.Command().c_str(), port, port - 1,
                     var.c_str());

    int opened;
    {
        // The search tries five speeds twice each and listens about two seconds at each
        // try: a printer at 38400 bit/s is found in some 12 s, no printer at all takes 80 s.
        WaitNotice wait(options.Command(),
                        "the printer on COM" + std::to_string(port) +
                            ": finding its line speed (9600, 115200, 57600, 38400, 19200 bit/s, two tries each; "
                            "up to 80 s when nothing answers)");
        opened = ECFOpen(port, timeout, logMode, showDialogs);
        if (wait.Done() && opened == 0) {
            if (g_session.LineSpeed != 0)
                std::fprintf(stderr, "%s: the printer answers at %u bit/s\n", options.Command().c_str(),
                             static_cast<unsigned>(g_session.LineSpeed));
            else
                std::fprintf(stderr, "%s: no printer answered at any speed on COM%d\n", options.Command().c_str(),
                             port);
        }
    }
    if (opened == 0) return true;

    std::string reason = OpenFailureReason();
    // The log keeps the library's words; the system's own reason is added when the device is missing.
    std::string path = device && *device ? device : "/dev/ttyS" + std::to_string(port - 1);
    if (path.rfind("unix:", 0) == 0) path.erase(0, 5);
    if (path.rfind("tcp:", 0) != 0 && ::access(path.c_str(), F_OK) != 0)
        reason += " [" + path + ": " + std::strerror(errno) + "]";
    ECFClose();
    options.Failure("ECFOpen(COM" + std::to_string(port) + ") failed: " + reason);
    return false;
}

}  // namespace moldrin::tools
