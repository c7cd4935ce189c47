// `moldrin serve`: the printer as a local web service, with its console page. The
// options and the start; the service itself is in serve/.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/operator.h"
#include "serve/service.h"
#include "serve/token.h"
#include "serve/workers.h"
#include "sign/ead.h"
#include "tools/command.h"
#include "tools/options.h"
#include "tools/session.h"

namespace moldrin::tools {

namespace {

bool Loopback(const std::string& host) { return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0; }

// HOST:PORT, [V6]:PORT or PORT alone (on 127.0.0.1).
std::string ParseListen(const std::string& v, std::string* host, int* port) {
    std::string h = "127.0.0.1", p = v;
    if (!v.empty() && v.front() == '[') {
        const std::size_t close = v.find("]:");
        if (close == std::string::npos) return "'" + v + "' is not [ADDRESS]:PORT";
        h = v.substr(1, close - 1);
        p = v.substr(close + 2);
    } else if (const std::size_t colon = v.rfind(':'); colon != std::string::npos) {
        h = v.substr(0, colon);
        p = v.substr(colon + 1);
    }
    int64_t n = 0;
    if (h.empty() || !ParseWhole(p, 0, 65535, &n)) return "'" + v + "' is not HOST:PORT (port 0 to 65535)";
    *host = h;
    *port = static_cast<int>(n);
    return {};
}

// $MOLDRIN_ROOT/serve, made owner-only when missing.
bool StateFolder(std::string* dir, std::string* why) {
    std::string root, below;
    if (!platform::DrivePathParts("c:\\", &root, &below)) {
        *why = "no MOLDRIN_ROOT and no home folder";
        return false;
    }
    *dir = root + "/serve";
    ::mkdir(root.c_str(), 0700);
    if (::mkdir(dir->c_str(), 0700) != 0 && errno != EEXIST) {
        *why = *dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int Run(int argc, char** argv) {
    std::string listen = "127.0.0.1:8631", key = sign::KeyFilePath();
    std::vector<int64_t> ports;
    int64_t timeout = 10, logMode = 500, operatorWait = 60, requestWait = 120, queue = 32;
    bool dialogs = false, worker = false;
    Options options("moldrin serve", "[--listen HOST:PORT] --printer N [OPTION...]",
                    "Serves the printer on COM<N> as a JSON API (/v1, described at /v1/openapi.json) and a\n"
                    "console page (/) on the loopback. Any other address needs the token kept in\n"
                    "$MOLDRIN_ROOT/serve/token (made at the first start, owner-only) on every request:\n"
                    "  Authorization: Bearer TOKEN\n"
                    "Calls that sell take an Idempotency-Key header; a repeated key answers the first\n"
                    "outcome (Idempotent-Replayed: true) and never sells twice. The operator's boxes go to\n"
                    "the pages that follow /v1/printers/N/events; with none, the default answer applies.\n"
                    "Ends on SIGINT or SIGTERM, closing the session.\n");
    options.Value("listen", "HOST:PORT", "where to listen (default 127.0.0.1:8631; port 0: any free one)",
                  [&](const std::string& v) { return v.empty() ? "an address is required" : (listen = v, std::string()); });
    options.Value("printer", "N", "serve COM<N>, 1 to 16 (required)", [&](const std::string& v) -> std::string {
        int64_t n = 0;
        if (!ParseWhole(v, 1, 16, &n)) return "'" + v + "' is not a port number 1 to 16";
        ports.push_back(n);
        return {};
    });
    options.Number("timeout", "S", "reply time-out in seconds, 1 to 60 (default 10)", 1, 60, &timeout);
    options.Number("log-mode", "M", "traffic log: 0 off, 1 weekly, 2 or more size limit in KB (default 500)", 0,
                   4194303, &logMode);
    options.Flag("dialogs", "the link's error boxes go to the operator too (ECFOpen's showDialogs)", &dialogs);
    options.Number("operator-wait", "S", "how long a box waits for a page's answer, 1 to 3600 (default 60)", 1, 3600,
                   &operatorWait);
    options.Number("request-wait", "S", "how long a request waits for the printer, 1 to 3600 (default 120)", 1, 3600,
                   &requestWait);
    options.Number("queue", "N", "requests that may wait for one printer, 1 to 1000 (default 32)", 1, 1000, &queue);
    options.Text("key", "RSA.BIN", "the key the signature checks use (default: RSA.BIN beside the tool)", &key);
    options.Flag("worker", "(started by the service itself: one printer's worker on a Unix socket)", &worker);
    options.Arguments("", 0, 0);
    std::vector<std::string> args;
    if (int status = options.Parse(argc, argv, args); status >= 0) return status;
    if (ports.empty()) return options.UsageError("--printer is required");
    for (std::size_t i = 0; i < ports.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (ports[i] == ports[j]) return options.UsageError("COM" + std::to_string(ports[i]) + " is given twice");
    if (worker && (ports.size() != 1 || listen.rfind("unix:", 0) != 0))
        return options.UsageError("a worker serves one printer on a Unix socket");

    serve::ServiceSettings settings;
    if (worker) settings.host = listen;
    else if (std::string why = ParseListen(listen, &settings.host, &settings.port); !why.empty())
        return options.UsageError(why);
    settings.keyPath = key;
    settings.requestWait = std::chrono::seconds(requestWait);
    settings.operatorWaits.withPage = std::chrono::seconds(operatorWait);
    settings.operatorWaits.withoutPage = std::min(settings.operatorWaits.withPage, std::chrono::milliseconds(2000));
    std::string why;
    if (!StateFolder(&settings.stateDir, &why)) return options.Failure(why);
    if (!worker && !Loopback(settings.host)) {
        if (!serve::LoadOrMakeToken(settings.stateDir + "/token", &settings.token, &why)) return options.Failure(why);
        std::fprintf(stderr, "moldrin serve: %s is off the loopback: every request needs the token of %s/token\n",
                     settings.host.c_str(), settings.stateDir.c_str());
    }

    // Signals are taken by one thread of their own; every other thread is started with them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    serve::Service service(settings);
    serve::Workers workers;
    const bool front = ports.size() > 1;
    if (front) {
        // The library holds one session per process: each printer gets a worker of its own,
        // in a root of its own (a printer's capture files and registration are its own).
        std::vector<std::string> args{"--timeout", std::to_string(timeout), "--log-mode", std::to_string(logMode),
                                      "--operator-wait", std::to_string(operatorWait), "--request-wait",
                                      std::to_string(requestWait), "--queue", std::to_string(queue), "--key", key};
        if (dialogs) args.push_back("--dialogs");
        std::vector<int> list(ports.begin(), ports.end());
        std::string root = settings.stateDir.substr(0, settings.stateDir.size() - 6);  // less "/serve"
        if (!workers.Start(list, args, root, settings.stateDir, std::chrono::seconds(15 * 60), &why)) {
            workers.Stop();
            return options.Failure(why);
        }
        service.UseWorkers(&workers);
    } else {
        platform::SetOperator(&service.Operator());
    }
    for (int64_t port : front ? std::vector<int64_t>{} : ports) {
        serve::PrinterSettings ps;
        ps.port = static_cast<int>(port);
        ps.timeoutSeconds = static_cast<unsigned>(timeout);
        ps.logMode = static_cast<unsigned>(logMode);
        ps.dialogs = dialogs;
        ps.queueLimit = static_cast<std::size_t>(queue);
        if (!service.AddPrinter(ps, &why)) return options.Failure(why);
        serve::Printer* p = service.FindPrinter(ps.port);
        if (!p->queue.Start([&] { return OpenSession(options, ps.port, ps.timeoutSeconds, ps.logMode, ps.dialogs); })) {
            platform::SetOperator(nullptr);
            return kExitFailure;
        }
    }
    int bound = 0;
    if (!service.Bind(&bound, &why)) {
        service.Stop();
        platform::SetOperator(nullptr);
        return options.Failure(why);
    }
    std::string served;
    for (int64_t port : ports) served += (served.empty() ? "COM" : ", COM") + std::to_string(port);
    if (worker) {
        std::printf("moldrin serve: worker of %s on %s\n", served.c_str(), settings.host.c_str());
    } else {
        const bool v6 = settings.host.find(':') != std::string::npos;
        std::printf("moldrin serve: listening on http://%s%s%s:%d/ (%s)\n", v6 ? "[" : "", settings.host.c_str(),
                    v6 ? "]" : "", bound, served.c_str());
    }
    std::fflush(stdout);

    // The workers go first: their end closes the event streams the front passes on.
    std::thread waiter([&service, &workers, signals] {
        int sig = 0;
        sigwait(&signals, &sig);
        workers.Stop();
        service.Stop();
    });
    service.Run();
    // The waiter still waits for a signal when the server ended by itself.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    platform::SetOperator(nullptr);
    std::fprintf(stderr, "moldrin serve: stopped, session closed\n");
    return kExitOk;
}

RegisterCommand reg("serve", "the printer as a local web service with a console page", Run);

}  // namespace

}  // namespace moldrin::tools
