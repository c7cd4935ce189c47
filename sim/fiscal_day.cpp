// The simulated printer's fiscal day: each sale, document and closing command
// checked and applied to the figures, as command_set.md defines them. Framing is the model's.
#include "sim/fiscal_day.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "ops/command_layout.h"
#include "sim/printer_state.h"

namespace moldrin::sim {

namespace {

namespace layout = ops::layout;
using layout::Number;

// Refusal codes of the printer (".-00nn}").
enum Refusal : unsigned {
    kMalformed = 10,
    kWrongState = 11,
    kUnknownTax = 12,
    kWrongTotal = 13,
    kTooLarge = 14,
    kNoSuchItem = 15,
    kItemLimit = 16,
    kNoPaymentMethod = 17,
    kNotPaid = 18,
    kNothingToCancel = 19,
    kReductionPending = 20,
    kDayClosed = 21,
    kAlreadyDiscounted = 22,
    kNoTotalizer = 23,
};

using layout::kItemDiscountLimit;
using layout::kItemTotalLimit;
using layout::kMaxItems;

std::string Reply(char sign, unsigned code) {
    char b[16];
    std::snprintf(b, sizeof b, ".%c%04u}", sign, code % 10000);
    return b;
}

int Code(std::string_view frame) {
    if (frame.size() < 5 || frame[0] != 0x1B || frame[1] != '.') return -1;
    const char a = frame[2], b = frame[3];
    if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
    return (a - '0') * 10 + (b - '0');
}

// The parameter at [at, at + n), which must lie before the closing "}".
std::optional<uint64_t> Number(std::string_view frame, std::size_t at, std::size_t n) {
    if (at + n >= frame.size()) return std::nullopt;
    uint64_t v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (frame[i] < '0' || frame[i] > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(frame[i] - '0');
    }
    return v;
}

char At(std::string_view frame, std::size_t i) { return i < frame.size() ? frame[i] : '}'; }

// DDMMYY as YYMMDD, so that dates compare as texts.
std::string Ordered(const std::string& ddmmyy) {
    if (ddmmyy.size() < 6) return {};
    return ddmmyy.substr(4, 2) + ddmmyy.substr(2, 2) + ddmmyy.substr(0, 2);
}

std::string ClockDate(const PrinterState& s) { return s.clock.substr(0, 6); }

void Sub(uint64_t& total, uint64_t v) { total -= std::min(total, v); }

uint64_t& TaxTotal(FiscalFigures& f, const SaleItem& item) {
    switch (item.tax) {
        case kTaxExempt: return f.taxExempt;
        case kTaxNotTaxed: return f.notTaxed;
        case kTaxSubstituted: return f.substituted;
        default: return f.taxTotals[static_cast<std::size_t>(item.tax)];
    }
}

uint64_t Subtotal(const OpenDocument& d) {
    uint64_t sum = 0;
    for (const SaleItem& item : d.items)
        if (!item.cancelled) sum += item.Net();
    return sum;
}

// The totalizer of a tax code: a "T" or "S" entry of the rate table, or "I", "N", "F".
std::optional<SaleItem> TaxOf(const PrinterState& s, std::string_view code) {
    SaleItem item;
    switch (code[0]) {
        case 'I': item.tax = kTaxExempt; return item;
        case 'N': item.tax = kTaxNotTaxed; return item;
        case 'F': item.tax = kTaxSubstituted; return item;
        case 'T': case 'S': break;
        default: return std::nullopt;
    }
    for (std::size_t i = 0; i < s.taxEntries.size(); ++i) {
        if (s.taxEntries[i].size() >= 3 && s.taxEntries[i].compare(0, 3, code.substr(0, 3)) == 0) {
            item.tax = static_cast<int>(i);
            item.service = code[0] == 'S';
            return item;
        }
    }
    return std::nullopt;
}

// a × b / c for amounts whose product may not fit 64 bits.
uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
#ifdef __SIZEOF_INT128__
    return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b / c);
#else
    return static_cast<uint64_t>(static_cast<long double>(a) * static_cast<long double>(b) / static_cast<long double>(c));
#endif
}

