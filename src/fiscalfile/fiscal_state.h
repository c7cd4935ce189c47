// The fiscal file generation's process-wide state (FiscalFileState with its item
// table, the saved status snapshots) and the reads of the replayed status replies
// that every record writer shares. The writers are header_/movement_records'.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/capture_state.h"

namespace moldrin::fiscalfile {

inline constexpr const char kWorkFile[] = "c:\\TALMA\\RFD\\TALMA.TMP";

constexpr std::size_t kItemSlots = 1100;       // the slots the loops use
constexpr std::size_t kItemAllocated = 1101;   // one spare, as allocated
constexpr std::size_t kPaymentMethods = 10;

enum ItemStatus : uint8_t {
    kItemFree = 0,
    kItemRegistered = 1,   // not yet confirmed by the printer
    kItemConfirmed = 2,
    kItemCancelRequested = 3,
    kItemCancelled = 4,
};

// One registered item, 115 characters, texts unterminated.
struct ItemRecord {
    char code[13];
    char quantity[7];
    char unitPrice[8];
    char total[11];
    char description[64];   // its first character is the unit marker
    char tax[3];
    char discount[8];
    uint8_t status;
};
static_assert(sizeof(ItemRecord) == 115);

struct FiscalFileState {
    std::array<char, 10> SerialNumber{};       // 8 characters and the additional letter
    uint32_t UserCount = 0;
    std::array<char, 130> LastUserEntry{};
    std::array<char, 7> SoftwareDate{};        // DDMMYY
    std::array<char, 7> SoftwareTime{};        // hhmmss
    std::array<char, 7> MovementDate{};        // DDMMYY
    std::array<char, 7> FirstMovementDate{};   // DDMMYY
    uint64_t GrandTotal = 0;
    uint64_t NonFiscalTotal = 0;
    std::array<char, 13> DocumentDiscount{};   // 12 digits
    std::array<char, 13> DocumentIncrease{};   // 12 digits
    uint8_t AdjustmentOrder = 0;               // 0 none, 1 discount first, 2 increase first
    std::array<char, 21> BuyerId{};
    ItemRecord* ItemTable = nullptr;           // kItemAllocated slots while a file is processed
    std::array<int64_t, kPaymentMethods> PaymentStart{};
    std::array<int64_t, kPaymentMethods> PaymentEnd{};
    bool CouponInProgress = false;
    bool CouponClosed = false;
    bool DataInconsistent = false;

    // Coupon tracking.
    uint64_t GrandTotalAtStart = 0;
    uint64_t ExpectedGrandTotal = 0;
    uint64_t CurrentGrandTotal = 0;
    bool SubtotalDiscountTaken = false;
    bool ItemDiscountTaken = false;
    bool SubtotalIncreaseTaken = false;
};

inline FiscalFileState g_fiscal;

// The snapshots of reply 27-1 and 27-3 that the records read: the capture's two
// working areas, so that every reset of the capture state empties them too.
inline std::array<char, 132>& SavedStatus1() { return capture::g_capture.generationArea1; }
inline std::array<char, 132>& SavedStatus3() { return capture::g_capture.generationArea2; }

// The stored replies, as texts ending at their NUL.
std::string_view Reply27(char type);   // 1 to 9, A to G
std::string_view Reply28();
std::string_view Reply29(char type);   // 1 to 6, F, H (the last of H to L)
std::string_view Saved1();
std::string_view Saved3();
std::string_view TextOf(const std::array<char, 130>& reply);

// True when the item table holds no item (its first character is 0).
bool ItemTableEmpty();

// Unit text ("Kg", "m ", "l ", "un") and unit-price decimals (2 or 3) of a unit marker.
struct UnitInfo {
    const char* text;
    int decimals;
};
UnitInfo UnitOf(char marker);

// The taxed totalizer entries: 15 rate entries of 7 characters (4 of 29-3,
// 7 of 29-4, 4 of 29-5), blank where a list is short.
std::array<std::array<char, 8>, 15> RateEntries();
// Name of payment method k (1 to 10), 15 characters, blank where unknown.
std::array<char, 16> PaymentName(int k);

// The printer's serial number as the records carry it (up to 9 characters),
// and its ninth character, the "additional letter" of the records.
std::string_view SerialText();
char AdditionalLetter();

// The model text, always 20 characters ("????????????????????" when unknown).
std::array<char, 21> ModelName();
// The model text of E14, E15 and E21: question marks while the data is inconsistent.
std::array<char, 21> MovementModelText();

std::array<char, 23> UserCnpjDigits();
std::array<char, 15> UserIeText();
std::array<char, 41> UserNameText();

// DDMMYYhhmm (or DDMMYY) into 20YYMMDDhhmm00; out holds 15 characters. Returns out.
char* ToFileDateTime(std::string_view source, char* out);

// The printer's clock of reply 28 (positions 46-55), DDMMYYhhmm.
std::string_view PrinterClockText();

// Copies a text into a fixed buffer, cut to fit and terminated.
template <std::size_t N>
void SetField(std::array<char, N>& dst, std::string_view src) {
    std::size_t i = 0;
    for (; i < src.size() && src[i] && i + 1 < N; ++i) dst[i] = src[i];
    dst[i] = 0;
}

// Shows "ERRO de gravação RFD: " and the work file in a stop box.
void WriteErrorBox();
// Writes one record line; false (after the error box) when the write failed.
bool WriteLine(intptr_t handle, const char* line);

// A document's record lines, written with one call when it ends (or fills):
// a busy day's work file has tens of thousands of lines. A failed write shows
// WriteLine's box once, and every line after it is refused.
class LineBatch {
public:
    explicit LineBatch(intptr_t handle) : handle_(handle) {}
    ~LineBatch() { Flush(); }
    LineBatch(const LineBatch&) = delete;
    LineBatch& operator=(const LineBatch&) = delete;

    // False once a write of the batch failed.
    bool Add(const char* line);
    bool Flush();

private:
    intptr_t handle_;
    bool failed_ = false;
    std::size_t used_ = 0;
    std::array<char, 16 * 1024> bytes_;
};

}  // namespace moldrin::fiscalfile
