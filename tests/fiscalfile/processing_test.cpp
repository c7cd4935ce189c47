// The processing driver end to end: scripted days of the simulator, recorded
// as the capture records them, replayed into the work file and checked
// against what the script did.
#include <gtest/gtest.h>

#include <map>

#include "store/rfd_codec.h"
#include "fiscal_fixture.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/work_files.h"
#include "sign/ead.h"
#include "sim/printer_model.h"
#include "sim/scenario.h"
#include "support/capture_recorder.h"
#include "support/demo_identification.h"
#include "support/fault_files.h"
#include "support/key_beside_executable.h"
#include "log/text.h"

namespace moldrin::fiscalfile {
namespace {

const char kCapture[] = "c:\\TALMA\\RFD\\RFD-09-Dezembro-2026.bin";

// Each call of the final assembly, and the work file it was handed.
std::vector<int> g_assemblies;
std::vector<std::string> g_works;
testing::ScratchRoot* g_root = nullptr;

class Processing : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        g_fiscal.ItemTable = nullptr;
        g_assemblies.clear();
        g_works.clear();
        g_root = &root;
        SetAssemblyObserver([](int merge) {
            g_assemblies.push_back(merge);
            g_works.push_back(g_root->Read(kWorkFile));
        });
    }
    void TearDown() override {
        SetAssemblyObserver(nullptr);
        g_root = nullptr;
        FiscalFixture::TearDown();
    }
    void Register(const char* factory = "MS0300019", char letter = 'B', int8_t gate = 0) {
        capture::g_capture.ModelLetter = letter;
        g_session.ModelGate = gate;
        op.identifications.push_back(testing::DemoIdentification(factory));
        ASSERT_EQ(capture::EnsureRegistration(0), -1);
        op.clear();
    }
    // The texts the capture records for these frames, in order.
    std::vector<std::string> Texts(const std::vector<std::string>& frames) {
        std::vector<std::string> texts;
        testing::CaptureRecorder recorder(model, [&](const std::string& text) { texts.push_back(text); });
        for (const auto& f : frames) replies.push_back(recorder.Send(f));
        recorder.Finish();
        return texts;
    }
    static std::vector<std::string> Frames(const char* scenario, std::vector<sim::ScenarioStep>* steps = nullptr) {
        std::vector<sim::ScenarioStep> read;
        std::string error;
        EXPECT_TRUE(sim::ReadScenario(std::string(MOLDRIN_SIM_SCENARIOS) + "/" + scenario, &read, &error)) << error;
        std::vector<std::string> frames;
        for (const auto& s : read) frames.push_back(s.frame);
        if (steps) *steps = read;
        return frames;
    }
    // Writes each text as one capture record, a few milliseconds apart.
    void Write(const std::vector<std::string>& texts) {
        for (const auto& text : texts) {
            clock.Advance(7);
            ASSERT_EQ(capture::RfdWriteLine(text.c_str()), 1) << sim::Printable(text);
        }
    }
    // A line stamped as the capture stamps it, with its right check value.
    static std::string Stamped(const std::string& text) {
        const uint32_t seed = 400u * 30u * 20u * 9u;
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "09/12/2026 10:20:30.400 <%04X> = ", capture::RfdLineChecksum(text.c_str(), seed));
        return stamp + text + "\r\n";
    }
    // Appends a record whose line is given whole (its stamp and check value too).
    void WriteRawLine(const std::string& line) {
        std::array<char, capture::kRfdRecordBuffer> record{};
        const int n = capture::RfdEncodeRecord(record, line.c_str());
        ASSERT_GT(n, 0);
        const log::FileHandle h = log::FileOpenAppend(kCapture);
        ASSERT_NE(h, log::kInvalidFile);
        EXPECT_EQ(log::FileWrite(h, record.data(), static_cast<uint32_t>(n)), static_cast<uint32_t>(n));
        log::FileClose(h);
    }
    void RecordScenario(const char* name) {
        std::vector<sim::ScenarioStep> steps;
        Write(Texts(Frames(name, &steps)));
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (steps[i].expect) {
                EXPECT_EQ(replies[i], *steps[i].expect) << "line " << steps[i].line;
            }
        }
    }
    // The work file as the last assembly found it.
    static std::vector<std::string> Work() { return g_works.empty() ? std::vector<std::string>{} : SplitLines(g_works.back()); }

    testing::KeyBesideExecutable key{root};
    sim::PrinterModel model;
    std::vector<std::string> replies;
};