// A subtotal discount or increase is spread over the live items in proportion
// to their value; what the division leaves goes to the last of them.
void Spread(PrinterState& s, uint64_t amount, bool increase) {
    OpenDocument& d = s.day.doc;
    const uint64_t base = Subtotal(d);
    SaleItem* last = nullptr;
    uint64_t given = 0;
    std::vector<uint64_t> shares(d.items.size(), 0);
    for (std::size_t i = 0; i < d.items.size(); ++i) {
        if (d.items[i].cancelled || d.items[i].Net() == 0) continue;
        shares[i] = std::min(MulDiv(amount, d.items[i].Net(), base), amount - given);
        given += shares[i];
        last = &d.items[i];
    }
    shares[static_cast<std::size_t>(last - d.items.data())] += amount - given;
    FiscalFigures& f = s.fiscal;
    for (std::size_t i = 0; i < d.items.size(); ++i) {
        SaleItem& item = d.items[i];
        if (shares[i] == 0) continue;
        if (increase) {
            item.increaseShare += shares[i];
            TaxTotal(f, item) += shares[i];
            (item.service ? f.increaseS : f.increaseT) += shares[i];
        } else {
            item.discountShare += shares[i];
            Sub(TaxTotal(f, item), shares[i]);
            (item.service ? f.discountS : f.discountT) += shares[i];
        }
    }
}

// Takes a coupon's figures back out of the day: its items' values go to the
// cancellation totalizers and its payments leave the payment totalizers.
void CancelSale(PrinterState& s, const OpenDocument& d) {
    FiscalFigures& f = s.fiscal;
    for (const SaleItem& item : d.items) {
        if (item.cancelled) continue;
        Sub(TaxTotal(f, item), item.Net());
        (item.service ? f.cancelledS : f.cancelledT) += item.total - item.discount - item.discountShare;
        (item.service ? f.cancelledS2 : f.cancelledT2) += item.increaseShare;
    }
    for (std::size_t m = 0; m < d.paid.size(); ++m) Sub(f.paymentTotals[m], d.paid[m]);
}

// A document that moves money opens the fiscal day at the clock's date, and is
// refused while the day of an earlier date waits for its Z reduction, or when
// today's Z reduction has been made already.
unsigned DayRefusal(const PrinterState& s) {
    const std::string today = Ordered(ClockDate(s));
    if (s.day.open) return today == Ordered(s.fiscalDate) ? 0u : unsigned{kReductionPending};
    if (!s.day.lastZDate.empty() && today <= Ordered(s.day.lastZDate)) return kDayClosed;
    return 0;
}

void OpenDay(PrinterState& s) {
    if (s.day.open) return;
    s.day.open = true;
    s.fiscalDate = ClockDate(s);
}

void Count(unsigned& counter) { counter = (counter + 1) % 10000; }

// Every document the printer issues counts in COO and in the counter of its
// kind (CCF, GNF or CRZ), and ends the chance to cancel the last coupon.
void Issue(PrinterState& s, unsigned& kindCounter) {
    Count(s.fiscal.coo);
    Count(kindCounter);
    s.day.lastCoupon.reset();
}

void OpenSale(PrinterState& s, std::string buyer) {
    OpenDay(s);
    Issue(s, s.fiscal.ccf);
    s.day.doc = OpenDocument{};
    s.day.doc.kind = Document::Sale;
    s.day.doc.buyer = std::move(buyer);
}

std::string DigitsOf(std::string_view text, std::size_t from, std::size_t width) {
    std::string out;
    for (std::size_t i = from; i < from + width && i < text.size() && text[i] != '}'; ++i)
        if (std::isdigit(static_cast<unsigned char>(text[i]))) out += text[i];
    return out;
}

bool IsOverLine(char c) { return c == '|' || c == '#'; }

// Each command's rules; the answer code, or a refusal as a negative number.
using Outcome = long;
Outcome Refuse(unsigned code) { return -static_cast<long>(code); }

Outcome Item(PrinterState& s, std::string_view f) {
    if (f.size() < layout::kItemMinSize) return Refuse(kMalformed);
    const auto quantity = Number(f, layout::kItemQuantity), price = Number(f, layout::kItemPrice),
               total = Number(f, layout::kItemTotal);
    if (!quantity || !price || !total || *quantity == 0) return Refuse(kMalformed);
    // The unit marker says how many decimals the unit price has; the printer truncates.
    const bool threeDecimals = layout::ThreeDecimalMarker(f[layout::kItemDescription.at]);
    if (*total != layout::ItemTotal(*quantity, *price, threeDecimals)) return Refuse(kWrongTotal);
    if (*total >= kItemTotalLimit) return Refuse(kTooLarge);
    auto item = TaxOf(s, f.substr(layout::kItemTax.at, layout::kItemTax.width));
    if (!item) return Refuse(kUnknownTax);
    OpenDocument& d = s.day.doc;
    if (d.kind == Document::None) {
        if (unsigned r = DayRefusal(s)) return Refuse(r);
    } else if (d.kind != Document::Sale || d.phase != SalePhase::Items) {
        return Refuse(kWrongState);
    } else if (d.items.size() >= kMaxItems) {
        return Refuse(kItemLimit);
    }
    if (d.kind == Document::None) OpenSale(s, {});
    item->total = *total;
    d.items.push_back(*item);
    TaxTotal(s.fiscal, *item) += *total;
    s.grandTotal += *total;
    s.fiscal.grossDailySale += *total;
    return static_cast<Outcome>(d.items.size() + 1);  // the number the next item will have
}

