// The header records column by column: typical values from a simulated
// printer, empty texts, texts that are not digits, the largest values, and a
// write that fails.
#include <gtest/gtest.h>

#include <cstring>

#include "fiscal_fixture.h"
#include "fiscalfile/header_records.h"
#include "log/text.h"
#include "support/demo_identification.h"
#include "support/fault_files.h"

namespace moldrin::fiscalfile {
namespace {

class HeaderRecords : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        printer.grandTotal = 123456789;
        printer.zCounter = 3;
        printer.fiscal.coo = 57;
        printer.fiscal.gnf = 4;
        printer.fiscal.ccf = 21;
        printer.fiscal.grossDailySale = 98765;
        printer.fiscal.cancelledT = 100;
        printer.fiscal.cancelledT2 = 20;
        printer.fiscal.discountT = 350;
        printer.fiscal.cancelledS = 7;
        printer.fiscal.cancelledS2 = 3;
        printer.fiscal.discountS = 11;
        printer.fiscal.increaseT = 50;
        printer.fiscal.increaseS = 5;
        printer.fiscal.taxExempt = 350;
        printer.fiscal.notTaxed = 45;
        printer.fiscal.substituted = 868;
        printer.fiscal.taxTotals = {4380, 1606, 748, 3000};
        printer.fiscal.restartCounter = 2;
        LoadReplies();
        SnapshotStatus();
        g_fiscal.UserCount = 2;
        g_fiscal.GrandTotal = 123456789;
        g_fiscal.NonFiscalTotal = 10000;
        SetField(g_fiscal.SoftwareDate, "010126");
        SetField(g_fiscal.SoftwareTime, "093000");
        SetField(g_fiscal.MovementDate, "091226");
        SetField(g_fiscal.LastUserEntry, sim::Status29Record(printer, 'H'));
        capture::g_registration.fields = testing::DemoIdentification();
    }
    static std::string Pad(const std::string& s, std::size_t w) { return s + std::string(w - s.size(), ' '); }
};

TEST_F(HeaderRecords, E00) {
    auto lines = Lines(WriteE00);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& l = lines[0];
    EXPECT_EQ(l.size(), 297u);
    ExpectFields(l, {{1, 3, "E00"},
                     {4, 23, Pad("12345678", 20)},
                     {24, 24, "A"},
                     {25, 26, "02"},
                     {27, 33, "ECF-IF "},
                     {34, 53, Pad("TALMA", 20)},
                     {54, 73, Pad("IF Q-2200I", 20)},
                     {74, 79, "000042"},
                     {80, 81, "07"},
                     {82, 95, "00012345678901"},
                     {96, 109, "00000000004455"},
                     {110, 123, "00000000000000"},
                     {124, 163, Pad("Software House Ltda", 40)},
                     {164, 203, Pad("Caixa Rapido", 40)},
                     {204, 213, Pad("2.1", 10)},
                     {214, 297, Pad("programa de frente de loja", 84)}});

    // Empty registration, no serial, unknown model: every column keeps its width.
    capture::g_registration = capture::RegistrationRecord{};
    g_fiscal.SerialNumber[0] = 0;
    capture::g_capture.ModelLetter = 'Z';
    lines = Lines(WriteE00);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 297u);
    ExpectFields(lines[0], {{4, 24, std::string(21, ' ')},
                            {54, 73, "????????????????????"},
                            {74, 79, "000000"},
                            {80, 81, "  "},
                            {82, 123, std::string(42, '0')}});
}

TEST_F(HeaderRecords, E01) {
    auto lines = Lines(WriteE01);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& l = lines[0];
    EXPECT_EQ(l.size(), 166u);
    ExpectFields(l, {{1, 24, "E01" + Pad("12345678", 20) + "A"},
                     {25, 31, "ECF-IF "},
                     {32, 51, Pad("TALMA", 20)},
                     {52, 71, Pad("IF Q-2200I", 20)},
                     {72, 81, Pad("030", 10)},
                     {82, 89, "20260101"},
                     {90, 95, "093000"},
                     {96, 98, "001"},
                     {99, 112, "12345678000199"},
                     {113, 115, "RFD"},
                     {116, 121, "000003"},
                     {122, 127, "000003"},
                     {128, 135, "20261209"},
                     {136, 143, "20261209"},
                     {144, 151, "01.00.00"},
                     {152, 166, "PC5207 01.00.00"}});
}

