// The clock a lane runs the library on: the calendar stands on the lane's fiscal
// day (so a year of days passes as fast as they are sold), and waits and time-outs
// pass `speed` times faster than the real ones, so a printer that does not answer
// costs a tenth of its second.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/clock.h"

namespace moldrin::soak {

class LaneClock final : public platform::Clock {
public:
    explicit LaneClock(uint32_t speed) : speed_(speed ? speed : 1), start_(std::chrono::steady_clock::now()) {}

    void SetDay(int year, int month, int day) { date_ = year * 10000 + month * 100 + day; }

    uint32_t TickMs() override;
    platform::LocalTime Now() override;
    void Sleep(uint32_t ms) override;
    void WaitDevice(platform::SerialDevice& device, uint32_t ms) override;
    platform::WaitResult WaitSemaphore(platform::SemaphoreHandle h, uint32_t ms) override;

private:
    uint32_t Real(uint32_t ms) const { return ms == 0 ? 0 : (ms + speed_ - 1) / speed_; }
    uint32_t speed_;
    std::chrono::steady_clock::time_point start_;
    std::atomic<int> date_{20270101};
};

// The calendar day `days` after 1 January of `year`.
void CalendarDay(int year, int days, int* y, int* m, int* d);

}  // namespace moldrin::soak
