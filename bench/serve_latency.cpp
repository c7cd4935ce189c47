// What `moldrin serve` adds to a command: the same raw command ("\x1B.271}") sent
// through the library in this process, and through the service over the loopback
// (HTTP/1.1, keep-alive). The service's figure is its round trip less the library's
// own time in the service (its Server-Timing); goal: under 1 ms at the 99th percentile.
// Each side has a simulator process of its own; the capture is off (the link alone).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "bench_root.h"
#include "moldrin.h"

extern char** environ;

using namespace moldrin;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWarmup = 200;
constexpr int kRounds = 3000;
const char kCommand[] = "\x1B.271}";

// A tool process with its output in `out`; stopped with SIGTERM by the destructor.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& out) {
        std::vector<std::string> full{MOLDRIN_TOOL_PATH};
        full.insert(full.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : full) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid_ < 0) bench::BenchRoot::Fail("cannot start the tool");
    }
    ~Child() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = -1;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WaitFor(const std::string& path, const char* what) {
    for (int i = 0; i < 1000 && ::access(path.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::access(path.c_str(), F_OK) != 0) bench::BenchRoot::Fail(what);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// The library in this process: ECFWrite and ECFRead of the command, in ms.
std::vector<double> LibraryTimes(const std::string& line) {
    setenv("MOLDRIN_COM1", ("unix:" + line).c_str(), 1);
    if (ECFOpen(1, 5, 0, 0) != 0) bench::BenchRoot::Fail("ECFOpen failed");
    std::vector<double> ms;
    char reply[MOLDRIN_REPLY_MAX];
    for (int i = 0; i < kWarmup + kRounds; ++i) {
        const auto t0 = Clock::now();
        if (ECFWrite(kCommand) != 0 || ECFRead(reply, sizeof reply) != 0) bench::BenchRoot::Fail("the command failed");
        const double t = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (std::strncmp(reply, ".+C", 3) != 0) bench::BenchRoot::Fail("the printer did not answer");
        if (i >= kWarmup) ms.push_back(t);
    }
    ECFClose();
    return ms;
}

}  // namespace

int main() {
    bench::BenchRoot root(bench::Capture::Off);
    bench::Watchdog("serve latency: start", 120);
    const std::string libLine = root.path() + "/line-lib", serviceLine = root.path() + "/line-service";
    Child libPrinter({"sim", "--listen", "unix:" + libLine}, root.path() + "/sim-lib.out");
    Child servicePrinter({"sim", "--listen", "unix:" + serviceLine}, root.path() + "/sim-service.out");
    WaitFor(libLine, "the simulator did not start");
    WaitFor(serviceLine, "the simulator did not start");

    setenv("MOLDRIN_COM1", ("unix:" + serviceLine).c_str(), 1);
    const std::string serveOut = root.path() + "/serve.out";
    Child service({"serve", "--listen", "127.0.0.1:0", "--printer", "1", "--log-mode", "0"}, serveOut);
    std::smatch m;
    const std::regex listening("listening on http://127\\.0\\.0\\.1:([0-9]+)/");
    std::string text;
    for (int i = 0; i < 1000 && !std::regex_search(text = ReadFile(serveOut), m, listening); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (m.empty()) bench::BenchRoot::Fail("the service did not start");
    const int port = std::stoi(m[1]);

    bench::Watchdog("serve latency: through the service", 300);
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    const std::string body = "{\"command\":\"\\u001b.271}\"}";
    std::vector<double> roundTrip, library, added;
    for (int i = 0; i < kWarmup + kRounds; ++i) {
        const auto t0 = Clock::now();
        auto r = client.Post("/v1/printers/1/command", body, "application/json");
        const double t = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (!r || r->status != 200 || r->body.find("\"reply\":\".+C") == std::string::npos)
            bench::BenchRoot::Fail("the service's command failed");
        const std::string timing = r->get_header_value("Server-Timing");
        const std::size_t at = timing.find("dur=");
        if (at == std::string::npos) bench::BenchRoot::Fail("no Server-Timing");
        const double lib = std::stod(timing.substr(at + 4));
        if (i < kWarmup) continue;
        roundTrip.push_back(t);
        library.push_back(lib);
        added.push_back(t - lib);
    }

    bench::Watchdog("serve latency: the library alone", 300);
    const std::vector<double> direct = LibraryTimes(libLine);

    std::printf("moldrin serve: one raw command (ESC .271}) over the loopback, %d rounds after %d to warm up\n",
                kRounds, kWarmup);
    std::printf("  %-44s %10s %10s\n", "", "median ms", "p99 ms");
    const auto row = [](const char* name, const std::vector<double>& v) {
        std::printf("  %-44s %10.3f %10.3f\n", name, Percentile(v, 0.5), Percentile(v, 0.99));
    };
    row("the library in this process", direct);
    row("the library inside the service", library);
    row("the service's round trip", roundTrip);
    row("added by the service (round trip - library)", added);
    const double p99 = Percentile(added, 0.99);
    std::printf("  goal: added p99 under 1 ms: %s (%.3f ms)\n", p99 < 1.0 ? "met" : "NOT met", p99);
    return 0;
}
