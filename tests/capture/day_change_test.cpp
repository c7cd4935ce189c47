// The day's RFD file around a change of fiscal day, with the simulator keeping
// its own fiscal day: the night after a Z reduction, the first document of the
// next day, the refreshes in between, a session opened after the reduction,
// a day left open past midnight and the turn of the year.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/capture_day.h"

namespace moldrin::capture {
namespace {

using Strings = std::vector<std::string>;

const std::string kItem = "\x1B.0178912345600120002000000002190000000004380ARROZ TIPO 1 5KG        T01}";
const std::string kPayment = "\x1B.1001000000004380}";

class DayChange : public CaptureDay {
protected:
    void SetUp() override {
        CaptureDay::SetUp();
        printer->EditState([](sim::PrinterState& s) { s.keepsFiscalDay = true; });
    }

    // The printer's clock and the computer's, agreeing.
    void At(int year, int month, int day, int hour, int minute = 0) {
        char clockText[64];
        std::snprintf(clockText, sizeof clockText, "%02d%02d%02d%02d%02d", day, month, year - 2000, hour, minute);
        printer->EditState([&](sim::PrinterState& s) { s.clock = clockText; });
        clock.SetDate(year, month, day, hour, minute);
    }

    void Expect(const std::string& command, const std::string& reply, int written = 0) {
        EXPECT_EQ(Write(command), written) << command;
        EXPECT_EQ(Read(), reply) << command;
    }
    // One coupon of one item, paid and closed.
    void Sale() {
        Expect(kItem, ".+0002}");
        Expect(kPayment, ".+0010}");
        Expect("\x1B.06}", ".+0006}");
    }

