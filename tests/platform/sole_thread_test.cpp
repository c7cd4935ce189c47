// Waits once every other thread is gone (the process-exit notification): nothing is
// left to release a semaphore, so no wait may block, yet a free one is still taken.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/sync.h"

namespace moldrin::platform {
namespace {

struct SoleThread {
    SoleThread() { SetSoleThread(true); }
    ~SoleThread() { SetSoleThread(false); }
};

TEST(SoleThread, WaitsTakeWhatIsFreeAndNeverBlock) {
    SemaphoreHandle s = SemaphoreCreate(1, 1, nullptr);
    ASSERT_NE(s, 0u);
    auto start = std::chrono::steady_clock::now();
    {
        SoleThread sole;
        EXPECT_EQ(SemaphoreWait(s, kWaitForever), WaitResult::Signaled) << "free: taken";
        // A timed-out wait would be retried by a caller waiting in steps; it fails instead.
        EXPECT_EQ(SemaphoreWait(s, kWaitForever), WaitResult::Failed);
        EXPECT_EQ(SemaphoreWait(s, 100), WaitResult::Failed);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(SemaphoreWait(s, 0), WaitResult::TimedOut) << "back to ordinary waits";
    SemaphoreClose(s);
}

}  // namespace
}  // namespace moldrin::platform