// Discount amounts sit 4 places further on the basic models.
std::optional<uint64_t> DiscountAmount(const PrinterState& s, std::string_view f) {
    return Number(f, layout::DiscountAmount(ExtendedModel(s)));
}

bool Selling(const OpenDocument& d) { return d.kind == Document::Sale && d.phase == SalePhase::Items; }

Outcome ItemDiscount(PrinterState& s, std::string_view f) {
    const auto amount = DiscountAmount(s, f);
    if (!amount || *amount == 0) return Refuse(kMalformed);
    OpenDocument& d = s.day.doc;
    if (!Selling(d) || d.items.empty()) return Refuse(kWrongState);
    SaleItem& item = d.items.back();
    if (item.cancelled) return Refuse(kNoSuchItem);
    if (item.discount != 0) return Refuse(kAlreadyDiscounted);
    if (*amount >= item.total || *amount >= kItemDiscountLimit) return Refuse(kTooLarge);
    item.discount = *amount;
    Sub(TaxTotal(s.fiscal, item), *amount);
    (item.service ? s.fiscal.discountS : s.fiscal.discountT) += *amount;
    return 2;
}

// Subtotal discounts and the increase end the registration of items.
Outcome SubtotalAdjustment(PrinterState& s, std::string_view f, bool increase) {
    const auto amount = increase ? Number(f, layout::kIncreaseAmount) : DiscountAmount(s, f);
    if (!amount || *amount == 0) return Refuse(kMalformed);
    OpenDocument& d = s.day.doc;
    if (d.kind != Document::Sale || d.phase == SalePhase::Paid || d.tendered != 0) return Refuse(kWrongState);
    if (increase && d.increase != 0) return Refuse(kWrongState);
    const uint64_t subtotal = Subtotal(d);
    if (subtotal == 0) return Refuse(kWrongState);
    if (!increase && *amount >= subtotal) return Refuse(kTooLarge);
    Spread(s, *amount, increase);
    if (increase) {
        d.increase += *amount;
        s.grandTotal += *amount;
        s.fiscal.grossDailySale += *amount;
    } else {
        d.discount += *amount;
    }
    d.phase = SalePhase::Totalized;
    return increase ? 11 : 3;
}

Outcome ItemCancel(PrinterState& s, std::string_view f) {
    OpenDocument& d = s.day.doc;
    if (!Selling(d) || d.items.empty()) return Refuse(kWrongState);
    std::size_t index = d.items.size() - 1;
    if (const auto number = Number(f, layout::kCancelItemNumber)) {
        if (*number == 0 || *number > d.items.size()) return Refuse(kNoSuchItem);
        index = static_cast<std::size_t>(*number - 1);
    }
    SaleItem& item = d.items[index];
    if (item.cancelled) return Refuse(kNoSuchItem);
    Sub(TaxTotal(s.fiscal, item), item.Net());
    (item.service ? s.fiscal.cancelledS : s.fiscal.cancelledT) += item.Net();
    item.cancelled = true;
    return 4;
}

Outcome CouponCancel(PrinterState& s) {
    OpenDocument& d = s.day.doc;
    if (d.kind == Document::Sale) {
        CancelSale(s, d);
    } else if (d.kind == Document::NonFiscal) {
        // Nothing was registered yet: the receipt just ends.
    } else if (s.day.lastCoupon) {
        CancelSale(s, *s.day.lastCoupon);
        s.day.lastCoupon.reset();
        return 5;
    } else {
        return Refuse(kNothingToCancel);
    }
    d = OpenDocument{};
    return 5;
}

Outcome CouponClose(PrinterState& s) {
    OpenDocument& d = s.day.doc;
    if (d.kind != Document::Sale) return Refuse(kWrongState);
    if (d.phase != SalePhase::Paid) return Refuse(kNotPaid);
    s.day.lastCoupon = d;
    d = OpenDocument{};
    return 6;
}

