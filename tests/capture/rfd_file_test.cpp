// The day's RFD file: names, the written record, the clock warning, the write
// errors, and reading records back (whole, damaged, across blocks).
#include <gtest/gtest.h>

#include <atomic>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/capture_state.h"
#include "store/rfd_codec.h"
#include "store/rfd_file.h"
#include "store/rfd_reader.h"
#include "support/fault_files.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "support/fake_clock.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::capture {
namespace {

const char kMarch5[] = "c:\\TALMA\\RFD\\RFD-05-Mar\xE7o-2008.bin";

class RfdFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_capture = CaptureData{};
        clock.SetDate(2008, 3, 5, 10, 20, 30);
        clock.Advance(400);
    }
    void TearDown() override { g_capture = CaptureData{}; }

    // Every record of a capture file, decoded.
    std::vector<std::string> ReadAll(const char* path, int* bad = nullptr) {
        std::vector<std::string> lines;
        auto h = log::FileOpenRead(path);
        if (h == log::kInvalidFile) return lines;
        std::array<char, kRfdRecordBuffer> record{};
        int n = RfdReadRecord(0, h, record.data(), record.size());
        while (n > 0) {
            std::array<char, kRfdLineBuffer> line{};
            if (RfdDecodeRecord(line, {record.data(), static_cast<std::size_t>(n)}) > 0) lines.push_back(line.data());
            else if (bad) ++*bad;
            n = RfdReadRecord(1, h, record.data(), record.size());
        }
        log::FileClose(h);
        return lines;
    }

    testing::ScratchRoot root;
    testing::FakeClock clock;
    testing::RecordingOperator op;
};

TEST_F(RfdFileTest, WritesTheWorkedExampleRecord) {
    ASSERT_EQ(RfdWriteLine("\x1B.00.+0000}"), 1);
    const std::string stored = root.Read(kMarch5);
    ASSERT_EQ(stored.size(), 52u);
    EXPECT_EQ(stored.substr(0, 6), "\x87\x0B\x85\x0C\xFB\x7E");
    EXPECT_EQ(stored.back(), '\x04');
    EXPECT_EQ(ReadAll(kMarch5), std::vector<std::string>{"05/03/2008 10:20:30.400 <1B93> = \x1B.00.+0000}\r\n"});
    EXPECT_TRUE(op.shown().empty());
}

TEST_F(RfdFileTest, FileNames) {
    struct Case {
        const char* fiscalDate;
        int year, month, day;
        const char* name;
    } cases[] = {
        {"", 2008, 3, 5, kMarch5},                                              // no fiscal date: the computer's
        {"050308", 2008, 3, 5, kMarch5},                                        // same day
        {"311208", 2009, 1, 1, "c:\\TALMA\\RFD\\RFD-31-Dezembro-2008.bin"},    // a day left open over new year
        {"100308", 2008, 4, 10, "c:\\TALMA\\RFD\\RFD-10-Mar\xE7o-2008.bin"},   // same day of another month
        {"001208", 2009, 1, 1, "c:\\TALMA\\RFD\\RFD-01-Janeiro-2009.bin"},     // day 0 is no day
        {"321208", 2009, 1, 1, "c:\\TALMA\\RFD\\RFD-01-Janeiro-2009.bin"},     // nor is day 32
        {"311308", 2009, 1, 1, "c:\\TALMA\\RFD\\RFD-01-Janeiro-2009.bin"},     // month 13 names nothing
        {"040208", 2008, 3, 5, "c:\\TALMA\\RFD\\RFD-04-Fevereiro-2008.bin"},
    };
    for (const auto& c : cases) {
        CopyText(g_capture.fiscalDate, c.fiscalDate);
        char name[64];
        ASSERT_TRUE(RfdCurrentFileName(name, sizeof name, {c.year, c.month, c.day, 10, 0, 0, 0, 0}));
        EXPECT_STREQ(name, c.name) << c.fiscalDate;
    }
    const char* months[] = {"Janeiro", "Fevereiro", CP1252("Março"), "Abril", "Maio", "Junho",
                            "Julho", "Agosto", "Setembro", "Outubro", "Novembro", "Dezembro"};
    for (int m = 1; m <= 12; ++m) EXPECT_STREQ(MonthName(m), months[m - 1]);
    EXPECT_EQ(MonthName(0), nullptr);
    EXPECT_EQ(MonthName(13), nullptr);
}

