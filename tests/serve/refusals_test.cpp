// Requests the service refuses with a clear 4xx: bad JSON, unknown fields, wrong
// types, oversized bodies, other content types, file identities that try to leave
// their folder, foreign hosts. Each sells nothing and writes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include <httplib.h>

#include "service_fixture.h"

namespace moldrin {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class Refusals : public testing::ServiceFixture {
protected:
    // Every file under the root that the printer's work writes (the capture, the
    // fiscal files, the service's own), with its size; not the traffic log.
    std::map<std::string, std::uintmax_t> Written() {
        std::map<std::string, std::uintmax_t> files;
        for (const char* dir : {"c/TALMA", "serve"})
            for (auto& e : fs::recursive_directory_iterator(root_.path() + "/" + dir))
                if (e.is_regular_file()) files[e.path().string()] = e.file_size();
        return files;
    }
};

TEST_F(Refusals, BadRequestsAreRefusedWithNothingSoldOrWritten) {
    const json before = Status();
    const auto written = Written();
    const std::string sale = "/v1/printers/1/ops/sell-item";
    const std::string big(70 * 1024, 'x');
    const struct {
        const char* name;
        const char* method;
        std::string path, body;
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
        const char* code;
    } cases[] = {
        {"bad JSON", "POST", sale, "{\"code\": \"1\",", {}, 400, "bad-request"},
        {"a JSON array", "POST", sale, "[1,2]", {}, 400, "bad-request"},
        {"an unknown field", "POST", sale,
         R"({"code":"1","description":"A","quantity":1000,"unit":"un","unitPrice":100,"taxCode":"T01","discount":5})",
         {}, 400, "bad-request"},
        {"a number as text", "POST", sale,
         R"({"code":"1","description":"A","quantity":"1000","unit":"un","unitPrice":100,"taxCode":"T01"})", {}, 400,
         "bad-request"},
        {"a missing field", "POST", sale, R"({"code":"1","description":"A","quantity":1000,"unit":"un"})", {}, 400,
         "bad-request"},
        {"a method out of range", "POST", "/v1/printers/1/ops/pay", R"({"method":4294967297,"amount":100})", {}, 400,
         "bad-request"},
        {"an argument the printer would refuse", "POST", sale,
         R"({"code":"1","description":"A","quantity":1000,"unit":"kg!","unitPrice":100,"taxCode":"T01"})", {}, 400,
         "bad-argument"},
        {"an oversized body", "POST", sale, "{\"code\":\"" + big + "\"}", {}, 413, "body-too-large"},
        {"text/plain", "POST", sale, "{}", {{"Content-Type", "text/plain"}}, 415, "not-json"},
        {"an unknown operation", "POST", "/v1/printers/1/ops/sell-everything", "{}", {}, 404, "no-such-operation"},
        {"another printer", "POST", "/v1/printers/2/ops/x-reading", "{}", {}, 404, "no-such-printer"},
        {"a fiscal file by path", "GET", "/v1/printers/1/fiscal-files/..%2F..%2F..%2Fetc%2Fpasswd", "", {}, 404,
         "not-found"},
        {"a fiscal file by dots", "GET", "/v1/printers/1/fiscal-files/..", "", {}, 400, "bad-identity"},
        {"a capture file by dots", "GET", "/v1/printers/1/capture/..RFD-01.bin", "", {}, 400, "bad-identity"},
        {"a capture file outside its folder", "GET", "/v1/printers/1/capture/E00.BIN", "", {}, 404, "no-such-file"},
        {"a verify by path", "GET", "/v1/printers/1/fiscal-files/%2Fetc%2Fpasswd/verify", "", {}, 404, "not-found"},
        {"a foreign host", "GET", "/v1/printers/1/status", "", {{"Host", "evil.example:8631"}}, 403, "bad-host"},
        {"an unknown endpoint", "GET", "/v1/printers/1/../../etc/passwd", "", {}, 404, "not-found"},
        {"a log size that is no number", "GET", "/v1/printers/1/log?bytes=-1", "", {}, 400, "bad-request"},
    };
    for (const auto& c : cases) {
        testing::HttpReply r;
        if (std::string(c.method) == "GET") {
            r = Get(c.path, c.headers);
        } else {
            httplib::Client client("127.0.0.1", port_);
            std::string key = std::string("refused-") + c.name;
            std::replace(key.begin(), key.end(), ' ', '-');
            httplib::Headers h{{"Idempotency-Key", key}};
            std::string type = "application/json";
            for (const auto& [k, v] : c.headers)
                if (k == "Content-Type") type = v;
            auto res = client.Post(c.path, h, c.body, type);
            if (res) {
                r.status = res->status;
                r.body = res->body;
            }
        }
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.body;
        const json j = r.json();
        ASSERT_FALSE(j.is_discarded()) << c.name << ": not JSON: " << r.body;
        const std::string code = j.contains("error") ? j["error"].value("code", "") : j.value("status", "");
        EXPECT_EQ(code, c.code) << c.name << ": " << r.body;
    }
    auto now = Written();
    const json after = Status();
    EXPECT_EQ(after.value("coo", 0u), before.value("coo", 0u)) << "a refused request sold";
    EXPECT_EQ(after.value("document", ""), "none");
    // The one refusal that reached the operations is kept under its key, as any outcome is.
    now.erase(root_.path() + "/serve/idempotency-COM1.jsonl");
    auto then = written;
    then.erase(root_.path() + "/serve/idempotency-COM1.jsonl");
    EXPECT_EQ(now, then) << "a refused request wrote a file";
}

}  // namespace
}  // namespace moldrin
