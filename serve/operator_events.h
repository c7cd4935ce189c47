// The operator in a browser: the library's boxes, questions and identification
// dialog become events for the pages connected to the event stream, and wait a
// bounded time for a page's answer; without one, the library's default answer.
#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/operator.h"

namespace moldrin::serve {

// One page's event stream: the events not yet written to it, bounded; a page that
// falls behind by more is dropped (it reconnects and is sent what is still open).
class Subscriber {
public:
    static constexpr std::size_t kBacklog = 256;
    // The next events as SSE text; waits until there are some, the stream ends, or
    // the deadline (then an empty text: the caller writes a keep-alive).
    std::string Next(std::chrono::steady_clock::time_point deadline);
    bool Closed();
    void Push(const std::string& event);
    void Close();

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::string> events_;
    bool closed_ = false;
};

class OperatorEvents final : public platform::Operator {
public:
    struct Waits {
        std::chrono::milliseconds withPage{60000};   // a page is connected
        std::chrono::milliseconds withoutPage{2000};  // none is: time for one to open
    };
    static constexpr std::size_t kMaxSubscribers = 8;

    explicit OperatorEvents(Waits waits) : waits_(waits) {}
    ~OperatorEvents() override;

    void InfoBox(const char* text) override;
    int QuestionBox(const char* text) override;
    int MessageBox(const char* text, const char* caption, unsigned style) override;
    int Identify(const char* caption, MoldrinIdentification& fields) override;

    // A new page's stream, sent the boxes still open; null past kMaxSubscribers.
    std::shared_ptr<Subscriber> Subscribe();
    void Unsubscribe(const std::shared_ptr<Subscriber>& s);
    // A page's answer to box `id`: "" when taken, else why not (HTTP status in `status`).
    std::string Answer(uint64_t id, const nlohmann::json& answer, int* status);
    // The boxes still open.
    nlohmann::json Open();
    // Every stream ends, every box still open gets its default answer.
    void Shutdown();
    // A notice to every page (e.g. that a document changed), not waiting for anything.
    void Broadcast(const std::string& type, const nlohmann::json& data);

private:
    struct Box {
        nlohmann::json event;
        bool answered = false;
        nlohmann::json answer;
    };
    // Shows `event` and waits for an answer; false when none came (the default applies).
    bool Ask(nlohmann::json event, nlohmann::json* answer);
    void Publish(const std::string& type, const nlohmann::json& data);

    Waits waits_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::shared_ptr<Subscriber>> subscribers_;
    std::map<uint64_t, Box> open_;
    uint64_t next_ = 1, eventId_ = 0;
    bool shutdown_ = false;
};

// Windows-1252 text of the library as UTF-8 for JSON, and back.
std::string ToUtf8(const std::string& cp1252);
std::string FromUtf8(const std::string& utf8);

}  // namespace moldrin::serve
