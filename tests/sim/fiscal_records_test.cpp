// The simulator's fiscal figures: each at the position the capture and the
// fiscal file read it from, and the records still well formed around them.
#include <gtest/gtest.h>

#include "sim/printer_state.h"

namespace moldrin::sim {
namespace {

TEST(FiscalRecords, FiguresSitWhereTheyAreRead) {
    PrinterState s;
    FiscalFigures& f = s.fiscal;
    f.coo = 1234;
    f.grossDailySale = 111;
    f.cancelledT = 222;
    f.cancelledT2 = 333;
    f.discountT = 444;
    f.cancelledS = 5;
    f.cancelledS2 = 6;
    f.discountS = 7;
    f.taxExempt = 8;
    f.notTaxed = 9;
    f.substituted = 10;
    for (std::size_t i = 0; i < f.taxTotals.size(); ++i) f.taxTotals[i] = 100 + i;
    for (std::size_t i = 0; i < f.paymentTotals.size(); ++i) f.paymentTotals[i] = 200 + i;
    f.moreTotals[6][6] = 999;
    f.increaseT = 11;
    f.increaseS = 12;
    f.restartCounter = 3;
    f.softwareVersion = "017";
    f.lastExecuted = 14;
    f.subtotal = 4500;
    f.lastNonFiscal = 77;
    f.reductionFlag = 'N';

    const std::string r1 = Status27Record(s, '1');
    EXPECT_EQ(r1.substr(13, 4), "1234");
    EXPECT_EQ(r1.substr(44, 12), "000000000111");
    EXPECT_EQ(r1.substr(60, 12), "000000000222");
    EXPECT_EQ(r1.substr(76, 12), "000000000333");
    EXPECT_EQ(r1.substr(92, 12), "000000000444");
    const std::string r2 = Status27Record(s, '2');
    EXPECT_EQ(r2.substr(11, 12) + r2.substr(27, 12) + r2.substr(43, 12), "000000000005000000000006000000000007");
    const std::string r3 = Status27Record(s, '3');
    EXPECT_EQ(r3.substr(12, 9), s.factoryNumber);
    EXPECT_EQ(r3.substr(21, 12) + r3.substr(33, 12) + r3.substr(45, 12), "000000000008000000000009000000000010");
    EXPECT_EQ(r3.substr(93, 15), "T01000000000100");  // key of the first tax entry, its total
    EXPECT_EQ(Status27Record(s, '4').substr(7, 15), "T02000000000101");
    EXPECT_EQ(Status27Record(s, '4').substr(97, 15), "   000000000107");  // an entry without a key
    EXPECT_EQ(Status27Record(s, '5').substr(7, 15), "   000000000108");
    EXPECT_EQ(Status27Record(s, '6').substr(11 + 16 * 6, 12), "000000000206");
    EXPECT_EQ(Status27Record(s, '7').substr(11 + 16 * 2, 12), "000000000209");
    EXPECT_EQ(Status27Record(s, 'E').substr(11 + 16 * 6, 12), "000000000999");
    const std::string rf = Status27Record(s, 'F');
    EXPECT_EQ(rf.substr(11, 12) + rf.substr(43, 12), "000000000011000000000012");
    const std::string rg = Status27Record(s, 'G');
    EXPECT_EQ(rg.substr(15, 4), "0003");
    EXPECT_EQ(rg.substr(27, 3), "017");
    const std::string r28 = Status28Record(s);
    EXPECT_EQ(r28.substr(18, 2), "14");
    EXPECT_EQ(r28.substr(21, 12), "000000004500");
    EXPECT_EQ(r28.substr(109, 12), "000000000077");
    EXPECT_EQ(r28.substr(46, 10), s.clock);

    EXPECT_EQ(Status29Record(s, '1').substr(11, 24), "SUPERMERCADO MODELO LTDA");
    EXPECT_EQ(Status29Record(s, '2').substr(8, 18), "RUA DAS FLORES 100");
    EXPECT_EQ(Status29Record(s, '3').substr(3, 3), "001");
    EXPECT_EQ(Status29Record(s, '3').substr(48, 7), "T011800");  // the tax entries stay
    EXPECT_EQ(Status29Record(s, '5').substr(35, 15), "Dinheiro       ");
    EXPECT_EQ(Status29Record(s, '5').substr(65, 15), "Cartao         ");
    EXPECT_EQ(Status29Record(s, 'F')[126], 'N');
    const std::string h = Status29Record(s, 'H');
    EXPECT_EQ(h.substr(7, 14), "12345678000199");
    EXPECT_EQ(h.substr(29, 12), "110042490114");
    EXPECT_EQ(h.substr(66, 10), "0101260930");
    EXPECT_EQ(Status29Record(s, 'I').substr(7, 59), std::string(59, ' '));  // no second entry

    // Extended models list payment names 16 apart, each after a marker.
    s.statusGFlag = '1';
    EXPECT_EQ(Status29Record(s, '5').substr(35, 16), "SDinheiro       ");
    EXPECT_EQ(Status29Record(s, '5').substr(51, 16), "SCheque         ");
}

TEST(FiscalRecords, RecordsStayWellFormed) {
    PrinterState s;
    s.fiscal.userName = std::string(200, 'x');  // longer than its field
    s.fiscal.paymentNames.fill(std::string(30, 'p'));
    s.statusGFlag = '1';
    for (char t : std::string("123456789ABCDEFG")) {
        const std::string r = Status27Record(s, t);
        EXPECT_EQ(r.size(), 128u);
        EXPECT_EQ(r.find('}'), 127u) << t;
    }
    for (char t : std::string("123456FHIJKL")) {
        const std::string r = Status29Record(s, t);
        EXPECT_EQ(r.size(), 128u);
        EXPECT_EQ(r.find('}'), 127u) << t;
    }
}

}  // namespace
}  // namespace moldrin::sim
