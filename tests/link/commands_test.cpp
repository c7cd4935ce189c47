// The command exports: routing of ECFWrite, the model-letter rule, ECFRead's
// limits, SetTimeoutRead, ECFPathLog, ECFswLFs and the missing-session paths.
#include "link_fixture.h"

namespace moldrin::testing {
namespace {

using Commands = LinkTest;

std::string Read() {
    char buffer[kBufferSize];
    EXPECT_EQ(ECFRead(buffer, sizeof buffer), 0);
    return buffer;
}

TEST_F(Commands, WithoutASessionEveryLockingCallFailsSilently) {
    EXPECT_EQ(ECFWrite("\x1B.23}"), -1);
    char buffer[200];
    EXPECT_EQ(ECFRead(buffer, sizeof buffer), -1);
    EXPECT_EQ(SetTimeoutRead(5), -1);
    EXPECT_EQ(ECFPathLog(buffer), -1);
    EXPECT_EQ(ECFswLFs(), -1);
    EXPECT_EQ(SetTesteCTS(1), 0);
    EXPECT_EQ(g_session.CtsTestEnabled.load(), 1);
    EXPECT_TRUE(op.shown().empty());
    EXPECT_FALSE(root.Exists("c:\\TEMP"));
    EXPECT_TRUE(printer->Frames().empty());
}

TEST_F(Commands, OrdinaryCommandIsAnsweredAndReadTwice) {
    Open();
    EXPECT_EQ(Read(), "");  // nothing yet after the opening
    EXPECT_EQ(ECFWrite("\x1B.30}ignored"), 0);
    EXPECT_EQ(printer->Frames(), std::vector<std::string>{"\x1B.30}"});
    EXPECT_EQ(Read(), ".+0030}");
    EXPECT_EQ(Read(), ".+0030}");
}

TEST_F(Commands, Short27IsSentAsStatus271AndTeachesTheModelLetter) {
    struct Case {
        char letter;
        char linkLetter;
    };
    for (Case c : {Case{'B', 'B'}, Case{'H', 0}}) {
        SCOPED_TRACE(c.letter);
        Open();
        g_session.ModelGate = 1;
        printer->EditState([&](sim::PrinterState& s) { s.modelLetter = c.letter; });
        EXPECT_EQ(ECFWrite("\x1B.27}"), 0);
        EXPECT_EQ(printer->Frames(), std::vector<std::string>{"\x1B.271}"});
        EXPECT_EQ(Read(), sim::Status27Record(printer->State(), '1'));
        EXPECT_EQ(g_session.LinkModelLetter, c.linkLetter);
        EXPECT_EQ(g_session.ModelGate, c.linkLetter ? 0 : 1);
        ECFClose();
    }
}

TEST_F(Commands, StatusCodesGoToTheStatusQueries) {
    Open();
    const sim::PrinterState s = printer->State();
    struct Case {
        const char* command;
        std::string reply;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        {"\x1B.23}", sim::Status23Record(s), {"\x1B.23}"}},
        {"\x1B.273}", sim::Status27Record(s, '3'), {"\x1B.273}"}},
        {"\x1B.28}", sim::Status28Record(s), {"\x1B.28}"}},
        {"\x1B.28a}", sim::Status28Record(s), {"\x1B.28}"}},
        {"\x1B.294}", sim::Status29Record(s, '4'), {"\x1B.294}"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        printer->ClearFrames();
        EXPECT_EQ(ECFWrite(c.command), 0);
        EXPECT_EQ(Read(), c.reply);
        EXPECT_EQ(printer->Frames(), c.frames);
    }
}

TEST_F(Commands, SilentPrinterStatusReturnsZeroOrdinaryReturnsMinusOne) {
    Open(1);
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    EXPECT_EQ(ECFWrite("\x1B.23}"), 0);
    EXPECT_EQ(Read(), ".-P006}");
    EXPECT_EQ(ECFWrite("\x1B.30}"), -1);
    EXPECT_EQ(Read(), ".-P006}");
}

TEST_F(Commands, OverlongCommandIsRefusedBeforeAnythingIsSent) {
    Open(10, 1);
    std::string c = "\x1B.30" + std::string(1500, 'a') + "}";
    EXPECT_EQ(ECFWrite(c.c_str()), -1);
    EXPECT_EQ(Read(), ".-P002}");
    EXPECT_TRUE(Logged("ERRO - tamanho do texto excede 1500 bytes"));
    EXPECT_EQ(op.texts("info"), std::vector<std::string>{"ERRO - tamanho do texto excede 1500 bytes"});
    EXPECT_TRUE(printer->Frames().empty());
}

TEST_F(Commands, WithoutASpeedEveryWriteDetectsAgainAndSendsNothingElse) {
    printer->SetSpeed(4800);  // not in the list: never found
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    EXPECT_EQ(g_session.LineSpeed, 0u);
    printer->ClearFrames();
    EXPECT_EQ(ECFWrite("\x1B.30}"), 0);
    EXPECT_EQ(Read(), ".-P002}");
    EXPECT_EQ(printer->Frames(), std::vector<std::string>(20, "\x1B.28}"));
    printer->SetSpeed(115200);
    printer->ClearFrames();
    EXPECT_EQ(ECFWrite("\x1B.30}"), 0);
    EXPECT_EQ(g_session.LineSpeed, 115200u);
    EXPECT_EQ(Read(), ".+0030}");
}

TEST_F(Commands, ReadLengthLimits) {
    struct Case {
        unsigned length;
        int result;
        const char* message;
    };
    const Case cases[] = {{131, -1, CP1252("ERRO - Extensão do status menor que 132 bytes")},
                          {132, 0, nullptr},
                          {1728, 0, nullptr},
                          {1729, -1, CP1252("Erro - Extensão do status excede limite")}};
    Open(10, 1);
    ECFWrite("\x1B.30}");
    std::vector<char> buffer(2000, 'q');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        MarkLog();
        op.clear();
        EXPECT_EQ(ECFRead(buffer.data(), c.length), c.result);
        if (c.message) {
            EXPECT_EQ(Log(), std::vector<std::string>{c.message});
            EXPECT_EQ(op.texts("info"), std::vector<std::string>{c.message});
        } else {
            EXPECT_STREQ(buffer.data(), ".+0030}");
            EXPECT_EQ(buffer[c.length - 1], 0);  // the whole length is cleared
            EXPECT_EQ(buffer[c.length], 'q');
        }
    }
}

TEST_F(Commands, SetTimeoutReadAcceptsOneToSixty) {
    Open();
    EXPECT_EQ(SetTimeoutRead(0), 1);
    EXPECT_EQ(SetTimeoutRead(61), 1);
    EXPECT_EQ(g_session.ReadTimeoutSeconds, 10u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = 0",
                                               "ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = 61"}));
    EXPECT_EQ(SetTimeoutRead(60), 0);
    EXPECT_EQ(g_session.ReadTimeoutSeconds, 60u);
    EXPECT_TRUE(op.shown().empty());
}

TEST_F(Commands, PathLogGivesThePathOrTheNoLogText) {
    Open();
    char buffer[300];
    EXPECT_EQ(ECFPathLog(buffer), 0);
    EXPECT_STREQ(buffer, "c:\\TEMP\\ECF-quarta.CM1");
    g_session.LogMode = 0;
    EXPECT_EQ(ECFPathLog(buffer), 0);
    EXPECT_STREQ(buffer, "   [ S E M   L O G ]");
}

TEST_F(Commands, SwLfsSendsItsFixedCommandByTheFastPath) {
    Open();
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFswLFs(), 6);
    EXPECT_GE(clock.TickMs() - t0, 100u);
    EXPECT_EQ(printer->Frames(), std::vector<std::string>{"\x1B.0893}"});
}

