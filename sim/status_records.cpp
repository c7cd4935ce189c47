// Builds the simulated printer's status records from its state, with every
// field at the position the library reads. Choosing which record to send is the model's.
#include <cstdio>
#include <string>

#include "sim/printer_state.h"
#include "sim/record_fields.h"

namespace moldrin::sim {

namespace {

namespace L = ops::layout;

std::string Blank(char sign, char letter, char type) {
    std::string r(kRecord, ' ');
    r[0] = '.';
    r[1] = sign;
    r[2] = letter;
    r[3] = '0';
    r[4] = '0';
    r[5] = '0';
    r[6] = type;
    r[kRecord - 1] = '}';
    return r;
}

void PutTaxes(std::string& r, const PrinterState& s, std::size_t first, std::size_t count, std::size_t at) {
    for (std::size_t i = 0; i < count && first + i < s.taxEntries.size(); ++i)
        Put(r, at + 7 * i, s.taxEntries[first + i], 7);
}

}  // namespace

std::string Status23Record(const PrinterState&) { return ".+P000.+0000}"; }

std::string Status27Record(const PrinterState& s, char type) {
    std::string r = Blank('+', 'C', type);
    switch (type) {
        case '1':
            Put(r, L::kS1FiscalDate, s.fiscalDate);
            Put(r, 13, s.fiscalTime, 6);
            Put(r, L::kS1GrandTotal, s.grandTotal);
            Put(r, L::kS1Crz, s.zCounter);
            r[L::kS1ModelLetter] = s.modelLetter;
            break;
        case '3':
            Put(r, L::kS3Factory, s.factoryNumber);
            break;
        case 'G':
            r[L::kSGExtendedDigit] = s.statusGFlag;
            break;
        default:
            break;
    }
    AddFiscalFields(r, s, 27, type);
    return r;
}

std::string Status28Record(const PrinterState& s) {
    std::string r = Blank('+', '0', '0');
    Put(r, L::kS28ReplyCode, s.lastCommand);
    Put(r, L::kS28Items, s.itemCount);
    r[L::kS28State] = s.documentState;
    Put(r, L::kS28Document, s.documentField);
    Put(r, L::kS28Clock, s.clock);
    AddFiscalFields(r, s, 28, '0');
    return r;
}

std::string Status28TypedRecord(const PrinterState& s, char type) {
    if (!s.typedStatus28) return Status28Record(s);
    std::string r = Blank('+', type, '0');
    r[9] = '0';
    return r;
}

std::string Status29Record(const PrinterState& s, char type) {
    std::string r = Blank('+', 'T', type);
    switch (type) {
        case '3': PutTaxes(r, s, 0, 4, 48); break;
        case '4': PutTaxes(r, s, 4, 7, 7); break;
        case '5': PutTaxes(r, s, 11, 4, 7); break;
        default: break;
    }
    AddFiscalFields(r, s, 29, type);
    return r;
}

}  // namespace moldrin::sim
