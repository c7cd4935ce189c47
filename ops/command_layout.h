// The printer's command layouts: where each parameter of a command frame sits,
// the frames built from them, and the reply and status fields read back. The
// one definition the typed operations, the simulator and the tests share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace moldrin::ops::layout {

// A parameter of a frame or a field of a record: its first position (0 is the
// ESC of a frame, the "." of a record) and its width.
struct Field {
    std::size_t at;
    std::size_t width;
    constexpr std::size_t end() const { return at + width; }
};

// Command codes (positions 2-3 of ESC "." c c ... "}").
enum Code : int {
    kSellItem = 1,
    kItemDiscount = 2,
    kSubtotalDiscount = 3,
    kCancelItem = 4,
    kCancelCoupon = 5,
    kCloseCoupon = 6,
    kOpenNonFiscal = 7,
    kBuyer = 9,
    kPayment = 10,
    kSubtotalIncrease = 11,
    kNonFiscalOperation = 12,
    kXReading = 13,
    kZReduction = 14,
    kOpenCoupon = 17,
};

// Sell an item (01).
constexpr Field kItemCode{4, 13};
constexpr Field kItemQuantity{17, 7};      // 3 decimals
constexpr std::size_t kItemUnused = 24;    // not read: "0"
constexpr Field kItemPrice{25, 8};         // 2 or 3 decimals, as the unit marker says
constexpr Field kItemTotal{33, 12};        // 2 decimals
constexpr Field kItemDescription{45, 24};  // its first character is the unit marker
constexpr Field kItemTax{69, 3};
constexpr std::size_t kItemMore = 72;      // up to 40 more description characters
constexpr std::size_t kItemMoreMax = 40;
constexpr std::size_t kItemMinSize = 73;   // the frame up to the tax code and its "}"

// Item and subtotal discounts (02, 03): a free text, then the amount, laid out
// by model class (a model with the extended status, or a basic one).
constexpr Field kDiscountTextExtended{4, 4};
constexpr Field kDiscountAmountExtended{8, 12};
constexpr Field kDiscountTextBasic{4, 10};
constexpr Field kDiscountAmountBasic{14, 12};
constexpr Field DiscountAmount(bool extended) { return extended ? kDiscountAmountExtended : kDiscountAmountBasic; }

constexpr Field kCancelItemNumber{4, 3};   // not digits: the last item
constexpr Field kBuyerDigits{6, 20};       // 09: buyer inside the coupon
constexpr Field kPaymentMethod{4, 2};      // 01-10
constexpr Field kPaymentAmount{6, 12};
constexpr Field kIncreaseText{4, 6};
constexpr Field kIncreaseAmount{10, 11};
constexpr Field kNonFiscalTotalizer{4, 2}; // 01-51
constexpr Field kNonFiscalMethod{6, 2};
constexpr Field kNonFiscalAmount{8, 12};
constexpr std::size_t kNonFiscalText = 20;
constexpr Field kOpenCouponBuyer{4, 20};
constexpr std::size_t kReportOverLine = 4; // 13: "|" or "#" sends the reading over the line

// Limits the printer sets.
constexpr uint64_t kItemTotalLimit = 100000000000ull;  // an item total has at most 11 digits
constexpr uint64_t kItemDiscountLimit = 100000000ull;  // an item discount at most 8
constexpr std::size_t kMaxItems = 999;

// Fields of the status records the operations read.
constexpr Field kS1FiscalDate{7, 6};       // 27-1, DDMMYY
constexpr Field kS1Coo{13, 4};
constexpr Field kS1GrandTotal{19, 17};
constexpr Field kS1Crz{40, 4};
constexpr Field kS1GrossDailySale{44, 12};
constexpr Field kS1CancelledT{60, 12};
constexpr Field kS1CancelledT2{76, 12};
constexpr Field kS1DiscountT{92, 12};
constexpr Field kS1Gnf{116, 4};
constexpr Field kS1Ccf{120, 4};
constexpr std::size_t kS1ModelLetter = 124;
constexpr Field kS2CancelledS{11, 12};     // 27-2
constexpr Field kS2CancelledS2{27, 12};
constexpr Field kS2DiscountS{43, 12};
constexpr Field kS3Factory{12, 9};         // 27-3
constexpr Field kSFIncreaseT{11, 12};      // 27-F
constexpr Field kSFIncreaseS{43, 12};
constexpr std::size_t kSGExtendedDigit = 30;  // 27-G: a digit on extended models
// 27-6 (methods 1-7) and 27-7 (8-10): each method's total, 16 apart.
constexpr Field PaymentTotal(int method) {
    return {static_cast<std::size_t>(11 + 16 * ((method - 1) % 7)), 12};
}
constexpr char PaymentTotalRecord(int method) { return method <= 7 ? '6' : '7'; }
constexpr Field kS28ReplyCode{2, 4};       // the last ordinary command's reply code
constexpr Field kS28Items{6, 3};
constexpr std::size_t kS28State = 9;       // "E" refused, "P" a document open, "C" none
constexpr Field kS28Document{10, 8};       // " VENDAS " or "NAO FISC"
constexpr Field kS28LastCommand{18, 2};
constexpr Field kS28Subtotal{21, 12};
constexpr Field kS28Clock{46, 10};         // DDMMYYhhmm
constexpr Field kS28LastNonFiscal{109, 12};
constexpr std::size_t kRecordSize = 128;

// The 3-decimal unit markers; any other first description character is a
// 2-decimal one.
constexpr bool ThreeDecimalMarker(char c) { return c == '>' || c == '|' || c == ']' || c == '~'; }
constexpr bool UnitMarker(char c) { return c == '!' || c == ')' || c == '@' || ThreeDecimalMarker(c); }

