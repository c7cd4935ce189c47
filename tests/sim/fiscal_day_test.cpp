// The simulator's fiscal day, driven in-process frame by frame: every figure
// checked where the status records show it (sim/command_set.md is the reference).
#include <gtest/gtest.h>

#include <cstdio>

#include "ops/command_layout.h"
#include "sim/printer_model.h"
#include "sim/scenario.h"
#include "sim/sim_device.h"
#include "support/fake_clock.h"

namespace moldrin::sim {
namespace {

uint64_t Value(const std::string& record, std::size_t at, std::size_t n) {
    uint64_t v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        EXPECT_TRUE(record[i] >= '0' && record[i] <= '9') << "position " << i << " of " << record;
        v = v * 10 + static_cast<uint64_t>(record[i] - '0');
    }
    return v;
}

std::string Digits(uint64_t v, int width) {
    char b[32];
    std::snprintf(b, sizeof b, "%0*llu", width, static_cast<unsigned long long>(v));
    return b;
}

namespace layout = ops::layout;

// Frames come from the layouts the typed operations build them with; an item
// may carry a total of its own, to see it refused.
std::string Item(uint64_t quantity, uint64_t price, const std::string& description, const std::string& tax,
                 int64_t total = -1) {
    std::string frame = layout::SellItem("7890000000001", quantity, price, description, tax);
    if (total >= 0) frame.replace(layout::kItemTotal.at, layout::kItemTotal.width,
                                  layout::Digits(static_cast<uint64_t>(total), layout::kItemTotal.width));
    return frame;
}
std::string Discount(int code, uint64_t amount, bool extended) { return layout::Discount(code, amount, extended); }
std::string Increase(uint64_t amount) { return layout::SubtotalIncrease(amount); }
std::string Pay(int method, uint64_t amount) { return layout::Payment(method, amount); }

class Day : public ::testing::Test {
public:
    std::string Send(const std::string& frame) { return printer.Command(frame); }
    std::string R27(char type) { return Status27Record(printer.State(), type); }
    std::string R28() { return Status28Record(printer.State()); }
    uint64_t Coo() { return Value(R27('1'), 13, 4); }
    uint64_t Gnf() { return Value(R27('1'), 116, 4); }
    uint64_t Ccf() { return Value(R27('1'), 120, 4); }
    uint64_t Crz() { return Value(R27('1'), 40, 4); }
    uint64_t GrandTotal() { return Value(R27('1'), 19, 17); }
    uint64_t GrossSale() { return Value(R27('1'), 44, 12); }
    uint64_t Subtotal() { return Value(R28(), 21, 12); }
    // The totalizers, in the records the fiscal file reads them from.
    uint64_t Rate(std::size_t entry) {  // 0: 27-3 93; 1-7: 27-4; 8-14: 27-5
        if (entry == 0) return Value(R27('3'), 93 + 3, 12);
        return Value(R27(entry <= 7 ? '4' : '5'), 7 + 15 * ((entry - 1) % 7) + 3, 12);
    }
    uint64_t Exempt() { return Value(R27('3'), 21, 12); }
    uint64_t NotTaxed() { return Value(R27('3'), 33, 12); }
    uint64_t Substituted() { return Value(R27('3'), 45, 12); }
    uint64_t CancelT() { return Value(R27('1'), 60, 12) + Value(R27('1'), 76, 12); }
    uint64_t CancelS() { return Value(R27('2'), 11, 12) + Value(R27('2'), 27, 12); }
    uint64_t DiscountT() { return Value(R27('1'), 92, 12); }
    uint64_t DiscountS() { return Value(R27('2'), 43, 12); }
    uint64_t IncreaseT() { return Value(R27('F'), 11, 12); }
    uint64_t IncreaseS() { return Value(R27('F'), 43, 12); }
    uint64_t Payment(int method) {
        return Value(R27(method <= 7 ? '6' : '7'), 11 + 16 * static_cast<std::size_t>((method - 1) % 7), 12);
    }
    uint64_t Totalizers() {
        uint64_t sum = Exempt() + NotTaxed() + Substituted();
        for (std::size_t e = 0; e < 15; ++e) sum += Rate(e);
        return sum;
    }
    // What the day's figures must always add up to.
    void ExpectDayAddsUp() {
        EXPECT_EQ(GrossSale(), Totalizers() + CancelT() + CancelS() + DiscountT() + DiscountS());
    }
    void Extended() {
        printer.EditState([](PrinterState& s) { s.statusGFlag = '1'; });
    }