TEST_F(Commands, TxFastBinaryModeSendsExactlyTheCount) {
    Open();
    EXPECT_EQ(ECFTxFast("\x1B.2}\x1B.30}", 5), 5);
    EXPECT_EQ(printer->Frames(), std::vector<std::string>{"\x1B.2}"});
}

TEST_F(Commands, NullArgumentsFailWithoutHarm) {
    Open();
    EXPECT_EQ(ECFWrite(nullptr), -1);
    EXPECT_EQ(ECFRead(nullptr, 200), -1);
    EXPECT_EQ(ECFPathLog(nullptr), -1);
    EXPECT_EQ(ECFTxFast(nullptr, 3), -1);
    EXPECT_EQ(ECFWrite("\x1B.30}"), 0);  // the lock was released on each way out
}

TEST_F(Commands, WriteWithoutOpenSessionAfterAFailedOpenReportsIt) {
    ASSERT_EQ(ECFOpen(0, 10, 500, 0), -1);  // port 0: the semaphore exists, no session
    MarkLog();
    EXPECT_EQ(ECFWrite("\x1B.30}"), -1);
    EXPECT_EQ(Log(), std::vector<std::string>{CP1252("ERRO SISTEMA - NÃO FOI CHAMADO ECFOpen()")});
    char buffer[200];
    EXPECT_EQ(ECFRead(buffer, sizeof buffer), -1);
    EXPECT_TRUE(Logged(CP1252("ECFread() - ERRO SISTEMA - NÃO FOI CHAMADO ECFopen()")));
}

}  // namespace
}  // namespace moldrin::testing
