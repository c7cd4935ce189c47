// The simulator's status records: their form, and every field at the
// position the library reads it from.
#include <gtest/gtest.h>

#include "sim/printer_state.h"

namespace moldrin::sim {
namespace {

void ExpectWellFormed(const std::string& r, char letter, char type) {
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r[0], '.');
    EXPECT_EQ(r[1], '+');
    EXPECT_EQ(r[2], letter);
    EXPECT_EQ(r[6], type);
    EXPECT_EQ(r[127], '}');
    // A "}" or NUL inside would end the record early on the line.
    EXPECT_EQ(r.find('}'), 127u);
    EXPECT_EQ(r.find('\0'), std::string::npos);
}

TEST(StatusRecords, EveryTypeIsAWellFormedFullRecord) {
    PrinterState s;
    for (char t : std::string("123456789ABCDEFG")) {
        SCOPED_TRACE(t);
        ExpectWellFormed(Status27Record(s, t), 'C', t);
    }
    for (char t : std::string("123456FHIJKL")) {
        SCOPED_TRACE(t);
        ExpectWellFormed(Status29Record(s, t), 'T', t);
    }
    const std::string r28 = Status28Record(s);
    ASSERT_EQ(r28.size(), 128u);
    EXPECT_EQ(r28.find('}'), 127u);
}

TEST(StatusRecords, FieldsSitWhereTheyAreRead) {
    PrinterState s;
    s.modelLetter = 'D';
    s.fiscalDate = "311226";
    s.grandTotal = 12345678901234567ull;
    s.zCounter = 42;
    s.factoryNumber = "AB1234567";
    s.lastCommand = 14;
    s.itemCount = 7;
    s.documentState = 'P';
    s.documentField = " VENDAS ";
    s.clock = "3112262359";
    s.statusGFlag = '5';
    const std::string r1 = Status27Record(s, '1');
    EXPECT_EQ(r1.substr(7, 6), "311226");
    EXPECT_EQ(r1.substr(19, 17), "12345678901234567");
    EXPECT_EQ(r1.substr(40, 4), "0042");
    EXPECT_EQ(r1[124], 'D');
    EXPECT_EQ(Status27Record(s, '3').substr(12, 9), "AB1234567");
    EXPECT_EQ(Status27Record(s, 'G')[30], '5');
    const std::string r28 = Status28Record(s);
    EXPECT_EQ(r28.substr(0, 18), ".+0014007P VENDAS ");
    EXPECT_EQ(r28.substr(46, 10), "3112262359");
    EXPECT_EQ(Status23Record(s), ".+P000.+0000}");
}

TEST(StatusRecords, TaxEntriesOfTables3To5) {
    PrinterState s;
    for (std::size_t i = 0; i < s.taxEntries.size(); ++i) s.taxEntries[i] = "T" + std::to_string(10 + i) + "0700";
    EXPECT_EQ(Status29Record(s, '3').substr(48, 28), "T100700T110700T120700T130700");
    EXPECT_EQ(Status29Record(s, '4').substr(7, 49), "T140700T150700T160700T170700T180700T190700T200700");
    EXPECT_EQ(Status29Record(s, '4').substr(35, 7), "T180700");
    EXPECT_EQ(Status29Record(s, '5').substr(7, 28), "T210700T220700T230700T240700");
    PrinterState blank;
    EXPECT_EQ(Status29Record(blank, '4').substr(7, 7), "       ");  // an empty entry ends a table
}

TEST(StatusRecords, TypedStatus28OnlyWhereTheModelKnowsIt) {
    PrinterState s;
    EXPECT_EQ(Status28TypedRecord(s, 'C'), Status28Record(s));
    s.typedStatus28 = true;
    const std::string r = Status28TypedRecord(s, 'C');
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r[2], 'C');
    EXPECT_NE(r[9], 'C');
    EXPECT_NE(r[9], 'E');
    EXPECT_NE(r[9], 'P');
}

}  // namespace
}  // namespace moldrin::sim
