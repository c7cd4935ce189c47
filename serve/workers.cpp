// Starting and stopping the per-printer workers, and forwarding requests to them
// over their Unix sockets. The front itself opens no session.
#include "serve/workers.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "serve/http.h"
#include "serve/request_json.h"
#include "serve/service.h"

extern char** environ;

namespace moldrin::serve {

using Clock = std::chrono::steady_clock;

namespace {

std::string SelfPath() {
    char path[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& root, const std::string& errFile) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "MOLDRIN_ROOT=", 13) != 0) env.emplace_back(*e);
    env.push_back("MOLDRIN_ROOT=" + root);
    std::vector<char*> argv, envp;
    std::vector<std::string> full = args;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The worker takes its own signals: the front's blocked set is not handed down.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string ReadSmall(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return {};
    char buffer[4096];
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    return std::string(buffer, n);
}

}  // namespace

bool Workers::Start(const std::vector<int>& ports, const std::vector<std::string>& args, const std::string& rootBase,
                    const std::string& stateDir, std::chrono::seconds openWait, std::string* why) {
    const std::string self = SelfPath();
    for (int port : ports) {
        Worker w;
        w.port = port;
        w.socket = stateDir + "/COM" + std::to_string(port) + ".sock";
        w.root = rootBase + "/COM" + std::to_string(port);
        ::mkdir(w.root.c_str(), 0700);
        ::unlink(w.socket.c_str());
        std::vector<std::string> full{self, "serve", "--worker", "--listen", "unix:" + w.socket,
                                      "--printer", std::to_string(port)};
        full.insert(full.end(), args.begin(), args.end());
        w.pid = Spawn(full, w.root, stateDir + "/COM" + std::to_string(port) + ".err");
        if (w.pid < 0) {
            *why = "cannot start the worker of COM" + std::to_string(port) + ": " + std::strerror(errno);
            return false;
        }
        workers_[port] = w;
    }
    // Each worker opens its session first (a silent printer's line-speed search lasts
    // a minute or more) and then makes its socket.
    const auto deadline = Clock::now() + openWait;
    for (auto& [port, w] : workers_) {
        struct stat st{};
        while (::stat(w.socket.c_str(), &st) != 0) {
            int status = 0;
            if (::waitpid(w.pid, &status, WNOHANG) == w.pid) {
                w.pid = -1;
                *why = "the worker of COM" + std::to_string(port) + " ended: " +
                       ReadSmall(stateDir + "/COM" + std::to_string(port) + ".err");
                return false;
            }
            if (Clock::now() > deadline) {
                *why = "the worker of COM" + std::to_string(port) + " did not start in time";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return true;
}

void Workers::Stop(std::chrono::seconds wait) {
    for (auto& [port, w] : workers_)
        if (w.pid > 0) ::kill(w.pid, SIGTERM);
    const auto deadline = Clock::now() + wait;
    for (auto& [port, w] : workers_) {
        if (w.pid <= 0) continue;
        int status = 0;
        while (::waitpid(w.pid, &status, WNOHANG) != w.pid) {
            if (Clock::now() > deadline) {
                ::kill(w.pid, SIGKILL);
                ::waitpid(w.pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        w.pid = -1;
        ::unlink(w.socket.c_str());
    }
}

const Worker* Workers::Find(int port) const {
    auto it = workers_.find(port);
    return it == workers_.end() ? nullptr : &it->second;
}

void AddProxyRoutes(httplib::Server& server, Service& service, const Workers& workers) {
    server.Get("/v1/printers", [&workers](const httplib::Request&, httplib::Response& res) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [port, w] : workers.All()) list.push_back({{"port", port}});
        Service::Reply(res, 200, {{"printers", list}});
    });
    auto forward = [&service, &workers](const httplib::Request& req, httplib::Response& res) {
        const std::string text = req.matches[1];
        const Worker* w = text.size() <= 2 ? workers.Find(std::stoi(text)) : nullptr;
        if (!w) return Service::Reply(res, 404, ErrorBody("no-such-printer", "this service serves no printer COM" + text));
        httplib::Headers headers{{"Host", "localhost"}};
        for (const char* name : {"Idempotency-Key", "Accept"})
            if (req.has_header(name)) headers.emplace(name, req.get_header_value(name));
        const std::string socket = w->socket;
        const auto wait = service.Settings().requestWait + std::chrono::seconds(5);
        if (req.method == "GET" && req.path.size() > 7 && req.path.compare(req.path.size() - 7, 7, "/events") == 0) {
            // The event stream, passed on as it comes until either side ends it.
            res.set_chunked_content_provider("text/event-stream", [socket, headers, target = req.target, &service](
                                                                      std::size_t, httplib::DataSink& sink) {
                httplib::ClientImpl c(socket);
                c.set_address_family(AF_UNIX);
                c.set_read_timeout(std::chrono::seconds(30));
                c.Get(target, headers, [&](const char* data, std::size_t n) {
                    return !service.Stopping() && sink.write(data, n);
                });
                return false;
            });
            return;
        }
        httplib::ClientImpl c(socket);
        c.set_address_family(AF_UNIX);
        c.set_read_timeout(wait);
        c.set_write_timeout(std::chrono::seconds(5));
        httplib::Result r = req.method == "POST"
                                ? c.Post(req.target, headers, req.body, req.get_header_value("Content-Type"))
                                : c.Get(req.target, headers);
        if (!r)
            return Service::Reply(res, 502, ErrorBody("worker-unreachable", "the worker of COM" + text +
                                                                                  " does not answer: " +
                                                                                  httplib::to_string(r.error())));
        res.status = r->status;
        for (const char* name : {"Idempotent-Replayed", "Server-Timing", "Content-Disposition", "X-Log-Path", "Retry-After",
                                 "WWW-Authenticate"})
            if (r->has_header(name)) res.set_header(name, r->get_header_value(name));
        res.set_content(r->body, r->get_header_value("Content-Type"));
    };
    server.Get(R"(/v1/printers/(\d+)/(.*))", forward);
    server.Post(R"(/v1/printers/(\d+)/(.*))", forward);
}

}  // namespace moldrin::serve
