// Coupon tracking over the item table, against the printer's grand total and
// reply 28, and the judging of capture lines.
#include <gtest/gtest.h>

#include "store/rfd_codec.h"
#include "fiscal_fixture.h"
#include "fiscalfile/coupon_tracking.h"
#include "fiscalfile/movement_records.h"
#include "fiscalfile/record_format.h"
#include "fiscalfile/rfd_line.h"

namespace moldrin::fiscalfile {
namespace {

// An item command of the given total (quantity 1, so the price is the total).
std::string Item(const char* code, uint64_t total) {
    char t[96];
    std::snprintf(t, sizeof t, "\x1B.01%-13.13s00010000%08llu%012lluITEM %-19.19sT01}", code,
                  static_cast<unsigned long long>(total), static_cast<unsigned long long>(total), code);
    return t;
}

class CouponTracking : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        printer.grandTotal = 100000;
        LoadReplies();
        ResetDocument();
        g_fiscal.CouponClosed = false;
        g_fiscal.CouponInProgress = true;
    }
    void GrandTotal(uint64_t v) {
        printer.grandTotal = v;
        Store(27, '1', sim::Status27Record(printer, '1'));
    }
    // Reply 28 as the printer leaves it after a command.
    std::string Reply28After(int command, char letter, uint64_t subtotal) {
        printer.fiscal.lastExecuted = static_cast<unsigned>(command);
        printer.documentState = letter;
        printer.fiscal.subtotal = subtotal;
        const std::string r = sim::Status28Record(printer);
        Store(28, '|', r);
        return r;
    }
    std::vector<uint8_t> Statuses(std::size_t n = 4) {
        std::vector<uint8_t> s;
        for (std::size_t i = 0; i < n; ++i) s.push_back(table[i].status);
        return s;
    }
    std::string Discount(std::size_t i) { return std::string(table[i].discount, 8); }
};

TEST_F(CouponTracking, ResetTakesTotalsPaymentsAndSerialFromTheReplies) {
    printer.fiscal.paymentTotals = {100, 200, 0, 0, 0, 0, 700, 800, 0, 1000};
    printer.factoryNumber = "AB1234567";
    LoadReplies();
    g_fiscal.DataInconsistent = true;
    g_fiscal.AdjustmentOrder = 2;
    PutItem(0, "1", "0001000", "1", "1", "X", "I", "0", kItemConfirmed);
    ResetDocument();
    EXPECT_TRUE(ItemTableEmpty());
    EXPECT_TRUE(g_fiscal.CouponClosed);
    EXPECT_FALSE(g_fiscal.DataInconsistent);
    EXPECT_EQ(g_fiscal.AdjustmentOrder, 0);
    EXPECT_EQ(g_fiscal.GrandTotalAtStart, 100000u);
    EXPECT_EQ(g_fiscal.ExpectedGrandTotal, 100000u);
    EXPECT_EQ(g_fiscal.PaymentStart, (std::array<int64_t, 10>{100, 200, 0, 0, 0, 0, 700, 800, 0, 1000}));
    EXPECT_EQ(g_fiscal.PaymentEnd[9], -1);
    EXPECT_STREQ(g_fiscal.SerialNumber.data(), "AB1234567");
    EXPECT_STREQ(g_fiscal.DocumentDiscount.data(), "000000000000");
}

// The reset clears only the slots written since the last one: a long coupon
// after short ones, and a short one after a long one, must each leave the whole
// table empty, up to its last slot.
TEST_F(CouponTracking, EveryResetLeavesTheWholeTableEmpty) {
    auto tableIsZero = [&] {
        const auto* bytes = reinterpret_cast<const unsigned char*>(table.get());
        for (std::size_t i = 0; i < sizeof(ItemRecord) * kItemAllocated; ++i)
            if (bytes[i] != 0) return false;
        return true;
    };
    uint64_t total = 100000;
    auto coupon = [&](std::size_t items) {
        for (std::size_t k = 0; k < items; ++k) {
            AddItem(Item("A", 100));
            GrandTotal(total += 100);
            ConfirmItemByTotal();
        }
        EXPECT_EQ(Statuses(items).back(), kItemConfirmed) << items;
        ResetDocument();
        EXPECT_TRUE(tableIsZero()) << items;
    };
    for (std::size_t items : {std::size_t{3}, std::size_t{40}, std::size_t{1}, kItemSlots, std::size_t{2}}) coupon(items);
    // The last slot too, written alone.
    ItemSlot(kItemSlots - 1).status = kItemConfirmed;
    ResetDocument();
    EXPECT_TRUE(tableIsZero());
}

