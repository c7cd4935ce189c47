// Exactly once: a command whose reply is lost is neither lost nor carried out
// twice. The printer's day and the day's fiscal records come out as if
// nothing had happened, whichever command of the day lost its reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ops/typed_day.h"
#include "store/rfd_file.h"
#include "support/fault_files.h"

namespace moldrin::ops {
namespace {

class ExactlyOnce : public TypedDay {
protected:
    // The faults hit the day's capture file alone.
    static void OnTheDaysFile(testing::FaultFiles& files) {
        char rfd[64];
        ASSERT_TRUE(capture::RfdFileName(rfd, sizeof rfd, 9, 12, 2026));
        files.OnlyFor(rfd);
    }
};

TEST_F(ExactlyOnce, ALostReplyAtAnyCommandLeavesTheDayAsIfNothingHappened) {
    const auto steps = ShortDay();
    const Day undisturbed = RunDay(steps);
    ASSERT_GT(undisturbed.commands, steps.size());  // the receipt takes two
    ASSERT_FALSE(undisturbed.records.empty());
    for (std::size_t lost = 1; lost <= undisturbed.commands; ++lost) {
        SCOPED_TRACE("reply of command " + std::to_string(lost) + " lost");
        const Day day = RunDay(steps, lost);
        EXPECT_EQ(day.status, undisturbed.status);
        EXPECT_EQ(day.records, undisturbed.records);
        int recovered = 0;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            recovered += day.results[i].recovered;
            EXPECT_EQ(day.results[i].resent, 0) << steps[i].name;
            // What the operation read back does not depend on the reply.
            EXPECT_EQ(day.results[i].itemNumber, undisturbed.results[i].itemNumber) << steps[i].name;
            EXPECT_EQ(day.results[i].change, undisturbed.results[i].change) << steps[i].name;
            EXPECT_EQ(day.results[i].coo, undisturbed.results[i].coo) << steps[i].name;
        }
        EXPECT_EQ(recovered, 1);
    }
}

// A command that never reached the printer, whichever it is, is sent again and
// the day's fiscal records come out as if nothing had happened: a close the
// printer did not take leaves the coupon's payments to the close it took.
TEST_F(ExactlyOnce, ACommandThePrinterNeverTookAtAnyPointLeavesTheDayAsItWas) {
    const auto steps = ShortDay();
    const Day undisturbed = RunDay(steps);
    ASSERT_FALSE(undisturbed.records.empty());
    for (std::size_t drop = 1; drop <= undisturbed.commands; ++drop) {
        SCOPED_TRACE("command " + std::to_string(drop) + " never reached the printer");
        dropAt_ = drop;
        const Day day = RunDay(steps);
        EXPECT_EQ(day.status, undisturbed.status);
        EXPECT_EQ(day.records, undisturbed.records);
        EXPECT_EQ(day.commands, undisturbed.commands + 1);
    }
    dropAt_ = 0;
}

// The disk is full from each close's reply until the capture has read the
// printer's payment totals after it: the status reads it could not record are
// read again once there is room, and the day's fiscal records come out whole.
TEST_F(ExactlyOnce, StatusReadsTheFullDiskKeptOutAreReadAgain) {
    const auto steps = ShortDay();
    const Day undisturbed = RunDay(steps);
    ASSERT_FALSE(undisturbed.records.empty());
    testing::FaultFiles files;
    OnTheDaysFile(files);
    bool closed = false, totalsRead = false;
    int full = 0;
    responder_ = [&](std::string_view frame) -> std::optional<std::string> {
        if (totalsRead) {
            files.failWrite = false;
            closed = totalsRead = false;
        }
        if (frame.substr(0, 4) == "\x1B.06") {
            closed = true;
        } else if (closed && (frame.substr(0, 4) == "\x1B.27" || frame.substr(0, 4) == "\x1B.28")) {
            if (!files.failWrite) ++full;
            files.failWrite = true;
            totalsRead = frame == "\x1B.277}";
        }
        return std::nullopt;
    };
    const Day day = RunDay(steps);
    responder_ = nullptr;
    EXPECT_GT(full, 0);
    EXPECT_EQ(day.status, undisturbed.status);
    EXPECT_EQ(day.records, undisturbed.records);
}

// The disk is full from each item's sending until the capture's next status
// read after it (a write cut short, then none): the item's reply and the
// status that confirms it wait in memory and reach the day's file ahead of
// that read, so the file is the undisturbed one, with nothing cut in it.
TEST_F(ExactlyOnce, RecordsAFullDiskKeptOutReachTheFileInTheirOrder) {
    const auto steps = ShortDay();
    const Day undisturbed = RunDay(steps);
    ASSERT_FALSE(undisturbed.records.empty());
    testing::FaultFiles files;
    OnTheDaysFile(files);
    bool full = false;
    int items = 0;
    responder_ = [&](std::string_view frame) -> std::optional<std::string> {
        if (frame.substr(0, 4) == "\x1B.01") {
            ++items;
            full = true;
            files.spaceLeft = 5;
        } else if (full && frame == "\x1B.28}") {
            full = false;
            files.spaceLeft = -1;
        }
        return std::nullopt;
    };
    const Day day = RunDay(steps);
    responder_ = nullptr;
    EXPECT_GT(items, 1);
    EXPECT_EQ(day.status, undisturbed.status);
    EXPECT_EQ(day.records, undisturbed.records);
}

// The printer takes the Z reduction and is then unplugged before its reply
// comes: the closing cannot wait for it. Once it is back, the reduction is
// settled as done, and the day's file shows it done.
TEST_F(ExactlyOnce, AReductionThePrinterTookBeforeItWentAwayIsInTheDaysFile) {
    auto steps = ShortDay();
    const Day undisturbed = RunDay(steps);
    ASSERT_FALSE(undisturbed.records.empty());
    bool away = false;
    responder_ = [&](std::string_view frame) -> std::optional<std::string> {
        if (frame == "\x1B.14}") {
            sim::Faults f;
            f.lostReplies = 1;
            f.dsrLow = true;
            printer->SetFaults(f);
            away = true;
        }
        return std::nullopt;
    };
    steps.back().run = [this](MoldrinOpsResult* r) {
        int status = MoldrinZReduction(r);
        if (status == MOLDRIN_OPS_UNDECIDED) {
            printer->SetFaults({});
            status = MoldrinZReduction(r);
            EXPECT_EQ(r->recovered, 1);
        }
        return status;
    };
    const Day day = RunDay(steps);
    responder_ = nullptr;
    EXPECT_TRUE(away);
    EXPECT_EQ(day.status, undisturbed.status);
    EXPECT_EQ(day.records, undisturbed.records);
}

// A command the printer never took (the line dropped it) is sent again, once.
TEST_F(ExactlyOnce, ACommandThePrinterNeverTookIsSentAgain) {
    Open();
    ASSERT_EQ(SetTimeoutRead(1), 0);
    bool dropped = false;
    printer->SetResponder([&dropped](std::string_view frame) -> std::optional<std::string> {
        if (!dropped && frame.substr(0, 4) == "\x1B.01") {
            dropped = true;
            return std::string();  // neither carried out nor answered
        }
        return std::nullopt;
    });
    MoldrinOpsResult r{};
    ASSERT_EQ(MoldrinSellItem("1", "PAO", 2000, "un", 150, 2, "T01", &r), MOLDRIN_OPS_OK) << r.reason;
    EXPECT_EQ(r.resent, 1);
    EXPECT_EQ(r.recovered, 0);
    EXPECT_EQ(r.itemNumber, 1u);
    EXPECT_EQ(printer->State().day.doc.items.size(), 1u);
    EXPECT_EQ(printer->State().grandTotal, static_cast<uint64_t>(capture::kGrandTotal + 300));
    printer->SetResponder(nullptr);
}

// A reply lost while the printer cannot be asked either (unplugged): the
// operation is left undecided, and calling it again once the printer is back
// settles it without carrying the command out a second time; a refused
// command whose reply was lost is reported refused.
TEST_F(ExactlyOnce, AnUndecidedCommandIsSettledByTheNextCall) {
    Open();
    ASSERT_EQ(SetTimeoutRead(1), 0);
    MoldrinOpsResult r{};
    ASSERT_EQ(MoldrinOpenCoupon("", &r), MOLDRIN_OPS_OK);
    sim::Faults unplugged;
    unplugged.lostReplies = 1;
    printer->SetResponder([this, unplugged](std::string_view frame) -> std::optional<std::string> {
        // The item is carried out, then the printer falls silent.
        if (frame.substr(0, 4) == "\x1B.01") {
            sim::Faults f = unplugged;
            f.silent = false;
            printer->SetFaults(f);
        } else if (printer->State().day.doc.items.size() == 1) {
            sim::Faults f;
            f.silent = true;
            printer->SetFaults(f);
        }
        return std::nullopt;
    });
    EXPECT_EQ(MoldrinSellItem("1", "PAO", 2000, "un", 150, 2, "T01", &r), MOLDRIN_OPS_UNDECIDED);
    EXPECT_NE(std::string(r.reason).find("call again"), std::string::npos) << r.reason;
    EXPECT_EQ(printer->State().day.doc.items.size(), 1u);

    // Still unplugged: still undecided, and nothing else is sent meanwhile.
    EXPECT_EQ(MoldrinPay(1, 300, &r), MOLDRIN_OPS_UNDECIDED);
    EXPECT_EQ(printer->State().fiscal.paymentTotals[0], 0u);

    // Back: the same call settles it.
    printer->SetResponder(nullptr);
    printer->SetFaults({});
    ASSERT_EQ(MoldrinSellItem("1", "PAO", 2000, "un", 150, 2, "T01", &r), MOLDRIN_OPS_OK) << r.reason;
    EXPECT_EQ(r.recovered, 1);
    EXPECT_EQ(r.itemNumber, 1u);
    EXPECT_EQ(printer->State().day.doc.items.size(), 1u);
    EXPECT_EQ(printer->State().grandTotal, static_cast<uint64_t>(capture::kGrandTotal + 300));

    // A refusal whose reply was lost.
    sim::Faults lost;
    lost.lostReplies = 1;
    printer->SetFaults(lost);
    EXPECT_EQ(MoldrinCloseCoupon("", &r), MOLDRIN_OPS_REFUSED);
    EXPECT_EQ(r.printerCode, 18);
    EXPECT_NE(std::string(r.reason).find("not paid"), std::string::npos) << r.reason;

    // Nothing pending: settling sends nothing.
    printer->ClearFrames();
    EXPECT_EQ(MoldrinOpsSettle(&r), MOLDRIN_OPS_OK);
    EXPECT_TRUE(Frames().empty());
}

}  // namespace
}  // namespace moldrin::ops
