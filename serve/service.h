// `moldrin serve`: the HTTP service over the printers of this process, its
// settings, and what every endpoint shares (the printers, the operator's events,
// the token). The endpoints themselves are in printer_api.cpp and files_api.cpp.
#pragma once
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "serve/idempotency.h"
#include "serve/operator_events.h"
#include "serve/printer_queue.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace moldrin::serve {

class Workers;

struct ServiceSettings {
    std::string host = "127.0.0.1";    // or "unix:PATH" (a worker, reached by its front only)
    int port = 8631;
    std::string token;                 // required on every request when not empty
    std::size_t bodyLimit = 64 * 1024;  // bytes of a request body
    std::chrono::milliseconds requestWait{120000};  // a request's wait for the printer
    std::chrono::seconds writeTimeout{5};           // for a client that stops reading
    std::string keyPath;               // the signing key the checks use
    std::string stateDir;              // host folder of the service's own files
    OperatorEvents::Waits operatorWaits;
};

// One printer as the service holds it.
struct Printer {
    explicit Printer(PrinterSettings s) : queue(s) {}
    PrinterQueue queue;
    IdempotencyStore keys;
    std::mutex journalLock;
    std::deque<nlohmann::json> journal;  // the last operations, newest last
    uint64_t journalNext = 1;
};

class Service {
public:
    explicit Service(ServiceSettings settings);
    ~Service();

    // Opens the printer's session and its idempotency file; false with the reason.
    bool AddPrinter(const PrinterSettings& settings, std::string* why);
    // The printers are served by worker processes: requests for them are forwarded.
    void UseWorkers(const Workers* workers) { workers_ = workers; }
    // Binds the address; false with the reason. The port bound (useful with port 0) in `bound`.
    bool Bind(int* bound, std::string* why);
    // Serves until Stop.
    void Run();
    void Stop();

    const ServiceSettings& Settings() const { return settings_; }
    Printer* FindPrinter(int port);
    const std::map<int, std::unique_ptr<Printer>>& Printers() const { return printers_; }
    OperatorEvents& Operator() { return operator_; }
    bool Stopping() const { return stopping_; }

    // Writes `body` with `status` as JSON.
    static void Reply(httplib::Response& res, int status, const nlohmann::json& body);

private:
    void Routes();
    bool Admit(const httplib::Request& req, httplib::Response& res);

    ServiceSettings settings_;
    std::unique_ptr<httplib::Server> server_;
    std::map<int, std::unique_ptr<Printer>> printers_;
    OperatorEvents operator_;
    const Workers* workers_ = nullptr;
    std::atomic<bool> stopping_{false};
};

// The endpoints, added to the server by Service::Routes.
void AddPrinterRoutes(httplib::Server& server, Service& service);
void AddFileRoutes(httplib::Server& server, Service& service);

// The console page and the OpenAPI document, built into the tool.
extern const char kConsolePage[];
extern const char kOpenApiDocument[];

}  // namespace moldrin::serve
