// The system clock on posix: CLOCK_MONOTONIC for the tick, localtime_r for the
// local time, nanosleep for sleeping.
#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace moldrin::platform {

namespace {
class PosixClock final : public Clock {
public:
    uint32_t TickMs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);
    }
    LocalTime Now() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        tm t{};
        localtime_r(&ts.tv_sec, &t);
        LocalTime lt;
        lt.year = t.tm_year + 1900;
        lt.month = t.tm_mon + 1;
        lt.day = t.tm_mday;
        lt.hour = t.tm_hour;
        lt.minute = t.tm_min;
        lt.second = t.tm_sec;
        lt.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
        lt.weekday = t.tm_wday;
        return lt;
    }
    void Sleep(uint32_t ms) override {
        timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&req, &req) != 0 && errno == EINTR) {
        }
    }
};
}  // namespace

Clock& SystemClock() {
    // Never destroyed: the unload path logs through it after exit handlers ran.
    static PosixClock& clock = *new PosixClock;
    return clock;
}

}  // namespace moldrin::platform
