// Starting the simulator and the service for a test, and the HTTP calls the tests make.
#include "service_fixture.h"

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include <httplib.h>

namespace moldrin::testing {

using nlohmann::json;

void ServiceFixture::SetUp() {
    tool_ = ToolWithOwnKey(root_.path());
    ASSERT_FALSE(tool_.empty()) << "no copy of the tool with its own key";
    std::vector<std::string> sim{"sim", "--listen", "unix:" + root_.path() + "/line"};
    sim.insert(sim.end(), simOptions_.begin(), simOptions_.end());
    sim_ = std::make_unique<BackgroundTool>(sim, root_.path() + "/sim.err");
    if (captureOff_) root_.Write("c:\\TALMA\\talma.ini", "");
    ASSERT_TRUE(WaitForPath(root_.path() + "/line")) << "the simulator did not start";
    if (registered_) {
        const ToolResult r = RunToolAt(tool_,
                                       {"register", "--from-printer", "--port", "1", "--cnpj", "12345678000199", "--ie",
                                        "111222333", "--im", "4455", "--software-house", "Moldrin Testes", "--coo", "1",
                                        "--order", "1", "--name", "Caixa Teste", "--version", "1.0", "--program-data",
                                        "frente de loja"},
                                       {Line()});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    StartService(serviceOptions_);
}

void ServiceFixture::TearDown() {
    StopService();
    sim_.reset();
}

void ServiceFixture::StartService(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"serve", "--listen", "127.0.0.1:0", "--printer", "1", "--timeout", "3"};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string out = root_.path() + "/serve" + std::to_string(++starts_) + ".out";
    const std::string err = root_.path() + "/serve" + std::to_string(starts_) + ".err";
    service_ = std::make_unique<BackgroundTool>(tool_, args, std::vector<std::string>{Line()}, err, out);
    const std::regex listening("listening on http://[^ ]+:([0-9]+)/");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::smatch m;
    std::string text;  // the match points into it
    for (;;) {
        text = ReadHost(out);
        if (std::regex_search(text, m, listening)) break;
        ASSERT_TRUE(service_->running()) << "the service ended: " << ReadHost(err);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the service did not start: " << ReadHost(err);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    port_ = std::stoi(m[1]);
}

void ServiceFixture::StopService() { service_.reset(); }

namespace {

HttpReply From(const httplib::Result& r) {
    HttpReply out;
    if (!r) return out;
    out.status = r->status;
    out.body = r->body;
    for (const auto& [k, v] : r->headers) out.headers.emplace(k, v);
    return out;
}

httplib::Headers Headers(const std::vector<std::pair<std::string, std::string>>& list) {
    httplib::Headers h;
    for (const auto& [k, v] : list) h.emplace(k, v);
    return h;
}

}  // namespace

HttpReply ServiceFixture::Get(const std::string& path, const std::vector<std::pair<std::string, std::string>>& headers) {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    return From(c.Get(path, Headers(headers)));
}

HttpReply ServiceFixture::Post(const std::string& path, const std::string& body, const std::string& key,
                               const std::vector<std::pair<std::string, std::string>>& headers) {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(60, 0);
    httplib::Headers h = Headers(headers);
    if (!key.empty()) h.emplace("Idempotency-Key", key);
    return From(c.Post(path, h, body, "application/json"));
}

json ServiceFixture::Op(const std::string& name, const json& body, const std::string& key) {
    const HttpReply r = Post("/v1/printers/1/ops/" + name, body.dump(), key);
    EXPECT_EQ(r.status, 200) << name << ": " << r.body;
    const json j = r.json();
    EXPECT_EQ(j.value("status", ""), "ok") << name << ": " << r.body;
    return j;
}

json ServiceFixture::Status() {
    const HttpReply r = Get("/v1/printers/1/status");
    EXPECT_EQ(r.status, 200) << r.body;
    return r.json();
}

}  // namespace moldrin::testing
