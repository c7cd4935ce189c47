// Whole days end to end: the simulator's scripted days sent through the
// exported calls with the fiscal capture on, the day's capture files read
// back, and those files replayed into the work file of the fiscal file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_day.h"
#include "capture/triggers.h"
#include "fiscalfile/fiscal_fixture.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/processing.h"
#include "sign/ead.h"
#include "sim/scenario.h"
#include "support/capture_recorder.h"
#include "support/key_beside_executable.h"

namespace moldrin {
namespace {

using fiscalfile::Col;
using fiscalfile::CouponOf;
using fiscalfile::ItemOf;
using fiscalfile::Map;
using fiscalfile::OfType;
using fiscalfile::PaymentOf;
using fiscalfile::SplitLines;

// The work file as each final assembly found it.
std::vector<std::string> g_workFiles;
testing::ScratchRoot* g_root = nullptr;

class ScenarioDay : public capture::CaptureDay {
protected:
    void SetUp() override {
        CaptureDay::SetUp();
        // The simulator keeps its own fiscal day: the script's replies come from it.
        printer->EditState([](sim::PrinterState& s) { s.keepsFiscalDay = true; });
        g_workFiles.clear();
        g_root = &root;
        fiscalfile::SetAssemblyObserver([](int) { g_workFiles.push_back(g_root->Read(fiscalfile::kWorkFile)); });
    }
    void TearDown() override {
        fiscalfile::SetAssemblyObserver(nullptr);
        g_root = nullptr;
        CaptureDay::TearDown();
    }

    static std::vector<sim::ScenarioStep> Steps(const char* name) {
        std::vector<sim::ScenarioStep> steps;
        std::string error;
        EXPECT_TRUE(sim::ReadScenario(std::string(MOLDRIN_SIM_SCENARIOS) + "/" + name, &steps, &error)) << error;
        return steps;
    }

    static int Code(const std::string& f) {
        if (f.size() < 4 || f[2] < '0' || f[2] > '9' || f[3] < '0' || f[3] > '9') return -1;
        return (f[2] - '0') * 10 + (f[3] - '0');
    }

    // The computer's clock follows the printer's when the script sets it, as
    // a till's clock agrees with its printer.
    void FollowPrinterClock(const std::string& frame) {
        auto num = [&](std::size_t at) { return std::stoi(frame.substr(at, 2)); };
        if (frame.rfind("\x1B.++CLOCK ", 0) == 0)
            clock.SetDate(2000 + num(14), num(12), num(10), num(16), num(18));
        else if (frame.rfind("\x1B.++DATE ", 0) == 0)
            clock.SetDate(2000 + num(13), num(11), num(9), 10, 0);
    }

    // Sends every step through ECFWrite/ECFRead, checks each reply against the
    // script, and returns the texts the capture must have recorded for the
    // application's commands, in order: each fiscal command, then its reply.
    std::vector<std::string> Play(const std::vector<sim::ScenarioStep>& steps) {
        std::vector<std::string> expected;
        std::string saved17;
        for (const auto& step : steps) {
            const int written = Write(step.frame);
            const std::string reply = Read();
            FollowPrinterClock(step.frame);
            if (step.expect) {
                EXPECT_EQ(reply, *step.expect) << "line " << step.line << ": " << sim::Printable(step.frame);
            }
            const bool refused = reply.size() > 6 && reply[1] == '-' && reply[6] == '}';
            EXPECT_EQ(written, refused ? -1 : 0) << "line " << step.line;

            const int code = Code(step.frame);
            if (code < 1 || code > 19 || code == 8 || code == 9) continue;
            expected.push_back(code == 12 ? std::string("\x1B.12}") : step.frame);
            expected.push_back("\x1B.00" + reply);
            if (code == 1 && reply[1] == '+' && reply[5] == '2' && !saved17.empty()) {
                expected.push_back("\x1B.0900" + saved17 + "}");
                saved17.clear();
            }
            if (code == 17) {
                saved17.clear();
                for (std::size_t i = 4; i < step.frame.size() && saved17.size() < 20; ++i) {
                    const auto c = static_cast<unsigned char>(step.frame[i]);
                    if (c == '}' || c < 0x20 || c >= 0x80) break;
                    saved17 += static_cast<char>(c);
                }
            }
        }
        return expected;
    }

    // The capture files of 9 to 11 December that exist, in date order.
    std::vector<std::pair<int, std::string>> CaptureFiles() {
        std::vector<std::pair<int, std::string>> files;
        for (int day = 9; day <= 11; ++day) {
            char name[64];
            capture::RfdFileName(name, sizeof name, day, 12, 2026);
            if (root.Exists(name)) files.emplace_back(day, name);
        }
        return files;
    }

    // Every record of the day's files (each must decode, Recorded checks),
    // without the capture's own status queries.
    std::vector<std::string> RecordedApplicationTexts() {
        std::vector<std::string> out;
        for (const auto& [day, name] : CaptureFiles())
            for (auto& t : Recorded(day, 12, 2026)) {
                const bool status = t.compare(0, 4, "\x1B.27") == 0 || t.compare(0, 4, "\x1B.28") == 0 ||
                                    t.compare(0, 4, "\x1B.29") == 0;
                if (status) {
                    EXPECT_NE(t.find('|'), std::string::npos) << "a status query without its reply";
                    continue;
                }
                out.push_back(t);
            }
        return out;
    }