    // The fiscal dates shown by the status-1 replies recorded in a day's file.
    Strings Status1Dates(int day, int month = 12, int year = 2026) {
        Strings dates;
        for (const auto& t : Recorded(day, month, year))
            if (t.compare(0, 6, "\x1B.271|") == 0 && t.size() >= 19) dates.push_back(t.substr(13, 6));
        return dates;
    }
    bool FileExists(int day, int month = 12, int year = 2026) {
        char name[64];
        RfdFileName(name, sizeof name, day, month, year);
        return root.Exists(name);
    }
};

// After the reduction and past midnight, until the next day's first document,
// the printer shows the closed day: what the capture records meanwhile stays
// in that day's file, and no file of the next day begins.
TEST_F(DayChange, TheNightAfterAReductionStaysWithTheClosedDay) {
    At(2026, 12, 9, 18);
    Open();
    Sale();
    Expect("\x1B.14}", ".+0001}");
    At(2026, 12, 10, 0, 30);
    Expect("\x1B.13}", ".+0013}");  // an X reading opens no day
    ASSERT_EQ(Write("\x1B.291}"), 0);
    Read();
    ASSERT_EQ(ECFClose(), 0);

    EXPECT_FALSE(FileExists(10));
    const Strings commands = RecordedCommands(9);
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(Strings(commands.end() - 2, commands.end()), (Strings{"\x1B.13}", "\x1B.00.+0013}"}));
    for (const auto& date : Status1Dates(9)) EXPECT_EQ(date, "091226");
}

// The first sale of the next day, its reply and the status that shows the
// new fiscal date begin that day's file, and the closed day's file holds
// nothing of the new day; the refresh that follows stays in the new file.
TEST_F(DayChange, TheFirstSaleOfTheNextDayStartsItsFile) {
    At(2026, 12, 9, 18);
    Open();
    Sale();
    Expect("\x1B.14}", ".+0001}");
    At(2026, 12, 10, 8, 5);
    Expect(kItem, ".+0002}");

    // Its status read at once: nothing waits for a later command or the worker.
    Locked([] {
        EXPECT_FALSE(g_capture.pendingStatus1);
        EXPECT_STREQ(g_capture.fiscalDate.data(), "101226");
    });
    ASSERT_EQ(ECFClose(), 0);
    const Strings day10 = Recorded(10);
    ASSERT_GE(day10.size(), 3u);
    EXPECT_EQ(day10[0], kItem);
    EXPECT_EQ(day10[1], "\x1B.00.+0002}");
    EXPECT_EQ(day10[2].substr(0, 6), "\x1B.271|");
    EXPECT_EQ(day10[2].substr(13, 6), "101226");
    for (const auto& date : Status1Dates(9)) EXPECT_EQ(date, "091226");
    const Strings day9 = RecordedCommands(9);
    EXPECT_EQ(day9.back(), "\x1B.00.+0001}") << "the reduction's reply is the closed day's last command";

    // The next command refreshes everything for the new day, into its file.
    Open();
    Expect(kPayment, ".+0010}");
    ASSERT_EQ(ECFClose(), 0);
    for (const auto& date : Status1Dates(10)) EXPECT_EQ(date, "101226");
    EXPECT_EQ(RecordedCommands(10).back(), "\x1B.00.+0010}");
    EXPECT_FALSE(FileExists(11));
}

// A computer's clock a few minutes behind the printer's at midnight: the
// first sale opens the printer's new day, and the day's file is named by the
// printer's clock, which that document carries, not by the computer's.
TEST_F(DayChange, TheFirstSaleGoesToThePrintersNewDayWhenTheComputerLags) {
    At(2026, 12, 9, 18);
    Open();
    Sale();
    Expect("\x1B.14}", ".+0001}");
    At(2026, 12, 10, 0, 5);
    clock.SetDate(2026, 12, 9, 23, 58);
    Expect("\x1B.13}", ".+0013}");  // the printer's clock read after it
    Expect(kItem, ".+0002}");
    ASSERT_EQ(ECFClose(), 0);

    const Strings day10 = Recorded(10);
    ASSERT_GE(day10.size(), 2u) << "the new day's first sale went to another file";
    EXPECT_EQ(day10[0], kItem);
    EXPECT_EQ(day10[1], "\x1B.00.+0002}");
    EXPECT_EQ(RecordedCommands(9).back(), "\x1B.00.+0013}");
}

// The processing of the closed day empties what the capture knew, fiscal
// date included; the refresh that follows, after midnight, begins before it
// reads the printer's date again, and its records go on in the file in use.
TEST_F(DayChange, ARefreshAfterTheReductionKeepsTheFileInUse) {
    At(2026, 12, 9, 18);
    Open();
    Sale();
    Expect("\x1B.14}", ".+0001}");
    Locked([] { ResetCaptureState(); });  // as the generation's run leaves it
    At(2026, 12, 10, 0, 30);
    ASSERT_EQ(Write("\x1B.291}"), 0);
    Read();
    ASSERT_EQ(ECFClose(), 0);
    EXPECT_FALSE(FileExists(10));
    const Strings day9 = Recorded(9);
    const auto closing = std::find(day9.begin(), day9.end(), "\x1B.00.+0001}");
    ASSERT_NE(closing, day9.end());
    EXPECT_NE(std::find_if(closing, day9.end(), [](const std::string& t) { return t.compare(0, 6, "\x1B.273|") == 0; }),
              day9.end())
        << "the refresh's first query";
}

// A session opened the morning after the reduction did not see it go: the
// printer's status 28 tells that its last command was the reduction. A day
// left open instead keeps its file for the refused sale and the reduction.
TEST_F(DayChange, ASessionOpenedAfterTheReductionKnowsTheDayIsClosed) {
    At(2026, 12, 9, 18);
    Open();
    Sale();
    Expect("\x1B.14}", ".+0001}");
    ASSERT_EQ(ECFClose(), 0);

    At(2026, 12, 10, 8);
    Open();
    Sale();
    ASSERT_EQ(ECFClose(), 0);
    EXPECT_EQ(RecordedCommands(10).front(), kItem);
    EXPECT_EQ(RecordedCommands(9).back(), "\x1B.00.+0001}");

    // The 10th is left open; the next morning's session finds the sale refused.
    At(2026, 12, 11, 8);
    Open();
    Expect(kItem, ".-0020}", -1);
    Expect("\x1B.14}", ".+0001}");
    ASSERT_EQ(ECFClose(), 0);
    EXPECT_TRUE(RecordedCommands(11).empty());
    EXPECT_TRUE(Status1Dates(11).empty());
    const Strings day10 = RecordedCommands(10);
    ASSERT_GE(day10.size(), 4u);
    EXPECT_EQ(Strings(day10.end() - 4, day10.end()),
              (Strings{kItem, "\x1B.00.-0020}", "\x1B.14}", "\x1B.00.+0001}"}));
}

// A fiscal day of 31 December closed on 1 January keeps its year in the
// file's name; the new year's first sale starts the new year's file.
TEST_F(DayChange, TheLastDayOfTheYearClosedInTheNextYear) {
    printer->EditState([](sim::PrinterState& s) { s.fiscalDate = "301226"; });
    At(2026, 12, 31, 18);
    Open();
    Sale();
    At(2027, 1, 1, 0, 20);
    Expect(kItem, ".-0020}", -1);
    Expect("\x1B.14}", ".+0001}");
    At(2027, 1, 1, 9);
    Expect(kItem, ".+0002}");
    ASSERT_EQ(ECFClose(), 0);

    EXPECT_FALSE(FileExists(31, 12, 2027));
    const Strings closing = RecordedCommands(31, 12, 2026);
    ASSERT_GE(closing.size(), 2u);
    EXPECT_EQ(closing.back(), "\x1B.00.+0001}");
    for (const auto& date : Status1Dates(31, 12, 2026)) EXPECT_EQ(date, "311226");
    EXPECT_EQ(RecordedCommands(1, 1, 2027), (Strings{kItem, "\x1B.00.+0002}"}));
    EXPECT_EQ(Status1Dates(1, 1, 2027).front(), "010127");
}

}  // namespace
}  // namespace moldrin::capture