// Around a change of fiscal day: the file in use stays while the fiscal date
// is unknown, and the document that opens the day after a closed one starts
// the new day's file while the printer still shows the closed day.
TEST_F(RfdFileTest, FileNamesAroundAChangeOfDay) {
    const char* kMarch4 = "c:\\TALMA\\RFD\\RFD-04-Mar\xE7o-2008.bin";
    const char* kMarch6 = "c:\\TALMA\\RFD\\RFD-06-Mar\xE7o-2008.bin";
    struct Case {
        const char* what;
        const char* fiscalDate;
        CalendarDay fileDay;
        const char* closedDate;
        bool opening;
        const char* name;
    } cases[] = {
        {"no fiscal date, a file in use", "", {4, 3, 2008}, "", false, kMarch4},
        {"a fiscal date names it all the same", "060308", {4, 3, 2008}, "", false, kMarch6},
        {"closed day, its status records", "040308", {}, "040308", false, kMarch4},
        {"closed day, the opening document", "040308", {}, "040308", true, kMarch5},
        {"open day past midnight, a document", "040308", {}, "030308", true, kMarch4},
        {"closed today, a document refused tonight", "050308", {}, "050308", true, kMarch5},
        {"computer's clock behind the closed day", "060308", {}, "060308", true, kMarch6},
    };
    for (const auto& c : cases) {
        CopyText(g_capture.fiscalDate, c.fiscalDate);
        g_capture.fileDay = c.fileDay;
        CopyText(g_capture.closedDate, c.closedDate);
        g_capture.openingDay = c.opening;
        ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1) << c.what;
        EXPECT_EQ(ReadAll(c.name).size(), 1u) << c.what;
        root.Write(c.name, "");
    }
    // The day written last is the file in use.
    g_capture.fiscalDate[0] = 0;
    g_capture.openingDay = false;
    g_capture.fileDay = {};
    ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
    EXPECT_EQ(g_capture.fileDay.day, 5);
    CopyText(g_capture.fiscalDate, "311207");
    ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
    EXPECT_EQ(g_capture.fileDay.year, 2007);
    EXPECT_EQ(ReadAll("c:\\TALMA\\RFD\\RFD-31-Dezembro-2007.bin").size(), 1u);
}

TEST_F(RfdFileTest, AppendsRecordsAndReadsThemBackInOrder) {
    std::vector<std::string> texts;
    for (int i = 0; i < 300; ++i) {  // several blocks of the reader
        texts.push_back("\x1B.01" + std::to_string(i) + std::string(i % 97, 'a' + i % 26) + "}");
        ASSERT_EQ(RfdWriteLine(texts.back().c_str()), 1);
        clock.Advance(1234);
    }
    const auto lines = ReadAll(kMarch5);
    ASSERT_EQ(lines.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(lines[i].substr(33), texts[i] + "\r\n");
}

TEST_F(RfdFileTest, ClockWarningOncePerCommandWhenBothClocksDisagree) {
    clock.SetDate(2008, 3, 6, 9, 5, 7);
    CopyText(g_capture.fiscalDate, "050308");
    CopyText(g_capture.printerClock, "050308183000");
    g_capture.printerClockReadAt = platform::Now();
    ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
    ASSERT_EQ(RfdWriteLine("\x1B.02}"), 1);
    auto shown = op.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "ERRO RELOGIO DO COMPUTADOR ???");
    EXPECT_EQ(shown[0].text, CP1252("relógio PC  =  6/03/2008    09:05:07\r\n"
                                    "relógio ECF = 05/03/2008    18:30:00\r\n"
                                    "ECF data fiscal  =  05/03/2008\r\n"));
    // The records still went to the fiscal day's file.
    EXPECT_EQ(ReadAll(kMarch5).size(), 2u);

    // No warning when either clock agrees, at printer hour 00, or at computer hour 0.
    struct Case {
        const char* fiscal;
        const char* printer;
        int hour;
    } quiet[] = {{"060308", "050308183000", 9}, {"050308", "060308183000", 9},
                 {"050308", "050308003000", 9}, {"050308", "050308183000", 0},
                 {"", "050308183000", 9},       {"050308", "", 9}};
    for (const auto& c : quiet) {
        op.clear();
        g_capture.clockMessageShown = false;
        clock.SetDate(2008, 3, 6, c.hour, 5, 7);
        CopyText(g_capture.fiscalDate, c.fiscal);
        CopyText(g_capture.printerClock, c.printer);
        g_capture.printerClockReadAt = platform::Now();
        ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
        EXPECT_TRUE(op.shown().empty()) << c.fiscal << " " << c.printer << " " << c.hour;
    }
}

