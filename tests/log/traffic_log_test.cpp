#include "log/traffic_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "session/session_state.h"
#include "log/text.h"
#include "support/fake_clock.h"
#include "support/fault_files.h"
#include "support/library_state.h"
#include "support/log_reader.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::log {
namespace {

using ::testing::ElementsAre;

class TrafficLog : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetLibraryState();
        clock.SetDate(2026, 12, 9, 9, 5, 3);  // a Wednesday
        g_session.PortIndex = 1;
    }
    void TearDown() override { testing::ResetLibraryState(); }

    testing::ScratchRoot root;
    testing::FakeClock clock;
    testing::RecordingOperator op;
    testing::FaultFiles files;
};

constexpr char kWednesdayCom2[] = "c:\\TEMP\\ECF-quarta.CM2";

TEST_F(TrafficLog, NewFileGetsTheStampedLineAndNoNote) {
    clock.SetDate(2026, 12, 4, 9, 5, 3);
    EXPECT_EQ(LogSerial("hello"), 0);
    EXPECT_STREQ(g_session.LogPath.data(), "c:\\TEMP\\ECF-sexta.CM2");
    EXPECT_EQ(root.Read("c:\\TEMP\\ECF-sexta.CM2"), "\r\n04/12/2026 09:05:03 == hello");
    clock.Advance(61000);
    EXPECT_EQ(LogSerial("\x1B.23}"), 0);
    EXPECT_EQ(root.Read("c:\\TEMP\\ECF-sexta.CM2"),
              "\r\n04/12/2026 09:05:03 == hello\r\n04/12/2026 09:06:04 == \x1B.23}");
    EXPECT_TRUE(op.shown().empty());
}

TEST_F(TrafficLog, FileNameFollowsWeekdayAndPort) {
    struct Case {
        int day;  // December 2026: the 6th is a Sunday
        int32_t port;
        const char* path;
    };
    const Case cases[] = {
        {6, 0, "c:\\TEMP\\ECF-domingo.CM1"},  {7, 1, "c:\\TEMP\\ECF-segunda.CM2"},
        {8, 8, "c:\\TEMP\\ECF-terca.CM9"},    {9, 9, "c:\\TEMP\\ECF-quarta.CMA"},
        {10, 13, "c:\\TEMP\\ECF-quinta.CME"}, {11, 14, "c:\\TEMP\\ECF-sexta.CMF"},
        {12, 15, "c:\\TEMP\\ECF-sabado.CMF"}, {13, -1, "c:\\TEMP\\ECF-domingo.CMF"},
    };
    for (const Case& c : cases) {
        clock.SetDate(2026, 12, c.day);
        g_session.PortIndex = c.port;
        EXPECT_EQ(LogSerial("x"), 0);
        EXPECT_STREQ(g_session.LogPath.data(), c.path);
        EXPECT_TRUE(root.Exists(c.path)) << c.path;
    }
}

TEST_F(TrafficLog, LogModeZeroTouchesNothing) {
    g_session.LogMode = 0;
    SetText(g_session.LogPath, "before");
    int opensBefore = files.opens;
    EXPECT_EQ(LogSerial("x"), 0);
    EXPECT_EQ(files.opens, opensBefore);
    EXPECT_STREQ(g_session.LogPath.data(), "before");
    EXPECT_FALSE(root.Exists("c:\\TEMP"));
}

TEST_F(TrafficLog, WeeklyRuleRenewsAFileNotCreatedToday) {
    g_session.LogMode = 1;
    root.Write(kWednesdayCom2, "\r\n02/12/2026 10:00:00 == last week");
    files.SetCreationTime(platform::LocalTime{2026, 12, 2, 10, 0, 0, 0, 3});
    EXPECT_EQ(LogSerial("new week"), 0);
    EXPECT_EQ(root.Read(kWednesdayCom2), "Log da semana passada apagado\r\n09/12/2026 09:05:03 == new week");

    files.SetCreationTime(platform::LocalTime{2026, 12, 9, 9, 5, 3, 0, 3});
    EXPECT_EQ(LogSerial("same day"), 0);
    EXPECT_THAT(testing::LogLines(root, kWednesdayCom2), ElementsAre("new week", "same day"));
}

TEST_F(TrafficLog, WithoutCreationTimeTheFirstStampedLineDatesTheFile) {
    g_session.LogMode = 1;
    files.SetCreationTime(std::nullopt);
    root.Write(kWednesdayCom2, "\r\n09/12/2026 08:00:00 == earlier today");
    EXPECT_EQ(LogSerial("kept"), 0);
    EXPECT_THAT(testing::LogLines(root, kWednesdayCom2), ElementsAre("earlier today", "kept"));

    // A renewed file starts with its note; the date of the line after it counts.
    root.Write(kWednesdayCom2, "Log da semana passada apagado\r\n02/12/2026 23:59:59 == a week ago");
    EXPECT_EQ(LogSerial("renewed"), 0);
    EXPECT_EQ(root.Read(kWednesdayCom2), "Log da semana passada apagado\r\n09/12/2026 09:05:03 == renewed");

    // Midnight: the same file name a week later is renewed at its first line of the new day.
    clock.SetDate(2026, 12, 16, 0, 0, 1);
    EXPECT_EQ(LogSerial("next week"), 0);
    EXPECT_EQ(root.Read(kWednesdayCom2), "Log da semana passada apagado\r\n16/12/2026 00:00:01 == next week");
}

