// The HTTP server: its limits (body size, threads, write time-out), who is admitted
// (the token off the loopback, same-origin requests on it), the console page and the
// OpenAPI document, and clear JSON errors for everything it does not serve.
#include "serve/service.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "serve/http.h"
#include "serve/request_json.h"
#include "serve/workers.h"

namespace moldrin::serve {

using nlohmann::json;

namespace {

bool Loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Constant-time comparison, so the token cannot be guessed a character at a time.
bool SameToken(const std::string& given, const std::string& token) {
    if (given.size() != token.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

// Debian's build of the HTTP library listens with a queue of five connections: two
// hundred clients connecting at once would leave most of them to the kernel's SYN
// retries, seconds apart. The listening socket of `port` is found and given a deep queue.
void DeepenListenQueue(int port) {
    for (int fd = 3; fd < 1024; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) continue;
        sockaddr_storage addr{};
        socklen_t alen = sizeof addr;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) continue;
        int bound = -1;
        if (addr.ss_family == AF_INET) bound = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        else if (addr.ss_family == AF_INET6) bound = ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
        if (bound == port) ::listen(fd, 1024);
    }
}

}  // namespace

Service::Service(ServiceSettings settings)
    : settings_(std::move(settings)), server_(std::make_unique<httplib::Server>()), operator_(settings_.operatorWaits) {}

Service::~Service() { Stop(); }

bool Service::AddPrinter(const PrinterSettings& ps, std::string* why) {
    auto p = std::make_unique<Printer>(ps);
    const std::string keys = settings_.stateDir + "/idempotency-COM" + std::to_string(ps.port) + ".jsonl";
    if (!p->keys.Open(keys, why)) return false;
    printers_[ps.port] = std::move(p);
    return true;
}

Printer* Service::FindPrinter(int port) {
    auto it = printers_.find(port);
    return it == printers_.end() ? nullptr : it->second.get();
}

void Service::Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(DumpJson(body), "application/json");
}

bool Service::Admit(const httplib::Request& req, httplib::Response& res) {
    if (!settings_.token.empty()) {
        std::string given;
        const std::string auth = req.get_header_value("Authorization");
        if (auth.rfind("Bearer ", 0) == 0) given = auth.substr(7);
        // A page's event stream cannot set headers: it may carry the token in the query.
        else if (req.has_param("token")) given = req.get_param_value("token");
        if (!SameToken(given, settings_.token)) {
            res.set_header("WWW-Authenticate", "Bearer");
            Reply(res, 401, ErrorBody("token-required", "this service needs its token on every request "
                                                        "(Authorization: Bearer TOKEN)"));
            return false;
        }
    } else {
        // On the loopback the service trusts the machine, not the pages its browser shows:
        // a request must name this service as its host (no DNS rebinding).
        std::string host = req.get_header_value("Host");
        if (!host.empty() && host.front() == '[') host = host.substr(1, host.find(']') - 1);
        else host = host.substr(0, host.find(':'));
        if (!Loopback(host)) {
            Reply(res, 403, ErrorBody("bad-host", "on the loopback the service answers only requests for "
                                                  "localhost or 127.0.0.1"));
            return false;
        }
    }
    if (req.method == "POST") {
        // A form of another site can post text/plain across origins; JSON needs a preflight,
        // which this service never grants.
        // (The body is not read yet: its announced length tells whether there is one.)
        const std::string type = req.get_header_value("Content-Type");
        const std::string length = req.get_header_value("Content-Length");
        const bool body = req.has_header("Transfer-Encoding") || (!length.empty() && length != "0");
        if (body && type.rfind("application/json", 0) != 0) {
            Reply(res, 415, ErrorBody("not-json", "a request body is application/json"));
            return false;
        }
    }
    return true;
}

void Service::Routes() {
    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return Admit(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
    });
    server_->set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty()) return;  // an endpoint's own error
        switch (res.status) {
            case 413:
                return Reply(res, 413, ErrorBody("body-too-large", "the request body is too large; nothing was done"));
            case 404:
                return Reply(res, 404, ErrorBody("not-found", "no such endpoint: " + req.method + " " + req.path));
            case 405:
                return Reply(res, 405, ErrorBody("method-not-allowed", req.method + " is not taken here"));
            default:
                return Reply(res, res.status, ErrorBody("bad-request", "the request was not understood"));
        }
    });
    server_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        Reply(res, 500, ErrorBody("internal", "the service failed on this request"));
    });

    server_->Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("Content-Security-Policy", "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'");
        res.set_content(kConsolePage, "text/html; charset=utf-8");
    });
    server_->Get("/v1/openapi.json", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kOpenApiDocument, "application/json");
    });
    server_->Get("/v1", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, {{"version", 1}, {"openapi", "/v1/openapi.json"}});
    });
    if (workers_) {
        AddProxyRoutes(*server_, *this, *workers_);
    } else {
        AddPrinterRoutes(*server_, *this);
        AddFileRoutes(*server_, *this);
    }
}

bool Service::Bind(int* bound, std::string* why) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    server_->set_payload_max_length(settings_.bodyLimit);
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(settings_.writeTimeout);
    server_->set_keep_alive_timeout(5);
    server_->set_keep_alive_max_count(100);
    server_->set_tcp_nodelay(true);
    Routes();
    if (settings_.host.rfind("unix:", 0) == 0) {
        // A worker's socket, in the service's owner-only folder.
        const std::string path = settings_.host.substr(5);
        server_->set_address_family(AF_UNIX);
        ::unlink(path.c_str());
        if (!server_->bind_to_port(path, 80)) {
            *why = "cannot listen on " + settings_.host + ": " + std::strerror(errno);
            return false;
        }
        *bound = 0;
        return true;
    }
    const int port = settings_.port == 0 ? server_->bind_to_any_port(settings_.host)
                                         : (server_->bind_to_port(settings_.host, settings_.port) ? settings_.port : -1);
    if (port <= 0) {
        *why = "cannot listen on " + settings_.host + ":" + std::to_string(settings_.port) + ": " + std::strerror(errno);
        return false;
    }
    DeepenListenQueue(port);
    *bound = port;
    return true;
}

void Service::Run() { server_->listen_after_bind(); }

void Service::Stop() {
    if (stopping_.exchange(true)) return;
    operator_.Shutdown();
    server_->stop();
    for (auto& [port, p] : printers_) p->queue.Stop();
}

}  // namespace moldrin::serve
