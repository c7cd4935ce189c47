// The capture's frame: the worker's background refresh and its quiet when the
// printer is away, giving way to a waiting call, a stop during a slow pass,
// feeds without a capture run, and the switch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "capture/capture_day.h"
#include "log/text.h"

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
    ASSERT_EQ(Write("\x1B.13STEXTO}"), 0);  // status 1 not current, status 28 stale
    const std::size_t asked28 = Count("\x1B.28}");
    EXPECT_TRUE(Eventually([] { return g_capture.cache.status1Current && g_capture.cache.status28State == 1; }));
    EXPECT_EQ(Count("\x1B.28}"), asked28 + 1);
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