TEST_F(HeaderRecords, E02WithLineBreaksInTheUserTexts) {
    printer.fiscal.userAddress2 = "CENTRO\r\nNORTE";
    Store(29, '2', sim::Status29Record(printer, '2'));
    auto lines = Lines(WriteE02);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& l = lines[0];
    EXPECT_EQ(l.size(), 272u);
    ExpectFields(l, {{1, 24, "E02" + Pad("12345678", 20) + "A"},
                     {25, 44, Pad("IF Q-2200I", 20)},
                     {45, 58, "12345678000199"},
                     {59, 72, Pad("110042490114", 14)},
                     {73, 112, Pad("SUPERMERCADO MODELO LTDA", 40)},
                     {113, 152, Pad("RUA DAS FLORES 100", 40)},
                     {153, 192, Pad("CENTRO  NORTE", 40)},
                     {193, 232, Pad("SAO PAULO SP", 40)},
                     {233, 246, "20260101093000"},
                     {247, 252, "000001"},
                     {253, 270, "000000000123456789"},
                     {271, 272, "02"}});
}

// The registration's texts are the operator's, the user's texts the printer's:
// a control byte in any of them is written as a space, at its field's width.
TEST_F(HeaderRecords, ControlBytesInTheTextsAreWrittenAsSpaces) {
    auto& reg = capture::g_registration.fields;
    std::strcpy(reg.softwareHouse, "Software\r\nHouse");
    std::strcpy(reg.appName, "Caixa\tRapido");
    std::strcpy(reg.appVersion, "2.1\n");
    std::strcpy(reg.programData, "programa\x7F\x1B de loja");
    printer.fiscal.userAddress = "RUA\tDAS FLORES";
    printer.fiscal.userCity = "SAO\x01PAULO\x7F";
    Store(29, '2', sim::Status29Record(printer, '2'));
    Store(29, '3', sim::Status29Record(printer, '3'));

    const auto lines = Lines([](intptr_t h) {
        WriteE00(h);
        WriteE01(h);
        WriteE02(h);
        WriteE12(h);
        WriteE13(h);
    });
    ASSERT_GE(lines.size(), 5u) << raw;
    ExpectFields(lines[0], {{124, 163, Pad("Software  House", 40)},
                            {164, 203, Pad("Caixa Rapido", 40)},
                            {204, 213, Pad("2.1 ", 10)},
                            {214, 297, Pad("programa   de loja", 84)}});
    ExpectFields(lines[2], {{113, 152, Pad("RUA DAS FLORES", 40)}, {193, 232, Pad("SAO PAULO ", 40)}});
    for (const auto& l : lines) {
        const std::string type = l.substr(0, 3);
        const std::size_t width = type == "E00"   ? 297
                                  : type == "E01" ? 166
                                  : type == "E02" ? 272
                                  : type == "E12" ? 101
                                                  : 72;
        EXPECT_EQ(l.size(), width) << l;
        for (unsigned char c : l) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "byte " << int(c) << " in " << l;
    }
}

TEST_F(HeaderRecords, UserFieldsAreCleanedUp) {
    printer.fiscal.userName = "  ..SUPER--MERCADO   DO  JOÃO, LTDA.";
    printer.fiscal.userEntries[0] = {"12.345.678/0001-99 X", "IE: 110.042.490-114", "010126", "0930"};
    Store(29, '1', sim::Status29Record(printer, '1'));
    SetField(g_fiscal.LastUserEntry, sim::Status29Record(printer, 'H'));
    EXPECT_STREQ(UserCnpjDigits().data(), "12345678000199");
    EXPECT_STREQ(UserIeText().data(), "IE110042490114");
    // Accented letters are dropped; the blank after the last word stays (the field pads with blanks anyway).
    EXPECT_STREQ(UserNameText().data(), "SUPERMERCADO DO JOO LTDA ");

    // More than 14 digits: the last 14.
    printer.fiscal.userEntries[0].cnpj = "9912345678000199";
    SetField(g_fiscal.LastUserEntry, sim::Status29Record(printer, 'H'));
    EXPECT_STREQ(UserCnpjDigits().data(), "12345678000199");

    // A name of at most 4 characters takes the address line as well.
    printer.fiscal.userName = "ABC";
    Store(29, '1', sim::Status29Record(printer, '1'));
    EXPECT_STREQ(UserNameText().data(), "ABC RUA DAS FLORES 100 ");

    // No user entry at all.
    g_fiscal.LastUserEntry[0] = 0;
    EXPECT_STREQ(UserCnpjDigits().data(), "");
    EXPECT_STREQ(UserIeText().data(), "");
}

