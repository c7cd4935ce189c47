// The typed operations: the frames they build, the replies they read back,
// their refusals of bad arguments before anything is sent, and a whole day
// sold with them giving the fiscal file the same day sent as frames gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ops/command_layout.h"
#include "ops/typed_day.h"
#include "sim/scenario.h"

namespace moldrin::ops {
namespace {

using fiscalfile::CouponOf;
using fiscalfile::ItemOf;
using fiscalfile::Map;
using fiscalfile::OfType;
using fiscalfile::PaymentOf;

class TypedOperations : public TypedDay {
protected:
    std::vector<std::string> discounts_;
};

// The short day sold with typed operations gives, in the Z reduction's fiscal
// file, the items, coupons and payments of the same day sent as frames.
TEST_F(TypedOperations, AShortDayGivesTheFiscalRecordsOfTheFramesDay) {
    const auto steps = ShortDay();
    const Day day = RunDay(steps);
    EXPECT_EQ(Map(OfType(day.records, "E15"), ItemOf), fiscalfile::kShortDayItems);
    EXPECT_EQ(Map(OfType(day.records, "E14"), CouponOf), fiscalfile::kShortDayCoupons);
    EXPECT_EQ(Map(OfType(day.records, "E21"), PaymentOf), fiscalfile::kShortDayPayments);
    ASSERT_EQ(OfType(day.records, "E16").size(), 2u);

    // What the operations read back.
    auto result = [&](const char* name) {
        for (std::size_t i = 0; i < steps.size(); ++i)
            if (std::string(steps[i].name) == name) return day.results[i];
        ADD_FAILURE() << name;
        return MoldrinOpsResult{};
    };
    EXPECT_EQ(result("open coupon").ccf, 1u);
    EXPECT_EQ(result("open coupon").coo, 2u);
    EXPECT_EQ(result("rice").itemNumber, 1u);
    EXPECT_EQ(result("newspaper").itemNumber, 4u);
    EXPECT_EQ(result("newspaper").subtotal, 4380 + 1606 + 918 - 50 + 350);
    EXPECT_EQ(result("card").change, 0);
    EXPECT_EQ(result("cash").change, 146);
    EXPECT_EQ(result("haircut").itemNumber, 1u);
    EXPECT_EQ(result("haircut").ccf, 2u);
    EXPECT_EQ(result("Z reduction").crz, 1u);
    for (const auto& r : day.results) {
        EXPECT_EQ(r.recovered, 0);
        EXPECT_EQ(r.resent, 0);
    }
}

// On a model with the extended status the discounts are laid out otherwise;
// the operations find the model out and the day's records are the same.
TEST_F(TypedOperations, AnExtendedModelGetsItsOwnDiscountLayout) {
    fresh_->typedStatus28 = true;
    fresh_->statusGFlag = '1';
    responder_ = [this](std::string_view frame) -> std::optional<std::string> {
        if (frame.substr(0, 4) == "\x1B.02" || frame.substr(0, 4) == "\x1B.03") discounts_.emplace_back(frame);
        return std::nullopt;
    };
    const Day day = RunDayRegistered(ShortDay(), 'B', 1);
    EXPECT_EQ(Map(OfType(day.records, "E15"), ItemOf), fiscalfile::kShortDayItems);
    EXPECT_EQ(Map(OfType(day.records, "E14"), CouponOf), fiscalfile::kShortDayCoupons);
    EXPECT_EQ(Map(OfType(day.records, "E21"), PaymentOf), fiscalfile::kShortDayPayments);
    EXPECT_EQ(discounts_, (std::vector<std::string>{layout::ItemDiscount(50, true), layout::SubtotalDiscount(100, true)}));
}

// Each operation sends exactly the frame of the shared layouts.
TEST_F(TypedOperations, EachOperationSendsTheFrameOfTheLayouts) {
    Open();
    MoldrinOpsResult r{};
    struct Case {
        std::function<int()> run;
        std::string frame;
    };
    const Case cases[] = {
        {[&] { return MoldrinOpenCoupon("", &r); }, "\x1B.17}"},
        {[&] { return MoldrinSellItem("12", "PAO", 1500, "Kg", 1000, 2, "T01", &r); },
         layout::SellItem("12", 1500, 1000, "!PAO", "T01")},
        {[&] { return MoldrinItemDiscount(5, &r); }, "\x1B.02DESCONTO  000000000005}"},
        {[&] { return MoldrinSellItem("13", std::string(30, 'D').c_str(), 1000, "un", 100, 2, "I", &r); },
         std::string("\x1B.01") + "13           " + "0001000" + "0" + "00000100" + "000000000100" +
             std::string(24, 'D') + "I  " + "DDDDDD}"},
        {[&] { return MoldrinCancelItem(0, &r); }, "\x1B.04}"},
        {[&] { return MoldrinSubtotalIncrease(25, &r); }, "\x1B.11ACRESC00000000025}"},
        {[&] { return MoldrinPay(1, 2000, &r); }, "\x1B.1001000000002000}"},
        {[&] { return MoldrinCloseCoupon("VOLTE SEMPRE", &r); }, "\x1B.06VOLTE SEMPRE}"},
        {[&] { return MoldrinXReading(&r); }, "\x1B.13}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Printable(c.frame));
        printer->ClearFrames();
        EXPECT_EQ(c.run(), MOLDRIN_OPS_OK) << r.reason;
        EXPECT_EQ(CommandFrames(), std::vector<std::string>{c.frame});
    }
    EXPECT_EQ(r.coo, 3u);
}

// Bad arguments are refused before anything goes to the printer, naming the field.
TEST_F(TypedOperations, BadArgumentsAreRefusedBeforeAnythingIsSent) {
    Open();
    MoldrinOpsResult r{};
    struct Case {
        const char* field;
        std::function<int()> run;
    };
    const Case cases[] = {
        {"buyer", [&] { return MoldrinOpenCoupon("1234567890", &r); }},
        {"buyer", [&] { return MoldrinOpenCoupon("123.456.789-09", &r); }},
        {"buyer", [&] { return MoldrinSetBuyer("", &r); }},
        {"code", [&] { return MoldrinSellItem("", "PAO", 1000, "un", 100, 2, "T01", &r); }},
        {"code", [&] { return MoldrinSellItem("12345678901234", "PAO", 1000, "un", 100, 2, "T01", &r); }},
        {"code", [&] { return MoldrinSellItem(nullptr, "PAO", 1000, "un", 100, 2, "T01", &r); }},
        {"description", [&] { return MoldrinSellItem("1", "", 1000, "un", 100, 2, "T01", &r); }},
        {"description", [&] { return MoldrinSellItem("1", "PAO}", 1000, "un", 100, 2, "T01", &r); }},
        {"description", [&] { return MoldrinSellItem("1", "PAO\r\n", 1000, "un", 100, 2, "T01", &r); }},
        {"description", [&] { return MoldrinSellItem("1", std::string(64, 'A').c_str(), 1000, "un", 100, 2, "T01", &r); }},
        {"description", [&] { return MoldrinSellItem("1", "!PAO", 1000, "un", 100, 2, "T01", &r); }},
        {"quantity", [&] { return MoldrinSellItem("1", "PAO", 0, "un", 100, 2, "T01", &r); }},
        {"quantity", [&] { return MoldrinSellItem("1", "PAO", 10000000, "un", 100, 2, "T01", &r); }},
        {"unit", [&] { return MoldrinSellItem("1", "PAO", 1000, "cx", 100, 2, "T01", &r); }},
        {"unit", [&] { return MoldrinSellItem("1", "PAO", 1000, nullptr, 100, 2, "T01", &r); }},
        {"decimals", [&] { return MoldrinSellItem("1", "PAO", 1000, "un", 100, 4, "T01", &r); }},
        {"price", [&] { return MoldrinSellItem("1", "PAO", 1000, "un", 0, 2, "T01", &r); }},
        {"price", [&] { return MoldrinSellItem("1", "PAO", 1000, "un", 100000000, 2, "T01", &r); }},
        {"price", [&] { return MoldrinSellItem("1", "PAO", 1, "un", 9, 2, "T01", &r); }},  // below a cent
        {"tax", [&] { return MoldrinSellItem("1", "PAO", 1000, "un", 100, 2, "T1", &r); }},
        {"tax", [&] { return MoldrinSellItem("1", "PAO", 1000, "un", 100, 2, "X", &r); }},
        {"amount", [&] { return MoldrinItemDiscount(0, &r); }},
        {"amount", [&] { return MoldrinItemDiscount(100000000, &r); }},
        {"item", [&] { return MoldrinCancelItem(1000, &r); }},
        {"item", [&] { return MoldrinCancelItem(-1, &r); }},
        {"amount", [&] { return MoldrinSubtotalDiscount(-5, &r); }},
        {"amount", [&] { return MoldrinSubtotalIncrease(100000000000LL, &r); }},
        {"method", [&] { return MoldrinPay(0, 100, &r); }},
        {"method", [&] { return MoldrinPay(11, 100, &r); }},
        {"amount", [&] { return MoldrinPay(1, 0, &r); }},
        {"message", [&] { return MoldrinCloseCoupon(std::string(481, 'A').c_str(), &r); }},
        {"totalizer", [&] { return MoldrinNonFiscalReceipt(52, 1, 100, "", &r); }},
        {"method", [&] { return MoldrinNonFiscalReceipt(1, 0, 100, "", &r); }},
        {"text", [&] { return MoldrinNonFiscalReceipt(1, 1, 100, "A}B", &r); }},
    };
    for (const Case& c : cases) {
        r = MoldrinOpsResult{};
        EXPECT_EQ(c.run(), MOLDRIN_OPS_BAD_ARGUMENT) << c.field;
        EXPECT_EQ(r.status, MOLDRIN_OPS_BAD_ARGUMENT);
        EXPECT_STREQ(r.field, c.field) << r.reason;
        EXPECT_EQ(std::string(r.reason).rfind(c.field, 0), 0u) << r.reason;
    }
    EXPECT_TRUE(Frames().empty());
}

// The printer's refusals come back with their code and what it means; the
// fiscal capture's own refusals too.
TEST_F(TypedOperations, RefusalsCarryTheirReason) {
    Open();
    MoldrinOpsResult r{};
    EXPECT_EQ(MoldrinCloseCoupon("", &r), MOLDRIN_OPS_REFUSED);
    EXPECT_STREQ(r.reply, ".-0011}");
    EXPECT_EQ(r.printerCode, 11);
    EXPECT_NE(std::string(r.reason).find("not allowed now"), std::string::npos) << r.reason;
    EXPECT_EQ(MoldrinSellItem("1", "PAO", 1000, "un", 100, 2, "T09", &r), MOLDRIN_OPS_REFUSED);
    EXPECT_NE(std::string(r.reason).find("rate table"), std::string::npos) << r.reason;
    ASSERT_EQ(ECFClose(), 0);
    // No session: said so, nothing sent.
    printer->ClearFrames();
    EXPECT_EQ(MoldrinXReading(&r), MOLDRIN_OPS_NO_SESSION);
    EXPECT_NE(std::string(r.reason).find("ECFOpen"), std::string::npos);
    EXPECT_TRUE(Frames().empty());
}

// An application not registered: the capture answers nothing, and the
// operation says so, sending no sale.
TEST_F(TypedOperations, AnUnregisteredApplicationIsToldWhyNothingWasSent) {
    ASSERT_TRUE(std::filesystem::remove(root.Host(capture::kRegistrationFile)));
    Open();
    MoldrinOpsResult r{};
    EXPECT_EQ(MoldrinSellItem("1", "PAO", 1000, "un", 100, 2, "T01", &r), MOLDRIN_OPS_NOT_DELIVERED);
    EXPECT_STREQ(r.reply, ".-P006}");
    EXPECT_NE(std::string(r.reason).find("E00.BIN"), std::string::npos) << r.reason;
    EXPECT_TRUE(CommandFrames().empty());
    EXPECT_EQ(printer->State().fiscal.ccf, 0u);
}

// The status a point of sale reads: counters, totals, the open document.
TEST_F(TypedOperations, StatusShowsCountersTotalsAndTheOpenDocument) {
    Open();
    MoldrinOpsResult r{};
    ASSERT_EQ(MoldrinSellItem("1", "PAO", 2000, "un", 150, 2, "T01", &r), MOLDRIN_OPS_OK);
    ASSERT_EQ(MoldrinPay(3, 100, &r), MOLDRIN_OPS_OK);
    MoldrinOpsStatus s{};
    ASSERT_EQ(MoldrinReadStatus(&s, &r), MOLDRIN_OPS_OK) << r.reason;
    EXPECT_EQ(s.ccf, 1u);
    EXPECT_EQ(s.coo, 2u);
    EXPECT_EQ(s.crz, 0u);
    EXPECT_EQ(s.grandTotal, capture::kGrandTotal + 300);
    EXPECT_EQ(s.grossDailySale, 300);
    EXPECT_EQ(s.payments[2], 100);
    EXPECT_EQ(s.document, MOLDRIN_DOCUMENT_COUPON);
    EXPECT_EQ(s.items, 1u);
    EXPECT_EQ(s.subtotal, 300);
    EXPECT_EQ(s.lastCommand, 10);
    EXPECT_EQ(s.lastRefused, 0);
    EXPECT_STREQ(s.fiscalDate, "091226");
    EXPECT_STREQ(s.clock, "0912261020");
    EXPECT_STREQ(s.factoryNumber, "MS0300019");
    EXPECT_EQ(s.modelLetter, 'B');
    EXPECT_EQ(s.extended, 0);
    EXPECT_STREQ(s.paper, ".+P000.+0000}");
}

}  // namespace
}  // namespace moldrin::ops
