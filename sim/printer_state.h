// What the simulated printer knows about its fiscal day, from which its status
// records are built. Protocol and faults are the model's (printer_model.h).
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "sim/fiscal_day.h"
#include "sim/fiscal_figures.h"

namespace moldrin::sim {

struct PrinterState {
    char modelLetter = 'B';                   // 27-1 position 124; below "G" = dot-matrix
    std::string fiscalDate = "091226";        // DDMMYY, 27-1 positions 7-12
    std::string fiscalTime = "102030";        // hhmmss, 27-1 positions 13-18
    uint64_t grandTotal = 0;                  // 17 digits, 27-1 positions 19-35
    unsigned zCounter = 0;                    // 4 digits, 27-1 positions 40-43
    std::string factoryNumber = "MS0300019";  // 9 characters, 27-3 positions 12-20
    unsigned lastCommand = 0;                 // 4 digits, 28 positions 2-5: the code of the
                                              // last ordinary command's reply
    unsigned itemCount = 0;                   // 3 digits, 28 positions 6-8
    char documentState = 'C';                 // 28 position 9: "C", "E" or "P"
    std::string documentField = "        ";   // 8 characters, 28 positions 10-17
    std::string clock = "0912261020";         // DDMMYYhhmm, 28 positions 46-55
    bool typedStatus28 = false;               // answers "\x1B.28c}" with its own record
    char statusGFlag = ' ';                   // 27-G position 30: a digit on extended models
    // Tax entries of seven characters (code and rate with two decimals), as the
    // 29-3, 29-4 and 29-5 records carry them; an empty entry is blank.
    std::array<std::string, 15> taxEntries = {"T011800", "T020700", "T031200", "S042500"};
    // Answers to ordinary commands by code: the text between "." and "}", split
    // into 128-byte records. Codes not listed are answered ".+00cc}".
    std::map<int, std::string> answers;
    // Off: no fiscal day, every ordinary command is acknowledged with its own
    // code, for tests that script the printer's answers themselves.
    bool keepsFiscalDay = true;
    // Totalizers, payment methods, user entries and texts (fiscal_records.cpp).
    FiscalFigures fiscal;
    // The open document and the day's closing state (fiscal_day.cpp).
    FiscalDay day;
};

// The records of the status queries, exactly 128 bytes with "}" at 127
// (the paper status of 23 excepted, which is 13 bytes).
std::string Status23Record(const PrinterState& s);
std::string Status27Record(const PrinterState& s, char type);
std::string Status28Record(const PrinterState& s);
std::string Status28TypedRecord(const PrinterState& s, char type);
std::string Status29Record(const PrinterState& s, char type);

}  // namespace moldrin::sim
