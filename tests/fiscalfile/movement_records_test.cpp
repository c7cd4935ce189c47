// The movement records column by column: a coupon's E15 lines and E14, the
// E16 of each document kind and the E21 payment lines, with typical values,
// empty and non-digit texts and the largest values.
#include <gtest/gtest.h>

#include "fiscal_fixture.h"
#include "fiscalfile/coupon_tracking.h"
#include "fiscalfile/movement_records.h"

namespace moldrin::fiscalfile {
namespace {

const char kRice[] = "\x1B.0178912345600120002000000002190000000004380ARROZ TIPO 1 5KG        T01}";
const char kCheese[] = "\x1B.0120001230004500000350000045900000000001606>QUEIJO PRATO           T03}";

class MovementRecords : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        printer.zCounter = 3;
        printer.fiscal.coo = 57;
        printer.fiscal.gnf = 4;
        printer.fiscal.ccf = 21;
        LoadReplies();
        SnapshotStatus();
        g_fiscal.UserCount = 1;
        SetField(g_fiscal.MovementDate, "091226");
        SetField(g_fiscal.DocumentDiscount, "000000000000");
        SetField(g_fiscal.DocumentIncrease, "000000000000");
        g_fiscal.CouponClosed = true;
    }
    std::string Head(const char* type) const {
        return std::string(type) + "12345678" + std::string(12, ' ') + "A" + "IF Q-2200I" + std::string(10, ' ');
    }
    void Confirm(std::size_t i, uint8_t status = kItemConfirmed) { table[i].status = status; }
};

TEST_F(MovementRecords, ACouponWithItsItems) {
    AddItem(kRice);
    AddItem(kCheese);  // replaces the unconfirmed rice...
    EXPECT_EQ(std::string(table[0].code, 13), "2000123000450");
    table[0].status = kItemFree;
    std::memset(static_cast<void*>(&table[0]), 0, sizeof table[0]);
    AddItem(kRice);
    Confirm(0);
    AddItem(kCheese);
    Confirm(1);
    std::memcpy(table[1].discount, "00000050", 8);
    SetField(g_fiscal.DocumentDiscount, "000000000100");
    SetField(g_fiscal.DocumentIncrease, "000000000050");
    g_fiscal.AdjustmentOrder = 2;
    SetField(g_fiscal.BuyerId, "12345678909");

    const auto lines = Lines([](intptr_t h) { WriteDocument(h, true); });
    ASSERT_EQ(lines.size(), 3u);
    const std::string& a = lines[0];
    EXPECT_EQ(a.size(), 267u);
    ExpectFields(a, {{1, 44, Head("E15")},
                     {45, 46, "01"},
                     {47, 52, "000021"},
                     {53, 58, "000057"},
                     {59, 61, "001"},
                     {62, 75, "7891234560012 "},
                     {76, 175, "ARROZ TIPO 1 5KG" + std::string(84, ' ')},
                     {176, 182, "0002000"},
                     {183, 185, "un "},
                     {186, 193, "00002190"},
                     {194, 201, "00000000"},
                     {202, 209, "00000000"},
                     {210, 223, "00000000004380"},
                     {224, 230, "01T1800"},
                     {231, 231, "N"},
                     {232, 264, std::string(33, '0')},
                     {265, 267, "T32"}});

    const std::string& b = lines[1];
    ExpectFields(b, {{59, 61, "002"},
                     {76, 100, ">QUEIJO PRATO            "},
                     {183, 185, "Kg "},
                     {194, 201, "00000050"},
                     {210, 223, "00000000001556"},
                     {224, 230, "03T1200"},
                     {267, 267, "3"}});

    const std::string& e = lines[2];
    EXPECT_EQ(e.size(), 191u);
    ExpectFields(e, {{1, 44, Head("E14")},
                     {45, 46, "01"},
                     {47, 52, "000021"},
                     {53, 58, "000057"},
                     {59, 66, "20261209"},
                     {67, 80, "00000000005936"},
                     {81, 94, "0000000000100V"},
                     {95, 108, "0000000000050V"},
                     {109, 122, "00000000005886"},
                     {123, 123, "N"},
                     {124, 136, std::string(13, '0')},
                     {137, 137, "A"},
                     {138, 177, std::string(40, ' ')},
                     {178, 191, "00012345678909"}});
    EXPECT_FALSE(g_fiscal.DataInconsistent);
}

