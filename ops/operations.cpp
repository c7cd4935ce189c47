// The typed fiscal operations of moldrin_ops.h: arguments checked, the frame
// built from the shared layouts, sent through the exported calls, the reply read
// back; and a command whose reply was lost settled from the printer's status.
#include "moldrin_ops.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ops/command_layout.h"
#include "ops/operations.h"

namespace moldrin::ops {

// The structures' layout is part of the interface: the bindings spell it out member by
// member, and a 32-bit caller may pack by 4, 8 or 1. Every build checks it is the one
// that has no gap left to the compiler.
static_assert(offsetof(MoldrinOpsResult, printerCode) == 424 && offsetof(MoldrinOpsResult, subtotal) == 456 &&
              offsetof(MoldrinOpsResult, change) == 464 && sizeof(MoldrinOpsResult) == 472);
static_assert(offsetof(MoldrinOpsStatus, grandTotal) == 16 && offsetof(MoldrinOpsStatus, modelLetter) == 164 &&
              offsetof(MoldrinOpsStatus, extended) == 168 && offsetof(MoldrinOpsStatus, items) == 176 &&
              offsetof(MoldrinOpsStatus, subtotal) == 184 && offsetof(MoldrinOpsStatus, lastCommand) == 192 &&
              offsetof(MoldrinOpsStatus, paper) == 204 && sizeof(MoldrinOpsStatus) == 224);

namespace {

namespace L = layout;

constexpr unsigned kReplySize = MOLDRIN_REPLY_MAX;
// A status record that does not come is asked for again this many times: right
// after a lost reply the line may still be settling.
constexpr int kStatusTries = 3;
// A command the printer did not carry out is sent again at most this many times.
constexpr int kResends = 2;
constexpr std::size_t kTextMax = 480;

std::mutex g_mutex;

void Copy(char* to, std::size_t size, std::string_view from) {
    const std::size_t n = std::min(size - 1, from.size());
    std::memcpy(to, from.data(), n);
    to[n] = 0;
}

// Where an operation's outcome goes; a caller's null result is filled all the same.
class Outcome {
public:
    explicit Outcome(MoldrinOpsResult* r) : r_(r ? r : &own_) {
        *r_ = MoldrinOpsResult{};
        r_->printerCode = -1;
    }
    MoldrinOpsResult& operator*() { return *r_; }
    MoldrinOpsResult* operator->() { return r_; }
    int Done(int status, std::string_view reason = {}) {
        r_->status = status;
        if (!reason.empty()) Copy(r_->reason, sizeof r_->reason, reason);
        return status;
    }
    int BadArgument(const char* field, std::string_view why) {
        Copy(r_->field, sizeof r_->field, field);
        return Done(MOLDRIN_OPS_BAD_ARGUMENT, std::string(field) + ": " + std::string(why));
    }

private:
    MoldrinOpsResult own_{};
    MoldrinOpsResult* r_;
};

// One command through the exported calls. Nothing: no session.
std::optional<std::string> Send(const std::string& frame) {
    ECFWrite(frame.c_str());
    std::array<char, kReplySize> buffer{};
    if (ECFRead(buffer.data(), kReplySize) != 0) return std::nullopt;
    return std::string(buffer.data());
}

bool FullRecord(const std::string& r) { return r.size() == L::kRecordSize && r[0] == '.' && r[127] == '}'; }

// What the printer shows of its counters, totals and open document: enough to
// tell whether a command was carried out, and what it gave.
struct Snapshot {
    std::string s1, s2, s6, s7, s28;
    uint64_t Get(const std::string& record, L::Field f) const { return L::Number(record, f).value_or(0); }
    unsigned Coo() const { return static_cast<unsigned>(Get(s1, L::kS1Coo)); }
    unsigned Ccf() const { return static_cast<unsigned>(Get(s1, L::kS1Ccf)); }
    unsigned Gnf() const { return static_cast<unsigned>(Get(s1, L::kS1Gnf)); }
    unsigned Crz() const { return static_cast<unsigned>(Get(s1, L::kS1Crz)); }
    uint64_t Cancellations() const {
        return Get(s1, L::kS1CancelledT) + Get(s1, L::kS1CancelledT2) + Get(s2, L::kS2CancelledS) +
               Get(s2, L::kS2CancelledS2);
    }
    uint64_t Paid(int method) const { return Get(method <= 7 ? s6 : s7, L::PaymentTotal(method)); }
    unsigned Items() const { return static_cast<unsigned>(Get(s28, L::kS28Items)); }
    uint64_t Subtotal() const { return Get(s28, L::kS28Subtotal); }
    char State() const { return s28.size() > L::kS28State ? s28[L::kS28State] : ' '; }
    int Document() const {
        const std::string_view d = L::Text(s28, L::kS28Document);
        if (d == " VENDAS ") return MOLDRIN_DOCUMENT_COUPON;
        if (d == "NAO FISC") return MOLDRIN_DOCUMENT_NON_FISCAL;
        return MOLDRIN_DOCUMENT_NONE;
    }
    int LastCommand() const { return static_cast<int>(Get(s28, L::kS28LastCommand)); }
    unsigned ReplyCode() const { return static_cast<unsigned>(Get(s28, L::kS28ReplyCode)); }
    // The printer's last word was this command, carried out.
    bool Executed(int code) const { return LastCommand() == code && ReplyCode() == static_cast<unsigned>(code) && State() != 'E'; }
};

// The reply to the last status query that failed, for the reason of an error.
std::string g_lastStatusReply;

// A status record, asked again when it does not come whole.
std::optional<std::string> ReadStatus(const std::string& query, char family, char type) {
    for (int i = 0; i < kStatusTries; ++i) {
        auto r = Send(query);
        if (!r) return std::nullopt;
        g_lastStatusReply = *r;
        if (!FullRecord(*r) || (*r)[1] != '+') continue;
        if (family == '7' && ((*r)[2] != 'C' || (*r)[6] != type)) continue;
        if (family == '8' && std::string_view("CPE").find((*r)[L::kS28State]) == std::string_view::npos) continue;
        return r;
    }
    return std::nullopt;
}

// The records a command's settling needs.
std::optional<Snapshot> Take(int code, int method = 0) {
    Snapshot s;
    auto s1 = ReadStatus(L::Status27('1'), '7', '1');
    auto s28 = ReadStatus(L::Status28(), '8', 0);
    if (!s1 || !s28) return std::nullopt;
    s.s1 = *s1;
    s.s28 = *s28;
    if (code == L::kCancelItem || code == L::kCancelCoupon) {
        auto s2 = ReadStatus(L::Status27('2'), '7', '2');
        if (!s2) return std::nullopt;
        s.s2 = *s2;
    }
    if (code == L::kPayment) {
        const char type = L::PaymentTotalRecord(method);
        auto sp = ReadStatus(L::Status27(type), '7', type);
        if (!sp) return std::nullopt;
        (type == '6' ? s.s6 : s.s7) = *sp;
    }
    return s;
}

// A command sent, its reply lost: did the printer carry it out? Each command
// leaves a mark that only its execution makes.
struct Command {
    std::string frame;
    int code = 0;
    uint64_t amount = 0;
    int method = 0;
};

bool CarriedOut(const Command& c, const Snapshot& b, const Snapshot& a) {
    switch (c.code) {
        case L::kSellItem:
            return a.Document() == MOLDRIN_DOCUMENT_COUPON &&
                   a.Items() == (b.Document() == MOLDRIN_DOCUMENT_COUPON ? b.Items() : 0) + 1;
        case L::kItemDiscount:
        case L::kSubtotalDiscount: return b.Subtotal() >= c.amount && a.Subtotal() == b.Subtotal() - c.amount;
        case L::kSubtotalIncrease: return a.Subtotal() == b.Subtotal() + c.amount;
        case L::kCancelItem: return a.Cancellations() > b.Cancellations() || a.Subtotal() < b.Subtotal();
        case L::kCancelCoupon:
            // Two cancellations in a row cannot both succeed: the second has nothing left.
            if (b.Document() != MOLDRIN_DOCUMENT_NONE) return a.Document() == MOLDRIN_DOCUMENT_NONE && a.Ccf() == b.Ccf();
            return a.Executed(L::kCancelCoupon) && !b.Executed(L::kCancelCoupon);
        case L::kCloseCoupon:
        case L::kNonFiscalOperation: return b.Document() != MOLDRIN_DOCUMENT_NONE && a.Document() == MOLDRIN_DOCUMENT_NONE;
        case L::kOpenNonFiscal: return a.Gnf() != b.Gnf() && a.Document() == MOLDRIN_DOCUMENT_NON_FISCAL;
        case L::kOpenCoupon: return a.Ccf() != b.Ccf() && a.Document() == MOLDRIN_DOCUMENT_COUPON;
        case L::kPayment: return a.Paid(c.method) > b.Paid(c.method);
        case L::kXReading: return a.Coo() != b.Coo();
        case L::kZReduction: return a.Crz() != b.Crz();
        case L::kBuyer: return a.Executed(L::kBuyer);
        default: return false;
    }
}

// The printer refused the command whose reply was lost: its status names the
// command and shows the refusal.
bool RefusedIt(const Command& c, const Snapshot& b, const Snapshot& a) {
    return a.State() == 'E' && a.LastCommand() == c.code && a.s28.compare(0, 20, b.s28, 0, 20) != 0;
}

// The command left undecided: its frame and what the printer showed before it.
struct Pending {
    bool active = false;
    Command command;
    Snapshot before;
};
Pending g_pending;

const char* RefusalText(unsigned code) {
    switch (code) {
        case 10: return "a parameter is missing or not digits where digits belong";
        case 11: return "not allowed now (no document of that kind open, another one open, or the coupon past that step)";
        case 12: return "tax code not in the printer's rate table";
        case 13: return "item total differs from quantity x unit price";
        case 14: return "amount too large";
        case 15: return "no such item, or already cancelled";
        case 16: return "the coupon has 999 items already";
        case 17: return "payment method without a name in the printer";
        case 18: return "coupon not paid in full";
        case 19: return "nothing to cancel";
        case 20: return "the fiscal day of an earlier date is still open: Z reduction first";
        case 21: return "today's Z reduction is done: no sales until tomorrow";
        case 22: return "the item already has a discount";
        case 23: return "no such non-fiscal totalizer";
        default: return "refused by the printer";
    }
}

std::string ReasonOfReply(const std::string& reply) {
    if (reply.empty()) return "no reply; the traffic log (ECFPathLog) says why";
    if (reply == ".-P002}") return "the command did not reach the printer (" + reply + "); the traffic log (ECFPathLog) says why";
    if (reply == ".-P006}")
        return "no valid reply came (" + reply +
               "): the printer does not answer, or the fiscal capture could not read its status or find the "
               "application's registration (E00.BIN); the traffic log (ECFPathLog) says why";
    if (reply == ".-P666}") return "the fiscal capture could not take its lock (" + reply + ")";
    return "unexpected reply " + reply;
}

void Fill(Outcome& out, const Snapshot& a) {
    out->coo = a.Coo();
    out->ccf = a.Ccf();
    out->gnf = a.Gnf();
    out->crz = a.Crz();
    out->subtotal = static_cast<long long>(a.Subtotal());
}

void Succeed(Outcome& out, const Command& c, const Snapshot& b, const Snapshot& a, std::optional<unsigned> replyCode) {
    Fill(out, a);
    if (c.code == L::kSellItem) out->itemNumber = replyCode && *replyCode > 0 ? *replyCode - 1 : a.Items();
    if (c.code == L::kPayment) {
        const uint64_t kept = a.Paid(c.method) - std::min(a.Paid(c.method), b.Paid(c.method));
        out->change = static_cast<long long>(c.amount - std::min(c.amount, kept));
    }
    out.Done(MOLDRIN_OPS_OK);
}

// Settles the command left undecided. OK: settled (recovered tells how);
// UNDECIDED: still not; NO_SESSION.
int Settle(Outcome& out, bool* executed, Snapshot* after) {
    *executed = false;
    if (!g_pending.active) return MOLDRIN_OPS_OK;
    auto a = Take(g_pending.command.code, g_pending.command.method);
    if (!a) return MOLDRIN_OPS_UNDECIDED;
    *executed = CarriedOut(g_pending.command, g_pending.before, *a);
    if (*executed) out->recovered = 1;
    *after = *a;
    return MOLDRIN_OPS_OK;
}

int Undecided(Outcome& out, const Command& c, const Snapshot& before, const std::string& reply) {
    g_pending = {true, c, before};
    Copy(out->reply, sizeof out->reply, reply);
    return out.Done(MOLDRIN_OPS_UNDECIDED,
                    "the command was sent but its reply did not come, and the printer's status cannot be read to "
                    "tell whether it was carried out; call again (the same operation, or MoldrinOpsSettle) to "
                    "settle it: it will not be carried out twice");
}

// Sends one command exactly once.
int Run(Outcome& out, const Command& c) {
    std::optional<Snapshot> before;
    if (g_pending.active) {
        bool executed = false;
        Snapshot after;
        if (Settle(out, &executed, &after) != MOLDRIN_OPS_OK)
            return Undecided(out, g_pending.command, g_pending.before, ".-P006}");
        const bool same = g_pending.command.frame == c.frame;
        const Snapshot pendingBefore = g_pending.before;
        g_pending.active = false;
        if (same && executed) {
            Succeed(out, c, pendingBefore, after, std::nullopt);
            return MOLDRIN_OPS_OK;
        }
        // Settled: carried out (another operation's, done) or not (dropped, or
        // this very command, sent below).
        out->recovered = 0;
        if (same) before = after;
    }
    if (!before) before = Take(c.code, c.method);
    if (!before) {
        if (!Send(L::Status28())) return out.Done(MOLDRIN_OPS_NO_SESSION, "no session: ECFOpen first");
        Copy(out->reply, sizeof out->reply, g_lastStatusReply);
        return out.Done(MOLDRIN_OPS_NOT_DELIVERED, "nothing was sent: the printer's status cannot be read, " +
                                                       ReasonOfReply(g_lastStatusReply));
    }
    for (int attempt = 0;; ++attempt) {
        const auto reply = Send(c.frame);
        if (!reply) return out.Done(MOLDRIN_OPS_NO_SESSION, "no session: ECFOpen first");
        Copy(out->reply, sizeof out->reply, *reply);
        if (const auto parsed = L::ParseShortReply(*reply)) {
            out->printerCode = static_cast<int>(parsed->code);
            if (!parsed->accepted) {
                std::string why = "refused: " + *reply;
                if (reply->size() > 7 && (*reply)[6] != '}') why = "refused by the fiscal capture: " + reply->substr(6, reply->size() - 7);
                else why += std::string(" (") + RefusalText(parsed->code) + ")";
                return out.Done(MOLDRIN_OPS_REFUSED, why);
            }
            auto a = Take(c.code, c.method);
            if (a) Succeed(out, c, *before, *a, parsed->code);
            else out.Done(MOLDRIN_OPS_OK);
            return MOLDRIN_OPS_OK;
        }
        // No reply of the printer's: ask it what it did.
        auto a = Take(c.code, c.method);
        if (!a) return Undecided(out, c, *before, *reply);
        if (CarriedOut(c, *before, *a)) {
            out->recovered = 1;
            Succeed(out, c, *before, *a, std::nullopt);
            return MOLDRIN_OPS_OK;
        }
        if (RefusedIt(c, *before, *a)) {
            out->printerCode = static_cast<int>(a->ReplyCode());
            return out.Done(MOLDRIN_OPS_REFUSED, std::string("refused (its reply was lost; the printer's status says ") +
                                                     RefusalText(a->ReplyCode()) + ")");
        }
        if (attempt >= kResends) return out.Done(MOLDRIN_OPS_NOT_DELIVERED, ReasonOfReply(*reply));
        ++out->resent;
        before = a;
    }
}

// Settles a command left undecided before an operation of several commands
// begins: OK, or UNDECIDED when the printer still cannot say.
int SettleFirst(Outcome& out) {
    if (!g_pending.active) return MOLDRIN_OPS_OK;
    bool executed = false;
    Snapshot after;
    if (Settle(out, &executed, &after) != MOLDRIN_OPS_OK)
        return Undecided(out, g_pending.command, g_pending.before, ".-P006}");
    g_pending.active = false;
    out->recovered = 0;
    return MOLDRIN_OPS_OK;
}

// Checks of the arguments.
bool Printable(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c >= 0x20 && c != '}' && c != 0x7F;
    });
}
bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}
std::string_view View(const char* s) { return s ? std::string_view(s) : std::string_view(); }