// The printer's clock tells about the computer's only when both were read
// together: one read before a quiet night disagrees with every morning.
TEST_F(RfdFileTest, ClockWarningOnlyAgainstAPrinterClockReadLately) {
    CopyText(g_capture.fiscalDate, "050308");
    CopyText(g_capture.printerClock, "050308183000");
    struct Case {
        platform::LocalTime read;
        bool warns;
    } cases[] = {
        {{2008, 3, 6, 9, 0, 0, 0, 0}, true},     // five minutes ago
        {{2008, 3, 6, 8, 55, 7, 0, 0}, true},    // ten
        {{2008, 3, 6, 8, 54, 0, 0, 0}, false},   // eleven
        {{2008, 3, 5, 18, 30, 0, 0, 0}, false},  // last evening
        {{2008, 2, 29, 9, 5, 0, 0, 0}, false},   // the same time a week ago
        {{2008, 3, 6, 9, 30, 0, 0, 0}, false},   // later than now: the computer's clock went back
        {{}, false},                             // never
    };
    for (const auto& c : cases) {
        op.clear();
        g_capture.clockMessageShown = false;
        clock.SetDate(2008, 3, 6, 9, 5, 7);
        g_capture.printerClockReadAt = c.read;
        ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
        EXPECT_EQ(op.shown().size(), c.warns ? 1u : 0u) << c.read.day << " " << c.read.hour << ":" << c.read.minute;
    }
}

TEST_F(RfdFileTest, TooLongTextIsRefusedWholeWithTheWriteError) {
    std::string text = "\x1B.01" + std::string(471, 'x') + "}";  // 476 characters: a 511-character line
    EXPECT_EQ(RfdWriteLine(text.c_str()), -1);
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{CP1252("ERRO de gravação RFD: ") + std::string(kMarch5)});
    EXPECT_EQ(root.Read(kMarch5), "");
    op.clear();
    text.erase(5, 1);  // 475: fits exactly
    EXPECT_EQ(RfdWriteLine(text.c_str()), 1);
    EXPECT_EQ(ReadAll(kMarch5).size(), 1u);
    // Far longer texts are refused the same way, never stored cut.
    EXPECT_EQ(RfdWriteLine(std::string(5000, 'y').c_str()), -1);
    EXPECT_EQ(ReadAll(kMarch5).size(), 1u);
}

TEST_F(RfdFileTest, FileErrorsReachTheOperator) {
    // A file where the directory should be: nothing can be created.
    root.Write("c:\\TALMA", "not a directory");
    EXPECT_EQ(RfdWriteLine("\x1B.01}"), -1);
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{"ERRO ao abrir RFD: " + std::string(kMarch5)});
}

TEST_F(RfdFileTest, AnExistingFileThatCannotBeWrittenIsKept) {
    ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
    const std::string before = root.Read(kMarch5);
    testing::FaultFiles files;
    files.refuseWriteOpens = true;
    EXPECT_EQ(RfdWriteLine("\x1B.02}"), -1);
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{"ERRO ao abrir RFD: " + std::string(kMarch5)});
    EXPECT_EQ(root.Read(kMarch5), before);
}

TEST_F(RfdFileTest, AnExistingFileThatCannotBeOpenedAtAllIsKept) {
    ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
    const std::string before = root.Read(kMarch5);
    // Another opener holds it unshared: neither appending nor reading is allowed.
    const log::FileHandle holder = log::FileOpenMode(kMarch5, 2);
    ASSERT_NE(holder, log::kInvalidFile);
    EXPECT_EQ(RfdWriteLine("\x1B.02}"), -1);
    log::FileClose(holder);
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{"ERRO ao abrir RFD: " + std::string(kMarch5)});
    EXPECT_EQ(root.Read(kMarch5), before);
    EXPECT_EQ(ReadAll(kMarch5).size(), 1u);

    // A link in the file's place is neither written through nor removed.
    op.clear();
    const std::string outside = root.path() + "/outside.bin";
    std::ofstream(outside) << "elsewhere";
    const std::string linked = "c:\\TALMA\\RFD\\RFD-06-Mar\xE7o-2008.bin";
    std::filesystem::create_symlink(outside, root.Host(linked.c_str()));
    clock.SetDate(2008, 3, 6, 10, 0, 0);
    CopyText(g_capture.fiscalDate, "060308");
    EXPECT_EQ(RfdWriteLine("\x1B.03}"), -1);
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{"ERRO ao abrir RFD: " + linked});
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(root.Host(linked.c_str()))));
    std::ifstream in(outside);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "elsewhere");
}

