// A day's signed fiscal file as the library leaves it after the Z reduction,
// checked record by record: printers changed in the middle of the day's
// capture file, and the same day made again later, by every route, after more
// status records of the closed day were captured.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_day.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_fixture.h"
#include "fiscalfile/processing.h"
#include "sign/ead.h"
#include "sim/scenario.h"
#include "support/key_beside_executable.h"

namespace moldrin {
namespace {

using fiscalfile::Col;
using fiscalfile::CouponOf;
using fiscalfile::Map;
using fiscalfile::OfType;
using fiscalfile::PaymentOf;
using fiscalfile::SplitLines;

const char kCaptureFile[] = "c:\\TALMA\\RFD\\RFD-09-Dezembro-2026.bin";

// A one-item coupon paid in cash: service, 1 unit at `amount` cents.
std::vector<std::string> Coupon(unsigned amount) {
    char item[96], payment[32];
    std::snprintf(item, sizeof item, "\x1B.01000000000010000010000%08u0%011uCORTE DE CABELO         S04}", amount,
                  amount);
    std::snprintf(payment, sizeof payment, "\x1B.1001%012u}", amount);
    return {item, payment, "\x1B.06}"};
}

// A fiscal file without its signature line, which changes with every signing
// (the line's hex digits may hold "EAD" too).
std::string Unsigned(const std::string& file) {
    const std::size_t ead = file.rfind("\nEAD");
    return ead == std::string::npos ? file : file.substr(0, ead + 1);
}

class ClosedDay : public capture::CaptureDay {
protected:
    void SetUp() override {
        CaptureDay::SetUp();
        printer->EditState([](sim::PrinterState& s) { s.keepsFiscalDay = true; });
    }

    // Sends each frame through the exported calls; the replies, in order.
    std::vector<std::string> Send(const std::vector<std::string>& frames) {
        std::vector<std::string> replies;
        for (const auto& f : frames) {
            Write(f);
            replies.push_back(Read());
        }
        return replies;
    }
    // Plays a scripted day (without its Z reduction when `reduction` is false).
    void Scenario(const char* name, bool reduction = true) {
        std::vector<sim::ScenarioStep> steps;
        std::string error;
        ASSERT_TRUE(sim::ReadScenario(std::string(MOLDRIN_SIM_SCENARIOS) + "/" + name, &steps, &error)) << error;
        if (!reduction) {
            ASSERT_EQ(steps.back().frame, "\x1B.14}");
            steps.pop_back();
        }
        for (const auto& step : steps) {
            Write(step.frame);
            const std::string reply = Read();
            if (step.expect) {
                EXPECT_EQ(reply, *step.expect) << "line " << step.line;
            }
        }
    }

    static std::string FinalName(const char* file) { return std::string(fiscalfile::kFinishedDirectory) + "\\" + file; }
    std::string Final(const char* file) {
        const std::string path = FinalName(file);
        EXPECT_TRUE(root.Exists(path.c_str())) << file;
        if (!root.Exists(path.c_str())) return {};
        EXPECT_EQ(sign::VerifyFileSignature(path.c_str()), sign::kSignOk) << file;
        return root.Read(path.c_str());
    }

    // The short day's partial totals, not the zeros the printer shows after its Z.
    static void ExpectTheDaysTotals(const std::vector<std::string>& e13) {
        ASSERT_EQ(e13.size(), 14u);
        EXPECT_EQ(Col(e13[2], 53, 72), "DS     0000000000098");
        EXPECT_EQ(Col(e13[3], 53, 72), "AT     0000000000050");
        EXPECT_EQ(Col(e13[10], 53, 72), "01T18000000000004380");
        EXPECT_EQ(Col(e13[12], 53, 72), "03T12000000000002354");
        EXPECT_EQ(Col(e13[13], 53, 72), "04S25000000000002902");
    }

    testing::KeyBesideExecutable key{root};
};

// Printer A, B and again A on the same day, one session each, the Z
// reduction on the last: one fiscal file per printer, each named after its
// printer, every line of it carrying that printer's serial number and model,
// its coupons its own, its headers from its own status replies.
struct Printer {
    const char* serial;
    char letter;
    const char* model;
    const char* finalFile;
    uint64_t grandTotal;
};
const Printer kA{"MS0300019", 'B', "IF Q-2200I          ", "TA230001.9CQ", capture::kGrandTotal};
const Printer kB{"MS0300077", 'C', "IF Q-2200II         ", "TA430007.9CQ", 9000000};

class PrinterChange : public ClosedDay {
protected:
    // Runs the stretches: printer order[i] sells coupons of amounts[i]; the
    // last one closes the day. Returns each printer's fiscal file.
    void Run(const std::vector<const Printer*>& order, const std::vector<std::vector<unsigned>>& amounts) {
        sim::PrinterState a = printer->State();
        sim::PrinterState b = a;
        b.factoryNumber = kB.serial;
        b.modelLetter = kB.letter;
        b.grandTotal = kB.grandTotal;
        b.zCounter = 41;
        b.fiscal.coo = 700;
        b.fiscal.ccf = 300;
        b.fiscal.restartCounter = 3;
        b.fiscal.printerNumber = "002";
        std::vector<sim::PrinterState*> states;
        const Printer* on = &kA;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (order[i] != on) {
                // The till is switched off, the printer swapped, and the
                // operator registers the printer found at the next start.
                (on == &kA ? a : b) = printer->State();
                printer->EditState([&](sim::PrinterState& s) { s = order[i] == &kA ? a : b; });
                on = order[i];
                op.identifications.push_back(testing::DemoIdentification(on->serial));
            }
            Open();
            for (unsigned amount : amounts[i]) {
                const auto replies = Send(Coupon(amount));
                for (const auto& r : replies)
                    if (!lostClose_) {
                        EXPECT_EQ(r.substr(0, 2), ".+") << on->serial << " " << r;
                    }
            }
            if (i + 1 == order.size()) {
                EXPECT_EQ(Send({"\x1B.14}"}), std::vector<std::string>{".+0001}"});
            }
            ASSERT_EQ(ECFClose(), 0);
        }
    }

