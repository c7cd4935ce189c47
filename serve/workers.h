// Several printers in one service: the library holds one session per process, so
// each printer gets a worker process of its own (this tool again, `serve --worker`,
// on a Unix socket in the service's folder), and the front forwards its requests.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace moldrin::serve {

class Service;

struct Worker {
    int port = 0;
    std::string socket;  // host path of its Unix socket
    std::string root;    // its MOLDRIN_ROOT
    pid_t pid = -1;
};

class Workers {
public:
    ~Workers() { Stop(); }
    // Starts one worker per port with `args` (the options a worker takes after
    // `serve --worker --listen unix:SOCKET --printer N`), each in the root
    // `rootBase`/COM<N>, and waits until each serves; false with the reason.
    bool Start(const std::vector<int>& ports, const std::vector<std::string>& args, const std::string& rootBase,
               const std::string& stateDir, std::chrono::seconds openWait, std::string* why);
    // SIGTERM to each, SIGKILL to those still there after `wait`.
    void Stop(std::chrono::seconds wait = std::chrono::seconds(15));
    const Worker* Find(int port) const;
    const std::map<int, Worker>& All() const { return workers_; }

private:
    std::map<int, Worker> workers_;
};

// The front's endpoints for its printers: each request under /v1/printers/N/ goes to
// N's worker as it came (the event stream too), and its reply comes back.
void AddProxyRoutes(httplib::Server& server, Service& service, const Workers& workers);

}  // namespace moldrin::serve
