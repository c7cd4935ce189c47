// A clock that only moves when told to, or when the library sleeps or waits on
// a device: time-outs of a minute pass at once.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace moldrin::testing {

class FakeClock final : public platform::Clock {
public:
    // Installs itself on construction, puts the system clock back on destruction.
    explicit FakeClock(platform::LocalTime start = {2026, 12, 9, 10, 20, 30, 0, 3});
    ~FakeClock() override;

    uint32_t TickMs() override { return tick_.load(); }
    platform::LocalTime Now() override;
    void Sleep(uint32_t ms) override { Advance(ms); }
    // Looks at the device without blocking, then lets the time pass.
    void WaitDevice(platform::SerialDevice& device, uint32_t ms) override;
    // Waits a real moment for another thread's release, then lets the time pass.
    platform::WaitResult WaitSemaphore(platform::SemaphoreHandle h, uint32_t ms) override;

    void Advance(uint32_t ms);
    void SetTick(uint32_t tick) { tick_ = tick; }
    void SetDate(int year, int month, int day, int hour = 10, int minute = 0, int second = 0);
    uint32_t sleptMs() const { return slept_.load(); }

private:
    std::atomic<uint32_t> tick_{1000};
    std::atomic<uint32_t> slept_{0};
    std::atomic<int64_t> wallMs_{0};  // milliseconds since 1970-01-01 (local)
};

}  // namespace moldrin::testing
