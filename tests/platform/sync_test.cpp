#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace moldrin::platform {
namespace {

TEST(Semaphore, CountsUpToItsMaximum) {
    uint32_t err = 99;
    SemaphoreHandle s = SemaphoreCreate(0, 1, &err);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(err, 0u);
    EXPECT_EQ(SemaphoreWait(s, 0), WaitResult::TimedOut);
    EXPECT_TRUE(SemaphoreRelease(s, 1));
    EXPECT_FALSE(SemaphoreRelease(s, 1)) << "maximum 1";
    EXPECT_EQ(SemaphoreWait(s, 0), WaitResult::Signaled);
    EXPECT_EQ(SemaphoreWait(s, 5), WaitResult::TimedOut);
    EXPECT_TRUE(SemaphoreClose(s));
    EXPECT_EQ(SemaphoreCreate(2, 1, &err), 0u);
}

TEST(Semaphore, ClosedOrUnknownHandlesFailAtOnce) {
    SemaphoreHandle s = SemaphoreCreate(1, 1, nullptr);
    ASSERT_TRUE(SemaphoreClose(s));
    EXPECT_EQ(SemaphoreWait(s, kWaitForever), WaitResult::Failed);
    EXPECT_FALSE(SemaphoreRelease(s, 1));
    EXPECT_FALSE(SemaphoreClose(s));
    EXPECT_EQ(SemaphoreWait(0, kWaitForever), WaitResult::Failed);
    EXPECT_EQ(SemaphoreWait(987654321, kWaitForever), WaitResult::Failed);
}

TEST(Semaphore, CloseWakesAWaiterWithAFailure) {
    SemaphoreHandle s = SemaphoreCreate(0, 1, nullptr);
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = static_cast<int>(SemaphoreWait(s, kWaitForever)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    SemaphoreClose(s);
    waiter.join();
    EXPECT_EQ(result.load(), static_cast<int>(WaitResult::Failed));
}

TEST(Thread, RunsTheFunction) {
    std::atomic<int> ran{0};
    SemaphoreHandle done = SemaphoreCreate(0, 1, nullptr);
    struct Args {
        std::atomic<int>* ran;
        SemaphoreHandle done;
    } args{&ran, done};
    ASSERT_TRUE(ThreadStart(
        [](void* p) {
            auto* a = static_cast<Args*>(p);
            *a->ran = 1;
            SemaphoreRelease(a->done, 1);
        },
        &args));
    EXPECT_EQ(SemaphoreWait(done, 5000), WaitResult::Signaled);
    EXPECT_EQ(ran.load(), 1);
    SemaphoreClose(done);
}

TEST(JoinableThread, JoinWaitsUpToItsDeadlineThenCollectsTheThread) {
    SemaphoreHandle go = SemaphoreCreate(0, 1, nullptr);
    std::atomic<int> ended{0};
    struct Args {
        SemaphoreHandle go;
        std::atomic<int>* ended;
    } args{go, &ended};
    auto body = [](void* p) {
        auto* a = static_cast<Args*>(p);
        SemaphoreWait(a->go, 5000);
        a->ended->store(1);
    };
    ThreadHandle t = ThreadStartJoinable(body, &args);
    ASSERT_NE(t, 0u);
    EXPECT_EQ(ThreadJoin(t, 10), WaitResult::TimedOut) << "still waiting for go";
    EXPECT_EQ(ended.load(), 0);
    SemaphoreRelease(go, 1);
    EXPECT_EQ(ThreadJoin(t, 5000), WaitResult::Signaled);
    EXPECT_EQ(ended.load(), 1) << "everything the thread did is seen after the join";

    // A thread given up while it runs ends on its own.
    std::atomic<int> ended2{0};
    Args args2{go, &ended2};
    ThreadHandle t2 = ThreadStartJoinable(body, &args2);
    ASSERT_NE(t2, 0u);
    ThreadDetach(t2);
    SemaphoreRelease(go, 1);
    for (int i = 0; i < 500 && ended2.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(ended2.load(), 1);
    EXPECT_EQ(ThreadJoin(0, 0), WaitResult::Failed);
    SemaphoreClose(go);
}

TEST(Calendar, WeekdayAndTickWrap) {
    EXPECT_EQ(WeekdayOf(2026, 12, 9), 3);
    EXPECT_EQ(WeekdayOf(2026, 12, 6), 0);
    EXPECT_EQ(WeekdayOf(2008, 3, 5), 3);
    EXPECT_EQ(WeekdayOf(2000, 2, 29), 2);
    EXPECT_TRUE(TickReached(5, 0xFFFFFFF0u)) << "across the wrap";
    EXPECT_FALSE(TickReached(0xFFFFFFF0u, 5));
    EXPECT_EQ(TickRemaining(0xFFFFFFF0u, 5), 21u);
}

}  // namespace
}  // namespace moldrin::platform
