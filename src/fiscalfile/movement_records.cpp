// Formatting E15/E14, E16 and E21 from the current coupon of FiscalFileState
// and the saved snapshots. The coupon itself is kept by coupon_tracking.
#include "fiscalfile/movement_records.h"

#include <array>
#include <cstring>

#include "fiscalfile/coupon_tracking.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/record_format.h"
#include "log/file_helpers.h"

namespace moldrin::fiscalfile {

namespace {

constexpr std::size_t kLine = 320;
// The cancellation column of E14 (column 123), counted from 0.
constexpr int32_t kE14CancelledAt = 122;
constexpr int kSeekBegin = 0, kSeekCurrent = 1, kSeekEnd = 2;

std::string_view Field(const char* field, std::size_t n) { return TextOf(field, n); }

// The 7-character totalizer code of an item; `previous` is the code of the
// coupon's item line before it (blank for the first).
void TotalizerCode(const ItemRecord& item, const std::array<char, 8>& previous, std::array<char, 8>& code) {
    const char kind = item.tax[0];
    if (kind == 'T' || kind == 'S') {
        for (const auto& entry : RateEntries()) {
            if (std::memcmp(entry.data(), item.tax, 3) != 0) continue;
            FormatRecord(code, "%-2.2s%c%-4.4s",
                         {Txt(std::string_view(entry.data() + 1, 2)), Chr(entry[0]),
                          Txt(std::string_view(entry.data() + 3, 4))});
            return;
        }
        MarkInconsistent();
        code = previous;
        return;
    }
    char tax[4] = {item.tax[0], item.tax[1], item.tax[2], 0};
    for (char& c : tax)
        if (c == 0) c = ' ';
    tax[1] = '1';
    tax[3] = 0;
    FormatRecord(code, "%-7.7s", {Txt(tax)});
    if (kind != 'I' && kind != 'N' && kind != 'F') MarkInconsistent();
}

bool Plausible(uint64_t q, uint64_t u, uint64_t t, int decimals) {
    if (decimals == 3) {
        const uint64_t v = q * u / 10000;
        return (v > t ? v - t : t - v) <= 1;
    }
    return q * u / 1000 == t;
}

}  // namespace

int32_t WriteDocument(intptr_t handle, bool notCancelled, uint64_t* netOut) {
    if (ItemTableEmpty() && !(g_fiscal.CouponInProgress && !g_fiscal.CouponClosed)) return -1;
    const std::string_view s1 = Saved1();
    const std::string_view ccf = Part(s1, 120, 4), coo = Part(s1, 13, 4);
    uint64_t subtotal = 0;
    std::array<char, 8> previous{};
    FormatRecord(previous, "%7s", {Txt("")});
    std::array<char, kLine> line{};
    LineBatch lines(handle);
    for (std::size_t i = 0; g_fiscal.ItemTable && i < kItemSlots; ++i) {
        const ItemRecord& item = g_fiscal.ItemTable[i];
        if (item.status == kItemFree) break;
        if (item.status == kItemRegistered) continue;
        const uint64_t q = DigitsValue(Field(item.quantity, 7), 7);
        const uint64_t u = DigitsValue(Field(item.unitPrice, 8), 8);
        const uint64_t t = DigitsValue(Field(item.total, 11), 11);
        const UnitInfo unit = UnitOf(item.description[0]);
        if (!Plausible(q, u, t, unit.decimals)) MarkInconsistent();
        const uint64_t discount = DigitsValue(Field(item.discount, 8), 8);
        // A discount above the item cannot be right; the net total never goes below 0.
        const uint64_t net = t >= discount ? t - discount : 0;
        std::array<char, 8> code{};
        TotalizerCode(item, previous, code);
        previous = code;
        // The model text is taken after the checks, which may have found the coupon inconsistent.
        const auto model = MovementModelText();
        FormatRecord(line,
                     "E15%-20.8s%c%20.20s%02u%06.4s%06.4s%03u%-14.13s%-100.64s%7.7s%-3.3s%08.8I64u%08.8s%08.8s"
                     "%014.14I64u%-7.7s%c%07s%026sT3%c\r\n",
                     {Txt(SerialText()), Chr(AdditionalLetter()), Txt(model.data()), Num(g_fiscal.UserCount), Txt(ccf),
                      Txt(coo), Num(i + 1), Txt(Field(item.code, 13)), Txt(Field(item.description, 64)),
                      Txt(Field(item.quantity, 7)), Txt(unit.text), Num(u), Txt(Field(item.discount, 8)), Txt("0"),
                      Num(net), Txt(code.data()), Chr(item.status == kItemCancelled ? 'S' : 'N'), Txt("0"), Txt("0"),
                      Chr(static_cast<char>('0' + unit.decimals))});
        if (!lines.Add(line.data())) break;
        if (item.status == kItemConfirmed || item.status == kItemCancelRequested) subtotal += net;
    }

    const std::string_view movement = TextOf(g_fiscal.MovementDate.data(), 6);
    char date[16] = {};
    FormatRecord(date, "20%2.2s%2.2s%2.2s",
                 {Txt(Part(movement, 4, 2)), Txt(Part(movement, 2, 2)), Txt(Part(movement, 0, 2))});
    const std::string_view discountText = TextOf(g_fiscal.DocumentDiscount.data(), 12);
    const std::string_view increaseText = TextOf(g_fiscal.DocumentIncrease.data(), 12);
    const uint64_t discount = DigitsValue(discountText, 12), increase = DigitsValue(increaseText, 12);
    const uint64_t gross = subtotal + increase;
    const uint64_t net = gross >= discount ? gross - discount : 0;
    if (netOut) *netOut = net;
    const auto model = MovementModelText();
    FormatRecord(line,
                 "E14%-20.8s%c%s%02u%06.4s%06.4s%8.8s%014.14I64u%013.12sV%013.12sV%014.14I64u%c%013s%c%40s%014.14s\r\n",
                 {Txt(SerialText()), Chr(AdditionalLetter()), Txt(model.data()), Num(g_fiscal.UserCount), Txt(ccf), Txt(coo),
                  Txt(date), Num(subtotal), Txt(discountText), Txt(increaseText), Num(net),
                  Chr(subtotal != 0 && notCancelled ? 'N' : 'S'), Txt("0"),
                  Chr(g_fiscal.AdjustmentOrder == 2 ? 'A' : 'D'), Txt(""),
                  Txt(TextOf(g_fiscal.BuyerId.data(), g_fiscal.BuyerId.size() - 1))});
    // The items go out before the E14, whose place in the file is kept: the
    // printer may still cancel the coupon after its close.
    lines.Flush();
    const int32_t at = log::FileSeek(handle, 0, kSeekCurrent);
    return WriteLine(handle, line.data()) ? at : -1;
}

void MarkCouponCancelled(intptr_t handle, int32_t at) {
    if (at < 0) return;
    const bool done = log::FileSeek(handle, at + kE14CancelledAt, kSeekBegin) == at + kE14CancelledAt &&
                      log::FileWrite(handle, "S", 1) == 1;
    log::FileSeek(handle, 0, kSeekEnd);
    if (!done) WriteErrorBox();
}

const char* DocumentKind(const char* command) {
    const std::string_view t = TextOf(command, 512);
    const int n = AllDigits(Part(t, 2, 2), 2) ? static_cast<int>(DigitsValue(Part(t, 2, 2), 2)) : -1;
    switch (n) {
        case 13: return CharAt(t, 4) == 's' || CharAt(t, 4) == 'S' ? "RG" : "LX";
        case 14: return "RZ";
        case 15:
        case 16: return "MF";
        case 18: return "RG";
        case 19: return Part(t, 4, 2) == "00" ? "CC" : "CN";
        default: return "LX";
    }
}

void WriteE16(intptr_t handle, const char* command) {
    const char* kind = DocumentKind(command);
    const bool reduction = std::strcmp(kind, "RZ") == 0;
    const std::string_view s1 = Saved1();
    char clock[16] = {};
    ToFileDateTime(PrinterClockText(), clock);
    const auto model = ModelName();
    std::array<char, kLine> line{};
    FormatRecord(line, "E16%-20.8s%c%s%02u00%04.4s00%04.4s00%04.4s%04.4s00%04.4s%2.2s%12.12s00\r\n",
                 {Txt(SerialText()), Chr(AdditionalLetter()), Txt(model.data()), Num(g_fiscal.UserCount),
                  Txt(Part(s1, 13, 4)), Txt(Part(s1, 116, 4)), Txt("0"), Txt("0"),
                  Txt(reduction ? Part(s1, 40, 4) : std::string_view("0")), Txt(kind), Txt(clock)});
    WriteLine(handle, line.data());
}

void WriteE21(intptr_t handle) {
    const std::string_view s1 = Saved1();
    bool written = false;
    std::array<char, kLine> line{};
    for (int k = 1; k <= static_cast<int>(kPaymentMethods); ++k) {
        const auto name = PaymentName(k);
        bool blank = true;
        for (std::size_t i = 0; i < 15; ++i)
            if (name[i] != ' ' && name[i] != 0) blank = false;
        // A method the printer shows without a name takes no payments; but
        // when the names were never recorded, the amounts still belong in the
        // file, under a blank name.
        const bool namesRecorded = !Reply29(k <= 3 ? '5' : '6').empty();
        if (blank && namesRecorded) continue;
        const int64_t end = g_fiscal.PaymentEnd[static_cast<std::size_t>(k - 1)];
        const int64_t start = g_fiscal.PaymentStart[static_cast<std::size_t>(k - 1)];
        if (end < 0 || end == start) continue;
        const bool reversed = end < start;
        const uint64_t difference = reversed ? static_cast<uint64_t>(start - end) : static_cast<uint64_t>(end - start);
        const auto model = MovementModelText();
        FormatRecord(line, "E21%-20.8s%c%s%02u%06.4s%06.4s%06.4s%15.15s%013.13I64u%c%013.13I64u\r\n",
                     {Txt(SerialText()), Chr(AdditionalLetter()), Txt(model.data()), Num(g_fiscal.UserCount),
                      Txt(Part(s1, 13, 4)), Txt(Part(s1, 120, 4)), Txt(Part(s1, 116, 4)), Txt(name.data()),
                      Num(reversed ? 0 : difference), Chr(reversed ? 'S' : 'N'), Num(reversed ? difference : 0)});
        WriteLine(handle, line.data());
        written = true;
    }
    if (written) {
        // The next document's payments are counted from where this one's ended,
        // not from zero: the totals are the day's, not the document's.
        for (std::size_t k = 0; k < kPaymentMethods; ++k)
            if (g_fiscal.PaymentEnd[k] >= 0) g_fiscal.PaymentStart[k] = g_fiscal.PaymentEnd[k];
        g_fiscal.PaymentEnd.fill(-1);
    }
}

}  // namespace moldrin::fiscalfile
