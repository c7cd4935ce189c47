// Sales repeated after a lost HTTP reply: the same Idempotency-Key answers the first
// outcome and says so, never selling twice, also after the service restarts; a key
// given to another request, or none at all on a call that sells, is refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <future>
#include <thread>

#include "service_fixture.h"

namespace moldrin {
namespace {

using nlohmann::json;

class Idempotency : public testing::ServiceFixture {};

const json kRice = {{"code", "7891234560012"}, {"description", "ARROZ"}, {"quantity", 1000},
                    {"unit", "un"},            {"unitPrice", 2190},      {"taxCode", "T01"}};

TEST_F(Idempotency, ARepeatedKeySellsOnceAndSaysSo) {
    const testing::HttpReply first = Post("/v1/printers/1/ops/sell-item", kRice.dump(), "sale-1");
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_FALSE(first.json().value("replayed", true));
    EXPECT_EQ(first.header("Idempotent-Replayed"), "");

    // The client never saw that reply and sends the request again.
    const testing::HttpReply again = Post("/v1/printers/1/ops/sell-item", kRice.dump(), "sale-1");
    ASSERT_EQ(again.status, 200) << again.body;
    EXPECT_TRUE(again.json().value("replayed", false));
    EXPECT_EQ(again.header("Idempotent-Replayed"), "true");
    json a = first.json(), b = again.json();
    a.erase("replayed");
    b.erase("replayed");
    EXPECT_EQ(a, b) << "the first outcome, as it was";
    EXPECT_EQ(Status().value("items", 0u), 1u) << "sold twice";

    // A restart keeps the outcomes.
    StopService();
    StartService();
    const testing::HttpReply later = Post("/v1/printers/1/ops/sell-item", kRice.dump(), "sale-1");
    EXPECT_EQ(later.status, 200) << later.body;
    EXPECT_TRUE(later.json().value("replayed", false));
    EXPECT_EQ(Status().value("items", 0u), 1u) << "sold again after the restart";
    struct stat st{};
    ASSERT_EQ(::stat((root_.path() + "/serve/idempotency-COM1.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the outcomes are the owner's only";

    // A fresh key sells again.
    EXPECT_EQ(Op("sell-item", kRice, "sale-2").value("itemNumber", 0u), 2u);
}

TEST_F(Idempotency, RefusalsOfKeys) {
    const struct {
        const char* name;
        std::string key;
        json body;
        int status;
        const char* code;
    } cases[] = {
        {"no key on a sale", "", kRice, 400, "missing-idempotency-key"},
        {"a key with a blank", "a b", kRice, 400, "bad-idempotency-key"},
        {"a key of 101 characters", std::string(101, 'k'), kRice, 400, "bad-idempotency-key"},
    };
    for (const auto& c : cases) {
        const testing::HttpReply r = Post("/v1/printers/1/ops/sell-item", c.body.dump(), c.key);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.body;
        EXPECT_EQ(r.json()["error"].value("code", ""), c.code) << c.name;
    }
    ASSERT_EQ(Post("/v1/printers/1/ops/sell-item", kRice.dump(), "k1").status, 200);
    json other = kRice;
    other["quantity"] = 3000;
    const testing::HttpReply reused = Post("/v1/printers/1/ops/sell-item", other.dump(), "k1");
    EXPECT_EQ(reused.status, 422) << reused.body;
    EXPECT_EQ(reused.json()["error"].value("code", ""), "idempotency-key-reused");
    EXPECT_EQ(Status().value("items", 0u), 1u);
}

// A refusal is an outcome too: repeating it answers the same refusal without asking again.
TEST_F(Idempotency, ARefusalIsKeptLikeASale) {
    const std::string pay = json{{"method", 1}, {"amount", 100}}.dump();
    const testing::HttpReply first = Post("/v1/printers/1/ops/pay", pay, "pay-1");
    EXPECT_EQ(first.status, 422) << "no coupon is open: " << first.body;
    EXPECT_EQ(first.json().value("status", ""), "refused");
    const testing::HttpReply again = Post("/v1/printers/1/ops/pay", pay, "pay-1");
    EXPECT_EQ(again.status, 422);
    EXPECT_TRUE(again.json().value("replayed", false));
}

// A slow printer: every answer 2.5 s late, and requests that wait 1 s for it.
class SlowPrinter : public testing::ServiceFixture {
protected:
    SlowPrinter() : ServiceFixture(/*registered=*/false) {
        simOptions_ = {"--delay", "2500"};
        captureOff_ = true;
        serviceOptions_ = {"--request-wait", "1"};
    }
};

TEST_F(SlowPrinter, ARepetitionWhileTheFirstRunsWaitsForItOrIsToldSo) {
    const std::string command = R"({"command":"\u001b.271}"})";
    // Another command first: the keyed one waits behind it, done some 5 s from now.
    auto before = std::async(std::launch::async, [&] { return Post("/v1/printers/1/command", command); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    // The first leaves before its end; the command goes on.
    const testing::HttpReply first = Post("/v1/printers/1/command", command, "slow-1");
    EXPECT_EQ(first.status, 504) << first.body;
    EXPECT_EQ(first.json()["error"].value("code", ""), "still-running");
    // The repetition waits for it, up to its own second: the printer is not done for some 3 s more.
    const testing::HttpReply running = Post("/v1/printers/1/command", command, "slow-1");
    EXPECT_EQ(running.status, 409) << running.body;
    EXPECT_EQ(running.json()["error"].value("code", ""), "idempotency-key-running");
    // Once it is done, the repetition gets its outcome, and the printer got the command once.
    EXPECT_EQ(before.get().status, 504);
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(5700))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const testing::HttpReply done = Post("/v1/printers/1/command", command, "slow-1");
    EXPECT_EQ(done.status, 200) << done.body;
    EXPECT_TRUE(done.json().value("replayed", false));
    EXPECT_EQ(done.json().value("reply", "").rfind(".+C", 0), 0u) << done.body;
    const std::string log = Get("/v1/printers/1/log?bytes=100000").body;
    std::size_t sent = 0;
    for (std::size_t at = log.find("== \\x1B.271}"); at != std::string::npos; at = log.find("== \\x1B.271}", at + 1)) ++sent;
    EXPECT_EQ(sent, 2u) << "the other command and the keyed one, once: " << log;
}

}  // namespace
}  // namespace moldrin
