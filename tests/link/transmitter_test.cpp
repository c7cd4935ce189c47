// The transmitter: what goes out, the hand-shake failures and their boxes,
// the capture's give-way flags, and the per-byte deadlines.
#include "link/transmitter.h"

#include "link/exchange.h"
#include "link_fixture.h"
#include "support/fake_device.h"

namespace moldrin::testing {
namespace {

const char kNoDsrLine[] =
    "<<<< nao vem DSR !!!  -  ECF ligado?   OCUPADO? sem TAMPA?    sem PAPEL?   CABO desconectado? >>>>";
const char kNoDsrBox[] =
    "ERRO - VERIFICAR IMPRESSORA          ( LIGADA?\nOCUPADA?    SEM TAMPA?        SEM PAPEL?   CABO SOLTO?   ) \n";

using Transmitter = LinkTest;

TEST_F(Transmitter, SendsUpToTheFirstBraceAndLogsTheFrameAsOneLine) {
    Open();
    EXPECT_EQ(link::TransmitFrame("\x1B.23}tail"), 4);
    EXPECT_EQ(printer->Frames(), std::vector<std::string>{"\x1B.23}"});
    EXPECT_EQ(Log(), std::vector<std::string>{"\x1B.23}"});
    // RTS and DTR are left raised for the receiver to lower RTS.
    EXPECT_TRUE(printer->HostDtr());
    EXPECT_TRUE(printer->HostRts());
}

TEST_F(Transmitter, TextWithoutBraceIsSentToItsEnd) {
    Open();
    EXPECT_EQ(link::TransmitFrame("\x1B.23"), 4);
    EXPECT_EQ(link::TransmitFrame(""), 0);
}

TEST_F(Transmitter, CtsIsOnlyWatchedWhileTheCtsTestIsOn) {
    Open(3);
    sim::Faults f;
    f.ctsLow = true;
    printer->SetFaults(f);
    EXPECT_EQ(link::TransmitFrame("\x1B.23}"), 4);  // CTS test off: CTS counts as present

    SetTesteCTS(1);
    printer->ClearFrames();
    MarkLog();
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(link::TransmitFrame("\x1B.23}"), -1);
    EXPECT_NEAR(static_cast<double>(clock.TickMs() - start), 3000.0, 20.0);
    EXPECT_TRUE(printer->Frames().empty());
    EXPECT_EQ(Log(), std::vector<std::string>{"<<<< RTS ativado, mas nao tem CTS !!! >>>>"});
    EXPECT_TRUE(op.texts("info").empty());  // the application asked for no boxes
}

TEST_F(Transmitter, WithTheCtsTestTheNextFrameWaitsForASlowPrinter) {
    // The first answer comes after the receiver gave up on it; the next frame
    // waits for CTS, and its own answer is the one read.
    Open(1);
    SetTesteCTS(1);
    printer->SetResponder(
        [](std::string_view frame) { return std::optional<std::string>(".+00" + std::string(frame.substr(2, 2)) + "}"); });
    sim::Faults f;
    f.answerDelayMs = 1500;
    f.frames = 1;
    printer->SetFaults(f);
    std::string first = "\x1B.30}", second = "\x1B.31}";
    EXPECT_EQ(link::ExchangeCommand(first.data()), -1);
    EXPECT_EQ(Reply(), ".-P006}");
    EXPECT_EQ(link::ExchangeCommand(second.data()), 7);
    EXPECT_EQ(Reply(), ".+0031}");
}

TEST_F(Transmitter, MissingDsrBoxFollowsShowDialogsAndLeavesTheRestoreValue) {
    struct Case {
        int showDialogs;
        int restore;
        bool box;
    };
    // The last case is the capture's own query: no box, and boxes stay off after it.
    for (Case c : {Case{1, 1, true}, Case{0, 1, false}, Case{0, 0, false}}) {
        SCOPED_TRACE(c.showDialogs * 10 + c.restore);
        Open(2, c.showDialogs);
        sim::Faults f;
        f.dsrLow = true;
        printer->SetFaults(f);
        g_session.ShowDialogs = c.showDialogs;
        g_session.DialogsRestore = c.restore;
        const uint32_t start = clock.TickMs();
        EXPECT_EQ(link::TransmitFrame("\x1B.23}"), -1);
        EXPECT_NEAR(static_cast<double>(clock.TickMs() - start), 2000.0, 20.0);
        EXPECT_EQ(Log(), std::vector<std::string>{kNoDsrLine});
        EXPECT_EQ(op.texts("info"), c.box ? std::vector<std::string>{kNoDsrBox} : std::vector<std::string>{});
        EXPECT_EQ(g_session.DialogsEnabled, c.restore);
        EXPECT_TRUE(printer->Frames().empty());
        g_session.DialogsRestore = 1;
        printer->SetFaults({});
        ECFClose();
    }
}

TEST_F(Transmitter, GivesWayAtOnceToTheCaptureFlags) {
    Open();
    for (auto* flag : {&g_session.CaptureStopRequest, &g_session.ApplicationWaiting}) {
        flag->store(1);
        EXPECT_EQ(link::TransmitFrame("\x1B.23}"), -1);
        flag->store(0);
    }
    EXPECT_TRUE(printer->Frames().empty());
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(op.shown().empty());
}

// The simulator's queue is empty once a write returns; a device whose queue never
// drains shows the 100 ms wait and its line for each byte, and the bytes still go.
TEST(TransmitterQueue, QueueThatNeverEmptiesCostsATenthOfASecondPerByte) {
    ResetLibraryState();
    FakeClock clock;
    RecordingOperator op;
    ScratchRoot root;
    FakePorts ports;
    auto com1 = ports.Add(1);
    g_session.LineSpeed = 9600;
    ASSERT_EQ(ECFOpen(1, 1, 500, 0), 0);
    com1->txQueue = 5;
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(link::TransmitFrame("\x1B.1}"), 3);
    EXPECT_NEAR(static_cast<double>(clock.TickMs() - start), 400.0, 20.0);
    EXPECT_NE(com1->written.find("\x1B.1}"), std::string::npos);
    std::string log = root.Read(g_session.LogPath.data());
    std::size_t count = 0;
    for (std::size_t at = log.find("TXque nunca fica vazia"); at != std::string::npos;
         at = log.find("TXque nunca fica vazia", at + 1))
        ++count;
    EXPECT_EQ(count, 4u);
    ECFClose();
    ResetLibraryState();
}

}  // namespace
}  // namespace moldrin::testing