    PrinterModel printer;
};

TEST_F(Day, ItemsOfEveryUnitAndTaxKindReachTheirTotalizers) {
    struct Case {
        const char* description;
        uint64_t quantity, price, total;
        const char* tax;
        uint64_t (Day::*totalizer)();
    };
    const Case cases[] = {
        {"ARROZ", 2000, 2190, 4380, "T01", nullptr},           // "un", 2 decimals
        {"!CARNE", 1250, 3999, 4998, "T02", nullptr},          // Kg, 2 decimals: 49.9875 truncated
        {">QUEIJO", 350, 45900, 1606, "T03", nullptr},         // Kg, 3 decimals
        {")CABO", 1500, 250, 375, "I  ", &Day::Exempt},        // m, 2 decimals
        {"|FITA", 2500, 1990, 497, "N  ", &Day::NotTaxed},     // m, 3 decimals
        {"@LEITE", 2000, 459, 918, "F  ", &Day::Substituted},  // l, 2 decimals
        {"]OLEO", 900, 12345, 1111, "F  ", &Day::Substituted}, // l, 3 decimals
        {"~SACOLA", 3000, 150, 45, "S04", nullptr},            // un, 3 decimals
    };
    const std::size_t rateOf[] = {0, 1, 2, 99, 99, 99, 99, 3};
    uint64_t sold = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.description);
        const uint64_t before = c.totalizer ? (this->*c.totalizer)() : Rate(rateOf[i]);
        EXPECT_EQ(Send(Item(c.quantity, c.price, c.description, c.tax, static_cast<int64_t>(c.total))),
                  ".+" + Digits(i + 2, 4) + "}");
        sold += c.total;
        EXPECT_EQ((c.totalizer ? (this->*c.totalizer)() : Rate(rateOf[i])) - before, c.total);
        EXPECT_EQ(GrandTotal(), sold);
        EXPECT_EQ(GrossSale(), sold);
        EXPECT_EQ(R28().substr(2, 18), Digits(i + 2, 4) + Digits(i + 1, 3) + "P VENDAS 01");
        EXPECT_EQ(Subtotal(), sold);
    }
    ExpectDayAddsUp();
    EXPECT_EQ(Coo(), 2u);  // one coupon, opened by the first item
    EXPECT_EQ(Ccf(), 1u);
}