TEST_F(HeaderRecords, E12AndItsFlag) {
    auto lines = Lines(WriteE12);
    ASSERT_EQ(lines.size(), 1u);
    const std::string& l = lines[0];
    EXPECT_EQ(l.size(), 101u);
    ExpectFields(l, {{1, 44, "E12" + Pad("12345678", 20) + "A" + Pad("IF Q-2200I", 20)},
                     {45, 46, "02"},
                     {47, 52, "000003"},
                     {53, 58, "000057"},
                     {59, 64, "000002"},
                     {65, 72, "20261209"},
                     {73, 86, "20261209102000"},
                     {87, 88, "00"},
                     {89, 100, "000000098765"},
                     {101, 101, "S"}});

    struct Case {
        const char* tail;
        char flag;
    } cases[] = {{"N", 'N'}, {"N   ", 'N'}, {"X", 'S'}, {"", 'S'}};
    for (const auto& c : cases) {
        std::string r = sim::Status29Record(printer, 'F');
        r.replace(100, 27, std::string(27, ' '));
        r.replace(100, std::strlen(c.tail), c.tail);
        SetField(capture::g_capture.cache.table29F, r);
        lines = Lines(WriteE12);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Col(lines[0], 101, 101), std::string(1, c.flag)) << c.tail;
    }
    // Without any 29-F the flag is "S"; without snapshots the counters are zeros.
    capture::g_capture.cache.table29F[0] = 0;
    SavedStatus1()[0] = 0;
    lines = Lines(WriteE12);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 101u);
    EXPECT_EQ(Col(lines[0], 47, 58), "000000000000");
    EXPECT_EQ(Col(lines[0], 89, 101), std::string(12, ' ') + "S");
}

TEST_F(HeaderRecords, E13Group) {
    auto lines = Lines(WriteE13);
    const std::string prefix = "E13" + Pad("12345678", 20) + "A" + Pad("IF Q-2200I", 20) + "02" + "000003";
    ASSERT_EQ(prefix.size(), 52u);
    const std::vector<std::string> expected = {
        prefix + "OPNF   " + "0000000010000", prefix + "DT     " + "0000000000350",
        prefix + "DS     " + "0000000000011", prefix + "AT     " + "0000000000050",
        prefix + "AS     " + "0000000000005", prefix + "Can-T  " + "0000000000120",
        prefix + "Can-S  " + "0000000000010", prefix + "F1     " + "0000000000868",
        prefix + "I1     " + "0000000000350", prefix + "N1     " + "0000000000045",
        prefix + "01T1800" + "0000000004380", prefix + "02T0700" + "0000000001606",
        prefix + "03T1200" + "0000000000748", prefix + "04S2500" + "0000000003000",
    };
    EXPECT_EQ(lines, expected);
}

TEST_F(HeaderRecords, E13RateListEdges) {
    // An index that is not digits takes the entry's place; an entry without a
    // value is passed over; a blank entry ends the group.
    printer.taxEntries = {"TXX0700", "T021200", "", "S042500"};
    printer.fiscal.taxTotals = {1606, 0, 0, 3000};
    LoadReplies();
    SavedStatus3()[0] = 0;
    SnapshotStatus();
    std::string r4 = sim::Status27Record(printer, '4');
    r4.replace(7, 3, "ZZZ");  // the value of T02 is missing
    Store(27, '4', r4);
    auto lines = Lines(WriteE13);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(Col(lines[10], 53, 72), "01T07000000000001606");

    printer.taxEntries = {"", "T021200"};
    LoadReplies();
    lines = Lines(WriteE13);
    EXPECT_EQ(lines.size(), 10u);
}

// Each rate line names its own totalizer: an index that is not digits never
// takes one another line has, and entries of one key keep their own values.
TEST_F(HeaderRecords, E13CodesAreUniqueAndCarryTheirOwnValues) {
    struct Case {
        const char* what;
        std::array<std::string, 4> entries;
        std::array<uint64_t, 4> totals;
        std::vector<std::string> lines;  // columns 53-72 of the rate lines
    } cases[] = {
        {"the entry's place is another entry's index",
         {"T011800", "TXX1500", "T020700", "S042500"},
         {100, 200, 300, 400},
         {"01T18000000000000100", "03T15000000000000200", "02T07000000000000300", "04S25000000000000400"}},
        {"a later entry has the index of the entry's place",
         {"TXX1800", "T010700"},
         {100, 200},
         {"02T18000000000000100", "01T07000000000000200"}},
        {"two entries without digits share a key",
         {"TXX1800", "TXX0700", "S032500"},
         {100, 200, 300},
         {"01T18000000000000100", "02T07000000000000200", "03S25000000000000300"}},
    };
    for (const auto& c : cases) {
        printer.taxEntries = {};
        printer.fiscal.taxTotals = {};
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            printer.taxEntries[i] = c.entries[i];
            printer.fiscal.taxTotals[i] = c.totals[i];
        }
        LoadReplies();
        SavedStatus3()[0] = 0;
        SnapshotStatus();
        const auto lines = Lines(WriteE13);
        std::vector<std::string> rates;
        for (std::size_t i = 10; i < lines.size(); ++i) rates.push_back(Col(lines[i], 53, 72));
        EXPECT_EQ(rates, c.lines) << c.what;
    }
}

