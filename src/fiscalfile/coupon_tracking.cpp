// The coupon operations over the item table: each finds its item by scanning
// from the first slot, and every disagreement only marks the coupon inconsistent.
#include "fiscalfile/coupon_tracking.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "session/session_state.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/movement_records.h"
#include "fiscalfile/record_format.h"

namespace moldrin::fiscalfile {

namespace {

constexpr char kZeros12[] = "000000000000";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

ItemRecord* Table() { return g_fiscal.ItemTable; }

// One past the highest slot written since the table was last cleared: a busy
// day resets the table once a document, and clearing all 1,100 slots each time
// cost more than the rest of the replay. Slots at and beyond it are still zero.
std::size_t g_slotsTouched = kItemSlots;

// First slot whose status is below `below`, kNone when every slot is at or above it.
std::size_t FirstBelow(uint8_t below) {
    if (!Table()) return kNone;
    for (std::size_t i = 0; i < kItemSlots; ++i)
        if (Table()[i].status < below) return i;
    return kNone;
}

// Copies a field of the command; what lies beyond its end reads as NUL.
template <std::size_t N>
void Take(char (&field)[N], std::string_view command, std::size_t pos) {
    const std::string_view p = Part(command, pos, N);
    std::memset(field, 0, N);
    std::copy(p.begin(), p.end(), field);
}

int64_t SubtotalFall(std::string_view before) {
    return static_cast<int64_t>(Reply28Subtotal(before)) - static_cast<int64_t>(Reply28Subtotal(Reply28()));
}

}  // namespace

uint64_t Reply28Code(std::string_view reply) { return DigitsValue(Part(reply, 2, 4), 4); }
char Reply28Letter(std::string_view reply) { return CharAt(reply, 9); }
int Reply28LastCommand(std::string_view reply) { return static_cast<int>(DigitsValue(Part(reply, 18, 2), 2)); }
uint64_t Reply28Subtotal(std::string_view reply) { return DigitsValue(Part(reply, 21, 12), 12); }
uint64_t ReplyGrandTotal() { return DigitsValue(Part(Reply27('1'), 19, 17), 17); }

void MarkInconsistent() {
    if (g_fiscal.CouponClosed && !ItemTableEmpty()) return;
    g_fiscal.DataInconsistent = true;
}

ItemRecord& ItemSlot(std::size_t i) {
    g_slotsTouched = std::max(g_slotsTouched, i + 1);
    return Table()[i];
}

void ResetDocument() {
    FiscalFileState& f = g_fiscal;
    if (Table()) {
        std::memset(static_cast<void*>(Table()), 0, sizeof(ItemRecord) * std::min(g_slotsTouched, kItemSlots));
        g_slotsTouched = 0;
    }
    f.CouponClosed = true;
    f.DataInconsistent = false;
    f.AdjustmentOrder = 0;
    f.SubtotalDiscountTaken = f.ItemDiscountTaken = f.SubtotalIncreaseTaken = false;
    f.GrandTotalAtStart = f.ExpectedGrandTotal = f.CurrentGrandTotal = ReplyGrandTotal();
    SetField(f.DocumentDiscount, kZeros12);
    SetField(f.DocumentIncrease, kZeros12);
    for (std::size_t k = 0; k < kPaymentMethods; ++k) {
        const std::string_view reply = k < 7 ? Reply27('6') : Reply27('7');
        const std::size_t within = k < 7 ? k : k - 7;
        f.PaymentStart[k] = static_cast<int64_t>(DigitsValue(Part(reply, 11 + 16 * within, 12), 12));
    }
    f.PaymentEnd.fill(-1);
    SetField(f.SerialNumber, TextOf(capture::g_capture.factoryNumber.data(), 9));
}

int HasConfirmedItem() {
    const std::size_t i = Table() ? [] {
        for (std::size_t k = 0; k < kItemSlots; ++k)
            if (g_fiscal.ItemTable[k].status != kItemRegistered) return k;
        return kNone;
    }() : kNone;
    return i != kNone && Table()[i].status >= kItemConfirmed ? 1 : 0;
}

void AddItem(std::string_view t) {
    g_fiscal.ExpectedGrandTotal += DigitsValue(Part(t, 33, 12), 12);
    const std::size_t i = FirstBelow(kItemConfirmed);
    if (i == kNone) {
        MarkInconsistent();
        return;
    }
    ItemRecord& item = ItemSlot(i);
    Take(item.code, t, 4);
    Take(item.quantity, t, 17);
    Take(item.unitPrice, t, 25);
    Take(item.total, t, 34);
    Take(item.tax, t, 69);
    std::memset(item.description, ' ', sizeof item.description);
    const std::string_view first = Part(t, 45, 24);
    std::copy(first.begin(), first.end(), item.description);
    if (CharAt(t, 72) != '}' && CharAt(t, 74) != '}') {
        std::size_t n = 24;
        for (std::size_t p = 72; n < 64 && n < 24 + 40; ++p) {
            const auto c = static_cast<unsigned char>(CharAt(t, p));
            if (c < 0x20 || c == '}') break;
            item.description[n++] = static_cast<char>(c);
        }
    }
    std::memset(item.discount, '0', sizeof item.discount);
    item.status = kItemRegistered;
}

int ConfirmItemByTotal() {
    if (ItemTableEmpty()) return 0;
    FiscalFileState& f = g_fiscal;
    const uint64_t c = ReplyGrandTotal();
    f.CurrentGrandTotal = c;
    enum { Confirmed, Inconsistent, NotRegistered } verdict;
    if (f.GrandTotalAtStart == 0 || f.ExpectedGrandTotal == 0) {
        f.GrandTotalAtStart = c;
        verdict = Confirmed;
    } else if (c == f.ExpectedGrandTotal) {
        verdict = Confirmed;
    } else if (c < f.GrandTotalAtStart || c > f.ExpectedGrandTotal) {
        verdict = Inconsistent;
    } else {
        verdict = NotRegistered;
    }
    f.ExpectedGrandTotal = c;
    if (verdict == Inconsistent) {
        MarkInconsistent();
        return 1;
    }
    const std::size_t i = FirstBelow(kItemConfirmed);
    if (i == kNone) {
        MarkInconsistent();
        return 0;
    }
    ItemRecord& item = ItemSlot(i);
    if (item.status == kItemRegistered) {
        if (verdict == Confirmed) {
            item.status = kItemConfirmed;
            f.ItemDiscountTaken = false;
        } else {
            std::memset(static_cast<void*>(&item), 0, sizeof item);
        }
    } else {
        MarkInconsistent();
    }
    return 0;
}

void TakeItemDiscount(std::string_view t) {
    const std::size_t free = FirstBelow(kItemRegistered);
    if (free == kNone) {
        MarkInconsistent();
        return;
    }
    ItemRecord& item = ItemSlot(free == 0 ? 0 : free - 1);
    if (item.status == kItemCancelled || std::memcmp(item.discount, "00000000", 8) != 0) return;
    const bool extended = g_session.ModelGate == 1;
    const std::size_t at = extended ? 8 : 14;
    if (AllDigits(Part(t, at, 12), 12)) Take(item.discount, t, at + 4);
}

void CheckItemDiscount(std::string_view before) {
    std::size_t i = FirstBelow(kItemConfirmed);
    if (i == kNone) {
        MarkInconsistent();
        return;
    }
    if (Table()[i].status == kItemFree && i > 0) --i;
    if (Table()[i].status == kItemRegistered) {
        MarkInconsistent();
        if (i > 0) --i;
    }
    ItemRecord& item = ItemSlot(i);
    if (item.status >= kItemCancelRequested) return;
    const std::string_view now = Reply28();
    const int64_t discount = static_cast<int64_t>(DigitsValue(std::string_view(item.discount, 8), 8));
    if (SubtotalFall(before) == discount || (Reply28Letter(now) != 'E' && Reply28LastCommand(now) == 2)) {
        g_fiscal.ItemDiscountTaken = true;
    } else if (!g_fiscal.ItemDiscountTaken) {
        std::memset(item.discount, '0', sizeof item.discount);
    }
}

void RequestItemCancel(std::string_view t) {
    if (!Table()) return;
    std::size_t meant = kNone;
    if (AllDigits(Part(t, 4, 3), 3)) {
        const uint64_t m = DigitsValue(Part(t, 4, 3), 3);
        if (m > 0 && m < kItemSlots) meant = static_cast<std::size_t>(m - 1);
    }
    if (meant == kNone) {
        const std::size_t i = FirstBelow(kItemConfirmed);
        if (i == kNone) {
            MarkInconsistent();
            return;
        }
        meant = i == 0 ? 0 : i - 1;
    }
    if (Table()[meant].status == kItemConfirmed) ItemSlot(meant).status = kItemCancelRequested;
}

void ResolveItemCancel() {
    if (!Table()) return;
    std::size_t i = kNone;
    for (std::size_t k = 0; k < kItemSlots && i == kNone; ++k)
        if (Table()[k].status == kItemFree || Table()[k].status == kItemCancelRequested) i = k;
    if (i == kNone) {
        MarkInconsistent();
        return;
    }
    if (Table()[i].status == kItemFree && i > 0) --i;
    ItemRecord& item = ItemSlot(i);
    if (item.status != kItemCancelRequested) return;
    const std::string_view now = Reply28();
    item.status = Reply28Letter(now) != 'E' && Reply28LastCommand(now) == 4 ? kItemCancelled : kItemConfirmed;
}

void ApplySubtotalDiscount(std::string_view before, std::string_view command) {
    FiscalFileState& f = g_fiscal;
    const uint64_t d = DigitsValue(Part(command, g_session.ModelGate == 1 ? 8 : 14, 12), 12);
    const std::string_view now = Reply28();
    if (SubtotalFall(before) == static_cast<int64_t>(d) || (Reply28Letter(now) != 'E' && Reply28LastCommand(now) == 3)) {
        if (f.AdjustmentOrder == 0) f.AdjustmentOrder = 1;
        const uint64_t total = DigitsValue(TextOf(f.DocumentDiscount.data(), 12), 12) + d;
        FormatRecord(f.DocumentDiscount, "%012.12I64u", {Num(total)});
        f.SubtotalDiscountTaken = true;
    } else if (!f.SubtotalDiscountTaken) {
        SetField(f.DocumentDiscount, kZeros12);
    }
}

void TakeSubtotalIncrease(std::string_view command) {
    FiscalFileState& f = g_fiscal;
    if (Part(command, 2, 2) != "11" || f.SubtotalIncreaseTaken) return;
    f.ExpectedGrandTotal += DigitsValue(Part(command, 10, 11), 11);
    FormatRecord(f.DocumentIncrease, "0%11.11s", {Txt(Part(command, 10, 11))});
}

int CheckSubtotalIncrease() {
    FiscalFileState& f = g_fiscal;
    const uint64_t c = ReplyGrandTotal();
    f.CurrentGrandTotal = c;
    bool accepted;
    if (f.GrandTotalAtStart == 0 || f.ExpectedGrandTotal == 0) {
        f.GrandTotalAtStart = f.ExpectedGrandTotal = c;
        accepted = true;
    } else if (c == f.ExpectedGrandTotal) {
        accepted = true;
    } else if (c < f.GrandTotalAtStart || c > f.ExpectedGrandTotal) {
        accepted = false;
    } else {
        f.ExpectedGrandTotal = c;
        const std::string_view now = Reply28();
        accepted = (Reply28LastCommand(now) == 11 && Reply28Letter(now) != 'E') || f.SubtotalIncreaseTaken;
    }
    if (accepted) {
        f.SubtotalIncreaseTaken = true;
        if (f.AdjustmentOrder == 0) f.AdjustmentOrder = 2;
        return 0;
    }
    if (!f.SubtotalIncreaseTaken) SetField(f.DocumentIncrease, kZeros12);
    return 1;
}

int CancelCoupon(intptr_t handle) {
    const std::string_view now = Reply28();
    if (Reply28Letter(now) == 'E' || Reply28LastCommand(now) != 5) return 1;
    const bool couponOpen = !ItemTableEmpty() || (g_fiscal.CouponInProgress && !g_fiscal.CouponClosed);
    if (couponOpen) {
        // Whatever the open coupon was paid goes back: it has no payments.
        g_fiscal.PaymentStart.fill(0);
        g_fiscal.PaymentEnd.fill(-1);
        WriteDocument(handle, false);
    } else {
        // An open receipt or the coupon closed last: the payments of the
        // document closed before the cancellation are that document's, and
        // stay in the file.
        WriteE21(handle);
    }
    ResetDocument();
    return 0;
}

}  // namespace moldrin::fiscalfile
