// Builds the simulated printer's status records from its state, with every
// field at the position the library reads. Choosing which record to send is the model's.
#include <cstdio>
#include <string>

#include "sim/printer_state.h"

namespace moldrin::sim {

namespace {

constexpr std::size_t kRecord = 128;

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

// Writes text at a position, cut or blank-filled to width.
void Put(std::string& r, std::size_t at, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width && at + i < kRecord - 1; ++i) r[at + i] = i < text.size() ? text[i] : ' ';
}

std::string Digits(uint64_t v, int width) {
    char b[32];
    std::snprintf(b, sizeof b, "%0*llu", width, static_cast<unsigned long long>(v));
    std::string s = b;
    return s.size() > static_cast<std::size_t>(width) ? s.substr(s.size() - width) : s;
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
            Put(r, 7, s.fiscalDate, 6);
            Put(r, 13, s.fiscalTime, 6);
            Put(r, 19, Digits(s.grandTotal, 17), 17);
            Put(r, 40, Digits(s.zCounter, 4), 4);
            r[124] = s.modelLetter;
            break;
        case '3':
            Put(r, 12, s.factoryNumber, 9);
            break;
        case 'G':
            r[30] = s.statusGFlag;
            break;
        default:
            break;
    }
    return r;
}

std::string Status28Record(const PrinterState& s) {
    std::string r = Blank('+', '0', '0');
    Put(r, 2, Digits(s.lastCommand, 4), 4);
    Put(r, 6, Digits(s.itemCount, 3), 3);
    r[9] = s.documentState;
    Put(r, 10, s.documentField, 8);
    Put(r, 46, s.clock, 10);
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
    return r;
}

}  // namespace moldrin::sim