    // Runs a whole scripted day and checks what the capture recorded.
    void RunDay(const char* name) {
        Open();
        const auto expected = Play(Steps(name));
        // Closing stops the worker, so the files are complete.
        ASSERT_EQ(ECFClose(), 0);
        const auto recorded = RecordedApplicationTexts();
        ASSERT_EQ(recorded.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(sim::Printable(recorded[i]), sim::Printable(expected[i])) << "record " << i;
    }

    // The work file of the same script recorded by the test recorder instead
    // of the capture, into the same capture file (emptied first).
    std::vector<std::string> RecorderWork(const char* name, const std::string& file, bool extended = false) {
        sim::PrinterModel model;
        model.EditState([extended](sim::PrinterState& s) {
            s.grandTotal = capture::kGrandTotal;
            if (extended) {
                s.typedStatus28 = true;
                s.statusGFlag = '1';
            }
        });
        root.Write(file.c_str(), "");
        clock.SetDate(2026, 12, 9, 10, 20, 30);
        testing::CaptureRecorder recorder(model, [&](const std::string& text) {
            clock.Advance(7);
            EXPECT_EQ(capture::RfdWriteLine(text.c_str()), 1);
        });
        for (const auto& step : Steps(name)) recorder.Send(step.frame);
        recorder.Finish();
        return Replay(file);
    }

    // Replays one capture file; returns the work file that the assembly found.
    std::vector<std::string> Replay(const std::string& file) {
        g_workFiles.clear();
        EXPECT_EQ(fiscalfile::ProcessRfdFile(file.c_str()), 1) << file;
        EXPECT_EQ(g_workFiles.size(), 1u) << file;
        return g_workFiles.empty() ? std::vector<std::string>{} : SplitLines(g_workFiles.back());
    }

    // The day's movement records, as the Z reduction's fiscal file got them,
    // with the session closed and opened again before step `reopenAt` (none
    // when 0). Each call starts from the same printer, files and clock.
    std::vector<std::string> MovementRecordsOfDay(const std::vector<sim::ScenarioStep>& steps, std::size_t reopenAt) {
        if (!fresh_) fresh_ = printer->State();
        if (g_session.PortIndex >= 0) ECFClose();
        capture::ResetCaptureState();
        capture::g_capture.pendingStatus1 = false;
        capture::g_capture.savedCommand17[0] = 0;
        testing::ResetLibraryState();
        printer->EditState([this](sim::PrinterState& s) { s = *fresh_; });
        clock.SetDate(2026, 12, 9, 10, 20, 30);
        std::filesystem::remove_all(root.Host(capture::kRfdDirectory));
        Register();
        g_workFiles.clear();

        Open();
        const auto split = steps.begin() + static_cast<std::ptrdiff_t>(reopenAt);
        if (reopenAt > 0) {
            Play({steps.begin(), split});
            EXPECT_EQ(ECFClose(), 0);
            Open();
        }
        Play({split, steps.end()});
        EXPECT_EQ(ECFClose(), 0);
        EXPECT_EQ(g_workFiles.size(), 1u) << "reopened before line " << steps[reopenAt].line;
        std::vector<std::string> out;
        if (g_workFiles.empty()) return out;
        for (const auto& l : SplitLines(g_workFiles.back())) {
            const std::string type = l.substr(0, 3);
            if (type == "E14" || type == "E15" || type == "E16" || type == "E21") out.push_back(l);
        }
        return out;
    }

    // Replays the day with the session reopened before each step in turn and
    // reports every record that differs from the undisturbed day's.
    void ExpectReopeningAnywhereChangesNothing(const std::vector<sim::ScenarioStep>& steps,
                                               const std::vector<std::string>& undisturbed) {
        for (std::size_t at = 1; at < steps.size(); ++at) {
            const auto reopened = MovementRecordsOfDay(steps, at);
            if (reopened == undisturbed) continue;
            ADD_FAILURE() << "session reopened before line " << steps[at].line << ": "
                          << sim::Printable(steps[at].frame);
            for (std::size_t i = 0; i < std::max(reopened.size(), undisturbed.size()); ++i) {
                const std::string got = i < reopened.size() ? reopened[i] : "(none)";
                const std::string want = i < undisturbed.size() ? undisturbed[i] : "(none)";
                if (got != want) ADD_FAILURE() << "record " << i << "\n   got " << got << "\n  want " << want;
            }
        }
    }

    testing::KeyBesideExecutable key{root};
    std::optional<sim::PrinterState> fresh_;
};

TEST_F(ScenarioDay, AShortDayOfSales) {
    RunDay("short_day.txt");
    // Nothing asked of or told to the operator on a day where the clocks agree.
    EXPECT_TRUE(op.shown().empty());
    const auto files = CaptureFiles();
    ASSERT_EQ(files.size(), 1u);
    // The Z reduction left the day's fiscal file, signed, and consumed the work file.
    const std::string final = std::string(fiscalfile::kFinishedDirectory) + "\\TA230001.9CQ";
    ASSERT_TRUE(root.Exists(final.c_str()));
    EXPECT_EQ(sign::VerifyFileSignature(final.c_str()), sign::kSignOk);
    EXPECT_FALSE(root.Exists(fiscalfile::kWorkFile));
    EXPECT_EQ(g_workFiles.size(), 1u);
    const auto finalLines = SplitLines(root.Read(final.c_str()));
    ASSERT_FALSE(finalLines.empty());
    EXPECT_EQ(finalLines.back().substr(0, 3), "EAD");
    EXPECT_EQ(OfType(finalLines, "E14").size(), fiscalfile::kShortDayCoupons.size());
    const auto work = Replay(files[0].second);
    for (const auto& l : work) EXPECT_EQ(Col(l, 4, 44), fiscalfile::kHead) << l;
    EXPECT_EQ(Map(OfType(work, "E15"), ItemOf), fiscalfile::kShortDayItems);
    EXPECT_EQ(Map(OfType(work, "E14"), CouponOf), fiscalfile::kShortDayCoupons);
    EXPECT_EQ(Map(OfType(work, "E21"), PaymentOf), fiscalfile::kShortDayPayments);
    const auto documents = OfType(work, "E16");
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(Col(documents[0], 47, 76), "0000070000020000000000000000LX");
    EXPECT_EQ(Col(documents[1], 47, 76), "0000080000020000000000000001RZ");
    EXPECT_STREQ(fiscalfile::g_fiscal.FirstMovementDate.data(), "091226");
    EXPECT_STREQ(fiscalfile::g_fiscal.MovementDate.data(), "091226");
    EXPECT_EQ(fiscalfile::g_fiscal.NonFiscalTotal, 10000u);

    // Line for line what the same day recorded by the test recorder gives.
    const auto recorderWork = RecorderWork("short_day.txt", files[0].second);
    ASSERT_EQ(recorderWork.size(), work.size());
    for (std::size_t i = 0; i < work.size(); ++i) EXPECT_EQ(work[i], recorderWork[i]) << "line " << i;
}

// The application may have the day's fiscal file made by writing the path of
// its capture file: nothing goes to the printer, and the reply says it is done.
TEST_F(ScenarioDay, TheDayProcessedByWritingItsCaptureFilesPath) {
    Open();
    Play(Steps("short_day.txt"));
    char name[64];
    capture::RfdFileName(name, sizeof name, 9, 12, 2026);
    const std::size_t frames = Frames().size();
    g_workFiles.clear();
    EXPECT_EQ(Write(name), 0);
    EXPECT_EQ(Read(), ".+0001}");
    EXPECT_EQ(Frames().size(), frames);
    ASSERT_EQ(g_workFiles.size(), 1u);
    const auto work = SplitLines(g_workFiles[0]);
    EXPECT_EQ(Map(OfType(work, "E15"), ItemOf), fiscalfile::kShortDayItems);
    EXPECT_EQ(Map(OfType(work, "E14"), CouponOf), fiscalfile::kShortDayCoupons);
    EXPECT_EQ(Map(OfType(work, "E21"), PaymentOf), fiscalfile::kShortDayPayments);
    EXPECT_EQ(OfType(work, "E16").size(), 2u);
    // The session goes on: the next command starts with a full refresh.
    const std::size_t refreshes = Count("\x1B.28C}");
    EXPECT_EQ(Write("\x1B.13}"), 0);
    EXPECT_EQ(Read(), ".+0013}");
    EXPECT_EQ(Count("\x1B.28C}"), refreshes + 1);
    ASSERT_EQ(ECFClose(), 0);
}

TEST_F(ScenarioDay, AShortDayOnAnExtendedModel) {
    printer->EditState([](sim::PrinterState& s) {
        s.typedStatus28 = true;
        s.statusGFlag = '1';
    });
    Register(testing::DemoIdentification(), 'B', 1);
    RunDay("short_day_extended.txt");
    const auto files = CaptureFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto work = Replay(files[0].second);
    ASSERT_FALSE(work.empty());
    EXPECT_EQ(Col(work[0], 25, 44), "IF Q-4400I          ");
    EXPECT_EQ(Map(OfType(work, "E15"), ItemOf), fiscalfile::kShortDayItems);
    EXPECT_EQ(Map(OfType(work, "E14"), CouponOf), fiscalfile::kShortDayCoupons);
    EXPECT_EQ(Map(OfType(work, "E21"), PaymentOf), fiscalfile::kShortDayPayments);

    const auto recorderWork = RecorderWork("short_day_extended.txt", files[0].second, true);
    ASSERT_EQ(recorderWork.size(), work.size());
    for (std::size_t i = 0; i < work.size(); ++i) EXPECT_EQ(work[i], recorderWork[i]) << "line " << i;
}

// The capture side of two fiscal days: every reply as scripted, every command
// and reply recorded in order across the files, one file a fiscal day.
TEST_F(ScenarioDay, TwoFiscalDaysAreCaptured) {
    RunDay("two_days.txt");
    std::vector<int> days;
    for (const auto& f : CaptureFiles()) days.push_back(f.first);
    EXPECT_EQ(days, (std::vector<int>{9, 10, 11}));
    // The computer's clock follows the printer's: a printer clock read the
    // evening before is no reason to doubt it the next morning.
    EXPECT_TRUE(op.shown().empty());
}

// The commands and replies of the two days are all there: the files joined
// into one give both reductions and the three coupons with their days, as the
// processing tests' single file of the same days does.
TEST_F(ScenarioDay, TwoFiscalDaysReplayedAsOneFile) {
    RunDay("two_days.txt");
    std::string joined;
    for (const auto& f : CaptureFiles()) joined += root.Read(f.second.c_str());
    const char* kJoined = "c:\\TALMA\\RFD\\RFD-JOINED.bin";
    root.Write(kJoined, joined);
    const auto work = Replay(kJoined);
    std::vector<std::string> reductions, coupons;
    for (const auto& l : OfType(work, "E16")) reductions.push_back(Col(l, 69, 76));
    for (const auto& l : OfType(work, "E14")) coupons.push_back(Col(l, 59, 66));
    EXPECT_EQ(reductions, (std::vector<std::string>{"000001RZ", "000002RZ"}));
    ASSERT_EQ(coupons.size(), 3u);
    EXPECT_EQ(coupons[0], "20261209");
    EXPECT_EQ(coupons[1], "20261210");
    for (const auto& l : work) EXPECT_EQ(Col(l, 25, 44), "IF Q-2200I          ") << l;
    EXPECT_STREQ(fiscalfile::g_fiscal.FirstMovementDate.data(), "091226");
}

// From the reduction until the next day's first document the printer shows
// the closed day, and its status records stay in that day's file; the day's
// first document and what follows it are the next file's. Read file after
// file, the fiscal dates the status replies show never go back.
TEST_F(ScenarioDay, StatusRecordsKeepTheirOrderAcrossTheDaysFiles) {
    RunDay("two_days.txt");
    // The fiscal dates that the recorded status-1 replies show, file after file.
    std::vector<std::string> dates;
    for (const auto& [day, name] : CaptureFiles())
        for (const auto& t : Recorded(day, 12, 2026))
            if (t.compare(0, 6, "\x1B.271|") == 0 && t.size() > 19) {
                const std::string date = t.substr(6 + 7, 6);
                dates.push_back(date.substr(4, 2) + date.substr(2, 2) + date.substr(0, 2) + " in " +
                                std::to_string(day));
            }
    ASSERT_FALSE(dates.empty());
    for (std::size_t i = 1; i < dates.size(); ++i)
        EXPECT_LE(dates[i - 1].substr(0, 6), dates[i].substr(0, 6)) << dates[i - 1] << " before " << dates[i];
    // The day's last status 1 is the last word on the movement date.
    std::string joined;
    for (const auto& f : CaptureFiles()) joined += root.Read(f.second.c_str());
    root.Write("c:\\TALMA\\RFD\\RFD-JOINED.bin", joined);
    Replay("c:\\TALMA\\RFD\\RFD-JOINED.bin");
    EXPECT_STREQ(fiscalfile::g_fiscal.MovementDate.data(), "111226");
}

// Each day's capture file replayed on its own gives that day's sales, its
// reduction, and the day's date as the first movement date that names its
// fiscal file; the 11th's coupon, still open, is there with its item.
TEST_F(ScenarioDay, EachFiscalDaysFileHoldsItsOwnSales) {
    RunDay("two_days.txt");
    const auto files = CaptureFiles();
    ASSERT_EQ(files.size(), 3u);
    struct Day {
        std::vector<std::string> coupons;     // columns 59-80 of E14: date and subtotal
        std::vector<std::string> payments;    // columns 65-93 of E21: name, paid, flag
        std::vector<std::string> reductions;  // columns 69-76 of E16
    };
    const Day expected[] = {
        {{"2026120900000000004380"}, {"Dinheiro       0000000004380N"}, {"000001RZ"}},
        {{"2026121000000000000918"}, {"Dinheiro       0000000000918N"}, {"000002RZ"}},
        {{"2026121100000000000918"}, {}, {}},
    };
    for (std::size_t d = 0; d < files.size(); ++d) {
        const auto work = Replay(files[d].second);
        Day got;
        for (const auto& l : OfType(work, "E14")) got.coupons.push_back(Col(l, 59, 80));
        for (const auto& l : OfType(work, "E21")) got.payments.push_back(Col(l, 65, 93));
        for (const auto& l : OfType(work, "E16")) got.reductions.push_back(Col(l, 69, 76));
        EXPECT_EQ(got.coupons, expected[d].coupons) << "day " << files[d].first;
        EXPECT_EQ(got.payments, expected[d].payments) << "day " << files[d].first;
        EXPECT_EQ(got.reductions, expected[d].reductions) << "day " << files[d].first;
        EXPECT_EQ(OfType(work, "E15").size(), expected[d].coupons.size()) << "day " << files[d].first;
        // The day names its fiscal file.
        char date[40];
        std::snprintf(date, sizeof date, "%02d1226", files[d].first);
        EXPECT_STREQ(fiscalfile::g_fiscal.FirstMovementDate.data(), date);
    }
}

// A product database's texts may hold line breaks, tabs and other control
// bytes: the printer and the capture get them as sent, and the day's fiscal
// file still holds one whole record per line, the items' amounts intact, signed.
TEST_F(ScenarioDay, ControlBytesInItemTextsKeepTheFiscalFileWhole) {
    // Code at 4-16, quantity, unit price, total, description at 45-68, tax code, then the extension.
    // No ESC among them: to the printer that starts a new frame.
    const std::string items[] = {
        std::string("\x1B.0178912\r\n456001") + "0002000" + "0" + "00002190" + "000000004380" +
            "ARROZ\r\nTIPO 1\t5KG\x7F      " + "T01" + "}",
        std::string("\x1B.01123456789012\r") + "0001000" + "0" + "00000350" + "000000000350" +
            "JORNAL\x01\x03\x02" "DO DIA\r        " + "I  " + "EDICAO\x7F" "EXTRA\tDE DOMINGO}",
        std::string("\x1B.01\t000000000100") + "0001000" + "0" + "00003000" + "000000003000" +
            "CORTE\x1F" "DE CABELO\r\n       " + "S04" + "\r\nEXTENSAO}",
    };
    const std::string payment = "\x1B.1001000000009999}";
    Open();
    for (const auto& item : items) {
        ASSERT_EQ(item.find('}'), item.size() - 1);
        EXPECT_EQ(Write(item), 0) << sim::Printable(item);
        EXPECT_EQ(Read().substr(0, 2), ".+") << sim::Printable(item);
    }
    for (const std::string& command : {payment, std::string("\x1B.06}"), std::string("\x1B.14}")}) {
        EXPECT_EQ(Write(command), 0) << sim::Printable(command);
        EXPECT_EQ(Read().substr(0, 2), ".+") << sim::Printable(command);
    }
    ASSERT_EQ(ECFClose(), 0);

    // The printer got the items as sent, and the capture recorded them so.
    auto sent = CommandFrames();
    auto recorded = RecordedApplicationTexts();
    for (const auto& item : items) {
        EXPECT_EQ(std::count(sent.begin(), sent.end(), item), 1) << sim::Printable(item);
        EXPECT_EQ(std::count(recorded.begin(), recorded.end(), item), 1) << sim::Printable(item);
    }

    const std::string final = std::string(fiscalfile::kFinishedDirectory) + "\\TA230001.9CQ";
    ASSERT_TRUE(root.Exists(final.c_str()));
    EXPECT_EQ(sign::VerifyFileSignature(final.c_str()), sign::kSignOk);
    const std::string bytes = root.Read(final.c_str());
    ASSERT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const auto lines = SplitLines(bytes);
    const std::map<std::string, std::size_t> widths = {{"E00", 297}, {"E01", 166}, {"E02", 272},
                                                       {"E12", 101}, {"E13", 72},  {"E14", 191},
                                                       {"E15", 267}, {"E16", 90},  {"E21", 106},
                                                       {"EAD", 259}};
    for (const auto& l : lines) {
        const auto width = widths.find(l.substr(0, 3));
        ASSERT_NE(width, widths.end()) << "not a record: " << sim::Printable(l);
        EXPECT_EQ(l.size(), width->second) << sim::Printable(l);
        EXPECT_EQ(l.find_first_of(std::string("\r\n\t\x01\x02\x1B\x1F\x7F", 8)), std::string::npos)
            << sim::Printable(l);
    }
    EXPECT_EQ(Map(OfType(lines, "E15"), ItemOf),
              (std::vector<std::string>{
                  "001|78912  456001 |0002000|un |00002190|00000000|00000000004380|01T1800|N",
                  "002|123456789012  |0001000|un |00000350|00000000|00000000000350|I1     |N",
                  "003| 000000000100 |0001000|un |00003000|00000000|00000000003000|04S2500|N",
              }));
    const auto e15 = OfType(lines, "E15");
    ASSERT_EQ(e15.size(), 3u);
    EXPECT_EQ(Col(e15[0], 76, 175), "ARROZ  TIPO 1 5KG " + std::string(82, ' '));
    EXPECT_EQ(Col(e15[1], 76, 175), "JORNAL   DO DIA         EDICAO EXTRA" + std::string(64, ' '));
    EXPECT_EQ(Col(e15[2], 76, 175), "CORTE DE CABELO         " + std::string(76, ' '));
    ASSERT_EQ(OfType(lines, "E14").size(), 1u);
    EXPECT_EQ(Col(OfType(lines, "E14")[0], 67, 80), "00000000007730");
    const auto documents = OfType(lines, "E16");
    ASSERT_FALSE(documents.empty());
    EXPECT_EQ(Col(documents.back(), 75, 76), "RZ");
}

// A till that restarts, closing its session and opening a new one, may do so
// between any two commands, in the middle of a coupon's payments too: the
// new session's full refresh must not change what the day's fiscal file says.
TEST_F(ScenarioDay, ASessionReopenedBetweenAnyTwoCommandsLeavesTheFiscalRecordsAlone) {
    const auto steps = Steps("full_day.txt");
    ASSERT_GT(steps.size(), 2u);
    const auto undisturbed = MovementRecordsOfDay(steps, 0);
    ASSERT_EQ(OfType(undisturbed, "E14").size(), 5u);
    ASSERT_FALSE(OfType(undisturbed, "E21").empty());
    ExpectReopeningAnywhereChangesNothing(steps, undisturbed);
}

// Small days written out here, each a few documents in the simulator's
// command language (sim/command_set.md); the printer counts COO from 000001.
namespace day {
// A coupon of one item (43.80), opened by its own command, paid 50.00 in cash.
const char* const kRiceCoupon = R"(\e.17}
= .+0001}
\e.0178912345600120002000000002190000000004380ARROZ TIPO 1 5KG        T01}
= .+0002}
\e.1001000000005000}
= .+0010}
\e.06}
= .+0006}
)";
// A coupon of one item opened with the buyer's CPF, paid in cash.
const char* const kBuyerCoupon = R"(\e.1712345678909}
= .+0001}
\e.0178912345600120002000000002190000000004380ARROZ TIPO 1 5KG        T01}
= .+0002}
\e.1001000000005000}
= .+0010}
\e.06}
= .+0006}
)";
// A coupon opened by its first item (3.50), paid by card.
const char* const kPaperCoupon = R"(\e.0100000000000420001000000000350000000000350JORNAL DO DIA           I  }
= .+0002}
\e.1003000000000350}
= .+0010}
\e.06}
= .+0006}
)";
// The same opened by its first item, paid 2.00 by cheque and 1.50 by card.
const char* const kPaperCouponTwoWays = R"(\e.0100000000000420001000000000350000000000350JORNAL DO DIA           I  }
= .+0002}
\e.1002000000000200}
= .+0010}
\e.1003000000000150}
= .+0010}
\e.06}
= .+0006}
)";
// Non-fiscal receipts (totalizer 01): 12.34 in cash, 200.00 in cash, 30.00 by cheque, 5.00 by card.
const char* const kReceipt1234Cash = "\\e.07}\n= .+0007}\n\\e.120101000000001234SUPRIMENTO}\n= .+0012}\n";
const char* const kReceipt20000Cash = "\\e.07}\n= .+0007}\n\\e.120101000000020000SUPRIMENTO}\n= .+0012}\n";
const char* const kReceipt3000Cheque = "\\e.07}\n= .+0007}\n\\e.120102000000003000SUPRIMENTO}\n= .+0012}\n";
const char* const kReceipt500Card = "\\e.07}\n= .+0007}\n\\e.120103000000000500SUPRIMENTO}\n= .+0012}\n";
// A receipt opened and cancelled before anything was registered in it.
const char* const kReceiptCancelled = "\\e.07}\n= .+0007}\n\\e.05}\n= .+0005}\n";
const char* const kCancel = "\\e.05}\n= .+0005}\n";
const char* const kReduction = "\\e.14}\n= .+0001}\n";
}  // namespace day

