// The capture's own queries against the simulated printer: acceptance, the
// five attempts, the pending status 1, failures, and the full refresh with
// every query recorded in the day's RFD file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "capture/capture_day.h"
#include "capture/capture_queries.h"
#include "store/capture_state.h"
#include "store/rfd_file.h"
#include "capture/status_refresh.h"
#include "store/status_cache.h"
#include "moldrin.h"
#include "sim/printer_model.h"
#include "sim/sim_device.h"
#include "support/fake_clock.h"
#include "support/library_state.h"
#include "support/log_reader.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::capture {
namespace {

// A fault set with one switch on.
sim::Faults Silent() {
    sim::Faults f;
    f.silent = true;
    return f;
}
sim::Faults DsrLow() {
    sim::Faults f;
    f.dsrLow = true;
    return f;
}

class CaptureQueriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetLibraryState();
        ResetCaptureState();
        g_capture.CaptureState = 0;
        g_capture.pendingStatus1 = false;
        clock.SetDate(2026, 12, 9, 10, 20, 30);
        // The queries are called here directly: no worker may ask alongside.
        g_session.CaptureEnabled = 0;
        ASSERT_EQ(ECFOpen(1, 10, 500, 1), 0);
        printer->ClearFrames();
        op.clear();
    }
    void TearDown() override {
        if (g_session.PortIndex >= 0) ECFClose();
        ResetCaptureState();
        g_capture.pendingStatus1 = false;
        testing::ResetLibraryState();
    }

    // The texts recorded in today's RFD file.
    std::vector<std::string> Recorded() {
        char name[64];
        RfdCurrentFileName(name, sizeof name, platform::Now());
        return RecordedTexts(name);
    }
    std::vector<std::string> Frames() { return printer->Frames(); }

    testing::FakeClock clock;
    testing::RecordingOperator op;
    testing::ScratchRoot root;
    std::shared_ptr<sim::PrinterModel> printer = std::make_shared<sim::PrinterModel>(9600);
    sim::SimulatorOnPort port{printer, 1};
};

TEST_F(CaptureQueriesTest, AcceptedRecordIsKeptRecordedAndTheSettingsPutBack) {
    printer->EditState([](sim::PrinterState& s) { s.fiscalDate = "091126"; });
    char out[130];
    ASSERT_EQ(QueryStatus27('1', out), 1);
    EXPECT_EQ(std::strlen(out), 128u);
    EXPECT_EQ(std::string(out, 7), ".+C0001");
    EXPECT_STREQ(g_capture.fiscalDate.data(), "091126");
    EXPECT_EQ(Frames(), std::vector<std::string>{"\x1B.271}"});
    EXPECT_EQ(Recorded(), std::vector<std::string>{"\x1B.271|" + std::string(out)});
    EXPECT_EQ(g_session.ReadTimeoutSeconds, 10u);
    EXPECT_EQ(g_session.ShowDialogs, 1);
    EXPECT_EQ(g_session.DialogsRestore, 1);
}

TEST_F(CaptureQueriesTest, EveryRecordReceivedGoesToTheTrafficLogFirst) {
    printer->SetResponder([this](std::string_view) -> std::optional<std::string> {
        const auto s = printer->State();
        return sim::Status27Record(s, '2') + sim::Status27Record(s, '1');
    });
    char out[130];
    ASSERT_EQ(QueryStatus27('1', out), 1);
    const auto lines = testing::CurrentLogLines(root);
    const auto s = printer->State();
    int skipped = 0, accepted = 0;
    for (const auto& l : lines) {
        skipped += l == sim::Status27Record(s, '2');
        accepted += l == sim::Status27Record(s, '1');
    }
    EXPECT_EQ(skipped, 1);
    EXPECT_EQ(accepted, 1);
}

TEST_F(CaptureQueriesTest, FailedRefreshesLeaveTheirEntriesNotCurrent) {
    ASSERT_EQ(RefreshAll(), 1);
    printer->SetFaults(Silent());
    EXPECT_EQ(RefreshStatus1(), 0);
    EXPECT_FALSE(g_capture.cache.status1Current);
    EXPECT_EQ(RefreshStatusF(), 0);
    EXPECT_FALSE(g_capture.cache.fCurrent);
    EXPECT_EQ(RefreshStatusG(), 0);
    EXPECT_EQ(g_capture.cache.gState, 0);
    EXPECT_EQ(RefreshGroup(), 0);
    EXPECT_FALSE(g_capture.cache.groupCurrent);
    EXPECT_EQ(ReadTables29(), 0);
    EXPECT_EQ(RefreshAll(), 0);
    EXPECT_EQ(g_capture.CaptureState, 0);
    EXPECT_EQ(CacheAnswer(27, '1'), 0);
}

