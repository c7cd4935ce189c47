// The busy store's day, drawn from the seed: the typed operations a lane sells
// (coupons, discounts, cancellations, payments, receipts, readings, the Z reduction).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "moldrin_ops.h"

namespace moldrin::soak {

// A small, fast generator every decision of a run is drawn from.
class Draw {
public:
    Draw(uint64_t seed, uint64_t a, uint64_t b = 0, uint64_t c = 0);
    uint64_t Next();
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
    int Between(int lo, int hi) { return lo + Below(hi - lo + 1); }
    bool Chance(double p) { return static_cast<double>(Next() >> 11) * 0x1.0p-53 < p; }

private:
    uint64_t state_;
};

enum class Op : uint8_t {
    OpenCoupon, SetBuyer, SellItem, ItemDiscount, CancelItem, SubtotalDiscount, SubtotalIncrease, Pay,
    CloseCoupon, CancelCoupon, NonFiscal, XReading, ZReduction,
};

struct Step {
    Op op;
    int number = 0;        // item to cancel, payment method, totalizer
    long long amount = 0;  // cents; a receipt's amount
    int item = -1;         // index into the catalogue
    long long quantity = 0;
    std::string text;      // buyer, closing message, receipt text
};

struct Product {
    const char* code;
    const char* description;
    const char* unit;
    long long price;
    int decimals;
    const char* tax;
    long long minQuantity, maxQuantity;  // thousandths
};
const std::vector<Product>& Catalogue();

// One lane's day `day` (from 0).
std::vector<Step> DayScript(uint64_t seed, int lane, int day);

// Carries the step out with the typed operations.
int RunStep(const Step& step, MoldrinOpsResult* result);

// Readable, for the report and the lane's messages.
const char* OpName(Op op);
// True when a killed application can tell from the printer whether the step was carried out.
bool Decidable(Op op);
// Whether the step was carried out, from the printer's status before and after it.
bool CarriedOut(const Step& step, const MoldrinOpsStatus& before, const MoldrinOpsStatus& after);

}  // namespace moldrin::soak
