// The command exchange: validation, the synthetic replies, and which replies
// are continued over several records.
#include "link/exchange.h"

#include "link_fixture.h"

namespace moldrin::testing {
namespace {

using Exchange = LinkTest;

std::string Command(std::size_t length) {
    std::string c = "\x1B.30";
    c.resize(length - 1, 'a');
    return c + "}";
}

TEST_F(Exchange, AnswerIsLeftInTheReplyBufferAndLogged) {
    Open();
    std::string c = "\x1B.30}";
    EXPECT_EQ(link::ExchangeCommand(c.data()), 7);
    EXPECT_EQ(Reply(), ".+0030}");
    EXPECT_EQ(Log(), (std::vector<std::string>{"\x1B.30}", ".+0030}"}));
}

TEST_F(Exchange, RefusedCommandsSendNothingAndLeaveNotDelivered) {
    struct Case {
        const char* name;
        std::string command;
        std::vector<std::string> log;
        std::vector<std::string> boxes;
    };
    const std::string noEsc = "." + std::string(200, 'b') + "}";
    const Case cases[] = {
        {"too long", Command(1501),
         {"<<<< ERRO - COMANDO A ENVIAR PARA O ECF COM EXTENSAO SUPERIOR A 1500 CARACTERES !!! >>>>"},
         {CP1252("E R R O - EXTENSÃO DO COMANDO EXCEDE LIMITE !!!")}},
        {"no brace", "\x1B.23",
         {"<<<< ERRO - COMANDO A ENVIAR PARA O ECF SEM O FECHA-HAVES !!! >>>>"},
         {"E R R O - NO FORMATO FINAL DO COMANDO !!!"}},
        {"no escape", noEsc,
         {noEsc.substr(0, 128), "<<<< ERRO - COMANDO A ENVIAR PARA O ECF SEM O ESCAPE E O PONTO NO INICIO !!! >>>>"},
         {"E R R O - NO FORMATO INICIAL DO COMANDO !!!"}},
        {"library command", "c:\\TALMA\\RFD\\x.bin", {}, {}},
    };
    Open(10, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MarkLog();
        op.clear();
        g_session.ReplyBuffer.fill('z');
        std::string command = c.command;
        EXPECT_EQ(link::ExchangeCommand(command.data()), -1);
        EXPECT_EQ(Reply(), ".-P002}");
        EXPECT_EQ(Log(), c.log);
        EXPECT_EQ(op.texts("info"), c.boxes);
    }
    EXPECT_TRUE(printer->Frames().empty());
}

TEST_F(Exchange, CommandOfExactly1500CharactersIsSent) {
    Open();
    std::string c = Command(1500);
    EXPECT_EQ(link::ExchangeCommand(c.data()), 7);
    EXPECT_EQ(printer->Frames(), std::vector<std::string>{c});
}

TEST_F(Exchange, SilentPrinterLeavesNoAnswer) {
    Open(3);
    sim::Faults f;
    f.silent = true;
    printer->SetFaults(f);
    std::string c = "\x1B.30}";
    EXPECT_EQ(link::ExchangeCommand(c.data()), -1);
    EXPECT_EQ(Reply(), ".-P006}");
}

TEST_F(Exchange, PartialRecordNeverReachesTheApplication) {
    Open(3);
    sim::Faults f;
    f.overlongRecord = true;
    printer->SetFaults(f);
    std::string c = "\x1B.30}";
    EXPECT_EQ(link::ExchangeCommand(c.data()), -1);
    EXPECT_EQ(Reply(), ".-P006}");
}

TEST_F(Exchange, FailedTransmissionLeavesNotDelivered) {
    Open(3);
    sim::Faults f;
    f.dsrLow = true;
    printer->SetFaults(f);
    std::string c = "\x1B.30}";
    EXPECT_EQ(link::ExchangeCommand(c.data()), -1);
    EXPECT_EQ(Reply(), ".-P002}");
}

TEST_F(Exchange, RecordOf128BytesIsContinuedExceptForStatusCodesAndPlus) {
    const std::string first = FullRecord(std::string(126, 'a'));
    const std::string second = ".+" + std::string(37, 'b') + "}";
    ASSERT_EQ(second.size(), 40u);
    struct Case {
        std::string command;
        int result;
    };
    const Case cases[] = {{"\x1B.30}", 40},  {"\x1B.27x}", 128}, {"\x1B.28}", 128}, {"\x1B.29x}", 128},
                          {"\x1B.46}", 128}, {"\x1B.49}", 128},  {"\x1B.59}", 128}, {"\x1B.+0}", 128}};
    Open();
    printer->SetResponder([&](std::string_view) { return first + second; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        MarkLog();
        printer->DropOutput();
        std::string command = c.command;
        EXPECT_EQ(link::ExchangeCommand(command.data()), c.result);
        EXPECT_EQ(Reply(), c.result == 40 ? second : first);
        std::vector<std::string> log = {c.command, first};
        if (c.result == 40) log.push_back(second);
        EXPECT_EQ(Log(), log);
    }
}

TEST_F(Exchange, MissingContinuationLeavesNoAnswer) {
    Open(2);
    printer->SetResponder([&](std::string_view) { return FullRecord("first"); });
    std::string c = "\x1B.30}";
    EXPECT_EQ(link::ExchangeCommand(c.data()), -1);
    EXPECT_EQ(Reply(), ".-P006}");
}

TEST_F(Exchange, SimulatorSplitsLongAnswersAsTheLinkExpects) {
    Open();
    printer->EditState([](sim::PrinterState& s) { s.answers[30] = std::string(126, 'a') + std::string(38, 'b'); });
    std::string c = "\x1B.30}";
    EXPECT_EQ(link::ExchangeCommand(c.data()), 40);
    EXPECT_EQ(Reply(), "." + std::string(38, 'b') + "}");
}

}  // namespace
}  // namespace moldrin::testing
