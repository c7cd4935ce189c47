// The service under load while it sells: 200 clients reading the status at once,
// each getting a whole reply of its own; a client that stops reading, and one that
// vanishes, never hold the printer's queue.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <httplib.h>

#include "service_fixture.h"

namespace moldrin {
namespace {

using nlohmann::json;

class Load : public testing::ServiceFixture {};

const json kItem = {{"code", "1"}, {"description", "PAO"}, {"quantity", 2000},
                    {"unit", "un"}, {"unitPrice", 150},   {"taxCode", "T01"}};

TEST_F(Load, TwoHundredStatusClientsWhileACouponIsSold) {
    constexpr int kClients = 200;
    std::atomic<int> good{0}, bad{0};
    std::atomic<bool> go{false};
    std::mutex failuresLock;
    std::vector<std::string> failures;
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&] {
            while (!go) std::this_thread::yield();
            httplib::Client c("127.0.0.1", port_);
            c.set_connection_timeout(30, 0);
            c.set_read_timeout(60, 0);
            auto r = c.Get("/v1/printers/1/status");
            const json j = r ? json::parse(r->body, nullptr, false) : json();
            // A whole status record: every field of a reading, and the printer's own number.
            const bool whole = r && r->status == 200 && j.is_object() && j.value("factoryNumber", "") == "MS0300019" &&
                               j.contains("coo") && j.contains("subtotal") && j["payments"].size() == 10;
            (whole ? good : bad)++;
            if (!whole) {
                std::lock_guard lock(failuresLock);
                failures.push_back(r ? std::to_string(r->status) + " " + r->body : httplib::to_string(r.error()));
            }
        });
    go = true;
    Op("sell-item", kItem, "load-1");
    Op("sell-item", kItem, "load-2");
    Op("pay", {{"method", 1}, {"amount", 1000}}, "load-3");
    const json closed = Op("close-coupon", json::object(), "load-4");
    for (auto& t : clients) t.join();
    EXPECT_EQ(good, kClients) << (failures.empty() ? "" : failures.front());
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(Status().value("coo", 0u), closed.value("coo", 0u));
    EXPECT_EQ(Status().value("document", ""), "none");
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(Load, AClientThatStopsReadingHoldsNothing) {
    // A day's log grows large enough to fill the socket's buffers unread.
    for (int i = 0; i < 20; ++i) ASSERT_EQ(Post("/v1/printers/1/command", R"({"command":"\u001b.271}"})").status, 200);
    const int stalled = Connect(port_);
    ASSERT_GE(stalled, 0);
    int small = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string requests;
    for (int i = 0; i < 200; ++i)
        requests += "GET /v1/printers/1/log?bytes=1000000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(::send(stalled, requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
    // One that asked and went away before its answer.
    const int vanished = Connect(port_);
    const std::string sale = "POST /v1/printers/1/ops/sell-item HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                             "application/json\r\nIdempotency-Key: gone-1\r\nContent-Length: " +
                             std::to_string(kItem.dump().size()) + "\r\n\r\n" + kItem.dump();
    ASSERT_EQ(::send(vanished, sale.data(), sale.size(), MSG_NOSIGNAL), static_cast<ssize_t>(sale.size()));
    ::close(vanished);

    // Meanwhile a coupon is sold as ever.
    const auto start = std::chrono::steady_clock::now();
    Op("sell-item", kItem, "meanwhile-1");
    Op("pay", {{"method", 1}, {"amount", 1000}}, "meanwhile-2");
    Op("close-coupon", json::object(), "meanwhile-3");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << "the sale waited for the stalled client";
    // The vanished client's sale happened once, and its key tells it.
    const testing::HttpReply r = Post("/v1/printers/1/ops/sell-item", kItem.dump(), "gone-1");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(r.json().value("replayed", false)) << r.body;
    ::close(stalled);
}

}  // namespace
}  // namespace moldrin
