// The simulated printer's fiscal day: what the sale, document and closing
// commands do to its figures (command_set.md is the reference). Records are status_records'.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace moldrin::sim {

struct PrinterState;

// Totalizer of an item that is not in the rate table.
constexpr int kTaxExempt = -1;     // "I"
constexpr int kTaxNotTaxed = -2;   // "N"
constexpr int kTaxSubstituted = -3;  // "F"

struct SaleItem {
    uint64_t total = 0;          // 2 decimals, as registered
    uint64_t discount = 0;       // the item's own discount (command 2)
    uint64_t discountShare = 0;  // its part of the subtotal discounts (command 3)
    uint64_t increaseShare = 0;  // its part of the subtotal increase (command 11)
    int tax = 0;                 // index into PrinterState::taxEntries, or kTax...
    bool service = false;        // an "S" rate: ISS figures instead of ICMS
    bool cancelled = false;
    uint64_t Net() const { return total - discount - discountShare + increaseShare; }
};

enum class Document : uint8_t { None, Sale, NonFiscal };
enum class SalePhase : uint8_t { Items, Totalized, Paid };

struct OpenDocument {
    Document kind = Document::None;
    SalePhase phase = SalePhase::Items;
    std::vector<SaleItem> items;
    uint64_t discount = 0;
    uint64_t increase = 0;
    uint64_t tendered = 0;             // what the buyer handed over, change included
    std::array<uint64_t, 10> paid{};   // what went into each payment totalizer
    std::string buyer;                 // CPF or CNPJ digits
};

struct FiscalDay {
    bool open = false;       // documents were issued since the last Z reduction
    std::string lastZDate;   // DDMMYY of the last Z reduction; empty before the first
    OpenDocument doc;
    // The coupon closed last, while it may still be cancelled (nothing issued since).
    std::optional<OpenDocument> lastCoupon;
};

// True for models with the extended status (typed status 28, or a digit at
// status G position 30); discount commands are laid out differently there.
bool ExtendedModel(const PrinterState& s);

// The answer to an ordinary command whose code the fiscal day defines (1 to 7
// and 9 to 19), after applying it to `s`; nothing for any other command.
std::optional<std::string> FiscalCommand(PrinterState& s, std::string_view frame);

// The simulator's own maintenance frames, "\x1B.++WORD value}": the printer's
// date, clock and factory number changed mid-session. Nothing for other frames.
std::optional<std::string> ControlCommand(PrinterState& s, std::string_view frame);

}  // namespace moldrin::sim