TEST_F(MovementRecords, ItemLineEdges) {
    g_fiscal.CouponClosed = false;  // so that a disagreement marks the coupon
    struct Case {
        const char* what;
        const char* quantity;
        const char* price;
        const char* total;
        const char* description;
        const char* tax;
        const char* discount;
        uint8_t status;
        const char* code;      // columns 224-230
        const char* tail;      // columns 231, 267
        const char* unit;
        const char* net;
        bool inconsistent;
    } cases[] = {
        {"litres, 3 decimals", "0001500", "00004990", "00000000748", "]OLEO", "I  ", "00000000", 2, "I1     ", "N3", "l ",
         "00000000000748", false},
        {"3 decimals, a cent out", "0001500", "00004990", "00000000749", "]OLEO", "I  ", "00000000", 2, "I1     ", "N3",
         "l ", "00000000000749", false},
        {"cancelled", "0001000", "00000350", "00000000350", "JORNAL", "N  ", "00000000", 4, "N1     ", "S2", "un",
         "00000000000350", false},
        {"price off by a cent", "0001000", "00000350", "00000000351", "X", "F  ", "00000000", 2, "F1     ", "N2", "un",
         "00000000000351", true},
        {"unknown exemption", "0001000", "00000350", "00000000350", "X", "Q  ", "00000000", 2, "Q1     ", "N2", "un",
         "00000000000350", true},
        {"rate not in the lists", "0001000", "00000350", "00000000350", "X", "T09", "00000000", 2, "       ", "N2", "un",
         "00000000000350", true},
        {"texts that are not digits", "ABC", "x", "", "", "", "zz", 2, " 1     ", "N2", "un", "00000000000000", true},
        {"largest values", "9999999", "99999999", "99999999999", "~BIG", "S04", "99999999", 2, "04S2500", "N3", "un",
         "00099900000000", true},
        {"discount above the total", "0001000", "00000350", "00000000350", "X", "I  ", "00000400", 2, "I1     ", "N2",
         "un", "00000000000000", false},
    };
    for (const auto& c : cases) {
        g_fiscal.DataInconsistent = false;
        std::memset(static_cast<void*>(table.get()), 0, sizeof(ItemRecord) * 2);
        PutItem(0, "123", c.quantity, c.price, c.total, c.description, c.tax, c.discount, c.status);
        const auto lines = Lines([](intptr_t h) { WriteDocument(h, true); });
        ASSERT_EQ(lines.size(), 2u) << c.what;
        const std::string& l = lines[0];
        EXPECT_EQ(l.size(), 267u) << c.what;
        EXPECT_EQ(Col(l, 224, 230), c.code) << c.what;
        EXPECT_EQ(Col(l, 231, 231) + Col(l, 267, 267), c.tail) << c.what;
        EXPECT_EQ(Col(l, 183, 184), c.unit) << c.what;
        EXPECT_EQ(Col(l, 210, 223), c.net) << c.what;
        EXPECT_EQ(g_fiscal.DataInconsistent, c.inconsistent) << c.what;
        EXPECT_EQ(Col(l, 25, 44), c.inconsistent ? "????????????????????" : "IF Q-2200I          ") << c.what;
        EXPECT_EQ(lines[1].size(), 191u) << c.what;
    }
}

