// Scripted days through ECFWrite with the capture on: what reaches the
// printer, what the cache answers, the refusals, the RFD records, the full
// refreshes after a day change, a counter mismatch and a printer swap, and
// the registration dialog.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture/capture_day.h"
#include "store/status_cache.h"
#include "log/text.h"
#include "support/fault_files.h"
#include "support/log_reader.h"

namespace moldrin::capture {
namespace {

using Strings = std::vector<std::string>;

const std::string kFormatRefused = CP1252(".-0000ERRO - FORMATO DO COMANDO INVÁLIDO}");

class Interception : public CaptureDay {};

TEST_F(Interception, FirstSaleRefreshesEverythingAndIsRecordedWithItsReply) {
    Open();
    const std::string sale = SaleItem(1250);
    ASSERT_EQ(Write(sale), 0);
    EXPECT_EQ(Read(), ".+0001}");

    // Nothing moves the worker before the first command: these frames are the command's.
    Strings expected = FullRefreshFrames();
    expected.push_back(sale);
    expected.push_back("\x1B.271}");  // sent after the sale, its reply read later
    Strings frames = Frames();
    ASSERT_GE(frames.size(), expected.size());
    EXPECT_EQ(Strings(frames.begin(), frames.begin() + static_cast<long>(expected.size())), expected);

    // Every query of the refresh is recorded with its reply, then the sale and its reply.
    const Strings recorded = Recorded();
    ASSERT_GE(recorded.size(), FullRefreshFrames().size() + 2);
    for (std::size_t i = 0; i < FullRefreshFrames().size(); ++i) {
        std::string query = FullRefreshFrames()[i];
        query.back() = '|';
        EXPECT_EQ(recorded[i].substr(0, query.size()), query) << i;
        EXPECT_EQ(recorded[i].size(), query.size() + 128) << i;
    }
    EXPECT_EQ(RecordedCommands(), (Strings{sale, "\x1B.00.+0001}"}));
    Locked([] {
        EXPECT_EQ(g_capture.CaptureState, 1);
        EXPECT_STREQ(g_capture.fiscalDate.data(), "091226");
    });
    // The counters start from the printer's at the next sale, which they expect.
    ASSERT_EQ(Write(SaleItem(40)), 0);
    Locked([] {
        EXPECT_EQ(g_capture.baseCounter, kGrandTotal);
        EXPECT_EQ(g_capture.expectedCounter, kGrandTotal + 40);
    });
}

TEST_F(Interception, StatusQueriesAreAnsweredFromTheCacheWhileItIsCurrent) {
    Open();
    ASSERT_EQ(Write("\x1B.291}"), 0);
    const std::string first = Read();
    ASSERT_EQ(Write("\x1B.291}"), 0);
    EXPECT_EQ(Read(), first);
    EXPECT_EQ(first, sim::Status29Record(printer->State(), '1'));
    EXPECT_EQ(Count("\x1B.291}"), 1u) << "the second query never reached the printer";

    ASSERT_EQ(Write("\x1B.272}"), 0);
    EXPECT_EQ(Read(), sim::Status27Record(printer->State(), '2'));
    EXPECT_EQ(Count("\x1B.272}"), 1u);

    // Status 8 is never answered from the cache: it is asked, recorded and kept.
    ASSERT_EQ(Write("\x1B.278}"), 0);
    EXPECT_EQ(Read(), sim::Status27Record(printer->State(), '8'));
    EXPECT_EQ(Count("\x1B.278}"), 1u);
    const Strings recorded = Recorded();
    EXPECT_EQ(recorded.back(), "\x1B.278|" + sim::Status27Record(printer->State(), '8'));
    EXPECT_TRUE(RecordedCommands().empty()) << "status queries are recorded as queries only";
    Locked([&] { EXPECT_EQ(std::string(g_capture.cache.status8toE[0].data()), sim::Status27Record(printer->State(), '8')); });
}

TEST_F(Interception, PlainAndTypedStatus28) {
    printer->EditState([](sim::PrinterState& s) { s.lastCommand = 14; });
    Open();
    ASSERT_EQ(Write("\x1B.28}"), 0);
    EXPECT_EQ(Read(), sim::Status28Record(printer->State()));
    // A printer without the typed record answers its plain status: accepted, not cached.
    ASSERT_EQ(Write("\x1B.28d}"), 0);
    EXPECT_EQ(Count("\x1B.28D}"), 1u);
    EXPECT_EQ(Read().substr(0, 2), ".+");
}

TEST_F(Interception, MalformedCommandsAreRefusedWithoutReachingThePrinter) {
    Open();
    for (const char* command : {"\x1B.01ABC", ".01ABC}", "\x1B.}", "\x1B,01}"}) {
        SCOPED_TRACE(command);
        ASSERT_EQ(Write(command), 0);
        EXPECT_EQ(Read(), kFormatRefused);
    }
    EXPECT_TRUE(Frames().empty());
    EXPECT_TRUE(Recorded().empty());
}

TEST_F(Interception, PassThroughCommandsGoUnrecordedAndWithoutRefresh) {
    Open();
    const Strings passing = {"\x1B.08}", "\x1B.21}", "\x1B.25}", "\x1B.45}", "\x1B.++XYZ}",
                             "\x1B.13|LINHA}", "\x1B.18#}", "\x1B.15ABCDEFGH|}", "\x1B.16ABCDEFGHIJKL#}"};
    for (const auto& c : passing) ASSERT_EQ(Write(c), 0) << c;
    EXPECT_EQ(Frames(), passing);
    EXPECT_TRUE(Recorded().empty());
    Locked([] { EXPECT_EQ(g_capture.CaptureState, 0); });

    // The same codes without their marks are fiscal: recorded, after the refresh.
    ASSERT_EQ(Write("\x1B.13STEXTO}"), 0);
    EXPECT_EQ(RecordedCommands(), (Strings{"\x1B.13STEXTO}", "\x1B.00.+0013}"}));
    ASSERT_EQ(Write("\x1B.12ABC}"), 0);
    EXPECT_EQ(RecordedCommands().at(2), "\x1B.12}") << "command 12 is recorded as the fixed text";
}

TEST_F(Interception, SaleRefusedWhileTheCouponHoldsTooManyItems) {
    printer->EditState([](sim::PrinterState& s) {
        s.lastCommand = 1;
        s.itemCount = 901;
        s.documentState = 'P';
    });
    Open();
    ASSERT_EQ(Write(SaleItem(100)), 0);
    EXPECT_EQ(Read(), CP1252(".-0001ERRO - VENDA EXCEDE LIMITE EM NÚMERO DE ITENS}"));
    EXPECT_TRUE(CommandFrames().empty());
    EXPECT_TRUE(RecordedCommands().empty());
}

TEST_F(Interception, ItemLimitCases) {
    struct Case {
        unsigned items;
        char state;
        const char* field;
        bool refused;
    } cases[] = {{900, 'P', "        ", false}, {901, 'P', "        ", true}, {950, 'E', "        ", false},
                 {950, 'E', "   X    ", true},   {999, 'C', "        ", false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.items);
        SCOPED_TRACE(k.state);
        printer->EditState([&](sim::PrinterState& s) {
            s.itemCount = k.items;
            s.documentState = k.state;
            s.documentField = k.field;
        });
        Open();
        ASSERT_EQ(Write(SaleItem(100)), 0);
        EXPECT_EQ(Read().find("VENDA EXCEDE") != std::string::npos, k.refused);
        EXPECT_EQ(CommandFrames().empty(), k.refused);
        ASSERT_EQ(ECFClose(), 0);
    }
}

TEST_F(Interception, PrinterRefusalEndsTheCommandAndForcesAFullRefresh) {
    printer->EditState([](sim::PrinterState& s) { s.answers[2] = "-0020"; });
    Open();
    EXPECT_EQ(Write("\x1B.02}"), -1);
    EXPECT_EQ(Read(), ".-0020}");
    EXPECT_EQ(RecordedCommands(), (Strings{"\x1B.02}", "\x1B.00.-0020}"}));
    ASSERT_EQ(Write("\x1B.05}"), 0);
    EXPECT_EQ(Count("\x1B.291}"), 2u) << "the next command began with a full refresh";
}

TEST_F(Interception, SilentPrinterFailsTheCommandAndTheNextOneWorks) {
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    sim::Faults silent;
    silent.silent = true;
    printer->SetFaults(silent);
    EXPECT_EQ(Write(SaleItem(20)), -1);
    EXPECT_EQ(Read(), ".-P006}");
    printer->SetFaults({});
    ASSERT_EQ(Write(SaleItem(30)), 0);
    EXPECT_EQ(Read(), ".+0001}");
    EXPECT_EQ(CommandFrames().back(), SaleItem(30));
}

TEST_F(Interception, UnpluggedPrinterMidCouponFailsAndThePrinterBackWorks) {
    Open();
    ASSERT_EQ(Write("\x1B.17CUPOM 1}"), 0);
    ASSERT_EQ(Write(SaleItem(10)), 0);
    sim::Faults unplugged;
    unplugged.dsrLow = true;
    printer->SetFaults(unplugged);
    EXPECT_EQ(Write(SaleItem(20)), -1);
    const std::string failed = Read();
    EXPECT_TRUE(failed == ".-P006}" || failed == ".-P002}") << failed;
    EXPECT_NE(CommandFrames().back(), SaleItem(20));
    printer->SetFaults({});
    ASSERT_EQ(Write(SaleItem(30)), 0);
    EXPECT_EQ(Read(), ".+0001}");
    EXPECT_EQ(CommandFrames().back(), SaleItem(30));
}

TEST_F(Interception, DayChangeBringsAFullRefreshAndANewFile) {
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    // The printer's day moves on between two commands, and so does the computer's.
    printer->SetResponder([this](std::string_view frame) -> std::optional<std::string> {
        if (frame.substr(0, 4) == "\x1B.01") {
            printer->EditState([](sim::PrinterState& s) {
                s.fiscalDate = "101226";
                s.clock = "1012260905";
            });
            clock.SetDate(2026, 12, 10, 9, 5, 0);
        }
        return std::nullopt;
    });
    ASSERT_EQ(Write(SaleItem(20)), 0);
    printer->SetResponder(nullptr);
    ASSERT_EQ(Write(SaleItem(30)), 0);
    EXPECT_EQ(Count("\x1B.291}"), 2u);
    Locked([] {
        EXPECT_STREQ(g_capture.fiscalDate.data(), "101226");
        EXPECT_STREQ(g_capture.refreshDate.data(), "101226");
    });
    EXPECT_EQ(RecordedCommands(10, 12, 2026), (Strings{SaleItem(30), "\x1B.00.+0001}"}));
    EXPECT_EQ(RecordedCommands(9, 12, 2026).size(), 4u);
}

TEST_F(Interception, CounterBeyondTheCapturedSalesBringsAFullRefresh) {
    Open();
    ASSERT_EQ(Write(SaleItem(1000)), 0);
    // Something sold outside the capture: the grand total moves by more than 1000.
    printer->SetResponder([this](std::string_view frame) -> std::optional<std::string> {
        if (frame.substr(0, 4) == "\x1B.01") printer->EditState([](sim::PrinterState& s) { s.grandTotal += 5000; });
        return std::nullopt;
    });
    ASSERT_EQ(Write(SaleItem(1000)), 0);
    printer->SetResponder(nullptr);
    EXPECT_EQ(Count("\x1B.291}"), 1u) << "the sale's own amounts stay within the expected counter";
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_EQ(Count("\x1B.291}"), 2u);
    Locked([] {
        EXPECT_EQ(g_capture.currentCounter, kGrandTotal + 5000);
        EXPECT_EQ(g_capture.baseCounter, kGrandTotal + 5000);
        EXPECT_EQ(g_capture.expectedCounter, kGrandTotal + 5000);
    });
}

TEST_F(Interception, PrinterSwapAsksForTheRegistrationAndRecordsTheTotals) {
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    // Another printer is plugged in: other factory number, other grand total.
    printer->SetResponder([this](std::string_view frame) -> std::optional<std::string> {
        if (frame.substr(0, 4) == "\x1B.01")
            printer->EditState([](sim::PrinterState& s) {
                s.factoryNumber = "XY0000077";
                s.grandTotal = 987654;
            });
        return std::nullopt;
    });
    ASSERT_EQ(Write(SaleItem(20)), 0);
    printer->SetResponder(nullptr);
    op.identifications.push_back(testing::DemoIdentification("XY0000077"));
    ASSERT_EQ(Write(SaleItem(30)), 0);

    EXPECT_EQ(op.texts("message"), Strings{CP1252("Número de Fabricação do ECF não confere!")});
    EXPECT_EQ(op.shown().at(0).caption, "ERRO CADASTRO");
    EXPECT_EQ(op.texts("identify").size(), 1u);
    EXPECT_EQ(Count("\x1B.291}"), 2u);
    Strings totals;
    for (auto& f : Frames())
        if (f.size() == 6 && f.compare(0, 4, "\x1B.27") == 0 && std::string("89ABCDE").find(f[4]) != std::string::npos)
            totals.push_back(f);
    EXPECT_EQ(totals, (Strings{"\x1B.278}", "\x1B.279}", "\x1B.27A}", "\x1B.27B}", "\x1B.27C}", "\x1B.27D}", "\x1B.27E}"}));
    EXPECT_EQ(CommandFrames().back(), SaleItem(30));
    Locked([] {
        EXPECT_EQ(g_capture.baseCounter, 987654);
        EXPECT_EQ(g_capture.expectedCounter, 987654);
        EXPECT_STREQ(g_registration.fields.factoryNumber, "XY0000077");
    });
    EXPECT_EQ(LoadRegistrationFile(kRegistrationFile), RegistrationLoad::Loaded);
}

TEST_F(Interception, PrinterSwapCancelledLeavesTheCommandUnsent) {
    printer->EditState([](sim::PrinterState& s) { s.factoryNumber = "XY0000077"; });
    Open();
    EXPECT_EQ(Write(SaleItem(30)), -1);
    EXPECT_EQ(Read(), ".-P006}");
    EXPECT_EQ(op.texts("identify").size(), 1u);
    EXPECT_TRUE(CommandFrames().empty());
}

TEST_F(Interception, ChangedPrinterSinceTheLastProcessingIsRefreshedAndItsTotalsRecorded) {
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    Locked([] { CopyText(g_capture.lastFactoryNumber, "ZZ9999999"); });
    ASSERT_EQ(Write(SaleItem(20)), 0);
    EXPECT_EQ(Count("\x1B.291}"), 2u);
    EXPECT_EQ(Count("\x1B.27E}"), 1u);
    EXPECT_TRUE(op.texts("identify").empty()) << "the registration matches the printer";
}

TEST_F(Interception, MissingRegistrationShowsTheDialog) {
    std::remove(root.Host(kRegistrationFile).c_str());
    Open();
    EXPECT_EQ(Write(SaleItem(10)), -1) << "cancelled";
    EXPECT_EQ(Read(), ".-P006}");
    EXPECT_EQ(op.texts("message"), Strings{CP1252("Campos do cadastro não preenchidos!")});
    EXPECT_TRUE(CommandFrames().empty());

    op.clear();
    op.identifications.push_back(testing::DemoIdentification());
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_EQ(Count("\x1B.27E}"), 1u) << "a new registration records the totals";
    EXPECT_EQ(CommandFrames().back(), SaleItem(10));
    // Status 28 needs no registration.
    std::remove(root.Host(kRegistrationFile).c_str());
    ASSERT_EQ(ECFClose(), 0);
    Open();
    ASSERT_EQ(Write("\x1B.28}"), 0);
    EXPECT_TRUE(op.texts("identify").empty());
}

TEST_F(Interception, CouponTextIsRecordedAfterTheClosingSale) {
    printer->EditState([](sim::PrinterState& s) { s.answers[1] = "+0002"; });
    Open();
    ASSERT_EQ(Write("\x1B.17CUPOM\x01 DO DIA}"), 0);
    ASSERT_EQ(Write(SaleItem(10)), 0);
    ASSERT_EQ(Write(SaleItem(20)), 0);
    EXPECT_EQ(RecordedCommands(), (Strings{"\x1B.17CUPOM\x01 DO DIA}", "\x1B.00.+0017}", SaleItem(10), "\x1B.00.+0002}",
                                           "\x1B.0900CUPOM}", SaleItem(20), "\x1B.00.+0002}"}));
}

TEST_F(Interception, StatusGIsReadAgainBeforeTheFirstCouponCommand) {
    Open();
    ASSERT_EQ(Write("\x1B.17CUPOM}"), 0);
    EXPECT_EQ(Count("\x1B.27G}"), 2u) << "once in the full refresh, once right before command 17";
    const auto frames = Frames();
    const auto sent = std::find(frames.begin(), frames.end(), "\x1B.17CUPOM}");
    ASSERT_NE(sent, frames.begin());
    EXPECT_EQ(*(sent - 1), "\x1B.27G}");
    ASSERT_EQ(Write("\x1B.19FIM}"), 0);
    EXPECT_EQ(Count("\x1B.27G}"), 2u) << "current since";

    // When it cannot be read, the command is not sent and the next one starts afresh.
    ASSERT_EQ(Write("\x1B.14}"), 0);
    printer->SetResponder([](std::string_view frame) -> std::optional<std::string> {
        if (frame == "\x1B.27G}") return std::string(".-0000}");
        return std::nullopt;
    });
    EXPECT_EQ(Write("\x1B.17CUPOM}"), -1);
    EXPECT_EQ(Read(), ".-P006}");
    EXPECT_EQ(Count("\x1B.17CUPOM}"), 1u);
}

TEST_F(Interception, DailyClosingHandsTheDayOverAndTheNextCommandRefreshes) {
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    ASSERT_EQ(Write("\x1B.14}"), 0);
    EXPECT_EQ(Read(), ".+0014}");
    Locked([] { EXPECT_EQ(g_capture.CaptureState, 0); });
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_EQ(Count("\x1B.291}"), 2u);
}

TEST_F(Interception, RefusedClosingWaitsForThePrinter) {
    printer->EditState([](sim::PrinterState& s) { s.answers[14] = "-0014"; });
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    const std::size_t before28 = Count("\x1B.28}");
    EXPECT_EQ(Write("\x1B.14}"), -1);
    EXPECT_EQ(Read(), ".-0014}");
    EXPECT_GT(Count("\x1B.28}"), before28) << "the printer was asked whether it is back";
    Locked([] { EXPECT_EQ(g_capture.CaptureState, 0); });

    // A printer that stays without DSR is given up on.
    printer->SetResponder([this](std::string_view frame) -> std::optional<std::string> {
        if (frame == "\x1B.14}") {
            sim::Faults f;
            f.dsrLow = true;
            printer->SetFaults(f);
        }
        return std::nullopt;
    });
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(Write("\x1B.14}"), -1);
    EXPECT_GE(clock.TickMs() - start, 25u * 1500u);
    EXPECT_LE(clock.TickMs() - start, 60000u);
    printer->SetResponder(nullptr);
    printer->SetFaults({});
    ASSERT_EQ(Write(SaleItem(10)), 0);
}

TEST_F(Interception, NonFiscalCommandsLeaveTheCachePartlyStale) {
    Open();
    ASSERT_EQ(Write("\x1B.30}"), 0);
    Locked([] { EXPECT_EQ(g_capture.CaptureState, 2); });
    ASSERT_EQ(Write("\x1B.35}"), 0);
    EXPECT_EQ(Count("\x1B.291}"), 1u) << "codes 8 and above keep the partly stale cache";
    ASSERT_EQ(Write(SaleItem(5)), 0);
    EXPECT_EQ(Count("\x1B.291}"), 2u);
}

TEST_F(Interception, CaptureFilePathIsHandedToTheGeneration) {
    Open();
    // The generation is not built yet: it reports the file as not processed.
    EXPECT_EQ(Write(CP1252("c:\\TALMA\\RFD\\RFD-05-Março-2008.bin")), -1);
    EXPECT_EQ(Read(), ".-P006}");
    EXPECT_TRUE(Frames().empty());
}

TEST_F(Interception, LaterModelsBypassTheCapture) {
    printer->EditState([](sim::PrinterState& s) { s.modelLetter = 'H'; });
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_EQ(Read(), ".+0001}");
    EXPECT_EQ(g_session.ModelGate, 2);
    printer->ClearFrames();
    ASSERT_EQ(Write(SaleItem(20)), 0);
    EXPECT_EQ(Frames(), Strings{SaleItem(20)});
    EXPECT_TRUE(RecordedCommands().empty());
}

TEST_F(Interception, ConfigurationFileSwitchesTheCaptureOff) {
    root.Write("c:\\TALMA\\talma.ini", "");
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    ASSERT_EQ(Write("\x1B.291}"), 0);
    EXPECT_EQ(Frames(), (Strings{SaleItem(10), "\x1B.291}"}));
    EXPECT_TRUE(Recorded().empty());
}

}  // namespace
}  // namespace moldrin::capture