TEST_F(TrafficLog, SizeRuleRenewsAtTheLimit) {
    g_session.LogMode = 500;
    root.Write(kWednesdayCom2, std::string(500 * 1024 - 1, 'a'));
    EXPECT_EQ(LogSerial("grows past"), 0);
    EXPECT_EQ(root.Read(kWednesdayCom2).size(), 500u * 1024 - 1 + 23 + 2 + 10);

    root.Write(kWednesdayCom2, std::string(500 * 1024, 'a'));
    EXPECT_EQ(LogSerial("after limit"), 0);
    EXPECT_EQ(root.Read(kWednesdayCom2),
              "Log apagado porque excedeu tamanho limite = 500 K\r\n09/12/2026 09:05:03 == after limit");

    // The size rule never looks at the age, nor the weekly rule at the size.
    files.SetCreationTime(platform::LocalTime{2020, 1, 1, 0, 0, 0, 0, 3});
    EXPECT_EQ(LogSerial("old but small"), 0);
    EXPECT_EQ(testing::LogLines(root, kWednesdayCom2).size(), 2u);
    g_session.LogMode = 1;
    files.SetCreationTime(platform::LocalTime{2026, 12, 9, 0, 0, 0, 0, 3});
    root.Write(kWednesdayCom2, std::string(600 * 1024, 'a'));
    EXPECT_EQ(LogSerial("big but new"), 0);
    EXPECT_GT(root.Read(kWednesdayCom2).size(), 600u * 1024);
}

TEST_F(TrafficLog, FailuresTellTheOperatorAndReturnMinusOne) {
    files.failWrite = true;
    EXPECT_EQ(LogSerial("lost"), -1);
    files.failWrite = false;
    files.failClose = true;
    EXPECT_EQ(LogSerial("closed badly"), -1);
    files.failClose = false;
    EXPECT_THAT(op.texts("info"),
                ElementsAre(std::string(CP1252("ERRO de gravação do LOG serial - ")) + kWednesdayCom2,
                            std::string("ERRO no Fechamento do Arquivo LOG serial em ") + kWednesdayCom2));

    // Dialogs off: nothing is shown, the result still says it.
    op.clear();
    g_session.DialogsEnabled = 0;
    files.failOpen = true;
    EXPECT_EQ(LogSerial("nowhere"), -1);
    EXPECT_TRUE(op.shown().empty());
    files.failOpen = false;
    g_session.DialogsEnabled = 1;
    EXPECT_EQ(LogSerial("back"), 0) << "the next line tries again";
}

TEST_F(TrafficLog, UnwritableRootFailsWithTheOpenMessage) {
    root.Write("c:\\blocker", "a file where a directory should be");
    setenv("MOLDRIN_ROOT", root.Host("c:\\blocker").c_str(), 1);
    EXPECT_EQ(LogSerial("x"), -1);
    EXPECT_THAT(op.texts("info"), ElementsAre(std::string("ERRO ao abrir o LOG serial - ") + kWednesdayCom2));
}

TEST_F(TrafficLog, ALinkedLogFileIsReplacedNotWrittenThrough) {
    root.Write("c:\\TEMP\\keep", "");
    const std::string outside = root.path() + "/outside.txt";
    std::ofstream(outside) << "not a log";
    std::filesystem::create_symlink(outside, root.Host(kWednesdayCom2));
    EXPECT_EQ(LogSerial("line"), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(std::filesystem::symlink_status(root.Host(kWednesdayCom2))));
    EXPECT_EQ(root.Read(kWednesdayCom2), "\r\n09/12/2026 09:05:03 == line");
    std::ifstream in(outside);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not a log");
}

TEST_F(TrafficLog, LinesFromSeveralThreadsNeverInterleave) {
    constexpr int kThreads = 4, kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                std::string text = "thread " + std::to_string(t) + " line " + std::to_string(i) + " ";
                text += std::string(40, static_cast<char>('a' + t));
                LogSerial(text.c_str());
            }
        });
    for (auto& th : threads) th.join();
    auto lines = testing::LogLines(root, kWednesdayCom2);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::set<std::string> unique(lines.begin(), lines.end());
    EXPECT_EQ(unique.size(), lines.size());
    for (const auto& l : lines) {
        char c = l.back();
        EXPECT_EQ(l.substr(l.size() - 40), std::string(40, c)) << l;
    }
}

}  // namespace
}  // namespace moldrin::log
