// The simulated printer's fiscal figures beyond date, counters and model: the
// totalizers, payment methods, user entries and texts the capture and the
// fiscal file read from status records. The records' frame is status_records'.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace moldrin::sim {

struct PrinterState;

// One registration of the printer's user (29-H to 29-L).
struct UserEntry {
    std::string cnpj;   // 22 characters at 7-28
    std::string ie;     // 21 characters at 29-49
    std::string date;   // DDMMYY at 66-71
    std::string time;   // hhmm at 72-75
};

struct FiscalFigures {
    unsigned coo = 1;                       // 27-1 13-16: document counter (COO)
    unsigned gnf = 0;                       // 27-1 116-119: non-fiscal document counter (GNF)
    unsigned ccf = 0;                       // 27-1 120-123: fiscal coupon counter (CCF)
    uint64_t grossDailySale = 0;            // 27-1 44-55
    uint64_t cancelledT = 0;                // 27-1 60-71
    uint64_t cancelledT2 = 0;               // 27-1 76-87
    uint64_t discountT = 0;                 // 27-1 92-103 ("DT")
    uint64_t cancelledS = 0;                // 27-2 11-22
    uint64_t cancelledS2 = 0;               // 27-2 27-38
    uint64_t discountS = 0;                 // 27-2 43-54 ("DS")
    uint64_t taxExempt = 0;                 // 27-3 21-32 ("I1")
    uint64_t notTaxed = 0;                  // 27-3 33-44 ("N1")
    uint64_t substituted = 0;               // 27-3 45-56 ("F1")
    // Totals of the tax entries of PrinterState::taxEntries, in the same
    // order: the first at 27-3 93-107, then seven in 27-4, seven in 27-5.
    std::array<uint64_t, 15> taxTotals{};
    std::array<uint64_t, 10> paymentTotals{};          // 27-6 (1-7) and 27-7 (8-10)
    std::array<uint64_t, 2> nonFiscalTotals{};            // 27-7 91-102, 107-118: non-fiscal 1 and 2
    std::array<std::array<uint64_t, 7>, 7> moreTotals{};  // 27-8, 27-9, 27-A to 27-E: non-fiscal 3-51
    uint64_t increaseT = 0;                 // 27-F 11-22 ("AT")
    uint64_t increaseS = 0;                 // 27-F 43-54 ("AS")
    unsigned restartCounter = 0;            // 27-G 15-18
    std::string softwareVersion = "030";    // 27-G 27-29
    unsigned lastExecuted = 0;              // 28 18-19: last command the printer executed
    uint64_t subtotal = 0;                  // 28 21-32
    uint64_t lastNonFiscal = 0;             // 28 109-120
    std::string userName = "SUPERMERCADO MODELO LTDA";  // 29-1 11-50 (and 52-91 for more)
    std::string userName2;
    std::string userAddress = "RUA DAS FLORES 100";    // 29-2 8-47
    std::string userAddress2 = "CENTRO";               // 29-2 49-88
    std::string printerNumber = "001";      // 29-3 3-5
    std::string userCity = "SAO PAULO SP";  // 29-3 8-47
    std::array<std::string, 10> paymentNames = {"Dinheiro", "Cheque", "Cartao"};  // 29-5, 29-6
    char reductionFlag = 'S';               // 29-F 126
    std::vector<UserEntry> userEntries = {{"12345678000199", "110042490114", "010126", "0930"}};  // 29-H..L
};

// Writes the figures of `s` into a status record already framed (family 27, 28
// or 29, its type); the positions of the common fields are left alone.
void AddFiscalFields(std::string& record, const PrinterState& s, int family, char type);

}  // namespace moldrin::sim
