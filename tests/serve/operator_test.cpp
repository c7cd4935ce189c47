// The operator through the service: the library's boxes reach a page following the
// event stream and wait for its answer; with no page, the default answer applies
// after a bounded wait. The first sale of an unregistered application shows both:
// an error box, then the identification dialog.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <thread>

#include <httplib.h>

#include "service_fixture.h"

namespace moldrin {
namespace {

using nlohmann::json;

// A page's event stream: the "box" events as they come.
class EventPage {
public:
    explicit EventPage(int port) : client_("127.0.0.1", port) {
        client_.set_read_timeout(60, 0);
        reader_ = std::thread([this] {
            client_.Get("/v1/printers/1/events", [this](const char* data, std::size_t n) {
                std::lock_guard lock(m_);
                text_.append(data, n);
                for (std::size_t end; (end = text_.find("\n\n")) != std::string::npos;) {
                    const std::string event = text_.substr(0, end);
                    text_.erase(0, end + 2);
                    if (event.find("event: box\n") == std::string::npos && event.rfind("event: box", 0) != 0) continue;
                    const std::size_t data = event.find("data: ");
                    boxes_.push_back(json::parse(event.substr(data + 6), nullptr, false));
                }
                cv_.notify_all();
                return !stop_;
            });
        });
    }
    ~EventPage() {
        stop_ = true;
        client_.stop();
        reader_.join();
    }
    // The next box shown; a null json after `wait`.
    json NextBox(std::chrono::seconds wait = std::chrono::seconds(20)) {
        std::unique_lock lock(m_);
        if (!cv_.wait_for(lock, wait, [this] { return taken_ < boxes_.size(); })) return json();
        return boxes_[taken_++];
    }

private:
    httplib::Client client_;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::string text_;
    std::vector<json> boxes_;
    std::size_t taken_ = 0;
    std::atomic<bool> stop_{false};
};

class Operator : public testing::ServiceFixture {
protected:
    Operator() : ServiceFixture(/*registered=*/false) {}
};

const json kItem = {{"code", "1"}, {"description", "PAO"}, {"quantity", 1000},
                    {"unit", "un"}, {"unitPrice", 150},   {"taxCode", "T01"}};

TEST_F(Operator, APageAnswersTheBoxesOfTheFirstSale) {
    EventPage page(port_);
    // The page is connected before the box comes.
    for (int i = 0; i < 100 && Get("/v1/printers/1/operator").status != 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto sale = std::async(std::launch::async, [&] { return Post("/v1/printers/1/ops/sell-item", kItem.dump(), "op-1"); });

    const json error = page.NextBox();
    ASSERT_TRUE(error.is_object()) << "no box came";
    EXPECT_EQ(error.value("kind", ""), "message");
    EXPECT_EQ(error.value("caption", ""), "ERRO CADASTRO");
    EXPECT_EQ(Get("/v1/printers/1/operator").json()["open"].size(), 1u);
    const std::string errorId = std::to_string(error.value("id", 0));
    // A wrong answer is refused and leaves the box open.
    EXPECT_EQ(Post("/v1/printers/1/operator/" + errorId, R"({"answer":"maybe"})").status, 400);
    EXPECT_EQ(Post("/v1/printers/1/operator/" + errorId, R"({"answer":"ok"})").status, 200);
    EXPECT_EQ(Post("/v1/printers/1/operator/" + errorId, R"({"answer":"ok"})").status, 404) << "answered twice";

    const json identify = page.NextBox();
    ASSERT_EQ(identify.value("kind", ""), "identify") << identify.dump();
    EXPECT_TRUE(identify["fields"].contains("factoryNumber"));
    const json answer = {{"answer", "ok"},
                         {"fields",
                          {{"factoryNumber", "MS0300019"},
                           {"developerId", "12345678000199"},
                           {"stateReg", "111222333"},
                           {"cityReg", "4455"},
                           {"softwareHouse", "Moldrin Testes"},
                           {"coo", "1"},
                           {"orderNumber", "1"},
                           {"appName", "Caixa Navegador"},
                           {"appVersion", "1.0"},
                           {"programData", "frente de loja"}}}};
    const testing::HttpReply taken = Post("/v1/printers/1/operator/" + std::to_string(identify.value("id", 0)), answer.dump());
    EXPECT_EQ(taken.status, 200) << taken.body;

    const testing::HttpReply sold = sale.get();
    EXPECT_EQ(sold.status, 200) << sold.body;
    EXPECT_EQ(sold.json().value("itemNumber", 0u), 1u) << sold.body;
    EXPECT_TRUE(root_.Exists("c:\\TALMA\\RFD\\E00.BIN")) << "the registration the page entered was not written";
}

TEST_F(Operator, WithNoPageTheDefaultAnswersAfterABoundedWait) {
    StopService();
    StartService({"--operator-wait", "1"});
    const auto start = std::chrono::steady_clock::now();
    const testing::HttpReply r = Post("/v1/printers/1/ops/sell-item", kItem.dump(), "op-2");
    const auto waited = std::chrono::steady_clock::now() - start;
    // A few boxes (the error, the identification, the refusals after it), each waiting a
    // second for a page; the identification is cancelled.
    EXPECT_LT(waited, std::chrono::seconds(12));
    EXPECT_NE(r.status, 200) << r.body;
    EXPECT_FALSE(root_.Exists("c:\\TALMA\\RFD\\E00.BIN"));
    EXPECT_EQ(Get("/v1/printers/1/operator").json()["open"].size(), 0u);
}

}  // namespace
}  // namespace moldrin