    bool lostClose_ = false;  // some close's reply is lost: its reply is not checked

    // Every line of the file (the signature's aside) is that printer's;
    // its coupons are the amounts given, in order.
    void ExpectFileOf(const Printer& p, const std::string& file, const std::vector<unsigned>& amounts) {
        const auto lines = SplitLines(Unsigned(file));
        ASSERT_GE(lines.size(), 15u) << p.serial;
        const std::string serial = std::string(p.serial, 8) + std::string(12, ' ') + p.serial[8];
        for (const auto& l : lines) {
            EXPECT_EQ(Col(l, 4, 24), serial) << l;
            const std::string type = l.substr(0, 3);
            if (type == "E01" || type == "E12" || type == "E13" || type == "E14" || type == "E16") {
                EXPECT_EQ(Col(l, type == "E01" ? 52 : 25, type == "E01" ? 71 : 44), p.model) << l;
            }
        }
        std::vector<std::string> subtotals;
        for (const auto& l : OfType(lines, "E14")) subtotals.push_back(Col(l, 67, 80));
        std::vector<std::string> expected;
        for (unsigned a : amounts) {
            char s[16];
            std::snprintf(s, sizeof s, "%014u", a);
            expected.push_back(s);
        }
        EXPECT_EQ(subtotals, expected) << p.serial;
        // The printer's own grand total (E02) and printer number (E01).
        const auto e02 = OfType(lines, "E02");
        ASSERT_EQ(e02.size(), 1u);
        uint64_t total = p.grandTotal;
        for (unsigned a : amounts) total += a;
        char gt[24];
        std::snprintf(gt, sizeof gt, "%018llu", static_cast<unsigned long long>(total));
        EXPECT_EQ(Col(e02[0], 253, 270), gt) << p.serial;
        EXPECT_EQ(Col(OfType(lines, "E01").at(0), 96, 98), &p == &kA ? "001" : "002");
    }
};

TEST_F(PrinterChange, APrinterThenAnother) {
    Run({&kA, &kB}, {{1000, 2000}, {3000}});
    const std::string a = Final(kA.finalFile), b = Final(kB.finalFile);
    ExpectFileOf(kA, a, {1000, 2000});
    ExpectFileOf(kB, b, {3000});
    // A's last coupon was closed with the session: its payments come from its
    // payment commands, the status after the close never having been read.
    EXPECT_EQ(Map(OfType(SplitLines(a), "E21"), PaymentOf), (std::vector<std::string>{
        "000002|000001|000000|Dinheiro       |0000000001000|N|0000000000000",
        "000003|000002|000000|Dinheiro       |0000000002000|N|0000000000000",
    }));
    EXPECT_EQ(Map(OfType(SplitLines(b), "E21"), PaymentOf), (std::vector<std::string>{
        "000700|000300|000000|Dinheiro       |0000000003000|N|0000000000000",
    }));
    EXPECT_EQ(fiscalfile::g_paymentsUnknown, 0);
    // B closed its day: its file has the reduction, A's has none.
    EXPECT_EQ(OfType(SplitLines(b), "E16").size(), 1u);
    EXPECT_TRUE(OfType(SplitLines(a), "E16").empty());

    // Made again from the same capture file, both files come out the same.
    ASSERT_EQ(fiscalfile::ProcessRfdFile(kCaptureFile), 1);
    EXPECT_EQ(Unsigned(Final(kA.finalFile)), Unsigned(a));
    EXPECT_EQ(Unsigned(Final(kB.finalFile)), Unsigned(b));
}

// The close of A's last coupon carried out, its reply lost, and the session
// ended before any status: the capture file cannot tell the coupon's payments.
// The coupon keeps its lines, no other payment line is made up, and the
// processing says how many coupons lack their payments.
TEST_F(PrinterChange, ALastCloseWithoutAnyAnswerIsReported) {
    int closes = 0;
    auto model = printer.get();
    printer->SetResponder([&closes, model](std::string_view frame) -> std::optional<std::string> {
        if (frame == "\x1B.06}" && ++closes == 2) {
            sim::Faults lost;
            lost.lostReplies = 1;
            model->SetFaults(lost);
        }
        return std::nullopt;
    });
    lostClose_ = true;
    Run({&kA, &kB}, {{1000, 2000}, {3000}});
    printer->SetResponder(nullptr);
    const std::string a = Final(kA.finalFile);
    ExpectFileOf(kA, a, {1000, 2000});
    EXPECT_EQ(Map(OfType(SplitLines(a), "E21"), PaymentOf), (std::vector<std::string>{
        "000002|000001|000000|Dinheiro       |0000000001000|N|0000000000000",
    }));
    ASSERT_EQ(fiscalfile::ProcessRfdFile(kCaptureFile), 1);
    EXPECT_EQ(fiscalfile::g_paymentsUnknown, 1);
    EXPECT_EQ(Unsigned(Final(kA.finalFile)), Unsigned(a));
}

TEST_F(PrinterChange, APrinterComingBackKeepsBothItsStretchesInItsFile) {
    Run({&kA, &kB, &kA}, {{1000}, {3000, 4000}, {2000}});
    const std::string a = Final(kA.finalFile), b = Final(kB.finalFile);
    ExpectFileOf(kA, a, {1000, 2000});
    ExpectFileOf(kB, b, {3000, 4000});
    EXPECT_EQ(OfType(SplitLines(a), "E16").size(), 1u);

    ASSERT_EQ(fiscalfile::ProcessRfdFile(kCaptureFile), 1);
    EXPECT_EQ(Unsigned(Final(kA.finalFile)), Unsigned(a));
    EXPECT_EQ(Unsigned(Final(kB.finalFile)), Unsigned(b));
}

// The day's totals are what the printer showed at its Z reduction: whatever
// the capture file holds after it (a refused second Z, a later session's
// status records), the day's file made again is the same, byte for byte.
TEST_F(ClosedDay, TheDaysFileMadeAgainAfterItsReductionIsTheSame) {
    const std::string name = FinalName(kA.finalFile);
    Open();
    Scenario("short_day.txt");
    const std::string first = Final(kA.finalFile);
    ExpectTheDaysTotals(OfType(SplitLines(first), "E13"));
    const std::size_t recorded = Recorded().size();

    // A second Z reduction, refused: the printer has closed the day.
    root.Write(name.c_str(), "");
    EXPECT_EQ(Write("\x1B.14}"), -1);
    EXPECT_EQ(Read().substr(0, 2), ".-");
    EXPECT_EQ(Unsigned(Final(kA.finalFile)), Unsigned(first));
    ASSERT_EQ(ECFClose(), 0);

    // A later session of the same day: more status records after the Z, and
    // the day made again by the application writing the capture file's path.
    Open();
    EXPECT_EQ(Write("\x1B.271}"), 0);
    Read();
    root.Write(name.c_str(), "");
    EXPECT_EQ(Write(kCaptureFile), 0);
    EXPECT_EQ(Read(), ".+0001}");
    EXPECT_EQ(Unsigned(Final(kA.finalFile)), Unsigned(first));
    ASSERT_EQ(ECFClose(), 0);
    EXPECT_GT(Recorded().size(), recorded);

    // And as `moldrin process` makes it, in the order that comes.
    root.Write(name.c_str(), "");
    ASSERT_EQ(fiscalfile::ProcessRfdFile(kCaptureFile), 1);
    EXPECT_EQ(Unsigned(Final(kA.finalFile)), Unsigned(first));
}

// Two threads of the till close the day at once: one reduction is made, the
// other refused, and the day's file keeps the day's totals.
TEST_F(ClosedDay, TwoReductionsSentAtOnce) {
    Open();
    Scenario("short_day.txt", false);
    std::array<int, 2> results{};
    std::thread other([&] { results[1] = ECFWrite("\x1B.14}"); });
    results[0] = ECFWrite("\x1B.14}");
    other.join();
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results, (std::array<int, 2>{-1, 0}));
    ASSERT_EQ(ECFClose(), 0);
    const auto lines = SplitLines(Final(kA.finalFile));
    ExpectTheDaysTotals(OfType(lines, "E13"));
    EXPECT_EQ(OfType(lines, "E16").size(), 2u);
}

// The E12 flag is the printer's, as its 29-F record gave it in the day's file.
TEST_F(ClosedDay, TheReductionFlagIsThePrinters) {
    printer->EditState([](sim::PrinterState& s) { s.fiscal.reductionFlag = 'N'; });
    Open();
    Scenario("short_day.txt");
    ASSERT_EQ(ECFClose(), 0);
    const auto e12 = OfType(SplitLines(Final(kA.finalFile)), "E12");
    ASSERT_EQ(e12.size(), 1u);
    EXPECT_EQ(Col(e12[0], 101, 101), "N");
}

}  // namespace
}  // namespace moldrin
