// Puts the simulated printer's fiscal figures at the positions the capture and
// the fiscal file read them from. Framing and the common fields are status_records'.
#include <algorithm>
#include <cstdio>
#include <string>

#include "sim/fiscal_figures.h"
#include "sim/printer_state.h"
#include "sim/record_fields.h"

namespace moldrin::sim {

namespace {

namespace L = ops::layout;

// A tax total as the printer lists it: the entry's 3-character key, 12 digits.
std::string TaxTotal(const PrinterState& s, std::size_t i) {
    return s.taxEntries[i].substr(0, 3) + std::string(3 - std::min<std::size_t>(3, s.taxEntries[i].size()), ' ') +
           Digits(s.fiscal.taxTotals[i], 12);
}

void PutTaxTotals(std::string& r, const PrinterState& s, std::size_t first) {
    for (std::size_t i = 0; i < 7; ++i) Put(r, 7 + 15 * i, TaxTotal(s, first + i), 15);
}

void PutValues(std::string& r, const uint64_t* values, std::size_t count) {
    for (std::size_t v = 0; v < count; ++v) Put(r, 11 + 16 * v, Digits(values[v], 12), 12);
}

// Payment names: 15 apart on the basic models, 16 apart (a marker and the
// name) on models with the extended status.
void PutNames(std::string& r, const PrinterState& s, std::size_t first, std::size_t count, std::size_t at) {
    const bool extended = ExtendedModel(s);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = s.fiscal.paymentNames[first + i];
        if (extended) Put(r, at + 16 * i, (name.empty() ? " " : "S") + name, 16);
        else Put(r, at + 15 * i, name, 15);
    }
}

}  // namespace

void AddFiscalFields(std::string& r, const PrinterState& s, int family, char type) {
    if (r.size() != kRecord) return;
    const FiscalFigures& f = s.fiscal;
    if (family == 27) {
        switch (type) {
            case '1':
                Put(r, L::kS1Coo, f.coo);
                Put(r, L::kS1GrossDailySale, f.grossDailySale);
                Put(r, L::kS1CancelledT, f.cancelledT);
                Put(r, L::kS1CancelledT2, f.cancelledT2);
                Put(r, L::kS1DiscountT, f.discountT);
                Put(r, L::kS1Gnf, f.gnf);
                Put(r, L::kS1Ccf, f.ccf);
                break;
            case '2':
                Put(r, L::kS2CancelledS, f.cancelledS);
                Put(r, L::kS2CancelledS2, f.cancelledS2);
                Put(r, L::kS2DiscountS, f.discountS);
                break;
            case '3':
                Put(r, 21, Digits(f.taxExempt, 12), 12);
                Put(r, 33, Digits(f.notTaxed, 12), 12);
                Put(r, 45, Digits(f.substituted, 12), 12);
                Put(r, 93, TaxTotal(s, 0), 15);
                break;
            case '4': PutTaxTotals(r, s, 1); break;
            case '5': PutTaxTotals(r, s, 8); break;
            case '6': PutValues(r, f.paymentTotals.data(), 7); break;
            case '7':
                PutValues(r, f.paymentTotals.data() + 7, 3);
                Put(r, 91, Digits(f.nonFiscalTotals[0], 12), 12);
                Put(r, 107, Digits(f.nonFiscalTotals[1], 12), 12);
                break;
            case '8': case '9': PutValues(r, f.moreTotals[static_cast<std::size_t>(type - '8')].data(), 7); break;
            case 'A': case 'B': case 'C': case 'D': case 'E':
                PutValues(r, f.moreTotals[static_cast<std::size_t>(type - 'A' + 2)].data(), 7);
                break;
            case 'F':
                Put(r, L::kSFIncreaseT, f.increaseT);
                Put(r, L::kSFIncreaseS, f.increaseS);
                break;
            case 'G':
                Put(r, 15, Digits(f.restartCounter, 4), 4);
                Put(r, 27, f.softwareVersion, 3);
                break;
            default: break;
        }
    } else if (family == 28) {
        Put(r, L::kS28LastCommand, f.lastExecuted);
        Put(r, L::kS28Subtotal, f.subtotal);
        Put(r, L::kS28LastNonFiscal, f.lastNonFiscal);
    } else if (family == 29) {
        switch (type) {
            case '1':
                Put(r, 11, f.userName, 40);
                Put(r, 52, f.userName2, 40);
                break;
            case '2':
                Put(r, 8, f.userAddress, 40);
                Put(r, 49, f.userAddress2, 40);
                break;
            case '3':
                Put(r, 3, f.printerNumber, 3);
                Put(r, 8, f.userCity, 40);
                break;
            case '5': PutNames(r, s, 0, 3, 35); break;
            case '6': PutNames(r, s, 3, 7, 7); break;
            case 'F': r[126] = f.reductionFlag; break;
            case 'H': case 'I': case 'J': case 'K': case 'L': {
                const auto i = static_cast<std::size_t>(type - 'H');
                if (i >= f.userEntries.size()) break;
                const UserEntry& u = f.userEntries[i];
                Put(r, 7, u.cnpj, 22);
                Put(r, 29, u.ie, 21);
                Put(r, 66, u.date, 6);
                Put(r, 72, u.time, 4);
                break;
            }
            default: break;
        }
    }
}

}  // namespace moldrin::sim