Outcome OpenNonFiscal(PrinterState& s) {
    if (s.day.doc.kind != Document::None) return Refuse(kWrongState);
    if (unsigned r = DayRefusal(s)) return Refuse(r);
    OpenDay(s);
    Issue(s, s.fiscal.gnf);
    s.day.doc.kind = Document::NonFiscal;
    return 7;
}

Outcome BuyerInCoupon(PrinterState& s, std::string_view f) {
    if (s.day.doc.kind != Document::Sale) return Refuse(kWrongState);
    s.day.doc.buyer = DigitsOf(f, layout::kBuyerDigits.at, layout::kBuyerDigits.width);
    return 9;
}

std::optional<std::size_t> PaymentMethod(const PrinterState& s, std::string_view f, std::size_t at, unsigned* refusal) {
    const auto method = Number(f, at, 2);
    if (!method || *method < 1 || *method > 10) {
        *refusal = kMalformed;
        return std::nullopt;
    }
    const auto m = static_cast<std::size_t>(*method - 1);
    if (s.fiscal.paymentNames[m].find_first_not_of(' ') == std::string::npos) {
        *refusal = kNoPaymentMethod;
        return std::nullopt;
    }
    return m;
}

// A payment above what is still due gives change, taken off the method that
// overpaid, so that the payment totalizers hold what the till keeps.
Outcome Payment(PrinterState& s, std::string_view f) {
    unsigned refusal = 0;
    const auto method = PaymentMethod(s, f, layout::kPaymentMethod.at, &refusal);
    if (!method) return Refuse(refusal);
    const auto amount = Number(f, layout::kPaymentAmount);
    if (!amount || *amount == 0) return Refuse(kMalformed);
    OpenDocument& d = s.day.doc;
    if (d.kind != Document::Sale || d.phase == SalePhase::Paid) return Refuse(kWrongState);
    const uint64_t due = Subtotal(d);
    if (due == 0) return Refuse(kWrongState);
    d.phase = SalePhase::Totalized;
    uint64_t kept = *amount;
    d.tendered += *amount;
    if (d.tendered >= due) {
        kept -= d.tendered - due;
        d.phase = SalePhase::Paid;
    }
    d.paid[*method] += kept;
    s.fiscal.paymentTotals[*method] += kept;
    return 10;
}

uint64_t* NonFiscalTotalizer(FiscalFigures& f, uint64_t number) {
    if (number >= 1 && number <= 2) return &f.nonFiscalTotals[number - 1];
    if (number >= 3 && number <= 51) return &f.moreTotals[(number - 3) / 7][(number - 3) % 7];
    return nullptr;
}

Outcome NonFiscalOperation(PrinterState& s, std::string_view f) {
    const auto number = Number(f, layout::kNonFiscalTotalizer);
    if (!number) return Refuse(kMalformed);
    unsigned refusal = 0;
    const auto method = PaymentMethod(s, f, layout::kNonFiscalMethod.at, &refusal);
    if (!method) return Refuse(refusal);
    const auto amount = Number(f, layout::kNonFiscalAmount);
    if (!amount || *amount == 0) return Refuse(kMalformed);
    uint64_t* totalizer = NonFiscalTotalizer(s.fiscal, *number);
    if (!totalizer) return Refuse(kNoTotalizer);
    if (s.day.doc.kind != Document::NonFiscal) return Refuse(kWrongState);
    *totalizer += *amount;
    s.fiscal.paymentTotals[*method] += *amount;
    s.fiscal.lastNonFiscal = *amount;
    s.day.doc = OpenDocument{};
    return 12;
}

// Readings and reports: a document of their own unless sent back over the line.
Outcome Report(PrinterState& s, std::string_view f, int code) {
    if (s.day.doc.kind != Document::None) return Refuse(kWrongState);
    switch (code) {
        case 13:
            if (IsOverLine(At(f, 4))) return code;
            break;
        case 15:
            if (!Number(f, 4, 8)) return Refuse(kMalformed);
            if (IsOverLine(At(f, 12))) return code;
            break;
        case 16:
            if (!Number(f, 4, 12)) return Refuse(kMalformed);
            if (IsOverLine(At(f, 16))) return code;
            break;
        default: break;
    }
    Issue(s, s.fiscal.gnf);
    return code;
}

Outcome OpenCoupon(PrinterState& s, std::string_view f) {
    OpenDocument& d = s.day.doc;
    // A coupon opened and left empty is cancelled by the next opening.
    const bool replaceEmpty = d.kind == Document::Sale && d.items.empty();
    if (d.kind != Document::None && !replaceEmpty) return Refuse(kWrongState);
    if (unsigned r = DayRefusal(s)) return Refuse(r);
    if (replaceEmpty) CancelSale(s, d);
    OpenSale(s, DigitsOf(f, layout::kOpenCouponBuyer.at, layout::kOpenCouponBuyer.width));
    return 1;
}

