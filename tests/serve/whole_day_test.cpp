// A whole day sold through the service with the fiscal capture on: coupons, a
// cancelled one, a non-fiscal receipt, the X reading and the Z reduction, ending in
// the signed fiscal file, listed, downloaded, and checked by the service and the tool.
#include <gtest/gtest.h>

#include <fstream>

#include "service_fixture.h"

namespace moldrin {
namespace {

using nlohmann::json;

class WholeDay : public testing::ServiceFixture {};

TEST_F(WholeDay, EndsInTheSignedFiscalFileDownloadedAndChecked) {
    const json before = Status();
    ASSERT_EQ(before.value("document", ""), "none") << before.dump();
    struct Step {
        const char* op;
        json body;
    };
    const std::vector<Step> day = {
        {"open-coupon", {{"buyer", "12345678909"}}},
        {"sell-item", {{"code", "7891234560012"}, {"description", "ARROZ TIPO 1 5KG"}, {"quantity", 2000}, {"unit", "un"}, {"unitPrice", 2190}, {"taxCode", "T01"}}},
        {"sell-item", {{"code", "2000123000450"}, {"description", "QUEIJO PRATO"}, {"quantity", 350}, {"unit", "Kg"}, {"unitPrice", 45900}, {"priceDecimals", 3}, {"taxCode", "T03"}}},
        {"sell-item", {{"code", "7896543210987"}, {"description", "LEITE INTEGRAL 1L"}, {"quantity", 2000}, {"unit", "l"}, {"unitPrice", 459}, {"taxCode", "F"}}},
        {"item-discount", {{"amount", 50}}},
        {"sell-item", {{"code", "0000000000042"}, {"description", "JORNAL DO DIA"}, {"quantity", 1000}, {"unit", "un"}, {"unitPrice", 350}, {"taxCode", "I"}}},
        {"cancel-item", {{"itemNumber", 4}}},
        {"pay", {{"method", 3}, {"amount", 2000}}},
        {"pay", {{"method", 1}, {"amount", 5000}}},
        {"close-coupon", {{"message", "OBRIGADO PELA PREFER\u00caNCIA"}}},
        {"sell-item", {{"code", "7891111111111"}, {"description", "FITA ADESIVA"}, {"quantity", 2500}, {"unit", "m"}, {"unitPrice", 1990}, {"priceDecimals", 3}, {"taxCode", "T02"}}},
        {"subtotal-increase", {{"amount", 50}}},
        {"pay", {{"method", 1}, {"amount", 200}}},
        {"cancel-coupon", json::object()},
        {"non-fiscal-receipt", {{"totalizer", 1}, {"method", 1}, {"amount", 10000}, {"text", "SUPRIMENTO DE CAIXA"}}},
        {"sell-item", {{"code", "2000456000000"}, {"description", "BANANA PRATA"}, {"quantity", 1250}, {"unit", "Kg"}, {"unitPrice", 599}, {"taxCode", "T03"}}},
        {"set-buyer", {{"buyer", "12345678000199"}}},
        {"pay", {{"method", 2}, {"amount", 748}}},
        {"close-coupon", json::object()},
        {"x-reading", json::object()},
        {"z-reduction", json::object()},
    };
    int n = 0;
    for (const Step& s : day) {
        const json r = Op(s.op, s.body, "day-" + std::to_string(++n));
        ASSERT_EQ(r.value("status", ""), "ok") << "step " << n << " " << s.op << ": " << r.dump();
        if (n == 9) {
            EXPECT_EQ(r.value("change", -1), 146) << "70.00 paid for 68.54: " << r.dump();
        }
    }
    const json after = Status();
    EXPECT_EQ(after.value("crz", 0u), before.value("crz", 0u) + 1) << after.dump();
    EXPECT_EQ(after.value("ccf", 0u), before.value("ccf", 0u) + 3) << after.dump();

    // The journal kept every operation, in order.
    const json journal = Get("/v1/printers/1/journal").json();
    ASSERT_EQ(journal["entries"].size(), day.size());
    EXPECT_EQ(journal["entries"].back().value("operation", ""), "z-reduction");

    // The day's capture records, decoded: every one good.
    const json capture = Get("/v1/printers/1/capture").json();
    ASSERT_EQ(capture["files"].size(), 1u) << capture.dump();
    const std::string rfd = capture["files"][0]["id"];
    const json records = Get("/v1/printers/1/capture/" + rfd).json();
    EXPECT_GT(records.value("good", 0), 20) << records.dump().substr(0, 400);
    EXPECT_EQ(records.value("bad", -1), 0);

    // The signed fiscal file: one, downloaded as it lies on the disk, its signature good.
    const json files = Get("/v1/printers/1/fiscal-files").json();
    ASSERT_EQ(files["files"].size(), 1u) << files.dump();
    const std::string id = files["files"][0]["id"];
    const testing::HttpReply download = Get("/v1/printers/1/fiscal-files/" + id);
    ASSERT_EQ(download.status, 200) << download.body;
    const std::string onDisk = testing::ReadHost(root_.path() + "/" + testing::kFinished + "/" + id);
    ASSERT_FALSE(onDisk.empty());
    EXPECT_EQ(download.body, onDisk);
    EXPECT_NE(download.body.find("\r\nEAD"), std::string::npos);
    EXPECT_NE(download.body.find("E14"), std::string::npos);
    const json verify = Get("/v1/printers/1/fiscal-files/" + id + "/verify").json();
    EXPECT_EQ(verify.value("code", -1), 0) << verify.dump();
    EXPECT_TRUE(verify.value("valid", false));

    // The downloaded copy checked by the tool, apart from the service.
    const std::string copy = root_.path() + "/downloaded.txt";
    std::ofstream(copy, std::ios::binary) << download.body;
    const testing::ToolResult checked = testing::RunToolAt(tool_, {"verify", copy});
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    const testing::ToolResult summary = testing::RunToolAt(tool_, {"summary", copy});
    EXPECT_NE(summary.out.find("coupons: 3 (1 cancelled)"), std::string::npos) << summary.out;

    // A changed copy no longer passes.
    std::string forged = download.body;
    forged[forged.find("E14") + 60] ^= 1;
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << forged;
    EXPECT_NE(testing::RunToolAt(tool_, {"verify", copy}).status, 0);

    // The traffic log, readable.
    const testing::HttpReply log = Get("/v1/printers/1/log?bytes=100000");
    EXPECT_EQ(log.status, 200);
    EXPECT_NE(log.body.find("\\x1B.14}"), std::string::npos) << log.body.substr(0, 300);
    EXPECT_EQ(log.body.find('\x1B'), std::string::npos);
}

TEST_F(WholeDay, RawCommandRepliesAndTheApiDescribesItself) {
    const testing::HttpReply r = Post("/v1/printers/1/command", json{{"command", "\x1B.271}"}}.dump());
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json().value("result", -9), 0);
    EXPECT_EQ(r.json().value("reply", "").rfind(".+C", 0), 0u) << r.body;
    EXPECT_NE(r.header("Server-Timing").find("printer;dur="), std::string::npos);

    const testing::HttpReply api = Get("/v1/openapi.json");
    ASSERT_EQ(api.status, 200);
    const json doc = api.json();
    ASSERT_FALSE(doc.is_discarded());
    EXPECT_EQ(doc.value("openapi", "").rfind("3.", 0), 0u);
    for (const char* path : {"/v1/printers/{port}/command", "/v1/printers/{port}/ops/sell-item",
                             "/v1/printers/{port}/status", "/v1/printers/{port}/fiscal-files/{id}/verify",
                             "/v1/printers/{port}/capture/{id}", "/v1/printers/{port}/log", "/v1/printers/{port}/events"})
        EXPECT_TRUE(doc["paths"].contains(path)) << path;
    const testing::HttpReply page = Get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<script>"), std::string::npos);
}

}  // namespace
}  // namespace moldrin
