// The processing triggers: the calendar walk, the latest capture file of the
// last 32 days, and the earlier days still without their fiscal file. Each
// capture file here holds one status 1 naming its own day, so the fiscal file
// it yields is named after that day.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture/capture_day.h"
#include "capture/triggers.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/fiscal_state.h"
#include "sim/printer_state.h"
#include "support/fault_files.h"
#include "support/key_beside_executable.h"

namespace moldrin::capture {
namespace {

TEST(DayBefore, WalksBackOverMonthsYearsAndLeapDays) {
    const struct {
        CalendarDay day, before;
    } cases[] = {
        {{15, 6, 2026}, {14, 6, 2026}},
        {{1, 1, 2027}, {31, 12, 2026}},
        {{1, 5, 2026}, {30, 4, 2026}},
        {{1, 7, 2026}, {30, 6, 2026}},
        {{1, 10, 2026}, {30, 9, 2026}},
        {{1, 12, 2026}, {30, 11, 2026}},
        {{1, 8, 2026}, {31, 7, 2026}},
        {{1, 3, 2027}, {28, 2, 2027}},
        {{1, 3, 2028}, {29, 2, 2028}},
        // Every year divisible by 4 has its 29 February, centuries too.
        {{1, 3, 2100}, {29, 2, 2100}},
        {{29, 2, 2028}, {28, 2, 2028}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DayBefore(c.day), c.before) << c.day.day << "/" << c.day.month << "/" << c.day.year;
}

int g_assemblies = 0;

class Triggers : public CaptureDay {
protected:
    void SetUp() override {
        CaptureDay::SetUp();
        g_assemblies = 0;
        fiscalfile::SetAssemblyObserver([](int) { ++g_assemblies; });
    }
    void TearDown() override {
        fiscalfile::SetAssemblyObserver(nullptr);
        CaptureDay::TearDown();
    }

    static char DateCharacter(int v) { return static_cast<char>(v < 10 ? '0' + v : 'A' + (v - 10)); }

    // The fiscal file of the registered printer (MS0300019, "B") for a day.
    static std::string FinalOf(CalendarDay d) {
        return std::string(fiscalfile::kFinishedDirectory) + "\\TA230001." + DateCharacter(d.day) +
               DateCharacter(d.month) + DateCharacter(d.year % 100);
    }
    static std::string CaptureFileOf(CalendarDay d) {
        char name[64];
        RfdFileName(name, sizeof name, d.day, d.month, d.year);
        return name;
    }

    // A capture file for the day, written on that day.
    void Capture(CalendarDay d) {
        sim::PrinterState state;
        char date[40];
        std::snprintf(date, sizeof date, "%02d%02d%02d", d.day, d.month, d.year % 100);
        state.fiscalDate = date;
        // The capture names its file by the fiscal date it has read.
        std::snprintf(g_capture.fiscalDate.data(), g_capture.fiscalDate.size(), "%s", date);
        clock.SetDate(d.year, d.month, d.day, 10, 0, 0);
        ASSERT_EQ(RfdWriteLine(("\x1B.271|" + sim::Status27Record(state, '1')).c_str()), 1);
    }
    void Today(CalendarDay d) { clock.SetDate(d.year, d.month, d.day, 22, 0, 0); }

    bool Done(CalendarDay d) { return root.Exists(FinalOf(d).c_str()); }

    testing::KeyBesideExecutable key{root};
};

TEST_F(Triggers, TheLatestCaptureFileIsTodaysOrOneUpTo31DaysBack) {
    const CalendarDay today{11, 12, 2026}, yesterday{10, 12, 2026};
    Today(today);
    EXPECT_EQ(ProcessLatestRfd(), 0);
    EXPECT_EQ(g_assemblies, 0);

    Capture(yesterday);
    Capture(today);
    Today(today);
    EXPECT_EQ(ProcessLatestRfd(), 1);
    EXPECT_EQ(g_assemblies, 1);
    EXPECT_TRUE(Done(today));
    EXPECT_FALSE(Done(yesterday));
    EXPECT_EQ(fiscalfile::LastFinalFilePath(), FinalOf(today));
    EXPECT_TRUE(op.shown().empty());
}

TEST_F(Triggers, TheLatestWalkLooks31DaysBackAcrossMonthsAndYears) {
    // From 1 March 2028: 29 February, ..., 30 January is the 31st day back.
    Capture({29, 1, 2028});
    Today({1, 3, 2028});
    EXPECT_EQ(ProcessLatestRfd(), 0);
    Capture({30, 1, 2028});
    Today({1, 3, 2028});
    EXPECT_EQ(ProcessLatestRfd(), 1);
    EXPECT_TRUE(Done({30, 1, 2028}));

    Capture({31, 12, 2026});
    Today({2, 1, 2027});
    EXPECT_EQ(ProcessLatestRfd(), 1);
    EXPECT_TRUE(Done({31, 12, 2026}));
}

// After a closing the latest file is processed, then the earlier days.
TEST_F(Triggers, TheEarlierDaysWithoutAFiscalFileAreCaughtUp) {
    const CalendarDay days[] = {{9, 12, 2026}, {10, 12, 2026}, {11, 12, 2026}};
    for (const auto& d : days) Capture(d);
    Today(days[2]);
    EXPECT_EQ(ProcessLatestRfd(), 1);
    EXPECT_EQ(ProcessPendingDays("111226"), 1);
    EXPECT_EQ(g_assemblies, 3);
    for (const auto& d : days) EXPECT_TRUE(Done(d)) << d.day;
    EXPECT_TRUE(op.shown().empty());

    // All done: neither pass finds anything, even with another printer's
    // serial left behind by the generation.
    fiscalfile::SetField(fiscalfile::g_fiscal.SerialNumber, "XY7777777");
    g_assemblies = 0;
    EXPECT_EQ(ProcessPendingDays("111226"), 1);
    EXPECT_EQ(g_assemblies, 0);

    // A day whose file went missing (a run that died before its file was in
    // place) is made again.
    ASSERT_EQ(std::remove(root.Host(FinalOf(days[0]).c_str()).c_str()), 0);
    EXPECT_EQ(ProcessPendingDays("111226"), 1);
    EXPECT_EQ(g_assemblies, 1);
    EXPECT_TRUE(Done(days[0]));
}

TEST_F(Triggers, TheWalkBackFromTheFirstOfMarchFindsTheLeapDay) {
    Capture({29, 2, 2028});
    Capture({27, 2, 2028});
    Today({1, 3, 2028});
    EXPECT_EQ(ProcessPendingDays("010328"), 1);
    EXPECT_EQ(g_assemblies, 2);
    EXPECT_TRUE(Done({29, 2, 2028}));
    EXPECT_TRUE(Done({27, 2, 2028}));
}

// The second pass walks back from the fiscal date, only when the first found nothing to do.
TEST_F(Triggers, TheSecondPassStartsFromTheFiscalDate) {
    const CalendarDay ahead{15, 3, 2026}, before{3, 3, 2026};
    Capture(ahead);
    Capture(before);
    Today({5, 3, 2026});
    // The first pass processes 3 March: 15 March waits.
    EXPECT_EQ(ProcessPendingDays("200326"), 1);
    EXPECT_TRUE(Done(before));
    EXPECT_FALSE(Done(ahead));
    // Nothing left before today: the walk from the fiscal date (itself included) finds it.
    EXPECT_EQ(ProcessPendingDays("200326"), 1);
    EXPECT_TRUE(Done(ahead));
    // Without a usable fiscal date there is no second pass.
    ASSERT_EQ(std::remove(root.Host(FinalOf(ahead).c_str()).c_str()), 0);
    for (const char* fiscal : {"", "000026", "151326"}) {
        EXPECT_EQ(ProcessPendingDays(fiscal), 1) << fiscal;
        EXPECT_FALSE(Done(ahead)) << fiscal;
    }
    EXPECT_EQ(ProcessPendingDays("150326"), 1);
    EXPECT_TRUE(Done(ahead));
}

TEST_F(Triggers, NoRegistrationAndFilesThatCannotBeClosed) {
    Capture({10, 12, 2026});
    Capture({11, 12, 2026});
    Today({11, 12, 2026});

    {
        testing::FaultFiles faults;
        faults.failClose = true;
        EXPECT_EQ(ProcessLatestRfd(), -1);
        EXPECT_EQ(ProcessPendingDays("111226"), -1);
    }
    const std::string latest = CaptureFileOf({11, 12, 2026}), earlier = CaptureFileOf({10, 12, 2026});
    EXPECT_EQ(op.texts("message"),
              (std::vector<std::string>{"ERRO no Fechamento do Arquivo RFD antes de processar: " + latest,
                                        "ERRO no Fechamento do Arquivo RFD antes de efetuar o processamento: " +
                                            earlier}));
    for (const auto& shown : op.shown()) EXPECT_EQ(shown.caption, "ERRO");
    EXPECT_EQ(g_assemblies, 0);

    // A fiscal file that cannot be closed stops the pass too.
    op.clear();
    EXPECT_EQ(ProcessPendingDays("111226"), 1);
    ASSERT_TRUE(Done({10, 12, 2026}));
    {
        testing::FaultFiles faults;
        faults.OnlyFor(FinalOf({10, 12, 2026}));
        faults.failClose = true;
        EXPECT_EQ(ProcessPendingDays("111226"), -1);
    }
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{"ERRO no Fechamento do Arquivo RFD final antes de processar: " +
                                                            FinalOf({10, 12, 2026})});

    // No registration and none given: nothing is done.
    ASSERT_EQ(std::remove(root.Host(kRegistrationFile).c_str()), 0);
    ResetCaptureState();
    op.clear();
    g_assemblies = 0;
    EXPECT_EQ(ProcessPendingDays("111226"), 0);
    EXPECT_EQ(g_assemblies, 0);
}

}  // namespace
}  // namespace moldrin::capture