int CheckBuyer(Outcome& out, std::string_view buyer, bool required) {
    if (buyer.empty() && !required) return MOLDRIN_OPS_OK;
    if (!AllDigits(buyer) || (buyer.size() != 11 && buyer.size() != 14))
        return out.BadArgument("buyer", "a CPF of 11 digits or a CNPJ of 14 digits, digits only");
    return MOLDRIN_OPS_OK;
}

int CheckAmount(Outcome& out, const char* field, long long amount, long long max) {
    if (amount < 1 || amount > max)
        return out.BadArgument(field, "1 to " + std::to_string(max) + " (cents), got " + std::to_string(amount));
    return MOLDRIN_OPS_OK;
}

int CheckText(Outcome& out, const char* field, std::string_view text, std::size_t max) {
    if (text.size() > max) return out.BadArgument(field, "at most " + std::to_string(max) + " characters");
    if (!Printable(text)) return out.BadArgument(field, "no control characters and no \"}\"");
    return MOLDRIN_OPS_OK;
}

// A model with the extended status lays the discounts out differently.
std::optional<bool> ExtendedModel() {
    auto g = ReadStatus(L::Status27('G'), '7', 'G');
    if (!g) return std::nullopt;
    if ((*g)[L::kSGExtendedDigit] >= '0' && (*g)[L::kSGExtendedDigit] <= '9') return true;
    auto typed = Send("\x1B.28C}");
    if (!typed) return std::nullopt;
    return FullRecord(*typed) && (*typed)[2] == 'C' &&
           std::string_view("CPE").find((*typed)[L::kS28State]) == std::string_view::npos;
}