TEST_F(CouponTracking, ItemsConfirmedOrDroppedByTheGrandTotal) {
    // An item the printer refused: the grand total did not move, the slot is freed.
    AddItem(Item("A", 500));
    EXPECT_EQ(g_fiscal.ExpectedGrandTotal, 100500u);
    GrandTotal(100000);
    EXPECT_EQ(ConfirmItemByTotal(), 0);
    EXPECT_EQ(Statuses(), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(ItemTableEmpty());
    EXPECT_EQ(g_fiscal.ExpectedGrandTotal, 100000u);

    // A second item command before the first is confirmed takes its slot.
    AddItem(Item("B", 300));
    AddItem(Item("C", 200));
    EXPECT_EQ(std::string(table[0].code, 1), "C");
    EXPECT_EQ(Statuses(), (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(HasConfirmedItem(), 0);
    GrandTotal(100500);
    EXPECT_EQ(ConfirmItemByTotal(), 0);
    EXPECT_EQ(Statuses(), (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(HasConfirmedItem(), 1);

    // The grand total grows by less than the item: the item was not registered.
    AddItem(Item("D", 400));
    GrandTotal(100600);
    EXPECT_EQ(ConfirmItemByTotal(), 0);
    EXPECT_EQ(Statuses(), (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_FALSE(g_fiscal.DataInconsistent);

    // Beyond what was registered: inconsistent, and the item stays unconfirmed.
    AddItem(Item("E", 100));
    GrandTotal(109999);
    EXPECT_EQ(ConfirmItemByTotal(), 1);
    EXPECT_TRUE(g_fiscal.DataInconsistent);
    EXPECT_EQ(Statuses(), (std::vector<uint8_t>{2, 1, 0, 0}));
}

TEST_F(CouponTracking, AnItemCommandIsReadFieldByField) {
    AddItem("\x1B.0178912345600120002000000002190000000004380ARROZ TIPO 1 5KG        T01 EXTRA DESCRICAO}");
    const ItemRecord& item = table[0];
    EXPECT_EQ(std::string(item.code, 13), "7891234560012");
    EXPECT_EQ(std::string(item.quantity, 7), "0002000");
    EXPECT_EQ(std::string(item.unitPrice, 8), "00002190");
    EXPECT_EQ(std::string(item.total, 11), "00000004380");
    EXPECT_EQ(std::string(item.tax, 3), "T01");
    EXPECT_EQ(std::string(item.description, 64), "ARROZ TIPO 1 5KG         EXTRA DESCRICAO" + std::string(24, ' '));
    EXPECT_EQ(Discount(0), "00000000");

    // A command cut short reads as if NULs stood beyond its end.
    ResetDocument();
    AddItem("\x1B.017891234");
    EXPECT_EQ(std::string(table[0].code, 13), std::string("7891234") + std::string(6, '\0'));
    EXPECT_EQ(std::string(table[0].description, 64), std::string(64, ' '));
    EXPECT_EQ(table[0].status, kItemRegistered);
}

TEST_F(CouponTracking, ItemDiscountsAcceptedOrUndone) {
    PutItem(0, "A", "0001000", "00000500", "00000000500", "X", "T01", "00000000", kItemConfirmed);
    // Basic models: the amount at 14-25; refused by the printer and the subtotal unchanged: undone.
    const std::string before = Reply28After(1, 'P', 500);
    TakeItemDiscount("\x1B.02DESCONTO  000000000050}");
    EXPECT_EQ(Discount(0), "00000050");
    Reply28After(2, 'E', 500);
    CheckItemDiscount(before);
    EXPECT_EQ(Discount(0), "00000000");

    // Accepted: the subtotal fell by the discount.
    TakeItemDiscount("\x1B.02DESCONTO  000000000050}");
    Reply28After(1, 'P', 450);
    CheckItemDiscount(before);
    EXPECT_EQ(Discount(0), "00000050");
    EXPECT_TRUE(g_fiscal.ItemDiscountTaken);

    // A later refusal in the coupon leaves the accepted discount alone.
    Reply28After(2, 'E', 450);
    CheckItemDiscount(before);
    EXPECT_EQ(Discount(0), "00000050");

    // Extended models: the amount at 8-19; not digits: no discount.
    ResetDocument();
    g_session.ModelGate = 1;
    PutItem(0, "A", "0001000", "00000500", "00000000500", "X", "T01", "00000000", kItemConfirmed);
    TakeItemDiscount("\x1B.02DESC00000000007X}");
    EXPECT_EQ(Discount(0), "00000000");
    TakeItemDiscount("\x1B.02DESC000000000070}");
    EXPECT_EQ(Discount(0), "00000070");
    // A cancelled item takes no discount.
    table[0].status = kItemCancelled;
    std::memcpy(table[0].discount, "00000000", 8);
    TakeItemDiscount("\x1B.02DESC000000000070}");
    EXPECT_EQ(Discount(0), "00000000");
}

TEST_F(CouponTracking, ItemCancellations) {
    for (std::size_t i = 0; i < 4; ++i)
        PutItem(i, "A", "0001000", "00000500", "00000000500", "X", "T01", "00000000", kItemConfirmed);
    RequestItemCancel("\x1B.04003}");
    EXPECT_EQ(Statuses(5), (std::vector<uint8_t>{2, 2, 3, 2, 0}));
    Reply28After(4, 'P', 1500);
    ResolveItemCancel();
    EXPECT_EQ(Statuses(5), (std::vector<uint8_t>{2, 2, 4, 2, 0}));

    // Without digits: the last item; refused by the printer: restored.
    RequestItemCancel("\x1B.04}");
    EXPECT_EQ(Statuses(5), (std::vector<uint8_t>{2, 2, 4, 3, 0}));
    Reply28After(4, 'E', 1500);
    ResolveItemCancel();
    EXPECT_EQ(Statuses(5), (std::vector<uint8_t>{2, 2, 4, 2, 0}));

    // A number beyond the table means the last item too; a cancelled item stays cancelled.
    RequestItemCancel("\x1B.04000}");
    EXPECT_EQ(table[3].status, kItemCancelRequested);
    table[3].status = kItemConfirmed;
    RequestItemCancel("\x1B.04003}");
    EXPECT_EQ(table[2].status, kItemCancelled);
}

TEST_F(CouponTracking, SubtotalDiscountAndIncrease) {
    PutItem(0, "A", "0001000", "00000500", "00000000500", "X", "T01", "00000000", kItemConfirmed);
    g_fiscal.GrandTotalAtStart = 100000;
    g_fiscal.ExpectedGrandTotal = 100500;
    // An increase first: accepted by the grand total.
    TakeSubtotalIncrease("\x1B.11ACRESC00000000050}");
    EXPECT_STREQ(g_fiscal.DocumentIncrease.data(), "000000000050");
    EXPECT_EQ(g_fiscal.ExpectedGrandTotal, 100550u);
    GrandTotal(100550);
    EXPECT_EQ(CheckSubtotalIncrease(), 0);
    EXPECT_EQ(g_fiscal.AdjustmentOrder, 2);
    // Taken once only.
    TakeSubtotalIncrease("\x1B.11ACRESC00000000099}");
    EXPECT_STREQ(g_fiscal.DocumentIncrease.data(), "000000000050");

    // Then two discounts, the second refused.
    const std::string before = Reply28After(11, 'P', 550);
    Reply28After(3, 'P', 450);
    ApplySubtotalDiscount(before, "\x1B.03DESC SUBT 000000000100}");
    EXPECT_STREQ(g_fiscal.DocumentDiscount.data(), "000000000100");
    EXPECT_EQ(g_fiscal.AdjustmentOrder, 2);
    Reply28After(3, 'E', 450);
    ApplySubtotalDiscount(before, "\x1B.03DESC SUBT 000000000030}");
    EXPECT_STREQ(g_fiscal.DocumentDiscount.data(), "000000000100");

    // A discount refused in a fresh coupon goes back to zeros.
    ResetDocument();
    Reply28After(3, 'E', 450);
    ApplySubtotalDiscount(Reply28(), "\x1B.03DESC SUBT 000000000030}");
    EXPECT_STREQ(g_fiscal.DocumentDiscount.data(), "000000000000");

    // An increase the grand total does not show is refused and undone.
    g_fiscal.GrandTotalAtStart = 100000;
    g_fiscal.ExpectedGrandTotal = 100500;
    TakeSubtotalIncrease("\x1B.11ACRESC00000000050}");
    GrandTotal(100000 + 900);
    EXPECT_EQ(CheckSubtotalIncrease(), 1);
    EXPECT_STREQ(g_fiscal.DocumentIncrease.data(), "000000000000");
}

TEST_F(CouponTracking, CancelCouponAndTheInconsistencyRule) {
    PutItem(0, "A", "0001000", "00000500", "00000000500", "X", "T01", "00000000", kItemConfirmed);
    // A closed coupon that still holds items is not marked.
    g_fiscal.CouponClosed = true;
    MarkInconsistent();
    EXPECT_FALSE(g_fiscal.DataInconsistent);
    g_fiscal.CouponClosed = false;
    MarkInconsistent();
    EXPECT_TRUE(g_fiscal.DataInconsistent);

    Reply28After(5, 'E', 0);
    EXPECT_EQ(CancelCoupon(log::kInvalidFile), 1);
    EXPECT_FALSE(ItemTableEmpty());
    Reply28After(5, 'C', 0);
    const auto lines = Lines([](intptr_t h) { EXPECT_EQ(CancelCoupon(h), 0); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Col(lines[1], 123, 123), "S");
    EXPECT_TRUE(ItemTableEmpty());
    EXPECT_FALSE(g_fiscal.DataInconsistent);
}

TEST_F(CouponTracking, EveryOperationCopesWithAFullTable) {
    for (std::size_t i = 0; i < kItemSlots; ++i)
        PutItem(i, "A", "0001000", "00000500", "00000000500", "X", "T01", "00000000", kItemConfirmed);
    AddItem(Item("Z", 1));
    EXPECT_TRUE(g_fiscal.DataInconsistent);
    TakeItemDiscount("\x1B.02DESCONTO  000000000050}");
    CheckItemDiscount(Reply28());
    RequestItemCancel("\x1B.04}");
    ResolveItemCancel();
    EXPECT_EQ(ConfirmItemByTotal(), 0);
    EXPECT_EQ(table[kItemSlots].status, kItemFree);  // the spare slot is never touched
    const auto lines = Lines([](intptr_t h) { WriteDocument(h, true); });
    ASSERT_EQ(lines.size(), kItemSlots + 1);
    EXPECT_EQ(Col(lines[kItemSlots - 1], 59, 61), "999");  // item 1100 keeps the column's width
}

std::string Stamped(const char* stamp, const std::string& text, uint32_t seed) {
    char check[8];
    std::snprintf(check, sizeof check, "%04X", capture::RfdLineChecksum(text.c_str(), seed));
    std::string line = stamp;
    line.replace(25, 4, check);
    return line + text + "\r\n";
}

TEST(RfdVerifyLine, ChecksTheValueAndCutsTheText) {
    const char* stamp = "05/03/2008 10:20:30.400 <0000> = ";
    const uint32_t seed = 400u * 30u * 20u * 5u;
    struct Case {
        const char* what;
        std::string line;
        const char* text;  // nullptr: no result
    } cases[] = {
        {"a reply", Stamped(stamp, "\x1B.00.+0000}", seed), "\x1B.00.+0000}"},
        {"cut after the first brace", Stamped(stamp, "\x1B.01AB}", seed).substr(0, 33) + "\x1B.01AB}CD}\r\n",
         "\x1B.01AB}"},
        {"lower-case check", [&] {
             std::string l = Stamped(stamp, "\x1B.00.+0000}", seed);
             for (std::size_t i = 25; i < 29; ++i) l[i] = static_cast<char>(std::tolower(l[i]));
             return l;
         }(), "\x1B.00.+0000}"},
        {"wrong check", std::string(stamp) + "\x1B.00.+0000}\r\n", nullptr},
        {"no brace", Stamped(stamp, "\x1B.00.+0000", seed), nullptr},
        {"no ESC", Stamped(stamp, ".00.+0000}", seed), nullptr},
        {"no <", "05/03/2008 10:20:30.400 1B93> = \x1B.00.+0000}\r\n", nullptr},
        {"no >", "05/03/2008 10:20:30.400 <1B93 = \x1B.00.+0000}\r\n", nullptr},
        {"short line", "05/03/2008 <", nullptr},
    };
    for (const auto& c : cases) {
        std::array<char, capture::kRfdLineBuffer> line{};
        std::snprintf(line.data(), line.size(), "%s", c.line.c_str());
        const char* text = RfdVerifyLine(line.data(), line.size());
        if (c.text) {
            ASSERT_NE(text, nullptr) << c.what;
            EXPECT_STREQ(text, c.text) << c.what;
        } else {
            EXPECT_EQ(text, nullptr) << c.what;
        }
    }
}

TEST(AcceptLine, SkipsUndatedLinesAndFlagsBadChecks) {
    const char* stamp = "05/03/2008 10:20:30.400 <0000> = ";
    const uint32_t seed = 400u * 30u * 20u * 5u;
    const std::string good = Stamped(stamp, "\x1B.00.+0000}", seed);
    std::string letterInYear = good;
    letterInYear[9] = 'A';
    std::string badCheck = good;
    badCheck[25] = badCheck[25] == '0' ? '1' : '0';
    struct Case {
        std::string line;
        LineVerdict verdict;
    } cases[] = {{good, LineVerdict::Accepted}, {letterInYear, LineVerdict::Skipped}, {badCheck, LineVerdict::Inconsistent}};
    for (const auto& c : cases) {
        std::array<char, capture::kRfdRecordBuffer> record{};
        const int n = capture::RfdEncodeRecord(record, c.line.c_str());
        ASSERT_GT(n, 0);
        std::array<char, capture::kRfdLineBuffer> line{};
        char* text = nullptr;
        EXPECT_EQ(AcceptLine(record.data(), static_cast<std::size_t>(n), line.data(), line.size(), &text), c.verdict)
            << c.line;
    }
    std::array<char, capture::kRfdLineBuffer> line{};
    char* text = nullptr;
    EXPECT_EQ(AcceptLine("garbage\x04", 8, line.data(), line.size(), &text), LineVerdict::Skipped);
}

TEST_F(CouponTracking, SnapshotsNeverTakeZeroedCounters) {
    printer.fiscal.taxExempt = 350;
    printer.fiscal.taxTotals[0] = 4380;
    LoadReplies();
    SavedStatus1()[0] = SavedStatus3()[0] = 0;
    SnapshotStatus();
    EXPECT_EQ(Part(Saved3(), 21, 12), "000000000350");
    // After a reduction the printer shows zeros: the snapshot keeps the counters.
    printer.fiscal.taxExempt = 0;
    printer.fiscal.taxTotals[0] = 0;
    Store(27, '3', sim::Status27Record(printer, '3'));
    SnapshotStatus();
    EXPECT_EQ(Part(Saved3(), 21, 12), "000000000350");
    // Status 1 is taken again only at the counter of the finished document.
    printer.fiscal.coo = 99;
    Store(27, '1', sim::Status27Record(printer, '1'));
    SnapshotStatus();
    EXPECT_EQ(Part(Saved1(), 13, 4), "0001");
    SetField(g_documentCrzText, "0000");
    SnapshotStatus();
    EXPECT_EQ(Part(Saved1(), 13, 4), "0099");
}

TEST_F(CouponTracking, NonFiscalSumAddsEveryTotalizer) {
    printer.fiscal.nonFiscalTotals = {1000, 2000};
    printer.fiscal.moreTotals[0][0] = 5;
    printer.fiscal.moreTotals[6][6] = 999999999999ULL;
    LoadReplies();
    EXPECT_EQ(NonFiscalSum(), 1000u + 2000u + 5u + 999999999999ULL);
    capture::g_capture.cache.status8toE[6][0] = 0;
    EXPECT_EQ(NonFiscalSum(), 3005u);
}

}  // namespace
}  // namespace moldrin::fiscalfile