// The item total the printer accepts: quantity × price, truncated.
constexpr uint64_t ItemTotal(uint64_t quantity, uint64_t price, bool threeDecimals) {
    return quantity * price / (threeDecimals ? 10000 : 1000);
}

inline std::string Digits(uint64_t v, std::size_t width) {
    char b[32];
    std::snprintf(b, sizeof b, "%0*llu", static_cast<int>(width), static_cast<unsigned long long>(v));
    std::string s = b;
    return s.size() > width ? s.substr(s.size() - width) : s;
}

// text cut or blank-filled to width.
inline std::string Padded(std::string_view text, std::size_t width) {
    std::string s(text.substr(0, width));
    s.resize(width, ' ');
    return s;
}

inline std::string Frame(int code, std::string_view parameters) {
    return "\x1B." + Digits(static_cast<uint64_t>(code), 2) + std::string(parameters) + "}";
}

// The value of the digits of a field, nothing when the field is not all digits
// or does not fit before the frame's (or record's) end.
inline std::optional<uint64_t> Number(std::string_view text, Field f) {
    if (f.end() > text.size()) return std::nullopt;
    uint64_t v = 0;
    for (std::size_t i = f.at; i < f.end(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return v;
}

inline std::string_view Text(std::string_view record, Field f) {
    if (f.at >= record.size()) return {};
    return record.substr(f.at, f.width);
}

// Frames. The arguments are taken as they come: the typed operations check
// them first.

// description: the unit marker (when there is one) and the text, at most 64
// characters; the first 24 go in the fixed place, the rest after the tax code.
inline std::string SellItem(std::string_view code, uint64_t quantity, uint64_t price, std::string_view description,
                            std::string_view tax) {
    const bool three = !description.empty() && ThreeDecimalMarker(description[0]);
    std::string p = Padded(code, kItemCode.width) + Digits(quantity, kItemQuantity.width) + "0" +
                    Digits(price, kItemPrice.width) + Digits(ItemTotal(quantity, price, three), kItemTotal.width) +
                    Padded(description, kItemDescription.width) + Padded(tax, kItemTax.width);
    if (description.size() > kItemDescription.width) {
        std::string more(description.substr(kItemDescription.width, kItemMoreMax));
        // The capture takes the rest of a description only when neither of
        // positions 72 and 74 is the "}": two characters would be lost.
        if (more.size() == 2) more += ' ';
        p += more;
    }
    return Frame(kSellItem, p);
}

inline std::string Discount(int code, uint64_t amount, bool extended, std::string_view text = "DESCONTO") {
    const Field t = extended ? kDiscountTextExtended : kDiscountTextBasic;
    return Frame(code, Padded(text, t.width) + Digits(amount, kDiscountAmountBasic.width));
}
inline std::string ItemDiscount(uint64_t amount, bool extended) { return Discount(kItemDiscount, amount, extended); }
inline std::string SubtotalDiscount(uint64_t amount, bool extended) {
    return Discount(kSubtotalDiscount, amount, extended);
}
inline std::string SubtotalIncrease(uint64_t amount, std::string_view text = "ACRESC") {
    return Frame(kSubtotalIncrease, Padded(text, kIncreaseText.width) + Digits(amount, kIncreaseAmount.width));
}
// item 0: the last item.
inline std::string CancelItem(unsigned item) {
    return Frame(kCancelItem, item == 0 ? std::string() : Digits(item, kCancelItemNumber.width));
}
inline std::string CancelCoupon() { return Frame(kCancelCoupon, ""); }
inline std::string CloseCoupon(std::string_view message) { return Frame(kCloseCoupon, message); }
inline std::string OpenNonFiscal() { return Frame(kOpenNonFiscal, ""); }
inline std::string Buyer(std::string_view digits) { return Frame(kBuyer, "00" + std::string(digits)); }
inline std::string Payment(int method, uint64_t amount) {
    return Frame(kPayment, Digits(static_cast<uint64_t>(method), 2) + Digits(amount, kPaymentAmount.width));
}
inline std::string NonFiscalOperation(int totalizer, int method, uint64_t amount, std::string_view text) {
    return Frame(kNonFiscalOperation, Digits(static_cast<uint64_t>(totalizer), 2) +
                                          Digits(static_cast<uint64_t>(method), 2) +
                                          Digits(amount, kNonFiscalAmount.width) + std::string(text));
}
inline std::string XReading() { return Frame(kXReading, ""); }
inline std::string ZReduction() { return Frame(kZReduction, ""); }
inline std::string OpenCoupon(std::string_view buyer) { return Frame(kOpenCoupon, buyer); }
inline std::string Status27(char type) { return std::string("\x1B.27") + type + "}"; }
inline std::string Status28() { return "\x1B.28}"; }
inline std::string Status29(char type) { return std::string("\x1B.29") + type + "}"; }
inline std::string Status23() { return "\x1B.23}"; }

// A short reply ".+nnnn}" or ".-nnnn}": its sign and code.
struct ShortReply {
    bool accepted;
    unsigned code;
};
inline std::optional<ShortReply> ParseShortReply(std::string_view reply) {
    if (reply.size() < 7 || reply[0] != '.' || (reply[1] != '+' && reply[1] != '-')) return std::nullopt;
    const auto code = Number(reply, {2, 4});
    if (!code) return std::nullopt;
    return ShortReply{reply[1] == '+', static_cast<unsigned>(*code)};
}

}  // namespace moldrin::ops::layout