int Discount(Outcome& out, int code, long long amount, long long max, const char* field) {
    if (CheckAmount(out, field, amount, max)) return out->status;
    const auto extended = ExtendedModel();
    if (!extended) return out.Done(MOLDRIN_OPS_NOT_DELIVERED, "the printer's model cannot be read, so nothing was sent");
    const auto a = static_cast<uint64_t>(amount);
    return Run(out, {L::Discount(code, a, *extended), code, a, 0});
}

// The unit marker of a unit and its price's decimals, and whether the unit has one.
std::optional<std::string> Marker(std::string_view unit, int decimals) {
    std::string u(unit);
    std::transform(u.begin(), u.end(), u.begin(), [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    const bool three = decimals == 3;
    if (u == "un") return three ? "~" : "";
    if (u == "kg") return three ? ">" : "!";
    if (u == "m") return three ? "|" : ")";
    if (u == "l") return three ? "]" : "@";
    return std::nullopt;
}

}  // namespace

void ForgetUndecided() {
    std::lock_guard lock(g_mutex);
    g_pending = Pending{};
}

}  // namespace moldrin::ops

using namespace moldrin::ops;
namespace L = moldrin::ops::layout;

extern "C" {

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinOpenCoupon(const char* buyer, MoldrinOpsResult* result) {
    Outcome out(result);
    if (CheckBuyer(out, View(buyer), false)) return out->status;
    std::lock_guard lock(g_mutex);
    return Run(out, {L::OpenCoupon(View(buyer)), L::kOpenCoupon, 0, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSetBuyer(const char* buyer, MoldrinOpsResult* result) {
    Outcome out(result);
    if (CheckBuyer(out, View(buyer), true)) return out->status;
    std::lock_guard lock(g_mutex);
    return Run(out, {L::Buyer(View(buyer)), L::kBuyer, 0, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSellItem(const char* code, const char* description, long long quantity,
                                                    const char* unit, long long unitPrice, int priceDecimals,
                                                    const char* taxCode, MoldrinOpsResult* result) {
    Outcome out(result);
    const std::string_view c = View(code), d = View(description), t = View(taxCode);
    if (c.empty() || c.size() > L::kItemCode.width || !Printable(c))
        return out.BadArgument("code", "1 to 13 characters, no control characters and no \"}\"");
    if (d.empty() || d.size() > 63 || !Printable(d))
        return out.BadArgument("description", "1 to 63 characters, no control characters and no \"}\"");
    if (quantity < 1 || quantity > 9999999)
        return out.BadArgument("quantity", "1 to 9999999 (thousandths), got " + std::to_string(quantity));
    if (priceDecimals != 2 && priceDecimals != 3) return out.BadArgument("decimals", "2 or 3");
    const auto marker = Marker(View(unit), priceDecimals);
    if (!marker) return out.BadArgument("unit", "\"un\", \"Kg\", \"m\" or \"l\"");
    if (marker->empty() && L::UnitMarker(d[0]))
        return out.BadArgument("description", std::string("may not begin with \"") + d[0] +
                                                  "\", the printer takes it for a unit");
    if (unitPrice < 1 || unitPrice > 99999999)
        return out.BadArgument("price", "1 to 99999999, got " + std::to_string(unitPrice));
    const bool taxed = t.size() == 3 && (t[0] == 'T' || t[0] == 'S') && AllDigits(t.substr(1));
    const bool untaxed = t.size() == 1 && (t[0] == 'I' || t[0] == 'N' || t[0] == 'F');
    if (!taxed && !untaxed) return out.BadArgument("tax", "\"T01\" to \"T99\", \"S01\" to \"S99\", \"I\", \"N\" or \"F\"");
    const auto q = static_cast<uint64_t>(quantity), p = static_cast<uint64_t>(unitPrice);
    const uint64_t total = L::ItemTotal(q, p, priceDecimals == 3);
    if (total < 1) return out.BadArgument("price", "quantity x price comes to less than a cent");
    if (total >= L::kItemTotalLimit) return out.BadArgument("price", "quantity x price is more than the printer counts");
    std::lock_guard lock(g_mutex);
    const Command item{L::SellItem(c, q, p, *marker + std::string(d), t), L::kSellItem, total, 0};
    // The fiscal file knows a coupon begun by its first item only from that
    // item's reply: were it lost, the coupon would be missing from the file.
    // A coupon opened on its own is known from the printer's status as well.
    if (!g_pending.active || g_pending.command.frame != item.frame) {
        if (SettleFirst(out) != MOLDRIN_OPS_OK) return out->status;
        const auto s = ReadStatus(L::Status28(), '8', 0);
        if (s && Snapshot{"", "", "", "", *s}.Document() == MOLDRIN_DOCUMENT_NONE) {
            if (Run(out, {L::OpenCoupon(""), L::kOpenCoupon, 0, 0}) != MOLDRIN_OPS_OK) return out->status;
        }
    }
    return Run(out, item);
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinItemDiscount(long long amount, MoldrinOpsResult* result) {
    Outcome out(result);
    std::lock_guard lock(g_mutex);
    return Discount(out, L::kItemDiscount, amount, static_cast<long long>(L::kItemDiscountLimit) - 1, "amount");
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinCancelItem(int itemNumber, MoldrinOpsResult* result) {
    Outcome out(result);
    if (itemNumber < 0 || itemNumber > static_cast<int>(L::kMaxItems))
        return out.BadArgument("item", "1 to 999, or 0 for the last item");
    std::lock_guard lock(g_mutex);
    return Run(out, {L::CancelItem(static_cast<unsigned>(itemNumber)), L::kCancelItem, 0, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSubtotalDiscount(long long amount, MoldrinOpsResult* result) {
    Outcome out(result);
    std::lock_guard lock(g_mutex);
    return Discount(out, L::kSubtotalDiscount, amount, 999999999999LL, "amount");
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinSubtotalIncrease(long long amount, MoldrinOpsResult* result) {
    Outcome out(result);
    if (CheckAmount(out, "amount", amount, 99999999999LL)) return out->status;
    std::lock_guard lock(g_mutex);
    const auto a = static_cast<uint64_t>(amount);
    return Run(out, {L::SubtotalIncrease(a), L::kSubtotalIncrease, a, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinPay(int method, long long amount, MoldrinOpsResult* result) {
    Outcome out(result);
    if (method < 1 || method > 10) return out.BadArgument("method", "1 to 10, got " + std::to_string(method));
    if (CheckAmount(out, "amount", amount, 999999999999LL)) return out->status;
    std::lock_guard lock(g_mutex);
    const auto a = static_cast<uint64_t>(amount);
    return Run(out, {L::Payment(method, a), L::kPayment, a, method});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinCloseCoupon(const char* message, MoldrinOpsResult* result) {
    Outcome out(result);
    if (CheckText(out, "message", View(message), kTextMax)) return out->status;
    std::lock_guard lock(g_mutex);
    return Run(out, {L::CloseCoupon(View(message)), L::kCloseCoupon, 0, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinCancelCoupon(MoldrinOpsResult* result) {
    Outcome out(result);
    std::lock_guard lock(g_mutex);
    return Run(out, {L::CancelCoupon(), L::kCancelCoupon, 0, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinNonFiscalReceipt(int totalizer, int method, long long amount,
                                                            const char* text, MoldrinOpsResult* result) {
    Outcome out(result);
    if (totalizer < 1 || totalizer > 51) return out.BadArgument("totalizer", "1 to 51, got " + std::to_string(totalizer));
    if (method < 1 || method > 10) return out.BadArgument("method", "1 to 10, got " + std::to_string(method));
    if (CheckAmount(out, "amount", amount, 999999999999LL)) return out->status;
    if (CheckText(out, "text", View(text), kTextMax)) return out->status;
    std::lock_guard lock(g_mutex);
    // A receipt already open (its opening settled earlier) is not opened again.
    const Command open{L::OpenNonFiscal(), L::kOpenNonFiscal, 0, 0};
    bool opened = false;
    if (!g_pending.active || g_pending.command.frame != open.frame) {
        if (SettleFirst(out) != MOLDRIN_OPS_OK) return out->status;
        const auto s = ReadStatus(L::Status28(), '8', 0);
        opened = s && Snapshot{"", "", "", "", *s}.Document() == MOLDRIN_DOCUMENT_NON_FISCAL;
    }
    if (!opened && Run(out, open) != MOLDRIN_OPS_OK) return out->status;
    const bool recovered = out->recovered;
    Outcome step(&*out);
    const auto a = static_cast<uint64_t>(amount);
    const int r = Run(step, {L::NonFiscalOperation(totalizer, method, a, View(text)), L::kNonFiscalOperation, a, method});
    if (recovered) out->recovered = 1;
    return r;
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinXReading(MoldrinOpsResult* result) {
    Outcome out(result);
    std::lock_guard lock(g_mutex);
    return Run(out, {L::XReading(), L::kXReading, 0, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinZReduction(MoldrinOpsResult* result) {
    Outcome out(result);
    std::lock_guard lock(g_mutex);
    return Run(out, {L::ZReduction(), L::kZReduction, 0, 0});
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinOpsSettle(MoldrinOpsResult* result) {
    Outcome out(result);
    std::lock_guard lock(g_mutex);
    if (!g_pending.active) return out.Done(MOLDRIN_OPS_OK);
    bool executed = false;
    Snapshot after;
    if (Settle(out, &executed, &after) != MOLDRIN_OPS_OK)
        return Undecided(out, g_pending.command, g_pending.before, ".-P006}");
    g_pending.active = false;
    Fill(out, after);
    out->recovered = executed;
    return out.Done(MOLDRIN_OPS_OK);
}

MOLDRIN_OPS_API int MOLDRIN_STDCALL MoldrinReadStatus(MoldrinOpsStatus* status, MoldrinOpsResult* result) {
    Outcome out(result);
    if (!status) return out.BadArgument("status", "a structure to fill");
    *status = MoldrinOpsStatus{};
    std::lock_guard lock(g_mutex);
    std::array<std::string, 7> r;
    const char types[] = {'1', '2', '3', '6', '7', 'F', 'G'};
    for (std::size_t i = 0; i < r.size(); ++i) {
        auto s = ReadStatus(L::Status27(types[i]), '7', types[i]);
        if (!s) {
            if (!Send(L::Status28())) return out.Done(MOLDRIN_OPS_NO_SESSION, "no session: ECFOpen first");
            return out.Done(MOLDRIN_OPS_NOT_DELIVERED, std::string("status 27 ") + types[i] + " cannot be read");
        }
        r[i] = *s;
    }
    auto s28 = ReadStatus(L::Status28(), '8', 0);
    if (!s28) return out.Done(MOLDRIN_OPS_NOT_DELIVERED, "status 28 cannot be read");
    const Snapshot snap{r[0], r[1], r[3], r[4], *s28};
    auto get = [](const std::string& rec, L::Field f) { return static_cast<long long>(L::Number(rec, f).value_or(0)); };
    status->coo = snap.Coo();
    status->ccf = snap.Ccf();
    status->gnf = snap.Gnf();
    status->crz = snap.Crz();
    status->grandTotal = get(r[0], L::kS1GrandTotal);
    status->grossDailySale = get(r[0], L::kS1GrossDailySale);
    status->cancellations = static_cast<long long>(snap.Cancellations());
    status->discounts = get(r[0], L::kS1DiscountT) + get(r[1], L::kS2DiscountS);
    status->increases = get(r[5], L::kSFIncreaseT) + get(r[5], L::kSFIncreaseS);
    for (int m = 1; m <= 10; ++m) status->payments[m - 1] = static_cast<long long>(snap.Paid(m));
    Copy(status->fiscalDate, sizeof status->fiscalDate, L::Text(r[0], L::kS1FiscalDate));
    Copy(status->clock, sizeof status->clock, L::Text(*s28, L::kS28Clock));
    Copy(status->factoryNumber, sizeof status->factoryNumber, L::Text(r[2], L::kS3Factory));
    status->modelLetter = r[0][L::kS1ModelLetter];
    status->extended = r[6][L::kSGExtendedDigit] >= '0' && r[6][L::kSGExtendedDigit] <= '9';
    status->document = snap.Document();
    status->items = status->document == MOLDRIN_DOCUMENT_COUPON ? snap.Items() : 0;
    status->subtotal = static_cast<long long>(snap.Subtotal());
    status->lastCommand = snap.LastCommand();
    status->lastRefused = snap.State() == 'E';
    status->lastReplyCode = snap.ReplyCode();
    if (auto paper = Send(L::Status23())) Copy(status->paper, sizeof status->paper, *paper);
    Fill(out, snap);
    return out.Done(MOLDRIN_OPS_OK);
}

MOLDRIN_OPS_API const char* MOLDRIN_STDCALL MoldrinOpsResultText(int status) {
    switch (status) {
        case MOLDRIN_OPS_OK: return "done";
        case MOLDRIN_OPS_NO_SESSION: return "no session: ECFOpen first";
        case MOLDRIN_OPS_BAD_ARGUMENT: return "an argument is out of range; nothing was sent";
        case MOLDRIN_OPS_REFUSED: return "the printer or the fiscal capture refused the command";
        case MOLDRIN_OPS_NOT_DELIVERED: return "the printer did not take the command";
        case MOLDRIN_OPS_UNDECIDED:
            return "the reply was lost and the printer cannot say yet whether it carried the command out: call again";
        default: return "unknown result";
    }
}

}  // extern "C"