TEST_F(Processing, AShortDayOfSales) {
    Register();
    RecordScenario("short_day.txt");
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    EXPECT_EQ(g_assemblies, std::vector<int>{0});
    const auto work = Work();
    for (const auto& l : work) EXPECT_EQ(Col(l, 4, 44), kHead) << l;
    EXPECT_EQ(Map(OfType(work, "E15"), ItemOf), kShortDayItems);
    EXPECT_EQ(Map(OfType(work, "E14"), CouponOf), kShortDayCoupons);
    EXPECT_EQ(Map(OfType(work, "E21"), PaymentOf), kShortDayPayments);
    const auto documents = OfType(work, "E16");
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(Col(documents[0], 47, 90), "0000070000020000000000000000LX20261209102000");
    EXPECT_EQ(Col(documents[1], 47, 90), "0000080000020000000000000001RZ20261209102000");
    // Each coupon's items come before its E14.
    EXPECT_EQ(work[4].substr(0, 3), "E14");
    EXPECT_STREQ(g_fiscal.FirstMovementDate.data(), "091226");
    EXPECT_STREQ(g_fiscal.MovementDate.data(), "091226");
    EXPECT_EQ(g_fiscal.NonFiscalTotal, 10000u);
    EXPECT_EQ(g_fiscal.UserCount, 1u);
    EXPECT_STREQ(g_fiscal.SoftwareDate.data(), "010126");
    EXPECT_TRUE(op.shown().empty());
    EXPECT_EQ(g_fiscal.ItemTable, nullptr);
    // The work file became the day's signed fiscal file.
    const std::string final = std::string(kFinishedDirectory) + "\\TA230001.9CQ";
    EXPECT_EQ(LastFinalFilePath(), final);
    EXPECT_FALSE(root.Exists(kWorkFile));
    EXPECT_EQ(sign::VerifyFileSignature(final.c_str()), sign::kSignOk);
}

TEST_F(Processing, AShortDayOnAnExtendedModel) {
    model.EditState([](sim::PrinterState& s) {
        s.typedStatus28 = true;
        s.statusGFlag = '1';
    });
    Register("MS0300019", 'B', 1);
    RecordScenario("short_day_extended.txt");
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    const auto work = Work();
    EXPECT_EQ(Col(work[0], 25, 44), "IF Q-4400I          ");
    EXPECT_EQ(Map(OfType(work, "E15"), ItemOf), kShortDayItems);
    EXPECT_EQ(Map(OfType(work, "E14"), CouponOf), kShortDayCoupons);
    EXPECT_EQ(Map(OfType(work, "E21"), PaymentOf), kShortDayPayments);
}

// A capture file without the replies that name the payment methods: every
// payment is still there, with a blank name.
TEST_F(Processing, PaymentsWhoseNamesWereNotRecorded) {
    Register();
    std::vector<std::string> texts;
    for (const auto& t : Texts(Frames("short_day.txt")))
        if (t.compare(0, 6, "\x1B.295|") != 0 && t.compare(0, 6, "\x1B.296|") != 0) texts.push_back(t);
    Write(texts);
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    std::vector<std::string> expected;
    for (std::string p : kShortDayPayments) expected.push_back(p.replace(21, 15, std::string(15, ' ')));
    EXPECT_EQ(Map(OfType(Work(), "E21"), PaymentOf), expected);
}

// A session opened anew right after a close whose status 28 was read, before
// the payment totals were (the application killed there): its refresh reads
// that status 28 again, after payment totals read before the close. The
// coupon's payments are still those its close moved, counted once.
TEST_F(Processing, AStatusReadAgainAfterACloseLeavesItsPaymentsWhole) {
    Register();
    const std::vector<std::string> texts = Texts(Frames("short_day.txt"));
    const auto at = [&](std::size_t from, const char* head) {
        for (std::size_t i = from; i < texts.size(); ++i)
            if (texts[i].rfind(head, 0) == 0) return i;
        return texts.size();
    };
    const std::size_t close = at(0, "\x1B.00.+0006}");
    const std::size_t status28 = at(close, "\x1B.28|");
    const std::size_t totals = at(close, "\x1B.276|");
    ASSERT_LT(totals, texts.size());
    ASSERT_LT(status28, totals);
    std::vector<std::string> reopened(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(close));
    reopened.push_back(texts[totals]);  // read between the payments and the close
    reopened.insert(reopened.end(), texts.begin() + static_cast<std::ptrdiff_t>(close),
                    texts.begin() + static_cast<std::ptrdiff_t>(status28) + 1);
    reopened.push_back(texts[status28]);  // the new session's refresh
    reopened.insert(reopened.end(), texts.begin() + static_cast<std::ptrdiff_t>(status28) + 1, texts.end());
    Write(reopened);
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    EXPECT_EQ(Map(OfType(Work(), "E21"), PaymentOf), kShortDayPayments);
}