// Texts reach the records as the application and the printer sent them: a
// control byte in any of them is written as a space, and every record keeps
// its layout's width and its amounts.
TEST_F(MovementRecords, ControlBytesInTextsAreWrittenAsSpaces) {
    PutItem(0, "789\r\n1234\t001", "0002000", "00002190", "00000004380", "ARROZ\r5KG\nTIPO\t1\x7F\x01\x1B", "F \r",
            "00000000", kItemConfirmed);
    SetField(g_fiscal.BuyerId, "123\n45");
    printer.fiscal.paymentNames[0] = "Dinh\r\neiro";
    LoadReplies();
    g_fiscal.PaymentStart[0] = 0;
    g_fiscal.PaymentEnd[0] = 4380;

    auto lines = Lines([](intptr_t h) {
        WriteDocument(h, true);
        WriteE21(h);
    });
    ASSERT_EQ(lines.size(), 3u) << raw;
    ExpectFields(lines[0], {{1, 44, Head("E15")},
                            {62, 75, "789  1234 001 "},
                            {76, 175, "ARROZ 5KG TIPO 1" + std::string(84, ' ')},
                            {176, 182, "0002000"},
                            {186, 193, "00002190"},
                            {210, 223, "00000000004380"},
                            {224, 230, "F1     "},
                            {231, 231, "N"}});
    ExpectFields(lines[1], {{1, 3, "E14"}, {67, 80, "00000000004380"}, {178, 191, "00000000123 45"}});
    ExpectFields(lines[2], {{1, 3, "E21"}, {65, 79, "Dinh  eiro     "}, {80, 92, "0000000004380"}});
    const std::size_t widths[] = {267, 191, 106};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].size(), widths[i]) << lines[i];
        for (unsigned char c : lines[i]) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "byte " << int(c) << " in " << lines[i];
    }
    // What the coupon holds is left as it came.
    EXPECT_EQ(std::string(table[0].code, 3), "789");
    EXPECT_EQ(table[0].code[3], '\r');
}