class SmallDay : public ScenarioDay {
protected:
    static std::vector<sim::ScenarioStep> Script(const std::vector<const char*>& parts) {
        std::string text;
        for (const char* p : parts) text += p;
        std::vector<sim::ScenarioStep> steps;
        std::string error;
        EXPECT_TRUE(sim::ParseScenario(text, &steps, &error)) << error;
        return steps;
    }
    // The movement records of a day that ends with its Z reduction.
    std::vector<std::string> Records(const std::vector<const char*>& parts) {
        return MovementRecordsOfDay(Script(parts), 0);
    }
    // The movement records of a day whose command at step `lostAt` is carried
    // out by the printer while its reply is lost on the way back.
    std::vector<std::string> RecordsWithLostReply(const std::vector<const char*>& parts, std::size_t lostAt) {
        const auto steps = Script(parts);
        if (!fresh_) fresh_ = printer->State();
        if (g_session.PortIndex >= 0) ECFClose();
        capture::ResetCaptureState();
        capture::g_capture.pendingStatus1 = false;
        capture::g_capture.savedCommand17[0] = 0;
        testing::ResetLibraryState();
        printer->EditState([this](sim::PrinterState& s) { s = *fresh_; });
        printer->SetFaults({});
        clock.SetDate(2026, 12, 9, 10, 20, 30);
        std::filesystem::remove_all(root.Host(capture::kRfdDirectory));
        Register();
        g_workFiles.clear();
        Open();
        // The lost reply is waited for on the fake clock.
        EXPECT_EQ(SetTimeoutRead(1), 0);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (i == lostAt) {
                sim::Faults lost;
                lost.lostReplies = 1;
                printer->SetFaults(lost);
            }
            Write(steps[i].frame);
            Read();
        }
        EXPECT_EQ(ECFClose(), 0);
        printer->SetFaults({});
        if (g_workFiles.empty()) {
            // A day left open: its capture file replayed as the tool would.
            const auto files = CaptureFiles();
            EXPECT_EQ(files.size(), 1u);
            if (!files.empty()) {
                EXPECT_EQ(fiscalfile::ProcessRfdFile(files[0].second.c_str()), 1);
            }
        }
        EXPECT_EQ(g_workFiles.size(), 1u);
        std::vector<std::string> out;
        if (g_workFiles.empty()) return out;
        for (const auto& l : SplitLines(g_workFiles.back())) {
            const std::string type = l.substr(0, 3);
            if (type == "E14" || type == "E15" || type == "E16" || type == "E21") out.push_back(l);
        }
        return out;
    }
    // Every record that differs, shown one by one.
    static void ExpectSameRecords(const std::vector<std::string>& got, const std::vector<std::string>& want) {
        EXPECT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
            const std::string g = i < got.size() ? got[i] : "(none)";
            const std::string w = i < want.size() ? want[i] : "(none)";
            EXPECT_EQ(g, w) << "record " << i;
        }
    }
    // Each document's counters in an item line: CCF and COO.
    static std::string ItemCounters(const std::string& l) { return Col(l, 47, 52) + "|" + Col(l, 53, 58); }
};