namespace moldrin::capture {
namespace {

// The command a long command's records carry, put back together: the head
// closed by "}", then the pieces after the continuation mark.
Strings Reassembled(const Strings& recorded) {
    Strings out;
    for (const std::string& t : recorded) {
        if (t.compare(0, 4, kRfdContinuation) == 0 && !out.empty() && out.back().back() == '}') {
            out.back().pop_back();
            out.back() += t.substr(4);
        } else {
            out.push_back(t);
        }
    }
    return out;
}

// Every command the printer can take is recorded whole before it is sent,
// however long: a coupon's close with a long message, a command of the
// greatest length, one of digits, one of control bytes.
TEST_F(Interception, LongCommandsAreRecordedWholeBeforeTheyAreSent) {
    struct Case {
        const char* name;
        std::string command;
    };
    const std::vector<Case> cases = {
        {"close with a 480-character message", "\x1B.06" + std::string(480, 'M') + "}"},
        {"message of words", "\x1B.06" + std::string(30, ' ') + [] {
             std::string m;
             while (m.size() < 700) m += "OBRIGADO PELA PREFERENCIA, VOLTE SEMPRE! ";
             return m;
         }() + "}"},
        {"1500 characters", "\x1B.13S" + std::string(1494, 'x') + "}"},
        {"digits", "\x1B.13S" + std::string(1000, '7') + "}"},
        {"control bytes", "\x1B.13S" + [] {
             std::string m;
             while (m.size() < 600) m += "LINHA\r\n";
             return m;
         }() + "}"},
    };
    Open();
    for (const Case& c : cases) {
        ASSERT_LE(c.command.size(), kMaxCommand) << c.name;
        printer->ClearFrames();
        op.clear();
        ASSERT_EQ(Write(c.command), 0) << c.name;
        EXPECT_EQ(CommandFrames().front(), c.command) << c.name;
        EXPECT_TRUE(op.shown().empty()) << c.name << ": " << op.shown().front().text;
        const Strings commands = Reassembled(RecordedCommands());
        ASSERT_GE(commands.size(), 2u) << c.name;
        EXPECT_EQ(commands[commands.size() - 2], c.command) << c.name;
        EXPECT_EQ(commands.back().substr(0, 4), "\x1B.00") << c.name;
    }
}

// A record that cannot be written keeps its command from the printer: the
// application is told the command was not delivered, and the log says why.
TEST_F(Interception, ACommandWhoseRecordCannotBeWrittenIsNotSent) {
    struct Case {
        const char* name;
        void (*fault)(testing::FaultFiles&);
    };
    const std::vector<Case> cases = {
        {"refused write", [](testing::FaultFiles& f) { f.failWrite = true; }},
        {"full disk", [](testing::FaultFiles& f) { f.spaceLeft = 0; }},
        {"failed flush", [](testing::FaultFiles& f) { f.failFlush = true; }},
        {"refused open", [](testing::FaultFiles& f) { f.refuseWriteOpens = true; }},
    };
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    for (const Case& c : cases) {
        const std::string sale = SaleItem(20, c.name);
        {
            testing::FaultFiles files;
            char rfd[64];
            RfdFileName(rfd, sizeof rfd, 9, 12, 2026);
            files.OnlyFor(rfd);
            c.fault(files);
            printer->ClearFrames();
            EXPECT_EQ(Write(sale), -1) << c.name;
            EXPECT_EQ(Read(), ".-P002}") << c.name;
            for (const std::string& f : Frames()) EXPECT_NE(f, sale) << c.name;
        }
        const auto lines = testing::AllLogLines(root);
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             CP1252("ERRO - COMANDO NÃO ENVIADO AO ECF: FALHA NA GRAVAÇÃO DO ARQUIVO RFD")),
                  &c - cases.data() + 1)
            << c.name;
        // A record that reached the file all the same is followed by the reply
        // of a command never delivered.
        const Strings recorded = RecordedCommands();
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            if (recorded[i] != sale) continue;
            ASSERT_LT(i + 1, recorded.size()) << c.name;
            EXPECT_EQ(recorded[i + 1], "\x1B.00.-P002}") << c.name;
        }
        // With the disk back, the same sale goes through and is recorded.
        ASSERT_EQ(Write(sale), 0) << c.name;
        EXPECT_EQ(Read(), ".+0001}") << c.name;
        EXPECT_EQ(RecordedCommands().end()[-2], sale) << c.name;
    }
}