TEST_F(Day, ItemsThePrinterRefuses) {
    const struct {
        std::string frame;
        const char* reply;
    } cases[] = {
        {Item(1000, 100, ">QUEIJO", "T01", 100), ".-0013}"},  // 3 decimals: 0.10, not 1.00
        {Item(1000, 100, "ARROZ", "T01", 10), ".-0013}"},
        {Item(1000, 100, "ARROZ", "T09"), ".-0012}"},         // not in the rate table
        {Item(1000, 100, "ARROZ", "X  "), ".-0012}"},
        {Item(0, 100, "ARROZ", "T01"), ".-0010}"},
        {Item(9999999, 99999999, "ARROZ", "T01"), ".-0014}"},  // an 11-digit total does not fit
        {"\x1B.01ARROZ}", ".-0010}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        EXPECT_EQ(Send(c.frame), c.reply);
        EXPECT_EQ(R28()[9], 'E');
        EXPECT_EQ(R28().substr(2, 4), std::string(c.reply + 2, 4));
        EXPECT_EQ(Coo(), 1u);  // no coupon was opened
        EXPECT_EQ(GrandTotal(), 0u);
    }
}

TEST_F(Day, CouponOpenedWithTheBuyerShowsInStatus28) {
    EXPECT_EQ(Send("\x1B.1712345678909}"), ".+0001}");
    EXPECT_EQ(Coo(), 2u);
    EXPECT_EQ(Ccf(), 1u);
    EXPECT_EQ(printer.State().day.doc.buyer, "12345678909");
    EXPECT_EQ(R28().substr(0, 20), ".+0001000P VENDAS 17");
    // Opened twice without an item: the empty coupon gives way to a new one.
    EXPECT_EQ(Send("\x1B.17}"), ".+0001}");
    EXPECT_EQ(Coo(), 3u);
    EXPECT_EQ(Send(Item(1000, 500, "PAO", "T01")), ".+0002}");
    EXPECT_EQ(Send("\x1B.17}"), ".-0011}");  // not over a coupon with items
    EXPECT_EQ(Send("\x1B.090012345678000199}"), ".+0009}");
    EXPECT_EQ(printer.State().day.doc.buyer, "12345678000199");
}

class DayOfClass : public Day, public ::testing::WithParamInterface<bool> {};

TEST_P(DayOfClass, DiscountsAndIncreaseSpreadOverTheTotalizers) {
    const bool extended = GetParam();
    if (extended) Extended();
    ASSERT_EQ(Send(Item(1000, 1000, "ARROZ", "T01")), ".+0002}");
    ASSERT_EQ(Send(Item(1000, 3000, "CORTE", "S04")), ".+0003}");
    // The same frame in the other class's layout does not carry digits where they are read.
    EXPECT_EQ(Send(Discount(2, 100, !extended)), ".-0010}");
    EXPECT_EQ(Send(Discount(2, 100, extended)), ".+0002}");
    EXPECT_EQ(Send(Discount(2, 100, extended)), ".-0022}");  // one per item
    EXPECT_EQ(DiscountS(), 100u);
    EXPECT_EQ(Rate(3), 2900u);
    EXPECT_EQ(Subtotal(), 3900u);
    EXPECT_EQ(R28().substr(18, 2), "02");

    EXPECT_EQ(Send(Discount(3, 3900, extended)), ".-0014}");  // the whole subtotal
    EXPECT_EQ(Send(Discount(3, 390, extended)), ".+0003}");
    EXPECT_EQ(DiscountT(), 100u);  // 10.00 of 39.00
    EXPECT_EQ(DiscountS(), 100u + 290u);
    EXPECT_EQ(Rate(0), 900u);
    EXPECT_EQ(Send(Item(1000, 100, "BALA", "T01")), ".-0011}");  // items are over
    EXPECT_EQ(Send(Increase(77)), ".+0011}");
    EXPECT_EQ(Send(Increase(10)), ".-0011}");  // one per coupon
    EXPECT_EQ(IncreaseT(), 19u);  // 77 × 9.00 / 35.10; what the division leaves goes to the last item
    EXPECT_EQ(IncreaseS(), 58u);
    EXPECT_EQ(Subtotal(), 4000u - 100 - 390 + 77);
    EXPECT_EQ(GrandTotal(), 4077u);  // the increase is sold, discounts are not taken back
    ExpectDayAddsUp();

    EXPECT_EQ(Send(Pay(1, 3587)), ".+0010}");
    EXPECT_EQ(Send("\x1B.06}"), ".+0006}");
    EXPECT_EQ(R28().substr(2, 18), "0006000C        06");
    EXPECT_EQ(Subtotal(), 0u);
    ExpectDayAddsUp();
}

INSTANTIATE_TEST_SUITE_P(BothClasses, DayOfClass, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Extended" : "Basic"; });

TEST_F(Day, CancellationsMoveValuesToTheirTotalizers) {
    ASSERT_EQ(Send(Item(1000, 1000, "ARROZ", "T01")), ".+0002}");
    ASSERT_EQ(Send(Item(1000, 2000, "CORTE", "S04")), ".+0003}");
    ASSERT_EQ(Send(Item(1000, 500, "JORNAL", "I  ")), ".+0004}");
    EXPECT_EQ(Send("\x1B.04002}"), ".+0004}");  // by number
    EXPECT_EQ(Send("\x1B.04002}"), ".-0015}");
    EXPECT_EQ(Send("\x1B.04009}"), ".-0015}");
    EXPECT_EQ(Send("\x1B.04}"), ".+0004}");  // the last item
    EXPECT_EQ(CancelS(), 2000u);
    EXPECT_EQ(CancelT(), 500u);
    EXPECT_EQ(Subtotal(), 1000u);
    EXPECT_EQ(R28().substr(6, 3), "003");  // cancelled items keep their numbers
    ExpectDayAddsUp();

    // An open coupon, part paid: its values and its payment go back.
    EXPECT_EQ(Send(Pay(1, 400)), ".+0010}");
    EXPECT_EQ(Payment(1), 400u);
    EXPECT_EQ(Send("\x1B.05}"), ".+0005}");
    EXPECT_EQ(Payment(1), 0u);
    EXPECT_EQ(CancelT(), 1500u);
    EXPECT_EQ(R28().substr(2, 18), "0005000C        05");
    ExpectDayAddsUp();
    EXPECT_EQ(Send("\x1B.05}"), ".-0019}");

    // The coupon closed last, while nothing was issued after it; its increase apart.
    ASSERT_EQ(Send(Item(1000, 1000, "ARROZ", "T01")), ".+0002}");
    ASSERT_EQ(Send(Increase(100)), ".+0011}");
    ASSERT_EQ(Send(Pay(2, 1100)), ".+0010}");
    ASSERT_EQ(Send("\x1B.06}"), ".+0006}");
    const uint64_t coo = Coo();
    EXPECT_EQ(Send("\x1B.05}"), ".+0005}");
    EXPECT_EQ(Coo(), coo);
    EXPECT_EQ(Payment(2), 0u);
    EXPECT_EQ(Value(R27('1'), 76, 12), 100u);
    EXPECT_EQ(CancelT(), 2600u);
    ExpectDayAddsUp();
    EXPECT_EQ(GrandTotal(), 4600u);  // cancelling never lowers the grand total

    ASSERT_EQ(Send(Item(1000, 1000, "ARROZ", "T01")), ".+0002}");
    ASSERT_EQ(Send(Pay(1, 1000)), ".+0010}");
    ASSERT_EQ(Send("\x1B.06}"), ".+0006}");
    ASSERT_EQ(Send("\x1B.13}"), ".+0013}");
    EXPECT_EQ(Send("\x1B.05}"), ".-0019}");  // an X reading came after it
}

TEST_F(Day, PaymentsOverTheTenMethods) {
    printer.EditState([](PrinterState& s) {
        for (int m = 0; m < 10; ++m) s.fiscal.paymentNames[static_cast<std::size_t>(m)] = "Meio " + std::to_string(m + 1);
    });
    ASSERT_EQ(Send(Item(1000, 5500, "ARROZ", "T01")), ".+0002}");
    EXPECT_EQ(Send("\x1B.06}"), ".-0018}");
    for (int m = 1; m <= 10; ++m) {
        SCOPED_TRACE(m);
        EXPECT_EQ(Send(Pay(m, static_cast<uint64_t>(m) * 100)), ".+0010}");
        EXPECT_EQ(Payment(m), static_cast<uint64_t>(m) * 100);
    }
    EXPECT_EQ(Send(Pay(1, 100)), ".-0011}");  // 55.00 due and paid: no change, nothing more to pay
    EXPECT_EQ(Send("\x1B.06}"), ".+0006}");
}

TEST_F(Day, ChangeIsTakenOffTheMethodThatOverpaid) {
    ASSERT_EQ(Send(Item(1000, 6854, "ARROZ", "T01")), ".+0002}");
    EXPECT_EQ(Send(Pay(11, 100)), ".-0010}");
    EXPECT_EQ(Send(Pay(4, 100)), ".-0017}");  // no name: not programmed
    EXPECT_EQ(Send(Pay(1, 0)), ".-0010}");
    EXPECT_EQ(Send(Pay(3, 2000)), ".+0010}");
    EXPECT_EQ(Send("\x1B.06}"), ".-0018}");
    EXPECT_EQ(Send(Pay(1, 5000)), ".+0010}");
    EXPECT_EQ(Payment(3), 2000u);
    EXPECT_EQ(Payment(1), 4854u);
    EXPECT_EQ(Send("\x1B.06OBRIGADO}"), ".+0006}");
    EXPECT_EQ(Send("\x1B.06}"), ".-0011}");
}

TEST_F(Day, CommandsOutOfPlaceChangeNothing) {
    const struct {
        std::vector<std::string> before;
        std::string frame;
        const char* reply;
    } cases[] = {
        {{}, Discount(2, 100, false), ".-0011}"},
        {{}, Discount(3, 100, false), ".-0011}"},
        {{}, Increase(100), ".-0011}"},
        {{}, "\x1B.04}", ".-0011}"},
        {{}, Pay(1, 100), ".-0011}"},
        {{}, "\x1B.06}", ".-0011}"},
        {{}, "\x1B.0900123}", ".-0011}"},
        {{}, "\x1B.120101000000001000}", ".-0011}"},
        {{"\x1B.17}"}, Pay(1, 100), ".-0011}"},  // nothing to pay yet
        {{"\x1B.17}"}, "\x1B.07}", ".-0011}"},
        {{"\x1B.17}"}, "\x1B.13}", ".-0011}"},
        {{"\x1B.17}"}, "\x1B.14}", ".-0011}"},
        {{"\x1B.17}"}, "\x1B.18}", ".-0011}"},
        {{"\x1B.07}"}, Item(1000, 100, "ARROZ", "T01"), ".-0011}"},
        {{"\x1B.07}"}, "\x1B.125201000000001000}", ".-0023}"},
        {{"\x1B.07}"}, "\x1B.120104000000001000}", ".-0017}"},
        {{Item(1000, 100, "ARROZ", "T01"), "\x1B.04}"}, Discount(2, 10, false), ".-0015}"},
        {{Item(1000, 100, "ARROZ", "T01"), "\x1B.04}"}, Pay(1, 100), ".-0011}"},
        {{Item(1000, 100, "ARROZ", "T01")}, Discount(2, 100, false), ".-0014}"},
        {{Item(1000, 100, "ARROZ", "T01"), Pay(1, 50)}, Item(1000, 100, "ARROZ", "T01"), ".-0011}"},
        {{Item(1000, 100, "ARROZ", "T01"), Pay(1, 50)}, Discount(3, 10, false), ".-0011}"},
        {{Item(1000, 100, "ARROZ", "T01"), Pay(1, 50)}, "\x1B.04}", ".-0011}"},
        {{"\x1B.17}", "\x1B.++DATE 101226}"}, "\x1B.17}", ".-0020}"},  // the empty coupon stays
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        PrinterModel fresh;
        for (const std::string& f : c.before) ASSERT_EQ(fresh.Command(f).substr(0, 2), ".+") << f;
        const PrinterState before = fresh.State();
        EXPECT_EQ(fresh.Command(c.frame), c.reply);
        const PrinterState after = fresh.State();
        for (char t : std::string("123456789ABCDEF")) EXPECT_EQ(Status27Record(after, t), Status27Record(before, t)) << t;
        EXPECT_EQ(after.day.doc.kind, before.day.doc.kind);
        EXPECT_EQ(after.day.doc.items.size(), before.day.doc.items.size());
        EXPECT_EQ(after.day.doc.phase, before.day.doc.phase);
        EXPECT_EQ(Status28Record(after)[9], 'E');
        EXPECT_EQ(Status28Record(after).substr(21, 12), Status28Record(before).substr(21, 12));
    }
}

TEST_F(Day, NonFiscalDocumentsAndReports) {
    EXPECT_EQ(Send("\x1B.07}"), ".+0007}");
    EXPECT_EQ(R28().substr(9, 9), "PNAO FISC");
    EXPECT_EQ(Send("\x1B.120101000000010000SUPRIMENTO}"), ".+0012}");
    EXPECT_EQ(Value(R27('7'), 91, 12), 10000u);
    EXPECT_EQ(Value(R28(), 109, 12), 10000u);
    EXPECT_EQ(Payment(1), 10000u);
    const struct {
        const char* number;
        const char* method;
        char record;
        std::size_t at;
    } totalizers[] = {{"02", "02", '7', 107}, {"03", "01", '8', 11}, {"10", "03", '9', 11}, {"51", "01", 'E', 11 + 16 * 6}};
    for (const auto& t : totalizers) {
        SCOPED_TRACE(t.number);
        ASSERT_EQ(Send("\x1B.07}"), ".+0007}");
        EXPECT_EQ(Send(std::string("\x1B.12") + t.number + t.method + "000000000250}"), ".+0012}");
        EXPECT_EQ(Value(R27(t.record), t.at, 12), 250u);
    }
    EXPECT_EQ(Coo(), 6u);
    EXPECT_EQ(Gnf(), 5u);
    EXPECT_EQ(Ccf(), 0u);
    EXPECT_EQ(GrossSale(), 0u);  // non-fiscal money is not sold

    const struct {
        const char* frame;
        bool document;
    } reports[] = {
        {"\x1B.13}", true},           {"\x1B.13S}", true},          {"\x1B.13|}", false},
        {"\x1B.1500010002}", true},   {"\x1B.1500010002|}", false}, {"\x1B.16011226091226}", true},
        {"\x1B.16011226091226#}", false}, {"\x1B.18}", true},        {"\x1B.1900}", true},
        {"\x1B.08}", false},
    };
    for (const auto& r : reports) {
        SCOPED_TRACE(r.frame);
        const uint64_t coo = Coo(), gnf = Gnf();
        EXPECT_EQ(Send(r.frame), ".+00" + std::string(r.frame + 2, 2) + "}");
        EXPECT_EQ(Coo() - coo, r.document ? 1u : 0u);
        EXPECT_EQ(Gnf() - gnf, r.document ? 1u : 0u);
    }
    EXPECT_EQ(Send("\x1B.15AB}"), ".-0010}");
}

TEST_F(Day, ZReductionClosesTheDayAndTheClockOpensTheNext) {
    printer.EditState([](PrinterState& s) {
        s.clock = "0912261020";
        s.fiscalDate = "081226";  // the last day printed on, before today's first sale
        s.grandTotal = 500000;
    });
    ASSERT_EQ(Send(Item(1000, 1000, "ARROZ", "T01")), ".+0002}");
    EXPECT_EQ(R27('1').substr(7, 6), "091226");  // the first coupon opened today's day
    ASSERT_EQ(Send(Pay(1, 1000)), ".+0010}");
    EXPECT_EQ(Send("\x1B.14}"), ".-0011}");  // a coupon is open
    ASSERT_EQ(Send("\x1B.06}"), ".+0006}");
    ASSERT_EQ(Send("\x1B.07}"), ".+0007}");
    ASSERT_EQ(Send("\x1B.120301000000000200}"), ".+0012}");
    const uint64_t coo = Coo();

    EXPECT_EQ(Send("\x1B.14}"), ".+0001}");
    EXPECT_EQ(Coo(), coo + 1);
    EXPECT_EQ(Crz(), 1u);
    EXPECT_EQ(GrandTotal(), 501000u);
    const PrinterState fresh;
    for (char t : std::string("23456789ABCDEF")) EXPECT_EQ(R27(t), Status27Record(fresh, t)) << t;
    EXPECT_EQ(GrossSale(), 0u);
    EXPECT_EQ(R28().substr(2, 18), "0001000C        14");

    // No sale on the day already closed, nor a second reduction.
    EXPECT_EQ(Send(Item(1000, 1000, "ARROZ", "T01")), ".-0021}");
    EXPECT_EQ(Send("\x1B.17}"), ".-0021}");
    EXPECT_EQ(Send("\x1B.07}"), ".-0021}");
    EXPECT_EQ(Send("\x1B.14}"), ".-0021}");
    EXPECT_EQ(Send("\x1B.13}"), ".+0013}");  // readings go on

    // The next morning the first sale opens the new day.
    EXPECT_EQ(Send("\x1B.++CLOCK 1012260805}"), ".+0000}");
    EXPECT_EQ(Send(Item(1000, 700, "PAO", "T01")), ".+0002}");
    EXPECT_EQ(R27('1').substr(7, 6), "101226");
    EXPECT_EQ(GrossSale(), 700u);
    EXPECT_EQ(GrandTotal(), 501700u);
    ASSERT_EQ(Send(Pay(1, 700)), ".+0010}");
    ASSERT_EQ(Send("\x1B.06}"), ".+0006}");

    // Past midnight without a reduction: nothing is sold until the day is closed.
    EXPECT_EQ(Send("\x1B.++DATE 111226}"), ".+0000}");
    EXPECT_EQ(Send(Item(1000, 700, "PAO", "T01")), ".-0020}");
    EXPECT_EQ(Send("\x1B.07}"), ".-0020}");
    EXPECT_EQ(Send("\x1B.14}"), ".+0001}");
    EXPECT_EQ(R27('1').substr(7, 6), "101226");  // the day closed is the one of the sales
    EXPECT_EQ(Crz(), 2u);
    EXPECT_EQ(Send(Item(1000, 700, "PAO", "T01")), ".+0002}");
    EXPECT_EQ(R27('1').substr(7, 6), "111226");
}

TEST_F(Day, ReductionOfADayWithoutDocuments) {
    printer.EditState([](PrinterState& s) {
        s.clock = "0912261020";
        s.fiscalDate = "011226";
    });
    EXPECT_EQ(Send("\x1B.14}"), ".+0001}");
    EXPECT_EQ(R27('1').substr(7, 6), "091226");
    EXPECT_EQ(Crz(), 1u);
    EXPECT_EQ(Coo(), 2u);
    EXPECT_EQ(Send("\x1B.14}"), ".-0021}");
}

TEST_F(Day, ControlsChangeDateClockAndFactoryMidSession) {
    EXPECT_EQ(Send("\x1B.++DATE 311226}"), ".+0000}");
    EXPECT_EQ(R28().substr(46, 10), "3112261020");
    EXPECT_EQ(Send("\x1B.++CLOCK 0101272359}"), ".+0000}");
    EXPECT_EQ(R28().substr(46, 10), "0101272359");
    EXPECT_EQ(Send("\x1B.++FACTORY XY0000042}"), ".+0000}");
    EXPECT_EQ(R27('3').substr(12, 9), "XY0000042");
    for (const char* bad : {"\x1B.++DATE 3112}", "\x1B.++CLOCK 01012723AA}", "\x1B.++FACTORY 12}", "\x1B.++SPEED 9600}",
                            "\x1B.++}"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Send(bad), ".-0010}");
    }
    EXPECT_EQ(R27('3').substr(12, 9), "XY0000042");
    EXPECT_EQ(R28().substr(2, 4), "0000");  // controls are not printer commands
}

TEST_F(Day, OwnAnswersOfATestStillComeFirst) {
    printer.EditState([](PrinterState& s) { s.answers[1] = "+0901"; });
    EXPECT_EQ(Send(Item(1000, 1000, "ARROZ", "T01")), ".+0901}");
    EXPECT_EQ(GrandTotal(), 0u);
    EXPECT_EQ(Send("\x1B.30}"), ".+0030}");
}

TEST(DayOnTheLine, FramesFromTheHostMoveTheSameFigures) {
    testing::FakeClock clock;
    auto printer = std::make_shared<PrinterModel>(9600);
    SimDevice device{printer};
    auto exchange = [&](const std::string& frame) {
        uint32_t written = 0;
        device.Write(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<uint32_t>(frame.size()), &written);
        std::string out;
        uint8_t b[64];
        uint32_t got = 0;
        while (device.Read(b, sizeof b, &got) && got > 0) out.append(reinterpret_cast<char*>(b), got);
        return out;
    };
    EXPECT_EQ(exchange("\x1B.1712345678909}"), ".+0001}");
    EXPECT_EQ(exchange(Item(1000, 250, "PAO", "T01")), ".+0002}");
    EXPECT_EQ(exchange("\x1B.28}").substr(0, 20), ".+0002001P VENDAS 01");
    EXPECT_EQ(exchange("\x1B.271}").substr(19, 17), Digits(250, 17));
    EXPECT_EQ(printer->Frames().size(), 4u);
}

TEST(Scenario, ParsesFramesRepliesAndComments) {
    std::vector<ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(ParseScenario("# a day\n\n\\e.17}\r\n= .+0001}\n  \\x1B.13}  \n\\e.14}\n=.+0001}\n", &steps, &error));
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].frame, "\x1B.17}");
    EXPECT_EQ(steps[0].expect, ".+0001}");
    EXPECT_EQ(steps[0].line, 3);
    EXPECT_EQ(steps[1].frame, "\x1B.13}");
    EXPECT_FALSE(steps[1].expect);
    EXPECT_EQ(steps[2].expect, ".+0001}");
    steps.clear();
    EXPECT_FALSE(ParseScenario("= .+0001}\n", &steps, &error));
    EXPECT_EQ(error, "line 1: a reply without its frame");
    EXPECT_FALSE(ParseScenario("\\e.17}\n= .+0001}\n= .+0001}\n", &steps, &error));
    EXPECT_FALSE(ReadScenario("/nonexistent/day.txt", &steps, &error));
}