// Each receipt's payment lines carry what that receipt took, under its own
// counters, before the day's first coupon as after it.
TEST_F(SmallDay, EachReceiptCarriesItsOwnPaymentsAndCounters) {
    const auto records = Records({day::kReceipt20000Cash, day::kReceipt3000Cheque, day::kRiceCoupon,
                                  day::kReceipt1234Cash, day::kReceipt500Card, day::kReduction});
    // (COO, CCF, GNF, method, paid, reversal)
    EXPECT_EQ(Map(OfType(records, "E21"), PaymentOf), (std::vector<std::string>{
        "000002|000000|000001|Dinheiro       |0000000020000|N|0000000000000",
        "000003|000000|000002|Cheque         |0000000003000|N|0000000000000",
        "000004|000001|000002|Dinheiro       |0000000004380|N|0000000000000",
        "000005|000001|000003|Dinheiro       |0000000001234|N|0000000000000",
        "000006|000001|000004|Cartao         |0000000000500|N|0000000000000",
    }));
    EXPECT_EQ(Map(OfType(records, "E14"), CouponOf), (std::vector<std::string>{
        "000001|000004|00000000004380|0000000000000|0000000000000|00000000004380|N|D|00000000000000",
    }));
    EXPECT_EQ(Col(OfType(records, "E16").at(0), 47, 76), "0000070000040000000000000001RZ");
}