// What reaches the disk and when: each fiscal command goes to the printer
// only once its record, and everything recorded before it, is on disk; one
// flush per command does it, and the records after the last command (its
// reply, the capture's status queries) reach the disk when the session ends.
TEST_F(Interception, EachFiscalCommandIsOnDiskBeforeItIsSentWithOneFlush) {
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);  // the session's full refresh
    testing::FaultFiles files;
    char rfd[64];
    RfdFileName(rfd, sizeof rfd, 9, 12, 2026);
    files.OnlyFor(rfd);
    const std::vector<std::string> coupon = {SaleItem(20), SaleItem(30), "\x1B.1002000000000050}", "\x1B.06}"};
    std::vector<int> flushedWhenSent;
    printer->SetResponder([&](std::string_view frame) -> std::optional<std::string> {
        if (std::find(coupon.begin(), coupon.end(), frame) != coupon.end()) flushedWhenSent.push_back(files.flushes);
        return std::nullopt;
    });
    for (const std::string& command : coupon) {
        ASSERT_EQ(Write(command), 0) << command;
        EXPECT_EQ(Read().substr(0, 2), ".+") << command;
    }
    printer->SetResponder(nullptr);
    EXPECT_EQ(flushedWhenSent, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(files.flushes, 4);
    ASSERT_EQ(ECFClose(), 0);
    EXPECT_EQ(files.flushes, 5);
    EXPECT_TRUE(op.shown().empty());
}

}  // namespace
}  // namespace moldrin::capture
