// The replaceable clock and the calendar helpers that need no system call.
#include "platform/clock.h"

#include <atomic>

#include "platform/serial_device.h"

namespace moldrin::platform {

Clock& SystemClock();

namespace {
std::atomic<Clock*> g_clock{nullptr};
}

void Clock::WaitDevice(SerialDevice& device, uint32_t ms) { device.Wait(ms); }

WaitResult Clock::WaitSemaphore(SemaphoreHandle h, uint32_t ms) { return SemaphoreWait(h, ms); }

Clock& GetClock() {
    Clock* c = g_clock.load(std::memory_order_acquire);
    return c ? *c : SystemClock();
}

void SetClock(Clock* clock) { g_clock.store(clock, std::memory_order_release); }

int WeekdayOf(int year, int month, int day) {
    // Sakamoto's method.
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + t[(month - 1) % 12] + day) % 7;
}

}  // namespace moldrin::platform