// Coupons opened by their first item carry their own CCF and COO in every
// line, whether they open the day, follow a receipt or a coupon opened with
// its own command.
TEST_F(SmallDay, CouponsOpenedByTheirFirstItemCarryTheirOwnCounters) {
    const auto records = Records({day::kPaperCoupon, day::kReceipt1234Cash, day::kPaperCoupon, day::kRiceCoupon,
                                  day::kPaperCoupon, day::kReduction});
    EXPECT_EQ(Map(OfType(records, "E15"), ItemCounters),
              (std::vector<std::string>{"000001|000002", "000002|000004", "000003|000005", "000004|000006"}));
    EXPECT_EQ(Map(OfType(records, "E14"), CouponOf), (std::vector<std::string>{
        "000001|000002|00000000000350|0000000000000|0000000000000|00000000000350|N|D|00000000000000",
        "000002|000004|00000000000350|0000000000000|0000000000000|00000000000350|N|D|00000000000000",
        "000003|000005|00000000004380|0000000000000|0000000000000|00000000004380|N|D|00000000000000",
        "000004|000006|00000000000350|0000000000000|0000000000000|00000000000350|N|D|00000000000000",
    }));
    EXPECT_EQ(Map(OfType(records, "E21"), PaymentOf), (std::vector<std::string>{
        "000002|000001|000000|Cartao         |0000000000350|N|0000000000000",
        "000003|000001|000001|Dinheiro       |0000000001234|N|0000000000000",
        "000004|000002|000001|Cartao         |0000000000350|N|0000000000000",
        "000005|000003|000001|Dinheiro       |0000000004380|N|0000000000000",
        "000006|000004|000001|Cartao         |0000000000350|N|0000000000000",
    }));
}

