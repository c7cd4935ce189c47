// The lane's clock: the fiscal day's calendar, and time that runs faster.
#include "soak/lane_clock.h"

#include <thread>

#include "platform/serial_device.h"

namespace moldrin::soak {

uint32_t LaneClock::TickMs() {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
    return static_cast<uint32_t>(1000 + static_cast<uint64_t>(us) * speed_ / 1000);
}

// Every moment of a fiscal day reads as ten in the morning of it: the files a day
// leaves are then the same however long its faults kept it.
platform::LocalTime LaneClock::Now() {
    const int d = date_.load();
    platform::LocalTime t;
    t.year = d / 10000;
    t.month = d / 100 % 100;
    t.day = d % 100;
    t.hour = 10;
    t.weekday = platform::WeekdayOf(t.year, t.month, t.day);
    return t;
}

void LaneClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 1000 / speed_)); }

void LaneClock::WaitDevice(platform::SerialDevice& device, uint32_t ms) { device.Wait(Real(ms)); }

platform::WaitResult LaneClock::WaitSemaphore(platform::SemaphoreHandle h, uint32_t ms) {
    return platform::SemaphoreWait(h, Real(ms));
}

void CalendarDay(int year, int days, int* y, int* m, int* d) {
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int month = 1, day = 1 + days;
    for (;;) {
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int length = lengths[month - 1] + (month == 2 && leap ? 1 : 0);
        if (day <= length) break;
        day -= length;
        if (++month > 12) {
            month = 1;
            ++year;
        }
    }
    *y = year;
    *m = month;
    *d = day;
}

}  // namespace moldrin::soak