TEST_F(HeaderRecords, LargestValuesAndTextsThatAreNotDigits) {
    g_fiscal.GrandTotal = UINT64_MAX;
    g_fiscal.NonFiscalTotal = 51 * 999999999999ULL;  // every non-fiscal totalizer full: 14 digits
    g_fiscal.UserCount = 5;
    std::strcpy(capture::g_registration.fields.coo, "12A");
    std::strcpy(capture::g_registration.fields.developerId, "12.345");
    SetField(g_fiscal.SoftwareDate, "AB");
    std::string s1(Saved1());
    s1.replace(60, 12, "00000000X000");  // Can-T: a field that is not digits counts 0
    s1.replace(76, 12, "999999999999");
    SetField(SavedStatus1(), s1);

    const auto e00 = Lines(WriteE00);
    ASSERT_EQ(e00.size(), 1u);
    EXPECT_EQ(e00[0].size(), 297u);
    ExpectFields(e00[0], {{25, 26, "05"},
                          {74, 79, "00012A"},
                          {82, 95, "0000000012.345"}});

    const auto e01 = Lines(WriteE01);
    ASSERT_EQ(e01.size(), 1u);
    EXPECT_EQ(e01[0].size(), 166u);
    EXPECT_EQ(Col(e01[0], 82, 89), "20    AB");  // a short date is padded, never shifts the line
    const auto e02 = Lines(WriteE02);
    ASSERT_EQ(e02.size(), 1u);
    EXPECT_EQ(e02[0].size(), 272u);
    EXPECT_EQ(Col(e02[0], 253, 270), "999999999999999999");

    const auto e13 = Lines(WriteE13);
    ASSERT_GE(e13.size(), 10u);
    for (const auto& l : e13) EXPECT_EQ(l.size(), 72u) << l;
    EXPECT_EQ(Col(e13[0], 53, 72), "OPNF   9999999999999");
    EXPECT_EQ(Col(e13[5], 53, 72), "Can-T  0999999999999");
}

TEST_F(HeaderRecords, AFailedWriteIsShownAndEndsTheGroup) {
    testing::FaultFiles faults;
    faults.failWrite = true;
    Lines(WriteE13);
    Lines(WriteE00);
    const auto messages = op.texts("message");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], CP1252("ERRO de gravação RFD: c:\\TALMA\\RFD\\TALMA.TMP"));
    EXPECT_EQ(op.shown()[0].caption, "ERRO");
}

// A document's lines gathered in a batch reach the file whole and in order,
// across the batch filling up; a failed write is shown once and refuses the
// lines after it.
TEST_F(HeaderRecords, ALineBatchWritesEveryLineInOrderAndTellsAFailureOnce) {
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) expected.push_back("E15 line " + std::to_string(i) + std::string(90, 'x'));
    const auto lines = Lines([&](intptr_t h) {
        LineBatch batch(h);
        for (const auto& l : expected) EXPECT_TRUE(batch.Add((l + "\r\n").c_str()));
    });
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(op.texts("message").empty());

    testing::FaultFiles faults;
    faults.failWrite = true;
    Lines([&](intptr_t h) {
        LineBatch batch(h);
        bool refused = false;
        for (const auto& l : expected) refused = !batch.Add((l + "\r\n").c_str()) || refused;
        EXPECT_TRUE(refused) << "a batch larger than its room writes before the end";
        EXPECT_FALSE(batch.Flush());
        EXPECT_FALSE(batch.Add("E14\r\n"));
    });
    const auto messages = op.texts("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], CP1252("ERRO de gravação RFD: c:\\TALMA\\RFD\\TALMA.TMP"));
}

}  // namespace
}  // namespace moldrin::fiscalfile