// A coupon cancelled after its close: its E14 says so and keeps its amounts,
// its payment lines stay as they were, and no other document's line changes.
TEST_F(SmallDay, ACouponCancelledAfterItsCloseChangesOnlyItsOwnE14) {
    const auto kept = Records({day::kRiceCoupon, day::kPaperCouponTwoWays, day::kReceipt3000Cheque,
                               day::kPaperCoupon, day::kReduction});
    const auto cancelled = Records({day::kRiceCoupon, day::kPaperCouponTwoWays, day::kCancel,
                                    day::kReceipt3000Cheque, day::kPaperCoupon, day::kReduction});
    EXPECT_EQ(Map(OfType(cancelled, "E14"), CouponOf), (std::vector<std::string>{
        "000001|000002|00000000004380|0000000000000|0000000000000|00000000004380|N|D|00000000000000",
        "000002|000003|00000000000350|0000000000000|0000000000000|00000000000350|S|D|00000000000000",
        "000003|000005|00000000000350|0000000000000|0000000000000|00000000000350|N|D|00000000000000",
    }));
    EXPECT_EQ(Map(OfType(cancelled, "E21"), PaymentOf), (std::vector<std::string>{
        "000002|000001|000000|Dinheiro       |0000000004380|N|0000000000000",
        "000003|000002|000000|Cheque         |0000000000200|N|0000000000000",
        "000003|000002|000000|Cartao         |0000000000150|N|0000000000000",
        "000004|000002|000001|Cheque         |0000000003000|N|0000000000000",
        "000005|000003|000001|Cartao         |0000000000350|N|0000000000000",
    }));
    // Line for line the day without the cancellation, but for that column.
    ASSERT_EQ(cancelled.size(), kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        std::string expected = kept[i];
        if (expected.compare(0, 3, "E14") == 0 && Col(expected, 53, 58) == "000003") expected[122] = 'S';
        EXPECT_EQ(cancelled[i], expected) << "record " << i;
    }
}

