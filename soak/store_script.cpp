// The busy store's day drawn from the seed, and each step carried out with the
// typed operations; what a killed application reads back to know a step was done.
#include "soak/store_script.h"

namespace moldrin::soak {

Draw::Draw(uint64_t seed, uint64_t a, uint64_t b, uint64_t c)
    : state_(seed ^ (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ (c * 0x165667B19E3779F9ull)) {
    Next();
}

// splitmix64: one multiply-xorshift chain, the same on every machine.
uint64_t Draw::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

const std::vector<Product>& Catalogue() {
    // Every item comes to at least a real, so a discount of cents always fits.
    static const std::vector<Product> products = {
        {"7891234560012", "ARROZ TIPO 1 5KG", "un", 2190, 2, "T01", 1000, 3000},
        {"2000123000450", "QUEIJO PRATO", "Kg", 45900, 3, "T03", 1000, 2500},
        {"7896543210987", "LEITE INTEGRAL 1L", "l", 459, 2, "F", 1000, 6000},
        {"0000000000042", "JORNAL DO DIA", "un", 350, 2, "I", 1000, 2000},
        {"0000000000100", "CORTE DE CABELO", "un", 3000, 2, "S04", 1000, 1000},
        {"7890000000011", "SACOLA RETORNAVEL", "un", 1500, 3, "N", 1000, 4000},
        {"7891111111111", "FITA ADESIVA", "m", 19900, 3, "T02", 1000, 5000},
        {"2000456000000", "BANANA PRATA", "Kg", 599, 2, "T03", 1000, 3000},
        {"7894900011517", "REFRIGERANTE 2L", "un", 899, 2, "F", 1000, 4000},
        {"7891000100103", "CAFE TORRADO 500G", "un", 1749, 2, "T01", 1000, 2000},
    };
    return products;
}

namespace {

Step Make(Op op, int number = 0, long long amount = 0, int item = -1, long long quantity = 0, std::string text = {}) {
    Step s;
    s.op = op;
    s.number = number;
    s.amount = amount;
    s.item = item;
    s.quantity = quantity;
    s.text = std::move(text);
    return s;
}

constexpr const char* kBuyers[] = {"12345678909", "12345678000199"};
constexpr const char* kMessages[] = {"", "OBRIGADO PELA PREFERENCIA", "VOLTE SEMPRE"};

// One coupon: items (some discounted, some cancelled), a subtotal discount or
// increase, one or two payment methods, and closed (or cancelled).
void Coupon(Draw& d, std::vector<Step>& out) {
    const bool buyerFirst = d.Chance(0.2);
    if (buyerFirst) out.push_back(Make(Op::OpenCoupon, 0, 0, -1, 0, kBuyers[d.Below(2)]));
    else if (d.Chance(0.3)) out.push_back(Make(Op::OpenCoupon));
    const int items = d.Between(1, 6);
    int live = 0;
    for (int i = 1; i <= items; ++i) {
        const int p = d.Below(static_cast<int>(Catalogue().size()));
        const Product& product = Catalogue()[static_cast<std::size_t>(p)];
        long long q = d.Between(static_cast<int>(product.minQuantity / 1000), static_cast<int>(product.maxQuantity / 1000)) * 1000LL;
        if (product.unit[0] != 'u') q += d.Below(1000);
        out.push_back(Make(Op::SellItem, 0, 0, p, q));
        ++live;
        if (d.Chance(0.2)) out.push_back(Make(Op::ItemDiscount, 0, d.Between(1, 50)));
        // Never the last item standing: the subtotal's discount needs one.
        if (live > 1 && d.Chance(0.12)) {
            out.push_back(Make(Op::CancelItem, i));
            --live;
        }
    }
    if (!buyerFirst && d.Chance(0.1)) out.push_back(Make(Op::SetBuyer, 0, 0, -1, 0, kBuyers[d.Below(2)]));
    if (d.Chance(0.05)) {
        out.push_back(Make(Op::CancelCoupon));
        return;
    }
    if (d.Chance(0.15)) out.push_back(Make(Op::SubtotalDiscount, 0, d.Between(1, 40)));
    else if (d.Chance(0.1)) out.push_back(Make(Op::SubtotalIncrease, 0, d.Between(1, 500)));
    // Every coupon comes to at least 60 cents: a part by cheque or card, the rest in cash with change.
    if (d.Chance(0.4)) out.push_back(Make(Op::Pay, d.Between(2, 3), d.Between(1, 40)));
    out.push_back(Make(Op::Pay, 1, 500000));
    out.push_back(Make(Op::CloseCoupon, 0, 0, -1, 0, kMessages[d.Below(3)]));
    if (d.Chance(0.03)) out.push_back(Make(Op::CancelCoupon));
}

}  // namespace

std::vector<Step> DayScript(uint64_t seed, int lane, int day) {
    Draw d(seed, static_cast<uint64_t>(lane) + 1, static_cast<uint64_t>(day) + 1);
    std::vector<Step> out;
    const int coupons = d.Between(6, 10);
    const int xAt = d.Below(coupons), supplyAt = d.Below(coupons), withdrawalAt = d.Below(coupons);
    for (int c = 0; c < coupons; ++c) {
        if (c == supplyAt) out.push_back(Make(Op::NonFiscal, 1, d.Between(1000, 20000), -1, 0, "SUPRIMENTO DE CAIXA"));
        if (c == xAt) out.push_back(Make(Op::XReading));
        Coupon(d, out);
        if (c == withdrawalAt && d.Chance(0.5)) out.push_back(Make(Op::NonFiscal, 2, d.Between(1000, 5000), -1, 0, "SANGRIA"));
    }
    out.push_back(Make(Op::ZReduction));
    return out;
}

int RunStep(const Step& s, MoldrinOpsResult* r) {
    switch (s.op) {
        case Op::OpenCoupon: return MoldrinOpenCoupon(s.text.c_str(), r);
        case Op::SetBuyer: return MoldrinSetBuyer(s.text.c_str(), r);
        case Op::SellItem: {
            const Product& p = Catalogue()[static_cast<std::size_t>(s.item)];
            return MoldrinSellItem(p.code, p.description, s.quantity, p.unit, p.price, p.decimals, p.tax, r);
        }
        case Op::ItemDiscount: return MoldrinItemDiscount(s.amount, r);
        case Op::CancelItem: return MoldrinCancelItem(s.number, r);
        case Op::SubtotalDiscount: return MoldrinSubtotalDiscount(s.amount, r);
        case Op::SubtotalIncrease: return MoldrinSubtotalIncrease(s.amount, r);
        case Op::Pay: return MoldrinPay(s.number, s.amount, r);
        case Op::CloseCoupon: return MoldrinCloseCoupon(s.text.c_str(), r);
        case Op::CancelCoupon: return MoldrinCancelCoupon(r);
        case Op::NonFiscal: return MoldrinNonFiscalReceipt(s.number, 1, s.amount, s.text.c_str(), r);
        case Op::XReading: return MoldrinXReading(r);
        case Op::ZReduction: return MoldrinZReduction(r);
    }
    return MOLDRIN_OPS_BAD_ARGUMENT;
}

const char* OpName(Op op) {
    static const char* const names[] = {"open coupon", "buyer", "sell item", "item discount", "cancel item",
                                        "subtotal discount", "subtotal increase", "payment", "close coupon",
                                        "cancel coupon", "non-fiscal receipt", "X reading", "Z reduction"};
    return names[static_cast<int>(op)];
}

bool Decidable(Op op) {
    switch (op) {
        case Op::SellItem:
        case Op::ItemDiscount:
        case Op::CancelItem:
        case Op::SubtotalDiscount:
        case Op::SubtotalIncrease:
        case Op::Pay:
        case Op::CloseCoupon: return true;
        default: return false;
    }
}

bool CarriedOut(const Step& s, const MoldrinOpsStatus& b, const MoldrinOpsStatus& a) {
    switch (s.op) {
        case Op::SellItem:
            return a.document == MOLDRIN_DOCUMENT_COUPON &&
                   a.items == (b.document == MOLDRIN_DOCUMENT_COUPON ? b.items : 0) + 1;
        case Op::ItemDiscount:
        case Op::SubtotalDiscount: return a.subtotal == b.subtotal - s.amount;
        case Op::SubtotalIncrease: return a.subtotal == b.subtotal + s.amount;
        case Op::CancelItem: return a.cancellations > b.cancellations;
        case Op::Pay: return a.payments[s.number - 1] > b.payments[s.number - 1];
        case Op::CloseCoupon: return b.document == MOLDRIN_DOCUMENT_COUPON && a.document == MOLDRIN_DOCUMENT_NONE;
        default: return false;
    }
}

}  // namespace moldrin::soak