TEST_F(Processing, TwoFiscalDays) {
    Register();
    RecordScenario("two_days.txt");
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    const auto work = Work();
    const auto documents = OfType(work, "E16");
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(Col(documents[0], 69, 76), "000001RZ");
    EXPECT_EQ(Col(documents[1], 69, 76), "000002RZ");
    // The first day names the file; the movement date follows the printer.
    EXPECT_STREQ(g_fiscal.FirstMovementDate.data(), "091226");
    EXPECT_STREQ(g_fiscal.MovementDate.data(), "111226");
    const auto coupons = OfType(work, "E14");
    ASSERT_EQ(coupons.size(), 3u);
    EXPECT_EQ(Col(coupons[0], 59, 66), "20261209");
    EXPECT_EQ(Col(coupons[1], 59, 66), "20261210");
    for (const auto& l : work) EXPECT_EQ(Col(l, 25, 44), "IF Q-2200I          ") << l;
}

// Where the recorded traffic disagrees, that coupon (and only it) reads as inconsistent.
TEST_F(Processing, TrafficThatDisagreesMarksItsCoupon) {
    enum class Fault { WrongGrandTotal, NoBar, BadCheck, LetterInYear };
    struct Case {
        const char* what;
        Fault fault;
        const char* after;  // the fault hits the first matching status line after this command
        const char* line;   // the kind of status line hit
        int coupon;         // the coupon flagged, -1 none
    } cases[] = {
        {"a grand total above the items", Fault::WrongGrandTotal, "SACOLA", "\x1B.271|", 1},
        {"a status line without its bar", Fault::NoBar, "BANANA", "\x1B.28|", 3},
        {"a bad check value", Fault::BadCheck, "\x1B.06}", "\x1B.28|", 0},
        {"a letter in the year: skipped, not marked", Fault::LetterInYear, "\x1B.06}", "\x1B.28|", -1},
    };
    Register();
    const std::vector<std::string> texts = Texts(Frames("short_day.txt"));
    for (const auto& c : cases) {
        root.Write(kCapture, "");
        bool seen = false, done = false;
        for (std::string text : texts) {
            if (!done && seen && text.compare(0, std::strlen(c.line), c.line) == 0) {
                done = true;
                char stamp[40];
                std::snprintf(stamp, sizeof stamp, "09/12/2026 10:20:30.400 <%04X> = ", 0x1234u);
                switch (c.fault) {
                    case Fault::WrongGrandTotal: text.replace(std::strlen(c.line) + 19, 17, "00000000099999999"); break;
                    case Fault::NoBar: text[std::strlen(c.line) - 1] = '}'; break;
                    case Fault::BadCheck: WriteRawLine(stamp + text + "\r\n"); continue;
                    case Fault::LetterInYear: {
                        std::string line = stamp + text + "\r\n";
                        const uint32_t seed = 400u * 30u * 20u * 9u;
                        char check[8];
                        std::snprintf(check, sizeof check, "%04X", capture::RfdLineChecksum(text.c_str(), seed));
                        line.replace(25, 4, check);
                        line[8] = 'X';
                        WriteRawLine(line);
                        continue;
                    }
                }
            }
            if (text.find(c.after) != std::string::npos && text.compare(0, 4, "\x1B.00") != 0) seen = true;
            Write({text});
        }
        ASSERT_TRUE(done) << c.what;
        ASSERT_EQ(ProcessRfdFile(kCapture), 1) << c.what;
        const auto coupons = OfType(Work(), "E14");
        ASSERT_EQ(coupons.size(), 4u) << c.what;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(Col(coupons[static_cast<std::size_t>(i)], 25, 44),
                      i == c.coupon ? "????????????????????" : "IF Q-2200I          ")
                << c.what << ", coupon " << i;
        for (const auto& item : OfType(Work(), "E15")) EXPECT_EQ(Col(item, 1, 3), "E15");
    }
}