TEST_F(RfdFileTest, WriteFlushAndCloseFailures) {
    testing::FaultFiles files;
    // A failed flush matters only where a flush is asked for: a command's record.
    struct Case {
        std::atomic<bool>* flag;
        int (*write)(const char*);
        int result;
        std::vector<std::string> messages;
    } cases[] = {{&files.shortWrite, RfdWriteLine, 1, {CP1252("ERRO de gravação RFD: ") + std::string(kMarch5)}},
                 {&files.shortWrite, RfdWriteCommand, -1, {CP1252("ERRO de gravação RFD: ") + std::string(kMarch5)}},
                 {&files.failFlush, RfdWriteCommand, -1, {CP1252("ERRO de gravação RFD: ") + std::string(kMarch5)}},
                 {&files.failFlush, RfdWriteLine, 1, {}},
                 {&files.failClose, RfdWriteLine, -1, {"ERRO no Fechamento do Arquivo RFD: " + std::string(kMarch5)}},
                 {&files.failClose, RfdWriteCommand, -1, {"ERRO no Fechamento do Arquivo RFD: " + std::string(kMarch5)}}};
    for (auto& c : cases) {
        op.clear();
        *c.flag = true;
        EXPECT_EQ(c.write("\x1B.01}"), c.result) << &c - cases;
        *c.flag = false;
        EXPECT_EQ(op.texts("message"), c.messages) << &c - cases;
        RfdFlush();
    }
}

// A disk with no room left for a reply or a status record: the record is held
// (the operator told once), the command after it is not sent while even the
// held ones find no room, and once there is room every record is in the file
// in its order, whole, with no part of a cut write left in it.
TEST_F(RfdFileTest, RecordsTheDiskHadNoRoomForGoInLaterInTheirOrder) {
    testing::FaultFiles files;
    files.OnlyFor(kMarch5);
    ASSERT_EQ(RfdWriteCommand("\x1B.01}"), 1);
    files.spaceLeft = 7;
    EXPECT_EQ(RfdWriteLine("\x1B.00.+0002}"), 1);
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{CP1252("ERRO de gravação RFD: ") + std::string(kMarch5)});
    EXPECT_EQ(RfdWriteLine("\x1B.271|.+C0001}"), 1);
    EXPECT_EQ(RfdWriteCommand("\x1B.10}"), -1) << "a command whose records find no room is not sent";
    int bad = 0;
    EXPECT_EQ(ReadAll(kMarch5, &bad).size(), 1u);
    EXPECT_EQ(bad, 0);
    files.spaceLeft = -1;
    EXPECT_EQ(RfdWriteCommand("\x1B.10}"), 1);
    const auto lines = ReadAll(kMarch5, &bad);
    EXPECT_EQ(bad, 0);
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(l.substr(33, l.size() - 35));
    EXPECT_EQ(texts, (std::vector<std::string>{"\x1B.01}", "\x1B.00.+0002}", "\x1B.271|.+C0001}", "\x1B.10}"}));

    // Held at the session's end: the stop's flush brings them in.
    files.spaceLeft = 0;
    EXPECT_EQ(RfdWriteLine("\x1B.00.+0010}"), 1);
    EXPECT_EQ(RfdFlush(), -1);
    files.spaceLeft = -1;
    EXPECT_EQ(RfdFlush(), 1);
    EXPECT_EQ(ReadAll(kMarch5, &bad).size(), 5u);
    EXPECT_EQ(bad, 0);
}

// A command's record is on disk before the command goes out, and with it every
// record written before it; the others (replies, status) reach the system at
// once and the disk with the next command, at RfdFlush or once idle.
TEST_F(RfdFileTest, OneFlushPerCommandCoversTheRecordsBeforeIt) {
    testing::FaultFiles files;
    ASSERT_EQ(RfdFlush(), 1);
    ASSERT_EQ(RfdWriteLine("\x1B.00.+0000}"), 1);
    char query[] = "\x1B.271}";
    char reply[200] = ".+C0001}";
    ASSERT_EQ(RfdRecordQuery(query, reply), 1);
    EXPECT_EQ(files.flushes, 0);
    EXPECT_EQ(ReadAll(kMarch5).size(), 2u);  // written all the same, for a kill to find

    ASSERT_EQ(RfdWriteCommand("\x1B.06}"), 1);
    EXPECT_EQ(files.flushes, 1);
    EXPECT_EQ(RfdFlush(), 1);  // nothing left waiting
    EXPECT_EQ(files.flushes, 1);

    // Waiting records go to the disk when asked, or after the idle time.
    ASSERT_EQ(RfdWriteLine("\x1B.00.+0000}"), 1);
    EXPECT_EQ(RfdFlush(), 1);
    EXPECT_EQ(files.flushes, 2);
    ASSERT_EQ(RfdWriteLine("\x1B.00.+0000}"), 1);
    EXPECT_EQ(RfdFlushIdle(1000), 1);
    EXPECT_EQ(files.flushes, 2);
    clock.Advance(999);
    RfdFlushIdle(1000);
    EXPECT_EQ(files.flushes, 2);
    clock.Advance(1);
    EXPECT_EQ(RfdFlushIdle(1000), 1);
    EXPECT_EQ(files.flushes, 3);

    // A record of the next day's file: the day before's waiting records reach
    // the disk first, then the command's own file.
    ASSERT_EQ(RfdWriteLine("\x1B.00.+0000}"), 1);
    clock.SetDate(2008, 3, 6, 10, 0, 0);
    CopyText(g_capture.fiscalDate, "060308");
    files.OnlyFor(kMarch5);
    ASSERT_EQ(RfdWriteCommand("\x1B.06}"), 1);
    EXPECT_EQ(files.flushes, 4);
    files.OnlyFor("");
    EXPECT_EQ(RfdFlush(), 1);
    EXPECT_EQ(files.flushes, 4);
    EXPECT_EQ(ReadAll(kMarch5).size(), 6u);
    EXPECT_TRUE(op.shown().empty());
}