TEST(Scenario, ReplayCountsTheRepliesThatDiffer) {
    std::vector<ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(ParseScenario("\\e.06}\n= .-0011}\n\\e.13}\n= .+0099}\n\\e.08}\n", &steps, &error));
    PrinterModel printer;
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(ReplayScenario(steps, [&](const std::string& f) { return printer.Command(f); }, sink, sink), 1u);
    std::rewind(sink);
    char text[512] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, sink);
    std::fclose(sink);
    EXPECT_NE(std::string(text, n).find("line 3: expected .+0099}, got .+0013}"), std::string::npos);
    EXPECT_EQ(printer.Frames().size(), 3u);
}

TEST(Scenario, CommentsGoWithTheNextFrameIntoTheTranscript) {
    std::vector<ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(ParseScenario("# the day starts\n#  first  \n\n\\e.13}\n= .+0013}\n\\e.08}\n# nothing after\n", &steps,
                              &error));
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].comment, "the day starts\nfirst");
    EXPECT_EQ(steps[1].comment, "");
    PrinterModel printer;
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(ReplayScenario(steps, [&](const std::string& f) { return printer.Command(f); }, sink, nullptr), 0u);
    std::rewind(sink);
    char text[512] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, sink);
    std::fclose(sink);
    EXPECT_EQ(std::string(text, n), "# the day starts\n# first\n\\e.13}\n  .+0013}\n\\e.08}\n  .+0008}\n");
}