TEST_F(CaptureQueriesTest, RecordsThatAnswerOtherQueriesAreSkipped) {
    printer->SetResponder([this](std::string_view frame) -> std::optional<std::string> {
        if (frame != "\x1B.273}") return std::nullopt;
        const auto s = printer->State();
        // A paper status, the answer to another query, then the right one.
        return std::string(".+P000.+0000}") + sim::Status27Record(s, '1') + sim::Status27Record(s, '3');
    });
    char out[130];
    ASSERT_EQ(QueryStatus27('3', out), 1);
    EXPECT_EQ(out[6], '3');
    EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(CaptureQueriesTest, FiveAttemptsThenNoAnswer) {
    printer->SetFaults(Silent());
    char out[130];
    struct Case {
        int (*query)(char*);
        int result;
    } cases[] = {
        {[](char* o) { return QueryStatus27('1', o); }, 0},
        {[](char* o) { return QueryStatus28(o); }, 0},
        {[](char* o) { return QueryStatus28Type('C', o); }, -2},
        {[](char* o) { return QueryStatus29('3', o); }, -1},
    };
    for (const auto& c : cases) {
        printer->ClearFrames();
        EXPECT_EQ(c.query(out), c.result);
        EXPECT_STREQ(out, ".-P006}");
        EXPECT_EQ(Frames().size(), 5u);
    }
    EXPECT_TRUE(Recorded().empty());
}

TEST_F(CaptureQueriesTest, SendFailureGivesNotDelivered) {
    printer->SetFaults(DsrLow());
    char out[130];
    EXPECT_LT(QueryStatus27('1', out), 0);
    EXPECT_STREQ(out, ".-P002}");
}

TEST_F(CaptureQueriesTest, PendingStatus1IsReadWithoutSendingAgain) {
    ASSERT_GT(CaptureSend("\x1B.271}"), 0);
    g_capture.pendingStatus1 = true;
    char out[130];
    ASSERT_EQ(QueryStatus27('1', out), 1);
    EXPECT_EQ(Frames().size(), 1u);  // only the interception's own
    EXPECT_FALSE(g_capture.pendingStatus1);

    // The pending answer never comes: sent again, and the lost attempt does not count.
    printer->ClearFrames();
    g_capture.pendingStatus1 = true;
    ASSERT_EQ(QueryStatus27('1', out), 1);
    EXPECT_EQ(Frames().size(), 1u);
    printer->ClearFrames();
    g_capture.pendingStatus1 = true;
    printer->SetFaults(Silent());
    EXPECT_EQ(QueryStatus27('1', out), 0);
    EXPECT_EQ(Frames().size(), 5u);
}

TEST_F(CaptureQueriesTest, Status28ResultsAndTheTypedQuery) {
    char out[130];
    EXPECT_EQ(QueryStatus28(out), 1);  // code 0000
    printer->EditState([](sim::PrinterState& s) { s.lastCommand = 14; });
    EXPECT_EQ(QueryStatus28(out), 14);
    EXPECT_EQ(QueryStatus28Type('c', out), 0);  // plain status: not supported
    EXPECT_EQ(Frames().back(), "\x1B.28C}");
    printer->EditState([](sim::PrinterState& s) { s.typedStatus28 = true; });
    EXPECT_EQ(QueryStatus28Type('C', out), 1);
    printer->ClearFrames();
    EXPECT_EQ(QueryStatus28Type('x', out), 14);  // not a type: the plain query
    EXPECT_EQ(Frames(), std::vector<std::string>{"\x1B.28}"});
}

TEST_F(CaptureQueriesTest, FullRefreshFillsTheCacheAndRecordsEveryQuery) {
    clock.SetDate(2026, 12, 9, 10, 20, 30);
    ASSERT_EQ(RefreshAll(), 1);
    EXPECT_EQ(g_capture.CaptureState, 1);
    EXPECT_EQ(g_session.ModelGate, 0);
    EXPECT_EQ(g_capture.ModelLetter, 'B');
    EXPECT_EQ(g_session.LinkModelLetter, 'B');
    EXPECT_STREQ(g_capture.fiscalDate.data(), "091226");
    EXPECT_STREQ(g_capture.refreshDate.data(), "091226");
    EXPECT_STREQ(g_capture.factoryNumber.data(), "MS0300019");
    EXPECT_STREQ(g_capture.printerClock.data(), "091226102000");
    EXPECT_TRUE(g_capture.cache.status1Current && g_capture.cache.groupCurrent && g_capture.cache.fCurrent);
    EXPECT_EQ(g_capture.cache.gState, 2);
    EXPECT_EQ(g_capture.cache.status28State, 1);
    EXPECT_NE(g_capture.cache.status2[0], 0);  // the default tables hold an "S" entry
    const std::vector<std::string> expected = {
        "\x1B.273}", "\x1B.271}", "\x1B.27G}", "\x1B.28C}", "\x1B.291}", "\x1B.292}", "\x1B.293}",
        "\x1B.294}", "\x1B.295}", "\x1B.296}", "\x1B.29F}", "\x1B.29H}", "\x1B.29I}", "\x1B.27F}", "\x1B.28}",
        "\x1B.272}", "\x1B.274}", "\x1B.276}", "\x1B.277}", "\x1B.273}"};
    EXPECT_EQ(Frames(), expected);
    const auto recorded = Recorded();
    ASSERT_EQ(recorded.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::string query = expected[i];
        query.back() = '|';
        EXPECT_EQ(recorded[i].substr(0, query.size()), query);
        EXPECT_EQ(recorded[i].size(), query.size() + 128);
    }
    // The cache now answers the application's queries.
    EXPECT_EQ(CacheAnswer(27, '4'), 1);
    EXPECT_EQ(CacheAnswer(29, '3'), 1);
}

TEST_F(CaptureQueriesTest, FullRefreshFindsTheModelClass) {
    struct Case {
        char letter;
        char gFlag;
        bool typed;
        int result;
        int gate;
    } cases[] = {{'B', ' ', false, 1, 0}, {'D', '5', false, 1, 1}, {'D', ' ', true, 1, 1}, {'G', ' ', false, 0, 2}};
    for (const auto& c : cases) {
        printer->EditState([&](sim::PrinterState& s) {
            s.modelLetter = c.letter;
            s.statusGFlag = c.gFlag;
            s.typedStatus28 = c.typed;
        });
        EXPECT_EQ(RefreshAll(), c.result) << c.letter;
        EXPECT_EQ(g_session.ModelGate, c.gate) << c.letter;
    }
}

TEST_F(CaptureQueriesTest, OptionalQueriesFollowTheTaxTablesAndUserEntries) {
    printer->EditState([](sim::PrinterState& s) {
        s.taxEntries = {"T011800", "T020700"};
        s.taxEntries[8] = "T091200";  // 29-4 positions 35-41 not blank: status 5 is read
        s.fiscal.userEntries.clear();
    });
    ASSERT_EQ(RefreshAll(), 1);
    const auto frames = Frames();
    auto asked = [&](const char* f) { return std::find(frames.begin(), frames.end(), f) != frames.end(); };
    EXPECT_FALSE(asked("\x1B.272}"));
    EXPECT_EQ(g_capture.cache.status2[0], 0);
    EXPECT_TRUE(asked("\x1B.275}"));
    EXPECT_TRUE(asked("\x1B.29H}"));
    EXPECT_FALSE(asked("\x1B.29I}"));  // H blank: I to L are not asked
    EXPECT_EQ(g_capture.cache.table29HtoL[0], 0);
}

TEST_F(CaptureQueriesTest, FullRefreshOnAnotherDayReadsStatus3Again) {
    clock.SetDate(2026, 12, 10, 8, 0, 0);  // the printer's fiscal day is still the 9th
    ASSERT_EQ(RefreshAll(), 1);
    const auto frames = Frames();
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "\x1B.273}"), 3);
}

}  // namespace
}  // namespace moldrin::capture