TEST_F(Processing, APrinterChangeFinishesTheFirstPrintersFile) {
    Register();
    const auto first = Frames("short_day.txt");
    std::vector<std::string> frames(first.begin(), first.begin() + 11);  // coupon 1
    frames.push_back("\x1B.++FACTORY MS0300077}");
    frames.push_back("\x1B.0120004560000000001250000000599000000000748!BANANA PRATA           T03}");
    frames.push_back("\x1B.1002000000000748}");
    frames.push_back("\x1B.06}");
    Write(Texts(frames));
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    EXPECT_EQ(g_assemblies, (std::vector<int>{0, 0}));
    // The first file: coupon 1 of the first printer.
    const auto before = SplitLines(g_works.at(0));
    ASSERT_FALSE(before.empty());
    for (const auto& l : before) EXPECT_EQ(Col(l, 4, 11), "MS030001") << l;
    EXPECT_EQ(Map(OfType(before, "E14"), CouponOf), std::vector<std::string>{kShortDayCoupons[0]});
    // The second: what the new printer sold.
    const auto work = Work();
    for (const auto& l : work) EXPECT_EQ(Col(l, 4, 11), "MS030007") << l;
    const auto coupons = OfType(work, "E14");
    ASSERT_EQ(coupons.size(), 1u);
    EXPECT_EQ(Col(coupons[0], 67, 80), "00000000000748");
    // The file ends after that coupon: its payment is not lost.
    EXPECT_EQ(Map(OfType(work, "E21"), PaymentOf),
              std::vector<std::string>{"000003|000002|000000|Cheque         |0000000000748|N|0000000000000"});
}

TEST_F(Processing, EmptyAndMissingFilesAndNoRegistration) {
    // No registration: nothing done.
    op.identifications.clear();
    EXPECT_EQ(ProcessRfdFile(kCapture), 0);
    EXPECT_FALSE(root.Exists(kWorkFile));
    Register();

    // No capture file.
    op.clear();
    EXPECT_EQ(ProcessRfdFile("c:\\TALMA\\RFD\\RFD-01-Janeiro-2026.bin"), -1);
    ASSERT_EQ(op.texts("message").size(), 1u);
    EXPECT_EQ(op.texts("message")[0],
              "ERRO na Abertura do Arquivo RFD para efetuar o processamento: c:\\TALMA\\RFD\\RFD-01-Janeiro-2026.bin");

    // An empty one: an empty work file and no first movement date to name a file by.
    root.Write(kCapture, "");
    g_assemblies.clear();
    EXPECT_EQ(ProcessRfdFile(kCapture), 1);
    EXPECT_TRUE(root.Exists(kWorkFile));
    EXPECT_EQ(root.Read(kWorkFile), "");
    EXPECT_STREQ(g_fiscal.FirstMovementDate.data(), "");
    EXPECT_EQ(g_assemblies, std::vector<int>{0});
}

TEST_F(Processing, APrinterComingBackMergesWithItsFirstFile) {
    Register();
    const auto day = Frames("short_day.txt");
    std::vector<std::string> frames(day.begin(), day.begin() + 11);  // coupon 1
    frames.push_back("\x1B.++FACTORY MS0300077}");
    frames.push_back("\x1B.0120004560000000001250000000599000000000748!BANANA PRATA           T03}");
    frames.push_back("\x1B.1002000000000748}");
    frames.push_back("\x1B.06}");
    frames.push_back("\x1B.++FACTORY MS0300019}");
    frames.push_back("\x1B.13}");
    Write(Texts(frames));
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    // The first printer's file, the second's, then the first's again to be merged.
    EXPECT_EQ(g_assemblies, (std::vector<int>{0, 0, 1}));
    const auto work = Work();
    ASSERT_FALSE(work.empty());
    for (const auto& l : work) EXPECT_EQ(Col(l, 4, 11), "MS030001") << l;
    EXPECT_EQ(Col(OfType(work, "E16").at(0), 75, 76), "LX");
}

TEST_F(Processing, ACutRecordAtTheEndIsNotProcessed) {
    Register();
    const auto day = Frames("short_day.txt");
    const std::vector<std::string> texts = Texts(std::vector<std::string>(day.begin(), day.begin() + 2));
    // A status line without its bar would mark the open coupon; cut by the end
    // of the file, it is never read.
    const std::string line = Stamped("\x1B.271}");
    std::array<char, capture::kRfdRecordBuffer> record{};
    const int n = capture::RfdEncodeRecord(record, line.c_str());
    ASSERT_GT(n, 4);
    for (const bool cut : {false, true}) {
        root.Write(kCapture, "");
        Write(texts);
        const log::FileHandle h = log::FileOpenAppend(kCapture);
        log::FileWrite(h, record.data(), static_cast<uint32_t>(cut ? n - 1 : n));
        log::FileClose(h);
        ASSERT_EQ(ProcessRfdFile(kCapture), 1);
        const auto coupons = OfType(Work(), "E14");
        ASSERT_EQ(coupons.size(), 1u);
        EXPECT_EQ(Col(coupons[0], 25, 44), cut ? "IF Q-2200I          " : "????????????????????") << cut;
    }
}

