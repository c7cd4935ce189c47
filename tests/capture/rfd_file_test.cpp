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

#include "capture/capture_state.h"
#include "capture/rfd_codec.h"
#include "capture/rfd_file.h"
#include "capture/rfd_reader.h"
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
        {"", 2008, 3, 5, kMarch5},                                            // no fiscal date: the computer's
        {"050308", 2008, 3, 5, kMarch5},                                      // same day
        {"311208", 2009, 1, 1, "c:\\TALMA\\RFD\\RFD-31-Dezembro-2009.bin"},  // fiscal day, computer's year
        {"001208", 2009, 1, 1, "c:\\TALMA\\RFD\\RFD-01-Janeiro-2009.bin"},   // day 0 is no day
        {"311308", 2009, 1, 1, "c:\\TALMA\\RFD\\RFD-01-Janeiro-2009.bin"},   // month 13 names nothing
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
        ASSERT_EQ(RfdWriteLine("\x1B.01}"), 1);
        EXPECT_TRUE(op.shown().empty()) << c.fiscal << " " << c.printer << " " << c.hour;
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
    EXPECT_EQ(RfdWriteLine("\x1B.03}"), -1);
    EXPECT_EQ(op.texts("message"), std::vector<std::string>{"ERRO ao abrir RFD: " + linked});
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(root.Host(linked.c_str()))));
    std::ifstream in(outside);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "elsewhere");
}

TEST_F(RfdFileTest, WriteFlushAndCloseFailures) {
    testing::FaultFiles files;
    struct Case {
        std::atomic<bool>* flag;
        int result;
        std::string message;
    } cases[] = {{&files.shortWrite, -1, CP1252("ERRO de gravação RFD: ")},
                 {&files.failFlush, -1, CP1252("ERRO de gravação RFD: ")},
                 {&files.failClose, -1, "ERRO no Fechamento do Arquivo RFD: "}};
    for (auto& c : cases) {
        op.clear();
        *c.flag = true;
        EXPECT_EQ(RfdWriteLine("\x1B.01}"), c.result);
        *c.flag = false;
        EXPECT_EQ(op.texts("message"), std::vector<std::string>{c.message + kMarch5});
    }
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