// Frames and replies shown on a UTF-8 terminal: control bytes escaped, Windows-1252 letters as UTF-8.
TEST(Scenario, PrintableTextIsUtf8WithEscapedControlBytes) {
    EXPECT_EQ(Printable("\x1B.06OBRIGADO}"), "\\e.06OBRIGADO}");
    EXPECT_EQ(Printable(".-0000ERRO - FORMATO DO COMANDO INV\xC1LIDO}\r\n"),
              ".-0000ERRO - FORMATO DO COMANDO INV\xC3\x81LIDO}\\x0D\\x0A");
    EXPECT_EQ(Printable("\x80\x7F"), "\xE2\x82\xAC\\x7F");
}

// The scripted short days, each on every dot-matrix model letter of its class.
TEST(Scenario, TheShortDayAddsUpOnEveryModel) {
    for (const bool extended : {false, true}) {
        std::vector<ScenarioStep> steps;
        std::string error;
        const std::string file = extended ? "/short_day_extended.txt" : "/short_day.txt";
        ASSERT_TRUE(ReadScenario(MOLDRIN_SIM_SCENARIOS + file, &steps, &error)) << error;
        for (const char letter : std::string("BCDEF")) {
            SCOPED_TRACE(file + " on model " + letter);
            PrinterModel printer;
            printer.EditState([&](PrinterState& s) {
                s.modelLetter = letter;
                s.typedStatus28 = extended;
                s.statusGFlag = extended ? '1' : ' ';
            });
            std::string beforeZ;
            const std::size_t mismatches = ReplayScenario(
                steps,
                [&](const std::string& f) {
                    if (f == "\x1B.14}") beforeZ = Status27Record(printer.State(), '1');
                    return printer.Command(f);
                },
                nullptr, stderr);
            EXPECT_EQ(mismatches, 0u);
            const std::string r1 = Status27Record(printer.State(), '1');
            EXPECT_EQ(r1.substr(13, 4), "0008");   // 4 coupons, a receipt, an X reading, the reduction
            EXPECT_EQ(r1.substr(120, 4), "0004");  // CCF
            EXPECT_EQ(r1.substr(116, 4), "0002");  // GNF
            EXPECT_EQ(r1.substr(40, 4), "0001");   // CRZ
            // Sold: 43.80 + 16.06 + 9.18 + 3.50, 30.00 + 0.45, 4.97 + 0.50, 7.48.
            EXPECT_EQ(r1.substr(19, 17), Digits(4380 + 1606 + 918 + 350 + 3000 + 45 + 497 + 50 + 748, 17));
            EXPECT_EQ(beforeZ.substr(44, 12), r1.substr(19 + 5, 12));  // the day's gross sale, shown before the Z
            EXPECT_EQ(r1.substr(44, 12), std::string(12, '0'));
        }
    }
}

TEST(Scenario, TwoDaysFollowThePrintersClock) {
    std::vector<ScenarioStep> steps;
    std::string error;
    ASSERT_TRUE(ReadScenario(MOLDRIN_SIM_SCENARIOS "/two_days.txt", &steps, &error)) << error;
    PrinterModel printer;
    std::vector<std::string> zDates;
    const std::size_t mismatches = ReplayScenario(
        steps,
        [&](const std::string& f) {
            const std::string reply = printer.Command(f);
            if (f == "\x1B.14}") zDates.push_back(Status27Record(printer.State(), '1').substr(7, 6));
            return reply;
        },
        nullptr, stderr);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(zDates, (std::vector<std::string>{"091226", "101226"}));
    const std::string r1 = Status27Record(printer.State(), '1');
    EXPECT_EQ(r1.substr(7, 6), "111226");
    EXPECT_EQ(r1.substr(40, 4), "0002");
    EXPECT_EQ(r1.substr(120, 4), "0003");
    EXPECT_EQ(r1.substr(19, 17), Digits(4380 + 918 + 918, 17));
    EXPECT_EQ(r1.substr(44, 12), Digits(918, 12));
}

}  // namespace
}  // namespace moldrin::sim
