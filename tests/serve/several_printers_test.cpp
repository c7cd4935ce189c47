// Two printers in one service: each in a worker process of its own (the library
// holds one session per process), the front forwarding requests and events to them;
// coupons sold on both at once, each kept apart, and every worker ended with the front.
#include <gtest/gtest.h>

#include <signal.h>

#include <future>
#include <regex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/scratch_root.h"
#include "tool_process.h"

namespace moldrin {
namespace {

using nlohmann::json;

TEST(SeveralPrinters, EachInAWorkerOfItsOwnSoldAtOnce) {
    testing::ScratchRoot root;
    const std::string& r = root.path();
    testing::BackgroundTool sim1({"sim", "--listen", "unix:" + r + "/line1"}, r + "/sim1.err");
    testing::BackgroundTool sim2({"sim", "--listen", "unix:" + r + "/line2"}, r + "/sim2.err");
    ASSERT_TRUE(testing::WaitForPath(r + "/line1") && testing::WaitForPath(r + "/line2"));
    // Each printer keeps its files in a root of its own, here with the capture off.
    root.Write("c:\\COM1\\c\\TALMA\\talma.ini", "");
    root.Write("c:\\COM2\\c\\TALMA\\talma.ini", "");
    std::rename((r + "/c/COM1").c_str(), (r + "/COM1").c_str());
    std::rename((r + "/c/COM2").c_str(), (r + "/COM2").c_str());

    int port = 0;
    {
        testing::BackgroundTool service(MOLDRIN_TOOL_PATH,
                                        {"serve", "--listen", "127.0.0.1:0", "--printer", "1", "--printer", "2",
                                         "--timeout", "3"},
                                        {"MOLDRIN_COM1=unix:" + r + "/line1", "MOLDRIN_COM2=unix:" + r + "/line2"},
                                        r + "/serve.err", r + "/serve.out");
        const std::regex listening("listening on http://127\\.0\\.0\\.1:([0-9]+)/ \\(COM1, COM2\\)");
        std::smatch m;
        std::string out;
        for (int i = 0;
             i < 1000 && service.running() && !std::regex_search(out = testing::ReadHost(r + "/serve.out"), m, listening);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_FALSE(m.empty()) << testing::ReadHost(r + "/serve.err");
        port = std::stoi(m[1]);

        auto call = [port](const std::string& path, const json& body, const std::string& key) {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(30, 0);
            httplib::Headers h{{"Idempotency-Key", key}};
            auto res = c.Post(path, h, body.dump(), "application/json");
            return res ? std::make_pair(res->status, json::parse(res->body, nullptr, false))
                       : std::make_pair(-1, json());
        };
        auto sell = [&](int printer, int items) {
            const std::string base = "/v1/printers/" + std::to_string(printer) + "/ops/";
            for (int i = 1; i <= items; ++i) {
                auto [status, j] = call(base + "sell-item",
                                        {{"code", std::to_string(i)}, {"description", "ITEM"}, {"quantity", 1000},
                                         {"unit", "un"}, {"unitPrice", 100 * printer}, {"taxCode", "T01"}},
                                        "p" + std::to_string(printer) + "-" + std::to_string(i));
                if (status != 200 || j.value("itemNumber", 0) != i) return false;
            }
            return true;
        };
        auto one = std::async(std::launch::async, sell, 1, 3);
        auto two = std::async(std::launch::async, sell, 2, 5);
        EXPECT_TRUE(one.get());
        EXPECT_TRUE(two.get());
        // A retry through the front is answered by the worker's keys.
        auto [status, again] = call("/v1/printers/2/ops/sell-item",
                                    {{"code", "1"}, {"description", "ITEM"}, {"quantity", 1000}, {"unit", "un"},
                                     {"unitPrice", 200}, {"taxCode", "T01"}},
                                    "p2-1");
        EXPECT_EQ(status, 200);
        EXPECT_TRUE(again.value("replayed", false));

        httplib::Client c("127.0.0.1", port);
        for (const auto& [printer, items, subtotal] : {std::tuple{1, 3u, 300}, std::tuple{2, 5u, 1000}}) {
            auto res = c.Get("/v1/printers/" + std::to_string(printer) + "/status");
            ASSERT_TRUE(res);
            const json s = json::parse(res->body, nullptr, false);
            EXPECT_EQ(s.value("items", 0u), items) << printer << ": " << res->body;
            EXPECT_EQ(s.value("subtotal", 0), subtotal) << printer;
        }
        auto list = c.Get("/v1/printers");
        ASSERT_TRUE(list);
        EXPECT_EQ(json::parse(list->body)["printers"].size(), 2u);
        auto none = c.Get("/v1/printers/3/status");
        ASSERT_TRUE(none);
        EXPECT_EQ(none->status, 404);
        // Each printer's log is its own.
        auto log2 = c.Get("/v1/printers/2/log");
        ASSERT_TRUE(log2);
        EXPECT_NE(log2->body.find("ITEM"), std::string::npos);
        EXPECT_TRUE(testing::WaitForPath(r + "/serve/COM1.sock", std::chrono::milliseconds(10)));
    }
    // The front ended its workers: their sockets are gone.
    EXPECT_FALSE(testing::WaitForPath(r + "/serve/COM1.sock", std::chrono::milliseconds(10)));
    EXPECT_FALSE(testing::WaitForPath(r + "/serve/COM2.sock", std::chrono::milliseconds(10)));
}

}  // namespace
}  // namespace moldrin
