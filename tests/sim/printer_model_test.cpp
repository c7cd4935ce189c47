// The simulator's protocol and fault switches, seen through the in-process
// device as the port table sees it.
#include <gtest/gtest.h>

#include "platform/serial_device.h"
#include "sim_device_fixture.h"

namespace moldrin::sim {
namespace {

class Model : public SimDeviceTest {
protected:
    uint32_t RxCount() {
        uint32_t rx = 0;
        device.ClearErrors(nullptr, &rx, nullptr);
        return rx;
    }
};

TEST_F(Model, AnswersEachFrameAtItsBraceAndRecordsIt) {
    Send("\x06junk\x1B.3");
    EXPECT_EQ(RxCount(), 0u);
    Send("0}");
    EXPECT_EQ(ReadAll(), ".+0030}");
    EXPECT_EQ(printer->Frames(), std::vector<std::string>{"\x1B.30}"});
}

TEST_F(Model, LongAnswersAreSplitInto128ByteRecords) {
    struct Case {
        std::size_t content;
        bool closeFull;
        std::vector<std::size_t> records;
    };
    const Case cases[] = {{0, true, {2}}, {40, true, {42}}, {126, true, {128, 2}}, {126, false, {128}},
                          {164, true, {128, 40}}, {252, true, {128, 128, 2}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        std::string all = PrinterModel::Records(std::string(c.content, 'a'), c.closeFull);
        std::vector<std::size_t> sizes;
        for (std::size_t at = 0; at < all.size();) {
            std::size_t end = all.find('}', at);
            ASSERT_NE(end, std::string::npos);
            ASSERT_EQ(all[at], '.');
            sizes.push_back(end - at + 1);
            at = end + 1;
        }
        EXPECT_EQ(sizes, c.records);
    }
}

TEST_F(Model, AnotherLineSpeedHearsOnlyGarbage) {
    platform::LineSettings s;
    s.baudRate = 19200;
    device.SetState(s);
    Send("\x1B.271}");
    const std::string got = ReadAll();
    EXPECT_EQ(got.size(), 128u);
    EXPECT_EQ(got.find('.'), std::string::npos);
    EXPECT_EQ(got.find('}'), std::string::npos);
    s.baudRate = 9600;
    device.SetState(s);
    Send("\x1B.271}");
    EXPECT_EQ(ReadAll(), Status27Record(printer->State(), '1'));
}

TEST_F(Model, EachByteIsGarbledByTheHostSpeedWhenItCrossesTheLine) {
    // The frame comes at the printer's speed; the host then changes speed while
    // the answer is held, and back again half-way through it.
    Faults f;
    f.answerDelayMs = 100;
    f.byteGapMs = 10;
    printer->SetFaults(f);
    Send("\x1B.30}");
    platform::LineSettings s;
    s.baudRate = 19200;
    device.SetState(s);
    clock.Advance(120);
    const std::string early = ReadAll();
    ASSERT_EQ(early.size(), 3u);
    EXPECT_EQ(early.find_first_of(".+0"), std::string::npos);
    s.baudRate = 9600;
    device.SetState(s);
    clock.Advance(40);
    EXPECT_EQ(ReadAll(), "030}");
}

TEST_F(Model, SlowAnswerIsHeldUntilItsTimeOnTheClock) {
    Faults f;
    f.answerDelayMs = 500;
    printer->SetFaults(f);
    Send("\x1B.30}");
    clock.Advance(499);
    EXPECT_EQ(RxCount(), 0u);
    clock.Advance(1);
    EXPECT_EQ(RxCount(), 7u);
}

TEST_F(Model, OverrunLosesTheSecondByteAndAnyErrorReadClearsIt) {
    Faults f;
    f.overrun = true;
    printer->SetFaults(f);
    // The error is there as soon as the answer is, before any byte is read, and
    // the first read of any kind takes it, as on a real port.
    Send("\x1B.30}");
    uint32_t errors = 0, rx = 0;
    ASSERT_TRUE(device.ClearErrors(&errors, &rx, nullptr));
    EXPECT_EQ(errors, platform::kErrOverrun);
    EXPECT_EQ(rx, 6u);
    ASSERT_TRUE(device.ClearErrors(&errors, nullptr, nullptr));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(ReadAll(), ".0030}");

    Send("\x1B.30}");
    EXPECT_EQ(RxCount(), 6u);  // a queue-count read clears it too
    ASSERT_TRUE(device.ClearErrors(&errors, nullptr, nullptr));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(ReadAll(), ".0030}");

    // A paced answer: the error comes when the lost byte would have.
    f.byteGapMs = 10;
    printer->SetFaults(f);
    Send("\x1B.30}");
    ASSERT_TRUE(device.ClearErrors(&errors, &rx, nullptr));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(ReadAll(), ".");
    clock.Advance(10);
    ASSERT_TRUE(device.ClearErrors(&errors, &rx, nullptr));
    EXPECT_EQ(errors, platform::kErrOverrun);
    EXPECT_EQ(rx, 0u);
    clock.Advance(10);
    EXPECT_EQ(ReadAll(), "0");
}

TEST_F(Model, LostByteIsCountedButNeverDelivered) {
    Faults f;
    f.loseByte = true;
    printer->SetFaults(f);
    Send("\x1B.30}");
    EXPECT_EQ(RxCount(), 8u);
    uint8_t b[16];
    uint32_t got = 9;
    ASSERT_TRUE(device.Read(b, sizeof b, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ReadAll(), ".+0030}");
}

// The reply-lost fault: the printer carries the command out and says nothing;
// its status queries still answer and show what it did, and the fault ends
// after the number of commands it was set for.
TEST_F(Model, LostRepliesAreOfCommandsCarriedOut) {
    Faults f;
    f.lostReplies = 1;
    printer->SetFaults(f);
    Send("\x1B.17}");
    EXPECT_EQ(ReadAll(), "");
    EXPECT_EQ(printer->State().fiscal.ccf, 1u);
    Send("\x1B.28}");
    const std::string status = ReadAll();
    ASSERT_EQ(status.size(), 128u);
    EXPECT_EQ(status.substr(9, 9), "P VENDAS ");
    EXPECT_EQ(status.substr(18, 2), "17");
    Send("\x1B.05}");
    EXPECT_EQ(ReadAll(), ".+0005}");
    // Every command's, until the fault is taken away.
    f.lostReplies = -1;
    printer->SetFaults(f);
    Send("\x1B.17}\x1B.271}\x1B.05}");
    EXPECT_EQ(ReadAll().size(), 128u);
    EXPECT_EQ(printer->State().fiscal.ccf, 2u);
    EXPECT_EQ(printer->State().day.doc.kind, Document::None);
    EXPECT_EQ(printer->GetFaults().lostReplies, -1);
}

TEST_F(Model, FaultsForSomeFramesThenTheLineHeals) {
    Faults f;
    f.silent = true;
    f.dsrLow = true;
    f.frames = 2;
    printer->SetFaults(f);
    Send("\x1B.30}\x1B.31}");
    EXPECT_EQ(ReadAll(), "");
    // The answer faults are over; the modem lines stay as they were set.
    EXPECT_FALSE(printer->GetFaults().silent);
    EXPECT_TRUE(printer->GetFaults().dsrLow);
    Faults stray;
    stray.strayBefore = "??";
    stray.frames = 2;
    printer->SetFaults(stray);
    Send("\x1B.30}\x1B.31}\x1B.32}");
    EXPECT_EQ(ReadAll(), "??.+0030}??.+0031}.+0032}");
}

TEST_F(Model, CtsIsLowWhileThePrinterWorksOnACommand) {
    uint32_t bits = 0;
    Send("\x1B.30}");  // an answer without delay leaves CTS up
    ASSERT_TRUE(device.ModemStatus(&bits));
    EXPECT_EQ(bits, platform::kModemCts | platform::kModemDsr);
    EXPECT_EQ(ReadAll(), ".+0030}");

    Faults f;
    f.answerDelayMs = 200;
    printer->SetFaults(f);
    Send("\x1B.30}");
    ASSERT_TRUE(device.ModemStatus(&bits));
    EXPECT_EQ(bits, platform::kModemDsr);
    clock.Advance(199);
    ASSERT_TRUE(device.ModemStatus(&bits));
    EXPECT_EQ(bits, platform::kModemDsr);
    EXPECT_EQ(RxCount(), 0u);
    clock.Advance(1);
    ASSERT_TRUE(device.ModemStatus(&bits));
    EXPECT_EQ(bits, platform::kModemCts | platform::kModemDsr);
    EXPECT_EQ(RxCount(), 7u);
}

TEST_F(Model, ModemLinesFollowTheFaults) {
    uint32_t bits = 0;
    device.ModemStatus(&bits);
    EXPECT_EQ(bits, platform::kModemCts | platform::kModemDsr);
    Faults low;
    low.dsrLow = true;
    low.ctsLow = true;
    printer->SetFaults(low);
    device.ModemStatus(&bits);
    EXPECT_EQ(bits, 0u);
    device.EscapeFunction(platform::Escape::SetRts);
    device.EscapeFunction(platform::Escape::SetDtr);
    EXPECT_TRUE(printer->HostRts());
    device.EscapeFunction(platform::Escape::ClrRts);
    EXPECT_FALSE(printer->HostRts());
    EXPECT_TRUE(printer->HostDtr());
}

}  // namespace
}  // namespace moldrin::sim
