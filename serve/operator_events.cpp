// Boxes as Server-Sent Events: each box gets a number, goes to every connected
// page, and waits for the first answer (POST .../operator/ID) or its deadline.
#include "serve/operator_events.h"

#include <algorithm>
#include <cstring>

#include "tools/terminal_operator.h"

namespace moldrin::serve {

using nlohmann::json;

std::string ToUtf8(const std::string& cp1252) { return platform::Cp1252ToUtf8(cp1252); }
std::string FromUtf8(const std::string& utf8) { return tools::Utf8ToCp1252(utf8.c_str()); }

namespace {

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

struct IdField {
    const char* name;
    std::size_t offset, size;
};
#define MOLDRIN_ID_FIELD(f) {#f, offsetof(MoldrinIdentification, f), sizeof(MoldrinIdentification::f)}
const IdField kIdFields[] = {
    MOLDRIN_ID_FIELD(factoryNumber), MOLDRIN_ID_FIELD(developerId), MOLDRIN_ID_FIELD(stateReg),
    MOLDRIN_ID_FIELD(cityReg),       MOLDRIN_ID_FIELD(softwareHouse), MOLDRIN_ID_FIELD(coo),
    MOLDRIN_ID_FIELD(orderNumber),   MOLDRIN_ID_FIELD(appName),     MOLDRIN_ID_FIELD(appVersion),
    MOLDRIN_ID_FIELD(programData),
};
#undef MOLDRIN_ID_FIELD

}  // namespace

std::string Subscriber::Next(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(m_);
    cv_.wait_until(lock, deadline, [this] { return closed_ || !events_.empty(); });
    std::string out;
    while (!events_.empty()) {
        out += events_.front();
        events_.pop_front();
    }
    return out;
}

bool Subscriber::Closed() {
    std::lock_guard lock(m_);
    return closed_;
}

void Subscriber::Push(const std::string& event) {
    {
        std::lock_guard lock(m_);
        if (closed_) return;
        if (events_.size() >= kBacklog) closed_ = true;
        else events_.push_back(event);
    }
    cv_.notify_all();
}

void Subscriber::Close() {
    {
        std::lock_guard lock(m_);
        closed_ = true;
    }
    cv_.notify_all();
}

OperatorEvents::~OperatorEvents() { Shutdown(); }

void OperatorEvents::Publish(const std::string& type, const json& data) {
    // Under m_: the order of events is the order of the boxes.
    const std::string text = "id: " + std::to_string(++eventId_) + "\nevent: " + type + "\ndata: " + Dump(data) + "\n\n";
    for (auto& s : subscribers_) s->Push(text);
    std::erase_if(subscribers_, [](const std::shared_ptr<Subscriber>& s) { return s->Closed(); });
}

void OperatorEvents::Broadcast(const std::string& type, const json& data) {
    std::lock_guard lock(m_);
    Publish(type, data);
}

std::shared_ptr<Subscriber> OperatorEvents::Subscribe() {
    std::lock_guard lock(m_);
    std::erase_if(subscribers_, [](const std::shared_ptr<Subscriber>& s) { return s->Closed(); });
    if (shutdown_ || subscribers_.size() >= kMaxSubscribers) return nullptr;
    auto s = std::make_shared<Subscriber>();
    s->Push("retry: 1000\n\n");
    for (auto& [id, box] : open_)
        s->Push("event: box\ndata: " + Dump(box.event) + "\n\n");
    subscribers_.push_back(s);
    cv_.notify_all();
    return s;
}

void OperatorEvents::Unsubscribe(const std::shared_ptr<Subscriber>& s) {
    std::lock_guard lock(m_);
    s->Close();
    std::erase(subscribers_, s);
}

json OperatorEvents::Open() {
    std::lock_guard lock(m_);
    json list = json::array();
    for (auto& [id, box] : open_) list.push_back(box.event);
    return list;
}

bool OperatorEvents::Ask(json event, json* answer) {
    std::unique_lock lock(m_);
    if (shutdown_) return false;
    const uint64_t id = next_++;
    const auto start = std::chrono::steady_clock::now();
    std::erase_if(subscribers_, [](const std::shared_ptr<Subscriber>& s) { return s->Closed(); });
    // With no page to show it, the box waits only long enough for a page that is opening.
    const auto deadline = start + (subscribers_.empty() ? waits_.withoutPage : waits_.withPage);
    event["id"] = id;
    event["waitMs"] = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - start).count();
    open_[id].event = event;
    Publish("box", event);
    cv_.wait_until(lock, deadline, [&] {
        auto it = open_.find(id);
        return shutdown_ || it == open_.end() || it->second.answered;
    });
    auto it = open_.find(id);
    const bool answered = it != open_.end() && it->second.answered;
    if (answered) *answer = it->second.answer;
    if (it != open_.end()) open_.erase(it);
    Publish("closed", {{"id", id}, {"by", answered ? "page" : "default"}});
    return answered;
}