// A receipt cancelled while still open ends nothing but itself: the receipt
// closed before it keeps its payment lines.
TEST_F(SmallDay, AReceiptCancelledWhileOpenLeavesThePreviousReceiptsPayments) {
    const auto records = Records({day::kReceipt1234Cash, day::kReceiptCancelled, day::kReceipt500Card,
                                  day::kReceiptCancelled, day::kRiceCoupon, day::kReduction});
    EXPECT_EQ(Map(OfType(records, "E21"), PaymentOf), (std::vector<std::string>{
        "000002|000000|000001|Dinheiro       |0000000001234|N|0000000000000",
        "000004|000000|000003|Cartao         |0000000000500|N|0000000000000",
        "000006|000001|000004|Dinheiro       |0000000004380|N|0000000000000",
    }));
    EXPECT_EQ(Map(OfType(records, "E14"), CouponOf), (std::vector<std::string>{
        "000001|000006|00000000004380|0000000000000|0000000000000|00000000004380|N|D|00000000000000",
    }));
}

// The small days' documents, receipts cancelled or not, coupons cancelled
// after their close, keep their records whatever command the session was
// reopened before: each document's payment lines carry its own counters.
TEST_F(SmallDay, ASessionReopenedAnywhereInADayOfReceiptsAndCancellations) {
    const auto steps = Script({day::kReceipt20000Cash, day::kReceipt3000Cheque, day::kRiceCoupon,
                               day::kReceipt1234Cash, day::kReceiptCancelled, day::kReceipt500Card,
                               day::kPaperCouponTwoWays, day::kCancel, day::kPaperCoupon, day::kReduction});
    const auto undisturbed = MovementRecordsOfDay(steps, 0);
    ASSERT_EQ(OfType(undisturbed, "E21").size(), 8u);
    ExpectReopeningAnywhereChangesNothing(steps, undisturbed);
}

