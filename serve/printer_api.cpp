// The printer's endpoints: the raw command and its reply, every typed operation
// (each one that sells under an idempotency key), the status reading, the journal.
#include <chrono>
#include <cstring>

#include "moldrin.h"
#include "moldrin_ops.h"
#include "serve/http.h"
#include "serve/request_json.h"
#include "serve/service.h"

namespace moldrin::serve {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using T = FieldRule::Type;

namespace {

constexpr std::size_t kJournalLength = 200;

struct Operation {
    const char* name;
    std::vector<FieldRule> fields;
    int (*run)(const json& body, MoldrinOpsResult* r);
};

std::string Text(const json& body, const char* name, const char* fallback = "") {
    return body.contains(name) ? FromUtf8(body[name].get<std::string>()) : std::string(fallback);
}
long long Whole(const json& body, const char* name, long long fallback = 0) {
    return body.contains(name) ? body[name].get<long long>() : fallback;
}
int Small(const json& body, const char* name, int fallback = 0) { return static_cast<int>(Whole(body, name, fallback)); }

constexpr long long kIntMin = -2147483647LL - 1, kIntMax = 2147483647LL;

const std::vector<Operation>& Operations() {
    static const std::vector<Operation> ops = {
        {"open-coupon", {{"buyer", T::Text, false}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinOpenCoupon(Text(b, "buyer").c_str(), r); }},
        {"set-buyer", {{"buyer", T::Text, true}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinSetBuyer(Text(b, "buyer").c_str(), r); }},
        {"sell-item",
         {{"code", T::Text, true},
          {"description", T::Text, true},
          {"quantity", T::Whole, true},
          {"unit", T::Text, true},
          {"unitPrice", T::Whole, true},
          {"priceDecimals", T::Whole, false, kIntMin, kIntMax},
          {"taxCode", T::Text, true}},
         [](const json& b, MoldrinOpsResult* r) {
             return MoldrinSellItem(Text(b, "code").c_str(), Text(b, "description").c_str(), Whole(b, "quantity"),
                                    Text(b, "unit").c_str(), Whole(b, "unitPrice"), Small(b, "priceDecimals", 2),
                                    Text(b, "taxCode").c_str(), r);
         }},
        {"item-discount", {{"amount", T::Whole, true}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinItemDiscount(Whole(b, "amount"), r); }},
        {"cancel-item", {{"itemNumber", T::Whole, false, kIntMin, kIntMax}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinCancelItem(Small(b, "itemNumber"), r); }},
        {"subtotal-discount", {{"amount", T::Whole, true}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinSubtotalDiscount(Whole(b, "amount"), r); }},
        {"subtotal-increase", {{"amount", T::Whole, true}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinSubtotalIncrease(Whole(b, "amount"), r); }},
        {"pay", {{"method", T::Whole, true, kIntMin, kIntMax}, {"amount", T::Whole, true}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinPay(Small(b, "method"), Whole(b, "amount"), r); }},
        {"close-coupon", {{"message", T::Text, false}},
         [](const json& b, MoldrinOpsResult* r) { return MoldrinCloseCoupon(Text(b, "message").c_str(), r); }},
        {"cancel-coupon", {}, [](const json&, MoldrinOpsResult* r) { return MoldrinCancelCoupon(r); }},
        {"non-fiscal-receipt",
         {{"totalizer", T::Whole, true, kIntMin, kIntMax},
          {"method", T::Whole, true, kIntMin, kIntMax},
          {"amount", T::Whole, true},
          {"text", T::Text, false}},
         [](const json& b, MoldrinOpsResult* r) {
             return MoldrinNonFiscalReceipt(Small(b, "totalizer"), Small(b, "method"), Whole(b, "amount"),
                                            Text(b, "text").c_str(), r);
         }},
        {"x-reading", {}, [](const json&, MoldrinOpsResult* r) { return MoldrinXReading(r); }},
        {"z-reduction", {}, [](const json&, MoldrinOpsResult* r) { return MoldrinZReduction(r); }},
        {"settle", {}, [](const json&, MoldrinOpsResult* r) { return MoldrinOpsSettle(r); }},
    };
    return ops;
}

const char* StatusName(int code) {
    switch (code) {
        case MOLDRIN_OPS_OK: return "ok";
        case MOLDRIN_OPS_NO_SESSION: return "no-session";
        case MOLDRIN_OPS_BAD_ARGUMENT: return "bad-argument";
        case MOLDRIN_OPS_REFUSED: return "refused";
        case MOLDRIN_OPS_NOT_DELIVERED: return "not-delivered";
        case MOLDRIN_OPS_UNDECIDED: return "undecided";
        default: return "unknown";
    }
}

int HttpStatusOf(int code) {
    switch (code) {
        case MOLDRIN_OPS_OK: return 200;
        case MOLDRIN_OPS_BAD_ARGUMENT: return 400;
        case MOLDRIN_OPS_REFUSED: return 422;
        case MOLDRIN_OPS_NO_SESSION: return 503;
        default: return 502;  // not delivered, undecided: the printer's side failed
    }
}

json ResultJson(int code, const MoldrinOpsResult& r) {
    return {{"status", StatusName(code)},
            {"code", code},
            {"field", ToUtf8(std::string(r.field, strnlen(r.field, sizeof r.field)))},
            {"reason", ToUtf8(std::string(r.reason, strnlen(r.reason, sizeof r.reason)))},
            {"reply", ToUtf8(std::string(r.reply, strnlen(r.reply, sizeof r.reply)))},
            {"printerCode", r.printerCode},
            {"recovered", r.recovered != 0},
            {"resent", r.resent},
            {"itemNumber", r.itemNumber},
            {"coo", r.coo},
            {"ccf", r.ccf},
            {"gnf", r.gnf},
            {"crz", r.crz},
            {"subtotal", r.subtotal},
            {"change", r.change}};
}

std::string Fixed(const char* text, std::size_t size) { return ToUtf8(std::string(text, strnlen(text, size))); }

json StatusJson(const MoldrinOpsStatus& s) {
    static const char* kDocuments[] = {"none", "coupon", "non-fiscal"};
    json payments = json::array();
    for (long long p : s.payments) payments.push_back(p);
    return {{"coo", s.coo},
            {"ccf", s.ccf},
            {"gnf", s.gnf},
            {"crz", s.crz},
            {"grandTotal", s.grandTotal},
            {"grossDailySale", s.grossDailySale},
            {"cancellations", s.cancellations},
            {"discounts", s.discounts},
            {"increases", s.increases},
            {"payments", payments},
            {"fiscalDate", Fixed(s.fiscalDate, sizeof s.fiscalDate)},
            {"clock", Fixed(s.clock, sizeof s.clock)},
            {"factoryNumber", Fixed(s.factoryNumber, sizeof s.factoryNumber)},
            {"modelLetter", std::string(1, s.modelLetter ? s.modelLetter : ' ')},
            {"extended", s.extended != 0},
            {"document", s.document >= 0 && s.document <= 2 ? kDocuments[s.document] : "unknown"},
            {"items", s.items},
            {"subtotal", s.subtotal},
            {"lastCommand", s.lastCommand},
            {"lastRefused", s.lastRefused != 0},
            {"lastReplyCode", s.lastReplyCode},
            {"paper", Fixed(s.paper, sizeof s.paper)}};
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Note(Printer& p, const std::string& operation, const json& request, const json& result) {
    std::lock_guard lock(p.journalLock);
    json entry = {{"n", p.journalNext++},
                  {"at", std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count()},
                  {"operation", operation},
                  {"request", request},
                  {"result", result}};
    p.journal.push_back(std::move(entry));
    while (p.journal.size() > kJournalLength) p.journal.pop_front();
}

void Send(httplib::Response& res, const JobOutcome& outcome) {
    char timing[64];
    std::snprintf(timing, sizeof timing, "printer;dur=%.3f", outcome.libraryMs);
    res.set_header("Server-Timing", timing);
    Service::Reply(res, outcome.httpStatus, outcome.body);
}

// Runs `job` on the printer under the request's idempotency key (when it has one): a
// repeated key answers the first outcome and says so; the job keeps its outcome itself,
// so a request that left before its end still leaves it for the repetition.
void RunKeyed(Service& service, Printer& printer, const httplib::Request& req, httplib::Response& res,
              const json& body, bool keyRequired, std::function<JobOutcome()> job) {
    const std::string key = req.get_header_value("Idempotency-Key");
    const auto deadline = Clock::now() + service.Settings().requestWait;
    if (key.empty() && keyRequired)
        return Service::Reply(res, 400,
                              ErrorBody("missing-idempotency-key",
                                        "this call sells: give an Idempotency-Key header, the same on a retry"));
    if (!key.empty() && !IdempotencyStore::ValidKey(key))
        return Service::Reply(res, 400, ErrorBody("bad-idempotency-key",
                                                  "an Idempotency-Key is 1 to 100 letters, digits or -_.:"));
    if (!key.empty()) {
        StoredOutcome first;
        const std::string fingerprint = req.method + " " + req.path + " " + DumpJson(body);
        switch (printer.keys.Begin(key, fingerprint, deadline, &first)) {
            case IdempotencyStore::Claim::Repeated: {
                json stored = json::parse(first.body, nullptr, false);
                if (stored.is_object()) stored["replayed"] = true;
                res.set_header("Idempotent-Replayed", "true");
                return Service::Reply(res, first.httpStatus, stored);
            }
            case IdempotencyStore::Claim::Mismatch:
                return Service::Reply(res, 422, ErrorBody("idempotency-key-reused",
                                                          "this Idempotency-Key was given to another request"));
            case IdempotencyStore::Claim::Running:
                return Service::Reply(res, 409, ErrorBody("idempotency-key-running",
                                                          "the request with this Idempotency-Key is still running; "
                                                          "repeat it later for its outcome"));
            case IdempotencyStore::Claim::Fresh: break;
        }
    }
    auto keyed = [&printer, key, job = std::move(job)] {
        JobOutcome outcome = job();
        if (!key.empty()) {
            // An undecided command is settled by running the same operation again: nothing to keep.
            if (outcome.body.value("status", "") == "undecided") printer.keys.Release(key);
            else printer.keys.Finish(key, {outcome.httpStatus, DumpJson(outcome.body)});
        }
        outcome.body["replayed"] = false;
        return outcome;
    };
    auto ticket = printer.queue.Submit(keyed);
    if (!ticket) {
        if (!key.empty()) printer.keys.Release(key);
        res.set_header("Retry-After", "1");
        return Service::Reply(res, 503, ErrorBody("queue-full", "the printer's queue is full; nothing was sent"));
    }
    JobOutcome outcome;
    if (!ticket->Wait(deadline, &outcome))
        return Service::Reply(res, 504, ErrorBody("still-running",
                                                  "the printer has not finished; repeat the request with the same "
                                                  "Idempotency-Key for its outcome"));
    Send(res, outcome);
}

Printer* PrinterOf(Service& service, const httplib::Request& req, httplib::Response& res) {
    const std::string text = req.matches[1];
    Printer* p = text.size() <= 2 ? service.FindPrinter(std::stoi(text)) : nullptr;
    if (!p) Service::Reply(res, 404, ErrorBody("no-such-printer", "this service serves no printer COM" + text));
    return p;
}

}  // namespace

void AddPrinterRoutes(httplib::Server& server, Service& service) {
    server.Get("/v1/printers", [&service](const httplib::Request&, httplib::Response& res) {
        json list = json::array();
        for (const auto& [port, p] : service.Printers())
            list.push_back({{"port", port}, {"queued", p->queue.Queued()}});
        Service::Reply(res, 200, {{"printers", list}});
    });

    server.Post(R"(/v1/printers/(\d+)/command)", [&service](const httplib::Request& req, httplib::Response& res) {
        Printer* p = PrinterOf(service, req, res);
        if (!p) return;
        json body;
        if (std::string why = ReadBody(req.body, {{"command", T::Text, true}}, &body); !why.empty())
            return Service::Reply(res, 400, ErrorBody("bad-request", why));
        const std::string command = FromUtf8(body["command"].get<std::string>());
        if (command.empty() || command.size() > MOLDRIN_COMMAND_MAX)
            return Service::Reply(res, 400, ErrorBody("bad-request", "'command' is 1 to 1500 characters"));
        RunKeyed(service, *p, req, res, body, false, [p, command, body] {
            const auto start = Clock::now();
            const int r = ECFWrite(command.c_str());
            char reply[MOLDRIN_REPLY_MAX] = {};
            ECFRead(reply, sizeof reply);
            JobOutcome o{200, {{"result", r}, {"reply", ToUtf8(reply)}}, MsSince(start)};
            Note(*p, "command", body, o.body);
            return o;
        });
    });

    server.Post(R"(/v1/printers/(\d+)/ops/([a-z-]+))", [&service](const httplib::Request& req, httplib::Response& res) {
        Printer* p = PrinterOf(service, req, res);
        if (!p) return;
        const std::string name = req.matches[2];
        const Operation* op = nullptr;
        for (const Operation& o : Operations())
            if (name == o.name) op = &o;
        if (!op) return Service::Reply(res, 404, ErrorBody("no-such-operation", "no operation '" + name + "'"));
        json body;
        if (std::string why = ReadBody(req.body, op->fields, &body); !why.empty())
            return Service::Reply(res, 400, ErrorBody("bad-request", why));
        // Settling sells nothing new; every other operation may.
        const bool sells = name != "settle";
        RunKeyed(service, *p, req, res, body, sells, [p, op, body] {
            MoldrinOpsResult r{};
            const auto start = Clock::now();
            const int code = op->run(body, &r);
            JobOutcome o{HttpStatusOf(code), ResultJson(code, r), MsSince(start)};
            Note(*p, op->name, body, o.body);
            return o;
        });
    });

    server.Get(R"(/v1/printers/(\d+)/status)", [&service](const httplib::Request& req, httplib::Response& res) {
        Printer* p = PrinterOf(service, req, res);
        if (!p) return;
        auto ticket = p->queue.SubmitStatusReading([] {
            MoldrinOpsStatus s{};
            MoldrinOpsResult r{};
            const auto start = Clock::now();
            const int code = MoldrinReadStatus(&s, &r);
            if (code != MOLDRIN_OPS_OK) return JobOutcome{HttpStatusOf(code), ResultJson(code, r), MsSince(start)};
            return JobOutcome{200, StatusJson(s), MsSince(start)};
        });
        if (!ticket) {
            res.set_header("Retry-After", "1");
            return Service::Reply(res, 503, ErrorBody("queue-full", "the printer's queue is full"));
        }
        JobOutcome outcome;
        if (!ticket->Wait(Clock::now() + service.Settings().requestWait, &outcome))
            return Service::Reply(res, 504, ErrorBody("still-running", "the printer has not answered yet"));
        Send(res, outcome);
    });

    server.Get(R"(/v1/printers/(\d+)/journal)", [&service](const httplib::Request& req, httplib::Response& res) {
        Printer* p = PrinterOf(service, req, res);
        if (!p) return;
        std::lock_guard lock(p->journalLock);
        json list = json::array();
        for (const json& e : p->journal) list.push_back(e);
        Service::Reply(res, 200, {{"entries", list}});
    });

    server.Get(R"(/v1/printers/(\d+)/operator)", [&service](const httplib::Request& req, httplib::Response& res) {
        if (!PrinterOf(service, req, res)) return;
        Service::Reply(res, 200, {{"open", service.Operator().Open()}});
    });
    server.Post(R"(/v1/printers/(\d+)/operator/(\d{1,12}))",
                [&service](const httplib::Request& req, httplib::Response& res) {
                    if (!PrinterOf(service, req, res)) return;
                    json answer = json::parse(req.body, nullptr, false);
                    if (answer.is_discarded())
                        return Service::Reply(res, 400, ErrorBody("bad-request", "the body is not JSON"));
                    int status = 200;
                    const std::string why =
                        service.Operator().Answer(std::stoull(std::string(req.matches[2])), answer, &status);
                    if (!why.empty())
                        return Service::Reply(res, status, ErrorBody(status == 404 ? "no-such-box" : "bad-request", why));
                    Service::Reply(res, 200, {{"taken", true}});
                });

    server.Get(R"(/v1/printers/(\d+)/events)", [&service](const httplib::Request& req, httplib::Response& res) {
        if (!PrinterOf(service, req, res)) return;
        auto sub = service.Operator().Subscribe();
        if (!sub)
            return Service::Reply(res, 503, ErrorBody("too-many-pages", "too many pages follow the events already"));
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [&service, sub](std::size_t, httplib::DataSink& sink) {
                if (service.Stopping() || sub->Closed()) return false;
                std::string text = sub->Next(Clock::now() + std::chrono::seconds(10));
                if (text.empty()) text = ": keep-alive\n\n";
                // A page that stops reading fails this write at the write time-out: it is dropped.
                return sink.write(text.data(), text.size());
            },
            [&service, sub](bool) { service.Operator().Unsubscribe(sub); });
    });
}

}  // namespace moldrin::serve
