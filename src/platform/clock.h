// The monotonic millisecond tick, the local time and sleeping: the one place
// the library learns what time it is, so tests can run on a clock of their own.
#pragma once
#include <cstdint>

#include "platform/sync.h"

namespace moldrin::platform {

class SerialDevice;

struct LocalTime {
    int year = 0, month = 0, day = 0;         // month 1-12, day 1-31
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int weekday = 0;                          // 0 = Sunday
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t TickMs() = 0;            // monotonic, wraps like a 32-bit tick counter
    virtual LocalTime Now() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // Blocks until the device has something to report (a byte, a line change) or
    // ms have passed. A fake clock lets its own time pass instead of waiting.
    virtual void WaitDevice(SerialDevice& device, uint32_t ms);
    // Waits at most ms for the semaphore. A fake clock looks only briefly and
    // then lets its own time pass.
    virtual WaitResult WaitSemaphore(SemaphoreHandle h, uint32_t ms);
};

Clock& GetClock();
void SetClock(Clock* clock);  // nullptr puts the system clock back

// Convenience over the current clock.
inline uint32_t TickMs() { return GetClock().TickMs(); }
inline LocalTime Now() { return GetClock().Now(); }
inline void SleepMs(uint32_t ms) { GetClock().Sleep(ms); }

// True once `deadline` (a tick value) has been reached, across the 32-bit wrap.
inline bool TickReached(uint32_t now, uint32_t deadline) {
    return static_cast<int32_t>(now - deadline) >= 0;
}
// Milliseconds from now to deadline, 0 when it has passed.
inline uint32_t TickRemaining(uint32_t now, uint32_t deadline) {
    return TickReached(now, deadline) ? 0 : deadline - now;
}

// Day of week (0 = Sunday) of a calendar date.
int WeekdayOf(int year, int month, int day);

}  // namespace moldrin::platform
