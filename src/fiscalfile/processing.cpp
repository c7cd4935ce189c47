// The processing driver: the per-record steps, the dispatch on the command
// number and the follow-ups of the replayed status replies.
#include "fiscalfile/processing.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_codec.h"
#include "store/rfd_file.h"
#include "store/rfd_reader.h"
#include "store/status_cache.h"
#include "fiscalfile/coupon_tracking.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/movement_records.h"
#include "fiscalfile/record_format.h"
#include "fiscalfile/rfd_line.h"
#include "fiscalfile/work_files.h"
#include "log/file_helpers.h"
#include "log/traffic_log.h"
#include "log/text.h"
#include "ui/boxes.h"

namespace moldrin::fiscalfile {

using capture::g_capture;

namespace {

constexpr std::size_t kHeldMax = 512;

// Set by ReductionTakenAtEnd for the next call.
bool g_reductionTakenAtEnd = false;

void ErrorBox(const char* what, const char* path) {
    char text[400];
    FormatRecord(text, "%s%s", {Txt(what), Txt(TextOf(path, 260))});
    ui::ErrorBox(text);
}

std::string_view View(const char* s, std::size_t cap) { return TextOf(s, cap); }

bool IsCommand(std::string_view text, const char* number) { return Part(text, 2, 2) == number; }

bool AllOf(std::string_view text, std::size_t width, char c) {
    if (text.size() < width) return false;
    for (std::size_t i = 0; i < width; ++i)
        if (text[i] != c) return false;
    return true;
}

// What the header records read, as it stood at one moment: the day's totals
// are those the printer showed at its Z reduction, whatever the capture file
// holds after it (a refused second reduction, a later session's status).
struct HeaderState {
    capture::StatusCache cache;
    std::array<char, 132> saved1{}, saved3{};
    uint32_t userCount = 0;
    std::array<char, 130> lastUserEntry{};
    std::array<char, 7> softwareDate{}, softwareTime{}, movementDate{};
    uint64_t grandTotal = 0, nonFiscalTotal = 0;
    char modelLetter = 0;
    int8_t modelGate = 0;

    void Take() {
        const FiscalFileState& f = g_fiscal;
        cache = g_capture.cache;
        saved1 = SavedStatus1();
        saved3 = SavedStatus3();
        userCount = f.UserCount;
        lastUserEntry = f.LastUserEntry;
        softwareDate = f.SoftwareDate;
        softwareTime = f.SoftwareTime;
        movementDate = f.MovementDate;
        grandTotal = f.GrandTotal;
        nonFiscalTotal = f.NonFiscalTotal;
        modelLetter = g_capture.ModelLetter;
        modelGate = g_session.ModelGate.load();
    }
    void Put() const {
        FiscalFileState& f = g_fiscal;
        g_capture.cache = cache;
        SavedStatus1() = saved1;
        SavedStatus3() = saved3;
        f.UserCount = userCount;
        f.LastUserEntry = lastUserEntry;
        f.SoftwareDate = softwareDate;
        f.SoftwareTime = softwareTime;
        f.MovementDate = movementDate;
        f.GrandTotal = grandTotal;
        f.NonFiscalTotal = nonFiscalTotal;
        g_capture.ModelLetter = modelLetter;
        g_session.ModelGate = modelGate;
    }
};

// What a status-1 line changed, to be put back when it proves to be the next
// printer's: a session started after a printer was swapped first reads the
// reply to the status 1 asked at the end of the last one, before the new
// printer's serial number.
struct Status1Before {
    capture::CachedReply reply{};
    uint64_t grandTotal = 0;
    std::array<char, 7> movementDate{}, firstMovementDate{};
    char modelLetter = 0;
};

// The state of one call.
struct Driver {
    int awaited = 0;
    std::array<char, kHeldMax + 1> held{};
    std::array<char, 21> heldBuyer{};
    // The grand total as the replay knew it when the held item was sent.
    uint64_t grandTotalAtItem = 0;
    std::array<char, 133> previous28{};
    bool documentEnded = true;
    bool nonFiscalAdded = false;
    bool printerChanged = false;
    bool reductionSeen = false;
    std::array<std::array<char, 10>, 10> processed{};
    log::FileHandle work = log::kInvalidFile;
    const char* path = nullptr;
    // The payment totals the open coupon began with, when a status reply gave them.
    std::array<int64_t, kPaymentMethods> couponPaymentStart{};
    bool couponPaymentStartKnown = false;
    // The coupon closed last while no other document followed: where its E14
    // line is in the work file (-1 none) and the payment totals it began with.
    // The printer may still cancel it.
    int32_t closedCouponAt = -1;
    std::array<int64_t, kPaymentMethods> closedCouponStart{};
    // The header state at the last Z reduction of the current printer.
    HeaderState dayClosed;
    bool dayClosedTaken = false;
    // Status 3 and status 1 before the latest of their lines, and whether
    // the line before the current one was a status 1.
    capture::CachedReply before3{};
    Status1Before before1;
    bool lastWasStatus1 = false;
    // A new printer's serial was read: its status 3 waits for the first
    // printer's file to be made, at the next line. Whether a status 1 came
    // right before the serial (whose printer a status 1 right after it tells).
    bool changePending = false;
    capture::CachedReply newStatus3{};
    bool status1BeforeSerial = false;
    Status1Before beforeSerial;