std::string OperatorEvents::Answer(uint64_t id, const json& answer, int* status) {
    std::lock_guard lock(m_);
    auto it = open_.find(id);
    if (it == open_.end() || it->second.answered) {
        *status = 404;
        return "no box " + std::to_string(id) + " is open (answered already, or its wait ended)";
    }
    const std::string kind = it->second.event.value("kind", "");
    if (!answer.is_object()) {
        *status = 400;
        return "the answer is a JSON object";
    }
    for (auto& [key, value] : answer.items()) {
        if (key == "answer") continue;
        if (key == "fields" && kind == "identify") continue;
        *status = 400;
        return "unknown field '" + key + "' in the answer to a " + kind + " box";
    }
    if (!answer.contains("answer") || !answer["answer"].is_string()) {
        *status = 400;
        return "\"answer\" (a text) is required";
    }
    const std::string a = answer["answer"];
    const json& allowed = it->second.event["answers"];
    if (std::find(allowed.begin(), allowed.end(), a) == allowed.end()) {
        *status = 400;
        return "\"" + a + "\" is not an answer to this box (" + Dump(allowed) + ")";
    }
    if (answer.contains("fields")) {
        if (!answer["fields"].is_object()) {
            *status = 400;
            return "\"fields\" is an object of texts";
        }
        for (auto& [key, value] : answer["fields"].items()) {
            const bool known = std::any_of(std::begin(kIdFields), std::end(kIdFields),
                                           [&](const IdField& f) { return key == f.name; });
            if (!known || !value.is_string()) {
                *status = 400;
                return "\"fields\": '" + key + "' is not a text field of the identification";
            }
        }
    }
    it->second.answered = true;
    it->second.answer = answer;
    cv_.notify_all();
    *status = 200;
    return {};
}

void OperatorEvents::Shutdown() {
    std::lock_guard lock(m_);
    shutdown_ = true;
    for (auto& s : subscribers_) s->Close();
    subscribers_.clear();
    cv_.notify_all();
}

void OperatorEvents::InfoBox(const char* text) {
    json answer;
    if (!Ask({{"kind", "info"}, {"text", ToUtf8(text ? text : "")}, {"answers", {"ok"}}}, &answer))
        platform::DefaultOperator().InfoBox(text);
}

int OperatorEvents::QuestionBox(const char* text) {
    json answer;
    if (!Ask({{"kind", "question"}, {"text", ToUtf8(text ? text : "")}, {"answers", {"yes", "no"}}}, &answer))
        return platform::DefaultOperator().QuestionBox(text);
    return answer["answer"] == "yes" ? 1 : 0;
}

int OperatorEvents::MessageBox(const char* text, const char* caption, unsigned style) {
    const bool yesNo = (style & 0x0Fu) == MOLDRIN_MB_YESNO;
    json answer;
    json event = {{"kind", "message"},
                  {"text", ToUtf8(text ? text : "")},
                  {"caption", ToUtf8(caption ? caption : "")},
                  {"error", (style & MOLDRIN_MB_ICONERROR) != 0},
                  {"answers", yesNo ? json{"yes", "no"} : json{"ok"}}};
    if (!Ask(event, &answer)) return platform::DefaultOperator().MessageBox(text, caption, style);
    if (!yesNo) return MOLDRIN_ID_OK;
    return answer["answer"] == "yes" ? MOLDRIN_ID_YES : MOLDRIN_ID_NO;
}

int OperatorEvents::Identify(const char* caption, MoldrinIdentification& fields) {
    json shown = json::object();
    for (const IdField& f : kIdFields) {
        const char* value = reinterpret_cast<const char*>(&fields) + f.offset;
        shown[f.name] = {{"value", ToUtf8(std::string(value, strnlen(value, f.size)))}, {"max", f.size - 1}};
    }
    json answer;
    if (!Ask({{"kind", "identify"}, {"caption", ToUtf8(caption ? caption : "")}, {"fields", shown},
              {"answers", {"ok", "cancel"}}},
             &answer))
        return platform::DefaultOperator().Identify(caption, fields);
    if (answer["answer"] != "ok") return 0;
    if (answer.contains("fields")) {
        for (const IdField& f : kIdFields) {
            if (!answer["fields"].contains(f.name)) continue;
            const std::string text = FromUtf8(answer["fields"][f.name].get<std::string>());
            char* value = reinterpret_cast<char*>(&fields) + f.offset;
            const std::size_t n = std::min(text.size(), f.size - 1);
            std::memcpy(value, text.data(), n);
            std::memset(value + n, 0, f.size - n);
        }
    }
    return 1;
}

}  // namespace moldrin::serve
