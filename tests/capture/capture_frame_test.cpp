// The capture's frame: the worker's background refresh and its quiet when the
// printer is away, giving way to a waiting call, a stop during a slow pass,
// feeds without a capture run, and the switch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>
#include <string>
#include <thread>

#include "capture/capture_day.h"
#include "capture/capture_queries.h"
#include "log/text.h"
#include "platform/operator.h"
#include "support/fault_files.h"

namespace moldrin::capture {
namespace {

using namespace std::chrono_literals;

class CaptureFrame : public CaptureDay {
protected:
    // Waits (real time, bounded) until the condition holds under the capture semaphore.
    template <class F>
    bool Eventually(F condition) {
        for (int i = 0; i < 500; ++i) {
            bool holds = false;
            Locked([&] { holds = condition(); });
            if (holds) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    // Blocks the next status-28 query in the printer until `release` holds
    // (at most a few seconds), noting that it was held.
    template <class F>
    void HoldNextStatus28(F release) {
        armed = true;
        printer->SetResponder([this, release](std::string_view frame) -> std::optional<std::string> {
            if (frame != "\x1B.28}" || !armed.exchange(false)) return std::nullopt;
            held = true;
            for (int i = 0; i < 2000 && !release(); ++i) std::this_thread::sleep_for(1ms);
            sawRelease = release();
            return std::nullopt;
        });
    }
    // A first command, and the worker's refresh after it done: nothing is stale.
    void Settle() {
        ASSERT_EQ(Write("\x1B.13STEXTO}"), 0);
        ASSERT_TRUE(Eventually([] { return g_capture.cache.status1Current && g_capture.cache.status28State == 1; }));
    }
    // A command that leaves status 28 stale, once the printer is set to hold
    // the worker's next status-28 query.
    template <class F>
    void StaleWithHeldWorker(F release) {
        Settle();
        HoldNextStatus28(release);
        ASSERT_EQ(Write("\x1B.13STEXTO}"), 0);
        ASSERT_TRUE(WaitHeld());
    }
    bool WaitHeld() {
        for (int i = 0; i < 2000 && !held; ++i) std::this_thread::sleep_for(1ms);
        return held;
    }

    std::atomic<bool> armed{false}, held{false}, sawRelease{false};
};

TEST_F(CaptureFrame, WorkerRefreshesWhatCommandsMadeStaleWhileTheApplicationIsIdle) {
    Open();
    // The worker may ask as soon as the command is done, before this thread
    // looks: what was asked before the command is counted by the printer.
    std::atomic<std::size_t> asked28{0};
    std::atomic<bool> commandSeen{false};
    printer->SetResponder([&](std::string_view frame) -> std::optional<std::string> {
        if (frame == "\x1B.13STEXTO}") commandSeen = true;
        if (frame == "\x1B.28}" && !commandSeen) ++asked28;
        return std::nullopt;
    });
    ASSERT_EQ(Write("\x1B.13STEXTO}"), 0);  // status 1 not current, status 28 stale
    EXPECT_TRUE(Eventually([] { return g_capture.cache.status1Current && g_capture.cache.status28State == 1; }));
    EXPECT_EQ(Count("\x1B.28}"), asked28 + 1);
    printer->SetResponder(nullptr);
    // The reply to the "\x1B.271}" sent after the command was read without sending again.
    EXPECT_EQ(Count("\x1B.271}"), 2u);
    // Each of those queries is recorded like the interception's.
    const auto recorded = Recorded();
    EXPECT_EQ(recorded.back().substr(0, 5), "\x1B.28|");
}

TEST_F(CaptureFrame, WorkerSendsNothingBeforeTheFirstCommandNorWithoutDsr) {
    Open();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(Frames().empty());

    // The printer goes away as it takes the command: its reply still comes.
    printer->SetResponder([this](std::string_view frame) -> std::optional<std::string> {
        if (frame == "\x1B.13STEXTO}") {
            sim::Faults away;
            away.dsrLow = true;
            printer->SetFaults(away);
        }
        return std::nullopt;
    });
    ASSERT_EQ(Write("\x1B.13STEXTO}"), 0);
    const auto before = Frames();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Frames(), before);
    bool current = true;
    Locked([&] { current = g_capture.cache.status28State == 1; });
    EXPECT_FALSE(current);
    printer->SetResponder(nullptr);
    printer->SetFaults({});
    EXPECT_TRUE(Eventually([] { return g_capture.cache.status28State == 1; }));
}

TEST_F(CaptureFrame, WorkerGivesWayToAWaitingCall) {
    Open();
    StaleWithHeldWorker([] { return g_session.ApplicationWaiting.load() != 0; });
    // The worker's query is held in the printer: the sale waits, raises its
    // flag, the worker abandons its query and the sale goes through.
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_TRUE(sawRelease);
    EXPECT_EQ(Read(), ".+0001}");
    EXPECT_EQ(g_session.ApplicationWaiting.load(), 0);
    EXPECT_EQ(CommandFrames().back(), SaleItem(10));
}

TEST_F(CaptureFrame, StopDuringASlowPassWaitsForTheWorker) {
    Open();
    StaleWithHeldWorker([] { return g_session.CaptureStopRequest.load() != 0; });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ECFClose(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(sawRelease);
    EXPECT_EQ(g_session.CaptureStopRequest.load(), 0);
    printer->SetResponder(nullptr);
    // The worker has ended: the capture state is the stop's, and a new session works.
    EXPECT_EQ(g_capture.CaptureState, 0);
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_EQ(Read(), ".+0001}");
}

TEST_F(CaptureFrame, TimeOutSetWhileTheWorkerAsksIsKept) {
    Open();
    std::atomic<bool> set{false};
    StaleWithHeldWorker([&] { return set.load(); });
    EXPECT_EQ(SetTimeoutRead(5), 0);
    set = true;
    EXPECT_TRUE(Eventually([] { return g_capture.cache.status28State == 1; }));
    EXPECT_EQ(g_session.ReadTimeoutSeconds, 5u);
}

TEST_F(CaptureFrame, SessionsComeAndGoWithTheirWorkers) {
    for (int i = 0; i < 10; ++i) {
        Open();
        ASSERT_EQ(Write("\x1B.13STEXTO}"), 0);
        ASSERT_EQ(ECFClose(), 0);
    }
    Open();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_EQ(Read(), ".+0001}");
}

TEST_F(CaptureFrame, FeedsWithoutACaptureRunFailAtOnce) {
    Open();
    // As after a start that could not make its semaphore usable.
    CaptureStop(1);
    const auto start = std::chrono::steady_clock::now();
    const uint32_t tick = clock.TickMs();
    EXPECT_EQ(Write(SaleItem(10)), -1);
    EXPECT_EQ(clock.TickMs(), tick) << "no wait at all";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(Read(), ".-P666}");
    ASSERT_EQ(op.shown().size(), 1u);
    EXPECT_EQ(op.shown()[0].text, CP1252("Erro Semáforo"));
    EXPECT_EQ(op.shown()[0].caption, "ERRO");
    EXPECT_TRUE(Frames().empty());
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(CaptureFrame, SwitchOffTouchesNothing) {
    EXPECT_EQ(CaptureStart(0), 1);
    EXPECT_EQ(CaptureStop(0), 1);
    char command[] = "\x1B.01}";
    EXPECT_EQ(CaptureFeed(command, 0), 2);
    EXPECT_EQ(CaptureFeed(command, 2), 2);
    EXPECT_EQ(CaptureLock(), -1) << "no capture is running";
}

}  // namespace
}  // namespace moldrin::capture

namespace moldrin::capture {
namespace {

// The "\x1B.271}" sent after a command is still unanswered when the session
// closes: its reply, if any, went to a port since closed. The next session's
// first command must not wait for it.
TEST_F(CaptureFrame, AStatusRequestLeftPendingDoesNotOutliveItsSession) {
    for (bool reopenOnly : {false, true}) {
        Open();
        Settle();
        Locked([] { g_capture.pendingStatus1 = true; });
        if (reopenOnly) {
            // A stop that could not run (as at a failed open) leaves it to the start.
            CaptureStop(1);
            g_capture.pendingStatus1 = true;
        }
        ASSERT_EQ(ECFClose(), 0);
        EXPECT_FALSE(g_capture.pendingStatus1);
        g_capture.pendingStatus1 = reopenOnly;
        Open();
        Locked([] { EXPECT_FALSE(g_capture.pendingStatus1); });
        const uint32_t before = clock.TickMs();
        ASSERT_EQ(Write(SaleItem(10)), 0);
        EXPECT_EQ(Read(), ".+0001}");
        EXPECT_LT(clock.TickMs() - before, 15000u) << "waited for a reply that never comes";
        ASSERT_EQ(ECFClose(), 0);
    }
}

}  // namespace
}  // namespace moldrin::capture

namespace moldrin::capture {
namespace {

// Notes on which thread each box came up.
class ThreadNotingOperator final : public platform::Operator {
public:
    struct Box {
        std::thread::id thread;
        std::string text;
    };
    void InfoBox(const char* text) override { Note(text); }
    int QuestionBox(const char* text) override {
        Note(text);
        return 1;
    }
    int MessageBox(const char* text, const char*, unsigned) override {
        Note(text);
        return MOLDRIN_ID_OK;
    }
    int Identify(const char*, MoldrinIdentification&) override { return 0; }
    std::vector<Box> boxes() {
        std::lock_guard lock(m_);
        return boxes_;
    }

private:
    void Note(const char* text) {
        std::lock_guard lock(m_);
        boxes_.push_back({std::this_thread::get_id(), text ? text : ""});
    }
    std::mutex m_;
    std::vector<Box> boxes_;
};

// A capture query that meets a printer without DSR raises no box of its own,
// and leaves the application's choice of boxes as the application made it.
TEST_F(CaptureFrame, ACaptureQueryThatFailsLeavesTheApplicationsBoxesOn) {
    ASSERT_EQ(ECFOpen(1, 10, 500, 1), 0);
    Settle();
    op.clear();
    sim::Faults away;
    away.dsrLow = true;
    printer->SetFaults(away);
    // Code 10 has status 28 read again at once: the capture's own query.
    EXPECT_EQ(Write("\x1B.10}"), -1);
    EXPECT_TRUE(op.texts("info").empty()) << "a box for the capture's own query";
    EXPECT_EQ(g_session.DialogsEnabled.load(), 1);
    printer->SetFaults({});
    ASSERT_EQ(ECFClose(), 0);
}

// The worker's write of a query's record fails: the box comes up on the
// application's thread at its next call, never on the worker holding the capture.
TEST_F(CaptureFrame, TheWorkersBoxesComeUpOnTheApplicationsThread) {
    ThreadNotingOperator noting;
    platform::SetOperator(&noting);
    Open();
    Settle();
    testing::FaultFiles files;
    char rfd[64];
    RfdFileName(rfd, sizeof rfd, 9, 12, 2026);
    files.OnlyFor(rfd);
    files.failWrite = true;
    Locked([] { g_capture.cache.status28State = 2; });
    ASSERT_TRUE(Eventually([] { return g_capture.cache.status28State == 1; }));
    EXPECT_TRUE(noting.boxes().empty()) << noting.boxes().front().text;

    // Answered from the cache: nothing written, and the kept box shown.
    ASSERT_EQ(Write("\x1B.291}"), 0);
    const auto boxes = noting.boxes();
    ASSERT_FALSE(boxes.empty());
    for (const auto& b : boxes) {
        EXPECT_EQ(b.thread, std::this_thread::get_id()) << b.text;
        EXPECT_EQ(b.text, CP1252("ERRO de gravação RFD: ") + std::string(rfd));
    }
    files.failWrite = false;
    ASSERT_EQ(ECFClose(), 0);
    platform::SetOperator(&op);
}

}  // namespace
}  // namespace moldrin::capture

namespace moldrin::capture {
namespace {

// The fast writer beside the worker: while a worker's query waits for its
// reply, the application's raw bytes wait for the capture (and so make the
// worker give way) instead of going out in between.
TEST_F(CaptureFrame, TheFastWriterWaitsForTheWorkersQuery) {
    struct Case {
        const char* name;
        std::function<int()> send;
        int sent;
    };
    const std::vector<Case> cases = {
        {"ECFTxFast binary", [] { return ECFTxFast("\x1B.0893}", 7); }, 7},
        {"ECFTxFast text", [] { return ECFTxFast("\x1B.0893}", 0); }, 6},
        {"ECFswLFs", [] { return ECFswLFs(); }, 6},
    };
    Open();
    for (const Case& c : cases) {
        held = false;
        sawRelease = false;
        StaleWithHeldWorker([] { return g_session.ApplicationWaiting.load() != 0; });
        EXPECT_EQ(c.send(), c.sent) << c.name;
        EXPECT_TRUE(sawRelease) << c.name << ": sent while the worker's query was under way";
        printer->SetResponder(nullptr);
        ASSERT_TRUE(Eventually([] { return g_capture.cache.status28State == 1; })) << c.name;
    }
    ASSERT_EQ(ECFClose(), 0);
}

// The reply to the status request sent after a command is read before the
// fast writer's binary bytes, whose end clears what came in: it is neither
// lost nor waited for by the next command.
TEST_F(CaptureFrame, TheFastWriterReadsTheStatusReplyStillOwedFirst) {
    Open();
    Settle();
    Locked([] {
        // A partly stale cache keeps the worker from reading the reply itself.
        g_capture.CaptureState = 2;
        ASSERT_GT(CaptureSend("\x1B.271}"), 0);
        g_capture.pendingStatus1 = true;
    });
    const std::size_t asked = Count("\x1B.271}");
    EXPECT_EQ(ECFTxFast("\x1B.0893}", 7), 7);
    Locked([] { EXPECT_FALSE(g_capture.pendingStatus1); });
    EXPECT_EQ(Count("\x1B.271}"), asked) << "asked again instead of reading the reply";
    const auto recorded = Recorded();
    EXPECT_TRUE(std::any_of(recorded.rbegin(), recorded.rbegin() + 3,
                            [](const std::string& t) { return t.compare(0, 6, "\x1B.271|") == 0; }));
    const uint32_t before = clock.TickMs();
    ASSERT_EQ(Write(SaleItem(10)), 0);
    EXPECT_EQ(Read(), ".+0001}");
    EXPECT_LT(clock.TickMs() - before, 15000u);
    ASSERT_EQ(ECFClose(), 0);
}

}  // namespace
}  // namespace moldrin::capture