// A flush that fails keeps the command from the printer, and what it was to
// cover waits for the next flush.
TEST_F(RfdFileTest, AFailedFlushLeavesTheRecordsWaiting) {
    testing::FaultFiles files;
    ASSERT_EQ(RfdFlush(), 1);
    ASSERT_EQ(RfdWriteLine("\x1B.00.+0000}"), 1);
    files.failFlush = true;
    EXPECT_EQ(RfdWriteCommand("\x1B.06}"), -1);
    files.failFlush = false;
    const int before = files.flushes;
    EXPECT_EQ(RfdFlush(), 1);
    EXPECT_EQ(files.flushes, before + 1);
    // A flush of waiting records that fails is told, and not asked again.
    ASSERT_EQ(RfdWriteLine("\x1B.00.+0000}"), 1);
    op.clear();
    files.failFlush = true;
    EXPECT_EQ(RfdFlush(), -1);
    files.failFlush = false;
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{CP1252("ERRO de gravação RFD: ") + std::string(kMarch5)});
    EXPECT_EQ(RfdFlush(), 1);
    EXPECT_EQ(files.flushes, before + 2);
}

TEST_F(RfdFileTest, RecordQueryJoinsQueryAndReply) {
    char query[] = "\x1B.271}";
    char reply[200];
    std::memset(reply, 'r', sizeof reply);
    reply[0] = '.';
    reply[199] = 0;
    ASSERT_EQ(RfdRecordQuery(query, reply), 1);
    EXPECT_STREQ(query, "\x1B.271|");
    EXPECT_EQ(std::strlen(reply), 128u);
    const auto lines = ReadAll(kMarch5);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(33), std::string("\x1B.271|") + reply + "\r\n");
    // The check value covers query and reply as one text.
    const uint32_t seed = 400u * 20u * 30u * 5u;
    char expected[8];
    std::snprintf(expected, sizeof expected, "%04X", RfdLineChecksum((std::string("\x1B.271|") + reply).c_str(), seed));
    EXPECT_EQ(lines[0].substr(25, 4), expected);
    char empty[] = "";
    EXPECT_EQ(RfdRecordQuery(empty, reply), 0);
}

TEST(CompareDdmmyy, ComparesYearThenMonthThenDay) {
    EXPECT_EQ(CompareDdmmyy("050308", "050308"), 0);
    EXPECT_EQ(CompareDdmmyy("310307", "010108"), -1);
    EXPECT_EQ(CompareDdmmyy("010408", "310308"), 1);
    EXPECT_EQ(CompareDdmmyy("020308", "010308"), 1);
}

TEST(MakeDirectoryPath, CreatesEveryLevelAndStopsAtLongComponents) {
    testing::ScratchRoot root;
    MakeDirectoryPath("c:\\TALMA\\RFD");
    EXPECT_TRUE(platform::Files().IsDirectory("c:\\TALMA\\RFD"));
    MakeDirectoryPath("c:\\TALMA\\RFD");  // existing directories are fine
    MakeDirectoryPath("c:\\a\\b\\c\\");
    EXPECT_TRUE(platform::Files().IsDirectory("c:\\a\\b\\c"));
    MakeDirectoryPath(("c:\\x\\" + std::string(129, 'y') + "\\z").c_str());
    EXPECT_TRUE(platform::Files().IsDirectory("c:\\x"));
    EXPECT_FALSE(root.Exists(("c:\\x\\" + std::string(129, 'y')).c_str()));
}

}  // namespace
}  // namespace moldrin::capture