    std::string_view Held() const { return View(held.data(), kHeldMax); }
    std::string_view Previous28() const { return View(previous28.data(), 132); }
    void Hold(std::string_view t) { SetField(held, t); }
    void TakePrevious28() { SetField(previous28, Reply28()); }
    void TakeCrz() { SetField(g_documentCrzText, Part(Reply27('1'), 40, 4)); }
    void AddNonFiscalSumOnce() {
        if (nonFiscalAdded) return;
        g_fiscal.NonFiscalTotal += NonFiscalSum();
        nonFiscalAdded = true;
    }
    // The payments the coupon's payment commands made, as their replies
    // accepted them (method 1 to 10), and whether its close was answered "+".
    std::array<int64_t, kPaymentMethods> paidByCommands{};
    int pendingMethod = 0;
    int64_t pendingAmount = 0;
    int lastPaidMethod = 0;
    bool closeAnswered = false;
    // A status 28 read after a close whose reply never came showed the document
    // still open: the printer did not take the close, and the payment totals
    // read next are the open coupon's, not its final ones.
    bool closeRefuted = false;
    // The status 28 that showed the close taken was followed up: the same
    // status read again (a session opened anew before the payment totals were
    // read) must not write the coupon again nor take its payments' start from
    // the totals its own payments already moved.
    bool closeFollowed = false;
    bool CloseTaken() const { return (awaited == 6 || awaited == 12) && !closeRefuted; }
    void Judge28(std::string_view r) {
        if ((awaited == 6 || awaited == 12) && !closeAnswered)
            closeRefuted = !(Reply28LastCommand(r) == awaited && Reply28Letter(r) != 'E');
    }
    void ForgetPayments() {
        paidByCommands = {};
        pendingMethod = lastPaidMethod = 0;
        closeAnswered = false;
    }
    void FinishCoupon() {
        // A coupon whose close was answered but whose status after it was
        // never recorded (the session ended, the printer was swapped): its
        // payments are those its payment commands made, the change taken off
        // the payment that went beyond the net value.
        const bool closedUnseen = awaited == 6 && closeAnswered && !ItemTableEmpty();
        uint64_t net = 0;
        WriteDocument(work, true, &net);
        if (closedUnseen) {
            bool known = false;
            for (int64_t end : g_fiscal.PaymentEnd)
                if (end >= 0) known = true;
            if (!known) TakePaymentsFromCommands(net);
        } else if (awaited == 6 && !ItemTableEmpty() && !closeAnswered) {
            // Nothing tells what the printer made of the close.
            ++g_paymentsUnknown;
        }
        WriteE21(work);
        ResetDocument();
        ForgetPayments();
    }
    void TakePaymentsFromCommands(uint64_t net) {
        int64_t paid = 0;
        for (int64_t p : paidByCommands) paid += p;
        if (paid <= 0) {
            ++g_paymentsUnknown;
            return;
        }
        std::array<int64_t, kPaymentMethods> end = paidByCommands;
        const int64_t change = paid - static_cast<int64_t>(net);
        if (change > 0 && lastPaidMethod > 0) end[lastPaidMethod - 1] -= std::min(change, end[lastPaidMethod - 1]);
        for (std::size_t k = 0; k < kPaymentMethods; ++k) {
            g_fiscal.PaymentStart[k] = 0;
            g_fiscal.PaymentEnd[k] = end[k] > 0 ? end[k] : -1;
        }
    }
    // A coupon's payments are read only after its close, so the close keeps
    // the totals the coupon began with: a session reopened in the middle of
    // the payments re-read the totals with some of them already in.
    void KeepCouponPaymentStart() {
        if (couponPaymentStartKnown) g_fiscal.PaymentStart = couponPaymentStart;
        couponPaymentStartKnown = false;
    }
};

// What ResetCaptureState leaves of the generation's own fields.
void ResetGenerationFields() {
    capture::ResetCaptureState();
    g_fiscal.SerialNumber[0] = 0;
    g_fiscal.MovementDate[0] = 0;
    g_fiscal.FirstMovementDate[0] = 0;
}

// Digits among a part of the text, up to a "}".
void TakeDigits(std::array<char, 21>& out, std::string_view t, std::size_t from, std::size_t width) {
    std::size_t n = 0;
    for (char c : Part(t, from, width)) {
        if (c == '}') break;
        if (c >= '0' && c <= '9' && n + 1 < out.size()) out[n++] = c;
    }
    out[n] = 0;
}

void StartOfCoupon(Driver& d) {
    d.FinishCoupon();
    d.closedCouponAt = -1;
    // However the coupon was opened, by its own command or by its first item,
    // its records carry its own counters.
    d.TakeCrz();
    d.couponPaymentStart = g_fiscal.PaymentStart;
    d.couponPaymentStartKnown = !Reply27('6').empty();
    SetField(g_fiscal.BuyerId, View(d.heldBuyer.data(), 20));
    g_fiscal.CouponInProgress = true;
    g_fiscal.CouponClosed = false;
    d.documentEnded = false;
    if (IsCommand(d.Held(), "01")) AddItem(d.Held());
    d.held[0] = 0;
}

void DocumentDone(Driver& d, int a) {
    if (!d.nonFiscalAdded && a == 19) d.AddNonFiscalSumOnce();
    d.FinishCoupon();
    d.closedCouponAt = -1;
    g_fiscal.CouponInProgress = false;
    d.documentEnded = false;
    const std::string_view held = d.Held();
    if (held.empty()) return;
    const int m = AllDigits(Part(held, 2, 2), 2) ? static_cast<int>(DigitsValue(Part(held, 2, 2), 2)) : -1;
    if (m >= 13 && m <= 19 && m != 17) {
        d.TakeCrz();
        if (a == 14) {
            // The reduction is not in the counters of the replies yet.
            auto& status1 = g_capture.cache.status1;
            const std::size_t length = strnlen(status1.data(), 128);
            for (std::size_t at : {std::size_t{13}, std::size_t{40}}) {
                if (length < at + 4) continue;
                // The first four characters of the next value (9999 becomes 1000).
                char next[8];
                const uint64_t value = DigitsValue(Part(Reply27('1'), at, 4), 4) + 1;
                FormatRecord(next, value < 10000 ? "%04u" : "%u", {Num(value)});
                std::memcpy(status1.data() + at, next, 4);
            }
            SetField(SavedStatus1(), Reply27('1'));
            d.TakePrevious28();
            d.reductionSeen = true;
        } else {
            SnapshotStatus();
        }
        WriteE16(d.work, d.held.data());
        if (a == 14) {
            // The totals of the day as they stand now; the non-fiscal sum
            // still to be added at the file's end is added at this moment.
            d.dayClosed.Take();
            if (!d.nonFiscalAdded) d.dayClosed.nonFiscalTotal += NonFiscalSum();
            d.dayClosedTaken = true;
        }
    }
    d.awaited = 0;
    d.held[0] = 0;
}

void FollowUp28(Driver& d, std::string_view t) {
    const char type = CharAt(t, 4);
    if (type != '|' && !(type >= '0' && type <= '9')) return;
    FiscalFileState& f = g_fiscal;
    const std::string_view r = Reply28();
    if (Reply28Code(r) == 1 && Reply28Letter(r) == 'P' && Part(r, 10, 8) == " VENDAS ") {
        if (ItemTableEmpty() && !f.CouponClosed && f.CouponInProgress) return;
        d.AddNonFiscalSumOnce();
        d.TakeCrz();
        StartOfCoupon(d);
        return;
    }
    // An item that would open a coupon and whose reply was lost: the printer
    // shows a coupon open by that item, so the coupon began with it.
    if (d.awaited == 1 && f.CouponClosed && !f.CouponInProgress && IsCommand(d.Held(), "01") &&
        Reply28Letter(r) == 'P' && Part(r, 10, 8) == " VENDAS " && Reply28LastCommand(r) == 1 &&
        Reply28Code(r) >= 2) {
        const uint64_t amount = DigitsValue(Part(d.Held(), 33, 12), 12);
        StartOfCoupon(d);
        // The coupon's grand total began before the item, whatever status 1
        // the replay read since; a status 1 read after the item confirms it
        // now, an older one leaves that to the next.
        f.GrandTotalAtStart = d.grandTotalAtItem;
        f.ExpectedGrandTotal = d.grandTotalAtItem + amount;
        if (ReplyGrandTotal() != d.grandTotalAtItem && ConfirmItemByTotal() == 0) d.awaited = 0;
        return;
    }
    const int c = Reply28LastCommand(r);
    const bool good = Reply28Letter(r) != 'E' && c == d.awaited;
    switch (d.awaited) {
        case 2:
            CheckItemDiscount(d.Previous28());
            d.awaited = 0;
            break;
        case 3:
            if (!d.Held().empty()) {
                ApplySubtotalDiscount(d.Previous28(), d.Held());
                d.awaited = 0;
                d.held[0] = 0;
            }
            break;
        case 4:
            ResolveItemCancel();
            d.awaited = 0;
            break;
        case 5: {
            const bool couponOpen = !ItemTableEmpty() || (f.CouponInProgress && !f.CouponClosed);
            if (CancelCoupon(d.work) != 0) break;
            if (couponOpen) {
                d.KeepCouponPaymentStart();
            } else if (d.closedCouponAt >= 0) {
                // The coupon closed last is cancelled after its close: its own
                // records say so, and the printer takes its payments back, so
                // the totals are again those it began with.
                MarkCouponCancelled(d.work, d.closedCouponAt);
                f.PaymentStart = d.closedCouponStart;
            }
            d.closedCouponAt = -1;
            d.couponPaymentStartKnown = false;
            d.documentEnded = true;
            d.awaited = 0;
            d.TakeCrz();
            break;
        }
        case 6:
            if (c != 6 || d.closeFollowed) break;
            if (Reply28Letter(r) == 'E') {
                d.awaited = 0;
            } else {
                // Payments known before the close are written here and counted no more.
                bool paymentsPending = true;
                for (int64_t end : f.PaymentEnd)
                    if (end >= 0) paymentsPending = false;
                d.closedCouponStart = d.couponPaymentStartKnown ? d.couponPaymentStart : f.PaymentStart;
                d.closedCouponAt = WriteDocument(d.work, true);
                WriteE21(d.work);
                ResetDocument();
                d.ForgetPayments();
                if (paymentsPending) d.KeepCouponPaymentStart();
                f.CouponInProgress = false;
                d.documentEnded = true;
                d.closeFollowed = true;
            }
            break;
        case 7:
            if (good) {
                d.documentEnded = false;
                d.closedCouponAt = -1;
                // A receipt carries its own counters too, before the day's first coupon as after it.
                d.TakeCrz();
            }
            break;
        case 10:
            if (good) f.CouponClosed = true;
            break;
        case 11:
            TakeSubtotalIncrease(d.Held());
            if (CheckSubtotalIncrease() == 0) d.awaited = 0;
            break;
        case 12:
            if (!good || d.documentEnded) break;
            d.closedCouponAt = -1;
            f.NonFiscalTotal += DigitsValue(Part(r, 109, 12), 12);
            if (f.CouponInProgress) d.TakeCrz();
            if (ItemTableEmpty()) {
                if (f.CouponInProgress) WriteDocument(d.work, false);
                else WriteE21(d.work);
            }
            f.CouponInProgress = false;
            f.CouponClosed = true;
            d.documentEnded = true;
            break;
        case 13: case 14: case 15: case 16: case 18: case 19:
            if (good) DocumentDone(d, d.awaited);
            break;
        default: break;
    }
}

void PaymentEnds(std::size_t first, std::size_t count, std::string_view reply) {
    for (std::size_t k = 0; k < count; ++k)
        g_fiscal.PaymentEnd[first + k] = static_cast<int64_t>(DigitsValue(Part(reply, 11 + 16 * k, 12), 12));
}

void FollowUp27(Driver& d, char type) {
    FiscalFileState& f = g_fiscal;
    switch (type) {
        case '1':
            if (!ItemTableEmpty() && f.CouponInProgress) {
                if (d.awaited == 1) {
                    if (ConfirmItemByTotal() == 0) d.awaited = 0;
                } else if (d.awaited == 11) {
                    TakeSubtotalIncrease(d.Held());
                    if (CheckSubtotalIncrease() == 0) d.awaited = 0;
                }
            }
            // A changed printer is dealt with after the dispatch.
            if (!d.printerChanged) f.GrandTotal = ReplyGrandTotal();
            break;
        case '3': {
            const std::string_view reported = Part(Reply27('3'), 12, 9);
            const std::string_view serial = View(f.SerialNumber.data(), 9);
            if (serial.empty()) SetField(f.SerialNumber, reported);
            else if (serial != reported) d.printerChanged = true;
            break;
        }
        case '6':
            if (d.CloseTaken()) PaymentEnds(0, 7, Reply27('6'));
            break;
        case '7':
            if (d.CloseTaken()) {
                PaymentEnds(7, 3, Reply27('7'));
                // The document's payments are all known now: written at once,
                // they carry its counters, which a session reopened before the
                // next document would otherwise have moved on.
                SnapshotStatus();
                WriteE21(d.work);
            }
            break;
        default: break;
    }
}

void FollowUp29(char type, std::string_view reply) {
    FiscalFileState& f = g_fiscal;
    // E12's flag is the one the printer showed in this file.
    if (type == 'F') SetField(g_capture.cache.table29F, Part(reply, 0, 128));
    if (type == 'H') {
        f.UserCount = 0;
        SetField(f.SoftwareDate, Part(reply, 66, 6));
        char time[8] = {};
        FormatRecord(time, "%s00", {Txt(Part(reply, 72, 4))});
        SetField(f.SoftwareTime, time);
    }
    if (type >= 'H' && type <= 'L' && !AllOf(Part(reply, 7, 59), 59, ' ')) {
        SetField(f.LastUserEntry, Part(reply, 0, 128));
        SetField(g_capture.cache.table29HtoL, Part(reply, 0, 128));
        ++f.UserCount;
    }
}

void Status1FollowUp(Driver& d) {
    const std::string_view r = Reply27('1');
    if (r.empty()) return;
    FiscalFileState& f = g_fiscal;
    SetField(f.MovementDate, Part(r, 7, 6));
    if (!d.reductionSeen && (f.FirstMovementDate[0] == 0 || View(g_documentCrzText.data(), 4) == Part(r, 40, 4)))
        f.FirstMovementDate = f.MovementDate;
    g_capture.ModelLetter = CharAt(r, 124);
}

// Closes the work file; false when a line of it failed to reach it (told
// already) or the close failed: an incomplete work file is never assembled.
bool CloseWork(Driver& d) {
    const bool failed = log::FileWriteFailed(d.work);
    const bool closed = log::FileClose(d.work) == 0;
    d.work = log::kInvalidFile;
    if (!failed && !closed) WriteErrorBox();
    return !failed && closed;
}

// A status 3 showed another printer: until the line after it the first
// printer's state stands, without the new serial.
void PutAsideNewSerial(Driver& d) {
    d.changePending = true;
    d.newStatus3 = g_capture.cache.status3;
    g_capture.cache.status3 = d.before3;
    SetField(g_capture.factoryNumber, View(g_fiscal.SerialNumber.data(), 9));
    d.status1BeforeSerial = d.lastWasStatus1;
    d.beforeSerial = d.before1;
}

// The printer's serial changed: the first printer's file is finished and a
// fresh work file begins, before the line after the new serial (`status1`,
// that line's status 1 reply when it is one). false when the new work file cannot be created.
bool PrinterChange(Driver& d, std::string_view status1) {
    FiscalFileState& f = g_fiscal;
    d.changePending = false;
    // A session started after the printer was swapped first reads the reply to
    // the status 1 asked at the end of the last one: when the new printer's
    // own status 1 shows the same counters, that reply was the new printer's,
    // and the first printer's file is made without it.
    const std::string_view last1 = Reply27('1');
    if (d.status1BeforeSerial && !status1.empty() && Part(last1, 13, 4) == Part(status1, 13, 4) &&
        Part(last1, 19, 17) == Part(status1, 19, 17) && Part(last1, 40, 4) == Part(status1, 40, 4)) {
        g_capture.cache.status1 = d.beforeSerial.reply;
        f.GrandTotal = d.beforeSerial.grandTotal;
        f.MovementDate = d.beforeSerial.movementDate;
        f.FirstMovementDate = d.beforeSerial.firstMovementDate;
        g_capture.ModelLetter = d.beforeSerial.modelLetter;
    }

    int merge = 0;
    const std::string_view serial = View(f.SerialNumber.data(), 9);
    // A printer of which this file showed no day (the registered one, before
    // the file's first printer said who it is) has no file to make.
    const bool hasDay = f.FirstMovementDate[0] != 0;
    bool found = false;
    for (auto& entry : d.processed) {
        if (entry[0] && View(entry.data(), 9) == serial) {
            found = true;
            merge = 1;
            break;
        }
    }
    if (!found && hasDay) {
        for (auto& entry : d.processed) {
            if (entry[0]) continue;
            FormatRecord(entry, "%9.9s", {Txt(serial)});
            break;
        }
    }
    MarkInconsistent();
    d.TakePrevious28();
    SnapshotStatus();
    d.FinishCoupon();
    if (!CloseWork(d)) return false;
    if (hasDay) {
        if (d.dayClosedTaken) d.dayClosed.Put();
        AssembleFinalFile(merge);
    }

    // The application's identification stays for the next printer's file, and
    // the serial that showed the new printer is its first known state.
    const capture::RegistrationRecord registration = capture::g_registration;
    ResetGenerationFields();
    capture::g_registration = registration;
    capture::CacheStore(27, '3', d.newStatus3.data());
    ResetDocument();
    f.NonFiscalTotal = 0;
    f.GrandTotal = 0;
    f.UserCount = 0;
    g_documentCrzText[0] = 0;
    d.printerChanged = d.nonFiscalAdded = d.reductionSeen = false;
    d.couponPaymentStartKnown = false;
    d.closedCouponAt = -1;
    d.dayClosedTaken = false;
    d.documentEnded = true;

    d.work = log::FileRecreate(kWorkFile);
    if (d.work == log::kInvalidFile) {
        ErrorBox(CP1252("ERRO na criação do novo arquivo trabalho COTEPE: "), kWorkFile);
        return false;
    }
    return true;
}

// Dispatch of one accepted line; false when the line is to be skipped.
bool Dispatch(Driver& d, std::string_view t, int n) {
    FiscalFileState& f = g_fiscal;
    switch (n) {
        case 0: {
            const char sign = CharAt(t, 5);
            const uint64_t code = DigitsValue(Part(t, 6, 4), 4);
            if (d.awaited == 17) {
                if (sign == '+' && code == 1) {
                    if (IsCommand(d.Held(), "17")) {
                        f.CouponInProgress = true;
                        f.CouponClosed = false;
                        WriteDocument(d.work, false);
                    }
                    f.CouponClosed = true;
                    d.Hold("\x1B.17}");
                }
            } else if (d.awaited == 1) {
                if (sign == '+' && code >= 2 && f.CouponClosed && IsCommand(d.Held(), "01")) {
                    if (code != 2) MarkInconsistent();
                    StartOfCoupon(d);
                }
            } else if (d.awaited == 14) {
                if (sign == '+' && code == 1 && IsCommand(d.Held(), "14")) DocumentDone(d, 14);
            } else if (d.awaited == 10) {
                if (sign == '+' && d.pendingMethod >= 1 && d.pendingMethod <= static_cast<int>(kPaymentMethods)) {
                    d.paidByCommands[d.pendingMethod - 1] += d.pendingAmount;
                    d.lastPaidMethod = d.pendingMethod;
                }
                d.pendingMethod = 0;
            } else if (d.awaited == 6) {
                d.closeAnswered = sign == '+';
            }
            return true;
        }
        case 1:
            d.awaited = 1;
            if (f.CouponClosed && !f.CouponInProgress) {
                d.Hold(t);
                d.grandTotalAtItem = ReplyGrandTotal();
            } else {
                AddItem(t);
                d.held[0] = 0;
            }
            return true;
        case 2:
            if (f.CouponInProgress) {
                TakeItemDiscount(t);
                d.awaited = 2;
            }
            return true;
        case 3:
        case 11:
            if (f.CouponInProgress) {
                d.Hold(t);
                d.awaited = n;
            }
            return true;
        case 4:
            if (f.CouponInProgress) {
                RequestItemCancel(t);
                d.awaited = 4;
            }
            return true;
        case 10:
            d.awaited = 10;
            d.pendingMethod = AllDigits(Part(t, 4, 2), 2) ? static_cast<int>(DigitsValue(Part(t, 4, 2), 2)) : 0;
            d.pendingAmount = static_cast<int64_t>(DigitsValue(Part(t, 6, 12), 12));
            return true;
        case 6:
            d.awaited = 6;
            d.closeAnswered = false;
            d.closeRefuted = false;
            d.closeFollowed = false;
            return true;
        case 5: case 7: case 12:
            d.awaited = n;
            d.closeRefuted = false;
            return true;
        case 9:
            TakeDigits(f.BuyerId, t, 6, 20);
            return true;
        case 13: case 14: case 15: case 16: case 18: case 19:
            d.Hold(t);
            d.awaited = n;
            return true;
        case 17:
            d.awaited = 17;
            TakeDigits(d.heldBuyer, t, 4, 20);
            return true;
        case 27: case 28: case 29: {
            const std::size_t bar = t.find('|');
            if (bar == std::string_view::npos) {
                MarkInconsistent();
                return false;
            }
            const char type = CharAt(t, 4);
            // The reply runs to the end of the recorded text (its closing "}").
            capture::CachedReply reply{};
            SetField(reply, t.substr(bar + 1, 128));
            if (n == 27 && type == '3') {
                d.before3 = g_capture.cache.status3;
            } else if (n == 27 && type == '1') {
                d.before1 = {g_capture.cache.status1, f.GrandTotal, f.MovementDate, f.FirstMovementDate,
                             g_capture.ModelLetter};
            }
            capture::CacheStore(n, type, reply.data());
            if (n == 28) {
                if (type == '|') d.Judge28(Reply28());
                FollowUp28(d, t);
            }
            else if (n == 27) FollowUp27(d, type);
            else FollowUp29(type, TextOf(reply));
            return true;
        }
        default:
            return true;
    }
}

enum class RecordOutcome { Next, Stop };

RecordOutcome OneRecord(Driver& d, const char* record, std::size_t length) {
    std::array<char, capture::kRfdLineBuffer> line{};
    char* text = nullptr;
    switch (AcceptLine(record, length, line.data(), line.size(), &text)) {
        case LineVerdict::Skipped: ++g_skippedLines; return RecordOutcome::Next;
        case LineVerdict::Inconsistent: ++g_skippedLines; MarkInconsistent(); return RecordOutcome::Next;
        case LineVerdict::Accepted: break;
    }
    const std::string_view t = View(text, line.size());
    const int n = AllDigits(Part(t, 2, 2), 2) ? static_cast<int>(DigitsValue(Part(t, 2, 2), 2)) : -1;
    if (n < 0) return RecordOutcome::Next;

    // The line after a new printer's serial is the new printer's: the first
    // printer's file is made before it.
    if (d.changePending && !(n == 27 && CharAt(t, 4) == '3')) {
        const std::size_t bar = t.find('|');
        const bool status1 = n == 27 && CharAt(t, 4) == '1' && bar != std::string_view::npos;
        if (!PrinterChange(d, status1 ? t.substr(bar + 1, 128) : std::string_view{})) return RecordOutcome::Stop;
    }
    if (d.heldBuyer[0] && n > 0 && n < 20) {
        if (HasConfirmedItem()) d.heldBuyer[0] = 0;
        if (d.awaited == 6) {
            WriteE21(d.work);
            ResetDocument();
        }
    }
    if (n >= 30) d.held[0] = 0;
    if ((n >= 1 && n <= 20) || n >= 30) {
        d.TakePrevious28();
        SnapshotStatus();
    }
    if (!Dispatch(d, t, n)) {
        d.lastWasStatus1 = false;
        return RecordOutcome::Next;
    }
    if (n == 27 && CharAt(t, 4) == '3') {
        if (d.printerChanged && !d.changePending) {
            PutAsideNewSerial(d);
        } else if (d.changePending) {
            // The new serial again, or the first printer's back before the
            // new one showed anything else.
            if (Part(Reply27('3'), 12, 9) == View(g_fiscal.SerialNumber.data(), 9)) {
                d.changePending = d.printerChanged = false;
            } else {
                d.newStatus3 = g_capture.cache.status3;
                g_capture.cache.status3 = d.before3;
                SetField(g_capture.factoryNumber, View(g_fiscal.SerialNumber.data(), 9));
            }
        }
    }
    if (n == 27) Status1FollowUp(d);
    d.lastWasStatus1 = n == 27 && CharAt(t, 4) == '1';
    return RecordOutcome::Next;
}

struct ItemTableLease {
    std::unique_ptr<ItemRecord[]> table;
    ~ItemTableLease() { g_fiscal.ItemTable = nullptr; }
};

int CloseCapture(log::FileHandle capture, const char* path) {
    if (log::FileClose(capture) != 0) {
        ErrorBox(CP1252("ERRO no Fechamento do Arquivo RFD após o processamento: "), path);
        return -1;
    }
    return 0;
}

}  // namespace

void SnapshotStatus() {
    const std::string_view r1 = Reply27('1');
    const std::string_view crz = View(g_documentCrzText.data(), 4);
    if (Saved1().empty() || (!crz.empty() && crz == Part(r1, 40, 4))) SetField(SavedStatus1(), r1);
    const std::string_view r3 = Reply27('3'), s3 = Saved3();
    const bool losesCounters = !s3.empty() && ((AllOf(Part(r3, 21, 36), 36, '0') && !AllOf(Part(s3, 21, 36), 36, '0')) ||
                                               (AllOf(Part(r3, 96, 12), 12, '0') && !AllOf(Part(s3, 96, 12), 12, '0')));
    if (!losesCounters) SetField(SavedStatus3(), r3);
}

uint64_t NonFiscalSum() {
    const std::string_view r7 = Reply27('7');
    uint64_t sum = DigitsValue(Part(r7, 91, 12), 12) + DigitsValue(Part(r7, 107, 12), 12);
    for (char type : {'8', '9', 'A', 'B', 'C', 'D', 'E'})
        for (std::size_t v = 0; v < 7; ++v) sum += DigitsValue(Part(Reply27(type), 11 + 16 * v, 12), 12);
    return sum;
}

void ReductionTakenAtEnd() { g_reductionTakenAtEnd = true; }

int ProcessRfdFile(const char* path) {
    const bool reductionTakenAtEnd = g_reductionTakenAtEnd;
    g_reductionTakenAtEnd = false;
    Driver d;
    d.path = path;
    ForgetLastFinalFile();
    ResetGenerationFields();
    g_skippedLines = 0;
    g_paymentsUnknown = 0;

    if (capture::EnsureRegistration(0) == 0) return 0;
    const auto& reg = capture::g_registration;
    SetField(g_capture.factoryNumber, View(reg.fields.factoryNumber, 9));
    SetField(g_fiscal.SerialNumber, View(reg.fields.factoryNumber, 9));
    g_capture.ModelLetter = reg.modelLetter;
    g_session.ModelGate = static_cast<int8_t>(reg.modelFlag);

    const log::FileHandle capture = log::FileOpenRead(path);
    if (capture == log::kInvalidFile) {
        ErrorBox("ERRO na Abertura do Arquivo RFD para efetuar o processamento: ", path ? path : "");
        return -1;
    }
    capture::MakeDirectoryPath(capture::kRfdDirectory);
    const ProcessingLock lock;
    if (!lock.held()) {
        ErrorBox(lock.opened() ? CP1252("ERRO: outro programa processa em c:\\TALMA\\RFD há mais de 60 s; não processado: ")
                               : CP1252("ERRO na abertura de c:\\TALMA\\RFD\\TALMA.LCK; não processado: "),
                 path);
        return CloseCapture(capture, path);
    }
    d.work = log::FileRecreate(kWorkFile);
    if (d.work == log::kInvalidFile) {
        ErrorBox(CP1252("ERRO na criação do arquivo trabalho COTEPE: "), kWorkFile);
        return CloseCapture(capture, path);
    }
    ItemTableLease lease;
    lease.table.reset(new (std::nothrow) ItemRecord[kItemAllocated]);
    if (!lease.table) {
        log::FileClose(d.work);
        ErrorBox(CP1252("ERRO DE ALOCAÇÃO DE MEMÓRIA"), "");
        return CloseCapture(capture, path);
    }
    std::memset(static_cast<void*>(lease.table.get()), 0, sizeof(ItemRecord) * kItemAllocated);
    g_fiscal.ItemTable = lease.table.get();

    ResetDocument();
    g_fiscal.BuyerId[0] = 0;
    g_fiscal.NonFiscalTotal = g_fiscal.GrandTotal = 0;
    g_fiscal.UserCount = 0;
    g_documentCrzText[0] = 0;

    capture::RfdReadState reading;
    std::array<char, capture::kRfdRecordBuffer> record{};
    int n = capture::RfdReadRecord(reading, 0, capture, record.data(), record.size());
    for (; n > 0; n = capture::RfdReadRecord(reading, 1, capture, record.data(), record.size())) {
        if (OneRecord(d, record.data(), static_cast<std::size_t>(n)) == RecordOutcome::Stop)
            return CloseCapture(capture, path);
        // A disk that filled up: the lines after the lost one are of no use.
        if (log::FileWriteFailed(d.work)) {
            CloseWork(d);
            return CloseCapture(capture, path);
        }
    }
    if (n == 0) ++g_skippedLines;  // the last record, cut short by the file's end
    // The file ends with a Z reduction whose reply was never read, and the
    // printer's counter shows it done: it is done as its reply would have done it.
    if (reductionTakenAtEnd && d.awaited == 14 && IsCommand(d.Held(), "14")) DocumentDone(d, 14);

    if (d.changePending && !PrinterChange(d, {})) return CloseCapture(capture, path);
    d.TakePrevious28();
    SnapshotStatus();
    if (!ItemTableEmpty() || g_fiscal.CouponInProgress) d.FinishCoupon();
    // The payments of a coupon closed last become known only after it was
    // written; they would be lost with the file's end.
    WriteE21(d.work);
    if (!CloseWork(d)) return CloseCapture(capture, path);
    CloseCapture(capture, path);
    const std::string_view serial = View(g_fiscal.SerialNumber.data(), 9);
    int merge = 0;
    for (const auto& entry : d.processed)
        if (entry[0] && View(entry.data(), 9) == serial) merge = 1;
    d.AddNonFiscalSumOnce();
    if (g_paymentsUnknown > 0)
        log::LogSerialf("ARQUIVO RFD SEM OS PAGAMENTOS DE %d CUPOM(NS): %s", g_paymentsUnknown.load(), path ? path : "");
    if (d.dayClosedTaken) {
        // The headers tell of the day as its reduction closed it; what the
        // replay learnt after it stays for the caller.
        HeaderState end;
        end.Take();
        d.dayClosed.Put();
        AssembleFinalFile(merge);
        end.Put();
    } else {
        AssembleFinalFile(merge);
    }
    return 1;
}

}  // namespace moldrin::fiscalfile