// The daily figures go back to zero; counters and the grand total stay.
void ClearDay(FiscalFigures& f) {
    f.grossDailySale = f.cancelledT = f.cancelledT2 = f.discountT = 0;
    f.cancelledS = f.cancelledS2 = f.discountS = 0;
    f.taxExempt = f.notTaxed = f.substituted = 0;
    f.taxTotals.fill(0);
    f.paymentTotals.fill(0);
    f.nonFiscalTotals.fill(0);
    for (auto& totals : f.moreTotals) totals.fill(0);
    f.increaseT = f.increaseS = 0;
    f.subtotal = f.lastNonFiscal = 0;
}

Outcome Reduction(PrinterState& s) {
    if (s.day.doc.kind != Document::None) return Refuse(kWrongState);
    if (!s.day.open) {
        // A day without documents is closed as well, under the clock's date.
        if (unsigned r = DayRefusal(s)) return Refuse(r);
        s.fiscalDate = ClockDate(s);
    }
    Issue(s, s.zCounter);
    ClearDay(s.fiscal);
    s.day.open = false;
    s.day.lastZDate = s.fiscalDate;
    return 1;
}

// What status 28 shows after an ordinary command.
void Show(PrinterState& s, int code, Outcome outcome) {
    const OpenDocument& d = s.day.doc;
    s.lastCommand = static_cast<unsigned>(outcome < 0 ? -outcome : outcome);
    s.fiscal.lastExecuted = static_cast<unsigned>(code);
    s.itemCount = d.kind == Document::Sale ? static_cast<unsigned>(d.items.size()) : 0;
    s.documentField = d.kind == Document::Sale ? " VENDAS " : d.kind == Document::NonFiscal ? "NAO FISC" : "        ";
    s.documentState = outcome < 0 ? 'E' : d.kind != Document::None ? 'P' : 'C';
    s.fiscal.subtotal = d.kind == Document::Sale ? Subtotal(d) : 0;
}

}  // namespace

bool ExtendedModel(const PrinterState& s) {
    return s.typedStatus28 || std::isdigit(static_cast<unsigned char>(s.statusGFlag)) != 0;
}

std::optional<std::string> FiscalCommand(PrinterState& s, std::string_view frame) {
    const int code = Code(frame);
    Outcome outcome = 0;
    switch (code) {
        case 1: outcome = Item(s, frame); break;
        case 2: outcome = ItemDiscount(s, frame); break;
        case 3: outcome = SubtotalAdjustment(s, frame, false); break;
        case 4: outcome = ItemCancel(s, frame); break;
        case 5: outcome = CouponCancel(s); break;
        case 6: outcome = CouponClose(s); break;
        case 7: outcome = OpenNonFiscal(s); break;
        case 9: outcome = BuyerInCoupon(s, frame); break;
        case 10: outcome = Payment(s, frame); break;
        case 11: outcome = SubtotalAdjustment(s, frame, true); break;
        case 12: outcome = NonFiscalOperation(s, frame); break;
        case 13: case 15: case 16: case 18: case 19: outcome = Report(s, frame, code); break;
        case 14: outcome = Reduction(s); break;
        case 17: outcome = OpenCoupon(s, frame); break;
        default: return std::nullopt;
    }
    Show(s, code, outcome);
    return outcome < 0 ? Reply('-', static_cast<unsigned>(-outcome)) : Reply('+', static_cast<unsigned>(outcome));
}

std::optional<std::string> ControlCommand(PrinterState& s, std::string_view frame) {
    if (frame.size() < 5 || frame[0] != 0x1B || frame[1] != '.' || frame[2] != '+' || frame[3] != '+')
        return std::nullopt;
    const std::string_view body = frame.substr(4, frame.size() - 5);
    const std::size_t space = body.find(' ');
    const std::string_view word = body.substr(0, space);
    const std::string value(space == std::string_view::npos ? std::string_view{} : body.substr(space + 1));
    const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
    if (word == "DATE" && digits && value.size() == 6) {
        s.clock = value + s.clock.substr(6);
    } else if (word == "CLOCK" && digits && value.size() == 10) {
        s.clock = value;
        s.fiscalTime = value.substr(6, 4) + "00";
    } else if (word == "FACTORY" && value.size() == 9) {
        s.factoryNumber = value;
    } else {
        return Reply('-', kMalformed);
    }
    return Reply('+', 0);
}

}  // namespace moldrin::sim