// A coupon opened by its first item whose reply was lost: the printer sold
// it, and the status read after it shows the coupon open; its records are
// those of the day where nothing was lost.
TEST_F(SmallDay, ACouponOpenedByAnItemWhoseReplyIsLostKeepsItsRecords) {
    struct Case {
        const char* name;
        std::vector<const char*> parts;
        std::size_t lostAt;  // the step whose reply is lost
    };
    const Case cases[] = {
        {"the day's first coupon", {day::kPaperCoupon, day::kRiceCoupon, day::kReduction}, 0},
        {"after a coupon", {day::kRiceCoupon, day::kPaperCoupon, day::kReduction}, 4},
        {"after a receipt", {day::kReceipt1234Cash, day::kPaperCoupon, day::kReduction}, 2},
        {"after a buyer's coupon", {day::kBuyerCoupon, day::kPaperCoupon, day::kReduction}, 4},
        {"before a buyer's coupon", {day::kPaperCoupon, day::kBuyerCoupon, day::kPaperCoupon, day::kReduction}, 0},
        {"after a buyer's coupon, then another", {day::kBuyerCoupon, day::kPaperCoupon, day::kPaperCoupon, day::kReduction}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto undisturbed = Records(c.parts);
        ASSERT_FALSE(OfType(undisturbed, "E14").empty());
        ExpectSameRecords(RecordsWithLostReply(c.parts, c.lostAt), undisturbed);
    }
}

// A buyer belongs only to the coupon it was given for: a lost reply in that
// coupon, or in the one after it, takes it to no other coupon.
TEST_F(SmallDay, ABuyerStaysWithItsCouponWhenAReplyIsLost) {
    struct Case {
        const char* name;
        std::vector<const char*> parts;
        std::size_t lostAt;
    };
    const Case cases[] = {
        {"the buyer's coupon opening", {day::kBuyerCoupon, day::kPaperCoupon, day::kReduction}, 0},
        {"the buyer's coupon's item", {day::kBuyerCoupon, day::kPaperCoupon, day::kReduction}, 1},
        {"the buyer's coupon's payment", {day::kBuyerCoupon, day::kPaperCoupon, day::kReduction}, 2},
        {"the buyer's coupon's close", {day::kBuyerCoupon, day::kPaperCoupon, day::kReduction}, 3},
        {"the item, two coupons on", {day::kBuyerCoupon, day::kRiceCoupon, day::kPaperCoupon, day::kReduction}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto undisturbed = Records(c.parts);
        const auto buyers = Map(OfType(undisturbed, "E14"), [](const std::string& l) { return Col(l, 178, 191); });
        ASSERT_EQ(buyers.front(), "00012345678909");
        for (std::size_t i = 1; i < buyers.size(); ++i) ASSERT_EQ(buyers[i], "00000000000000");
        ExpectSameRecords(RecordsWithLostReply(c.parts, c.lostAt), undisturbed);
    }
}

// A day whose last coupon was closed just before the session ended: the
// status after the close was never read, so its payments are those of its
// payment commands, change taken off, as the reduction's statuses show them.
TEST_F(SmallDay, ACouponClosedAsTheSessionEndsKeepsItsPayments) {
    // Paid in two ways, then a coupon of 43.80 paid 50.00 in cash.
    const auto withReduction =
        Records({day::kPaperCoupon, day::kPaperCouponTwoWays, day::kRiceCoupon, day::kReduction});
    const auto open = RecordsWithLostReply({day::kPaperCoupon, day::kPaperCouponTwoWays, day::kRiceCoupon}, 99);
    const auto payments = OfType(withReduction, "E21");
    ASSERT_EQ(payments.size(), 4u);
    EXPECT_EQ(Col(payments[3], 80, 92), "0000000004380");
    EXPECT_EQ(Map(OfType(open, "E21"), PaymentOf), Map(payments, PaymentOf));
    EXPECT_EQ(Map(OfType(open, "E14"), CouponOf), Map(OfType(withReduction, "E14"), CouponOf));
    EXPECT_EQ(fiscalfile::g_paymentsUnknown, 0);
}

// The application killed once the printer took the Z reduction, before the
// reply was read: the capture file holds the command and no reply, and no
// fiscal file was made. The next session makes the day's file, the same as an
// undisturbed day's; a reduction the printer never took makes none.
TEST_F(SmallDay, AReductionKilledBeforeItsReplyIsFinishedByTheNextSession) {
    const std::vector<const char*> parts = {day::kRiceCoupon, day::kPaperCoupon, day::kReduction};
    const auto undisturbed = Records(parts);
    ASSERT_EQ(OfType(undisturbed, "E16").size(), 1u);
    const std::string final = std::string(fiscalfile::kFinishedDirectory) + "\\TA230001.9CQ";
    const std::filesystem::path rfd = root.Host(capture::kRfdDirectory);
    const std::filesystem::path atKill = rfd.string() + ".killed";

    for (const bool taken : {true, false}) {
        SCOPED_TRACE(taken ? "the printer took the reduction" : "the printer never took it");
        // The day up to the Z reduction's frame: what the disk holds then is
        // what the killed application left.
        std::optional<sim::PrinterState> beforeZ;
        printer->SetResponder([&](std::string_view frame) -> std::optional<std::string> {
            if (frame == "\x1B.14}" && !beforeZ) {
                beforeZ = printer->State();
                std::filesystem::remove_all(atKill);
                std::filesystem::copy(rfd, atKill, std::filesystem::copy_options::recursive);
            }
            return std::nullopt;
        });
        Records(parts);
        printer->SetResponder(nullptr);
        ASSERT_TRUE(beforeZ.has_value());
        if (!taken) printer->EditState([&](sim::PrinterState& s) { s = *beforeZ; });
        std::filesystem::remove_all(rfd);
        std::filesystem::rename(atKill, rfd);
        ASSERT_FALSE(root.Exists(final.c_str()));

        // A new process: nothing of the killed one's memory.
        capture::ResetCaptureState();
        capture::g_capture.pendingStatus1 = false;
        capture::g_capture.savedCommand17[0] = 0;
        testing::ResetLibraryState();
        g_workFiles.clear();
        Open();
        ASSERT_EQ(Write("\x1B.28}"), 0);
        if (taken) {
            ASSERT_EQ(g_workFiles.size(), 1u);
            std::vector<std::string> records;
            for (const auto& l : SplitLines(g_workFiles.back()))
                if (l.compare(0, 3, "E14") == 0 || l.compare(0, 3, "E15") == 0 || l.compare(0, 3, "E16") == 0 ||
                    l.compare(0, 3, "E21") == 0)
                    records.push_back(l);
            ExpectSameRecords(records, undisturbed);
            EXPECT_TRUE(root.Exists(final.c_str()));
        } else {
            EXPECT_TRUE(g_workFiles.empty());
            EXPECT_FALSE(root.Exists(final.c_str()));
        }
        EXPECT_FALSE(root.Exists(capture::kClosingNote));
        // Only once.
        const std::size_t assemblies = g_workFiles.size();
        ASSERT_EQ(Write("\x1B.28}"), 0);
        EXPECT_EQ(g_workFiles.size(), assemblies);
        ASSERT_EQ(ECFClose(), 0);
    }
}

}  // namespace
}  // namespace moldrin

namespace moldrin {
namespace {

// A closing cut short (as when the program is killed while the day's file is
// made) leaves its note and no fiscal file; the next session's first command
// makes the file, the same movement lines, signed. A note cut short itself
// names nothing: the latest capture file is then the closing's.
TEST_F(ScenarioDay, AClosingCutShortIsFinishedByTheNextSession) {
    RunDay("short_day.txt");
    const std::string final = std::string(fiscalfile::kFinishedDirectory) + "\\TA230001.9CQ";
    ASSERT_TRUE(root.Exists(final.c_str()));
    EXPECT_FALSE(root.Exists(capture::kClosingNote)) << "the note outlived a finished closing";
    auto movement = [](const std::string& bytes) {
        std::vector<std::string> out;
        for (const auto& l : SplitLines(bytes))
            if (l.compare(0, 3, "E14") == 0 || l.compare(0, 3, "E15") == 0 || l.compare(0, 3, "E16") == 0 ||
                l.compare(0, 3, "E21") == 0)
                out.push_back(l);
        return out;
    };
    const auto expected = movement(root.Read(final.c_str()));
    ASSERT_FALSE(expected.empty());
    const auto files = CaptureFiles();
    ASSERT_EQ(files.size(), 1u);

    for (const std::string& note : {"091226\r\n" + files[0].second + "\r\n", std::string()}) {
        SCOPED_TRACE(note.empty() ? "an empty note" : "a note naming the day");
        std::filesystem::remove(root.Host(final.c_str()));
        root.Write(capture::kClosingNote, note);
        Open();
        ASSERT_EQ(Write("\x1B.28}"), 0);
        ASSERT_TRUE(root.Exists(final.c_str()));
        EXPECT_EQ(sign::VerifyFileSignature(final.c_str()), sign::kSignOk);
        EXPECT_EQ(movement(root.Read(final.c_str())), expected);
        EXPECT_FALSE(root.Exists(capture::kClosingNote));
        // Only once: the next command finds nothing left to finish.
        const std::size_t assemblies = g_workFiles.size();
        ASSERT_EQ(Write("\x1B.28}"), 0);
        EXPECT_EQ(g_workFiles.size(), assemblies);
        ASSERT_EQ(ECFClose(), 0);
    }
}

}  // namespace
}  // namespace moldrin