TEST_F(MovementRecords, CouponsWithoutLiveItems) {
    // The only item cancelled: subtotal 0 and the coupon flagged cancelled.
    PutItem(0, "1", "0001000", "00000350", "00000000350", "X", "I  ", "00000000", kItemCancelled);
    auto lines = Lines([](intptr_t h) { WriteDocument(h, true); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Col(lines[0], 231, 231), "S");
    EXPECT_EQ(Col(lines[1], 67, 80), "00000000000000");
    EXPECT_EQ(Col(lines[1], 123, 123), "S");

    // An unconfirmed item uses up its number but is not written.
    PutItem(0, "1", "0001000", "00000350", "00000000350", "X", "I  ", "00000000", kItemRegistered);
    PutItem(1, "2", "0001000", "00000350", "00000000350", "X", "I  ", "00000000", kItemConfirmed);
    lines = Lines([](intptr_t h) { WriteDocument(h, false); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Col(lines[0], 59, 61), "002");
    EXPECT_EQ(Col(lines[1], 123, 123), "S");  // written as cancelled

    // No item: nothing, unless a coupon is open.
    std::memset(static_cast<void*>(table.get()), 0, sizeof(ItemRecord) * 2);
    EXPECT_TRUE(Lines([](intptr_t h) { WriteDocument(h, true); }).empty());
    g_fiscal.CouponInProgress = true;
    g_fiscal.CouponClosed = false;
    lines = Lines([](intptr_t h) { WriteDocument(h, true); });
    ASSERT_EQ(lines.size(), 1u);
    ExpectFields(lines[0], {{1, 3, "E14"},
                            {123, 123, "S"},
                            {137, 137, "D"},
                            {178, 191, std::string(14, '0')}});
}

TEST_F(MovementRecords, E16OfEachDocumentKind) {
    struct Case {
        const char* command;
        const char* kind;
        const char* crz;
    } cases[] = {
        {"\x1B.13}", "LX", "000000"},  {"\x1B.13S}", "RG", "000000"}, {"\x1B.13s}", "RG", "000000"},
        {"\x1B.14}", "RZ", "000003"},  {"\x1B.150001000}", "MF", "000000"}, {"\x1B.16}", "MF", "000000"},
        {"\x1B.18}", "RG", "000000"},  {"\x1B.1900}", "CC", "000000"}, {"\x1B.1901}", "CN", "000000"},
        {"\x1B.19}", "CN", "000000"},  {"\x1B.07}", "LX", "000000"}, {"", "LX", "000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command[0] ? c.command + 1 : "no command");
        const auto lines = Lines([&](intptr_t h) { WriteE16(h, c.command); });
        ASSERT_EQ(lines.size(), 1u) << c.kind;
        const std::string& l = lines[0];
        EXPECT_EQ(l.size(), 90u);
        ExpectFields(l, {{1, 44, Head("E16")},
                         {45, 46, "01"},
                         {47, 52, "000057"},
                         {53, 58, "000004"},
                         {59, 68, "0000000000"},
                         {69, 74, c.crz},
                         {75, 76, c.kind},
                         {77, 90, "20261209102000"}});
    }
    // E16 names the model even when the coupon's data was inconsistent.
    g_fiscal.DataInconsistent = true;
    EXPECT_EQ(Col(Lines([](intptr_t h) { WriteE16(h, "\x1B.14}"); })[0], 25, 44), "IF Q-2200I          ");
}

TEST_F(MovementRecords, E21PaidAndReversed) {
    g_fiscal.PaymentStart = {1000, 0, 500, 0, 0, 0, 0, 0, 0, 7};
    g_fiscal.PaymentEnd = {6000, -1, 200, 300, -1, -1, -1, -1, -1, 9};  // 4 and 10 have no name
    auto lines = Lines(WriteE21);
    ASSERT_EQ(lines.size(), 2u);
    const std::string& a = lines[0];
    EXPECT_EQ(a.size(), 106u);
    ExpectFields(a, {{1, 44, Head("E21")},
                     {45, 46, "01"},
                     {47, 52, "000057"},
                     {53, 58, "000021"},
                     {59, 64, "000004"},
                     {65, 79, "Dinheiro       "},
                     {80, 106, "0000000005000N0000000000000"}});
    EXPECT_EQ(Col(lines[1], 65, 79), "Cartao         ");
    EXPECT_EQ(Col(lines[1], 80, 106), "0000000000000S0000000000300");
    // The next document counts from where this one ended, where that is known.
    EXPECT_EQ(g_fiscal.PaymentStart, (std::array<int64_t, kPaymentMethods>{6000, 0, 200, 300, 0, 0, 0, 0, 0, 9}));
    for (std::size_t k = 0; k < kPaymentMethods; ++k) EXPECT_EQ(g_fiscal.PaymentEnd[k], -1);
    // Nothing written: the payments are kept.
    g_fiscal.PaymentStart[0] = 5;
    g_fiscal.PaymentEnd[0] = 5;
    EXPECT_TRUE(Lines(WriteE21).empty());
    EXPECT_EQ(g_fiscal.PaymentStart[0], 5);

    // Names that were never recorded: the amounts stay, under a blank name;
    // a method the recorded names leave blank still takes nothing.
    struct Case {
        const char* what;
        bool names5, names6;
        std::vector<std::string> written;  // columns 65-93
    } cases[] = {
        {"both recorded", true, true, {"Dinheiro       0000000000100N"}},
        {"29-5 missing", false, true, {"               0000000000100N"}},
        {"29-6 missing", true, false, {"Dinheiro       0000000000100N", "               0000000000300N"}},
        {"none recorded", false, false,
         {"               0000000000100N", "               0000000000300N"}},
    };
    for (const auto& c : cases) {
        LoadReplies();
        if (!c.names5) capture::g_capture.cache.table29[4][0] = 0;
        if (!c.names6) capture::g_capture.cache.table29[5][0] = 0;
        g_fiscal.PaymentStart = {};
        g_fiscal.PaymentEnd = {100, -1, -1, 300, -1, -1, -1, -1, -1, -1};
        EXPECT_EQ(Map(Lines(WriteE21), [](const std::string& l) { return Col(l, 65, 93); }), c.written) << c.what;
    }
    LoadReplies();

    // Extended models space the names 16 apart after a marker.
    printer.statusGFlag = '1';
    printer.fiscal.paymentNames[4] = "Vale Refeicao";
    LoadReplies();
    g_session.ModelGate = 1;
    EXPECT_STREQ(PaymentName(1).data(), "Dinheiro       ");
    EXPECT_STREQ(PaymentName(3).data(), "Cartao         ");
    EXPECT_STREQ(PaymentName(5).data(), "Vale Refeicao  ");
    EXPECT_STREQ(PaymentName(11).data(), "");
}

}  // namespace
}  // namespace moldrin::fiscalfile