TEST_F(Processing, AWorkFileThatCannotBeCreated) {
    Register();
    Write(Texts(Frames("short_day.txt")));
    // A directory where the work file belongs.
    ASSERT_EQ(std::system(("mkdir -p '" + root.Host(kWorkFile) + "'").c_str()), 0);
    EXPECT_EQ(ProcessRfdFile(kCapture), 0);
    EXPECT_EQ(op.texts("message"),
              std::vector<std::string>{CP1252("ERRO na criação do arquivo trabalho COTEPE: c:\\TALMA\\RFD\\TALMA.TMP")});
    EXPECT_TRUE(g_assemblies.empty());
    EXPECT_EQ(g_fiscal.ItemTable, nullptr);

    // The capture file cannot be closed either: -1.
    op.clear();
    testing::FaultFiles faults;
    faults.failClose = true;
    EXPECT_EQ(ProcessRfdFile(kCapture), -1);
    const auto messages = op.texts("message");
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), CP1252("ERRO no Fechamento do Arquivo RFD após o processamento: ") + std::string(kCapture));
}

// A disk that fills up while a day is processed again: the run stops at the
// lost line, nothing is assembled from the cut work file, and the day's earlier
// file stays as it was. With room again, the run makes the same file.
TEST_F(Processing, AFullDiskWhileADayIsProcessedAgain) {
    Register();
    RecordScenario("full_day.txt");
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    const std::string final = LastFinalFilePath();
    ASSERT_FALSE(final.empty());
    const std::string earlier = root.Read(final.c_str());
    const std::size_t work = g_works.back().size();
    ASSERT_EQ(sign::VerifyFileSignature(final.c_str()), sign::kSignOk);

    for (const int64_t space : {int64_t{0}, static_cast<int64_t>(work / 2), static_cast<int64_t>(work - 1)}) {
        op.clear();
        g_assemblies.clear();
        {
            testing::FaultFiles faults;
            faults.OnlyFor(kWorkFile);
            faults.spaceLeft = space;
            EXPECT_EQ(ProcessRfdFile(kCapture), 0) << space;
        }
        EXPECT_TRUE(g_assemblies.empty()) << space;
        EXPECT_STREQ(LastFinalFilePath(), "") << space;
        const auto messages = op.texts("message");
        ASSERT_FALSE(messages.empty()) << space;
        EXPECT_EQ(messages[0], CP1252("ERRO de gravação RFD: c:\\TALMA\\RFD\\TALMA.TMP")) << space;
        EXPECT_LE(messages.size(), 2u) << "the run goes on past the lost line";
        EXPECT_TRUE(root.Read(final.c_str()) == earlier) << space << ": the earlier file changed";
        EXPECT_FALSE(root.Exists(kAssemblyFile)) << space;
    }

    op.clear();
    ASSERT_EQ(ProcessRfdFile(kCapture), 1);
    EXPECT_TRUE(op.texts("message").empty());
    EXPECT_TRUE(root.Read(final.c_str()) == earlier);
}

// Another processing holds the folder: this one waits for it, and after its
// bound gives up without touching the work files, saying why.
TEST_F(Processing, WaitsForAnotherProcessingOfTheFolder) {
    Register();
    RecordScenario("short_day.txt");
    {
        const ProcessingLock other(0);
        ASSERT_TRUE(other.held());
        const uint32_t before = clock.TickMs();
        EXPECT_EQ(ProcessRfdFile(kCapture), 0);
        EXPECT_GE(clock.TickMs() - before, kProcessingLockWaitMs);
        EXPECT_EQ(op.texts("message"),
                  std::vector<std::string>{CP1252("ERRO: outro programa processa em c:\\TALMA\\RFD há mais de 60 s; "
                                                  "não processado: ") +
                                           std::string(kCapture)});
        EXPECT_FALSE(root.Exists(kWorkFile));
        EXPECT_TRUE(g_assemblies.empty());
    }
    op.clear();
    EXPECT_EQ(ProcessRfdFile(kCapture), 1);
    EXPECT_TRUE(op.texts("message").empty());
    EXPECT_FALSE(std::string(LastFinalFilePath()).empty());
}

}  // namespace
}  // namespace moldrin::fiscalfile
